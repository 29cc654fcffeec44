#include "sim/virtual_writer.h"

#include "core/aes.h"
#include "core/crc32.h"
#include "core/kelvra_at_api.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kelvra::sim {

namespace {

// The smallest request carries magic, length, code, payload length and CRC.
constexpr uint32_t kMinRequest = 20;

void copy_text(char *field, size_t size, const std::string &text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

Bytes word(uint32_t v) {
    Bytes b(4);
    at_put_le32(b.data(), v);
    return b;
}

void cbc(const WriterSettings &s, uint8_t *p, size_t n, bool encrypt) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, s.key.data(), s.iv.data());
    if (encrypt) {
        AES_CBC_encrypt_buffer(&ctx, p, n);
    } else {
        AES_CBC_decrypt_buffer(&ctx, p, n);
    }
}

struct RequestSize {
    uint32_t code;
    uint32_t fixed;           // bytes before any data
    int32_t length_word = -1; // offset of the word counting the data bytes after them; -1: none
};

// Every request the writer takes, with the payload it reads. Requests without parameters
// still carry one (ignored) word.
constexpr RequestSize kRequestSizes[] = {
    {AT_CODE_GET_WRITER_INFO, 4},
    {AT_CODE_GET_WRITER_CFG, 4},
    {AT_CODE_SET_WRITER_CFG, 70},  // the configuration record
    {AT_CODE_SET_BAUDRATE, 4},
    {AT_CODE_TARGET_CONNECT, 4},
    {AT_CODE_TARGET_STATUS, 4},
    {AT_CODE_TARGET_GET_ID, 4},
    {AT_CODE_TARGET_READ, 8},          // address, length
    {AT_CODE_TARGET_ERASE, 4},         // time-out
    {AT_CODE_TARGET_ERASE_SECTOR, 8},  // address, length
    {AT_CODE_TARGET_WRITE_PREPARE, 4}, // total size
    {AT_CODE_TARGET_WRITE, 8, 4},      // address, length, data
    {AT_CODE_TARGET_READ_OB, 4},
    {AT_CODE_TARGET_WRITE_VENDOR_OB, 4},
    {AT_CODE_TARGET_WRITE_USER_OB, 4},
    {AT_CODE_TARGET_RESET, 4},  // reset type
    {AT_CODE_PROJECT_INFO, 4},
    {AT_CODE_PROJECT_LOAD, 279},  // password 16, size, CRC, name 255
    {AT_CODE_PROJECT_DATA, 264},  // offset, length, 256 data bytes
    {AT_CODE_PROJECT_DISABLE, 4},
    {AT_CODE_OFFLINE_START, 4},
    {AT_CODE_OFFLINE_STATUS, 4},
    {AT_CODE_PROJECT_SWITCH, 275},  // number, password 16, name 255
    {AT_CODE_FACTORY_RUN_SRAM_FW, 4},
    {AT_CODE_FACTORY_RUN_FLASH_FW, 4},
    {AT_CODE_BROADCAST, 9, 5},  // keep-frame byte, direction, length, data
};

constexpr bool sizes_ascend() {
    for (size_t i = 1; i < std::size(kRequestSizes); ++i)
        if (kRequestSizes[i - 1].code >= kRequestSizes[i].code) return false;
    return true;
}
static_assert(sizes_ascend(), "one entry per request code, ascending");

}  // namespace

uint32_t RequestPayloadSize(uint32_t code, const uint8_t *payload, size_t length) {
    for (const RequestSize &entry : kRequestSizes) {
        if (entry.code != code) continue;
        if (entry.length_word < 0) return entry.fixed;
        uint8_t word[4] = {};
        for (size_t i = 0; i < 4; ++i) {
            const size_t at = static_cast<size_t>(entry.length_word) + i;
            if (payload != nullptr && at < length) word[i] = payload[at];
        }
        // A 32-bit sum: a length word near 2^32 wraps it, and the request is refused all the
        // same (as unknown, or by its handler).
        return entry.fixed + at_get_le32(word);
    }
    return 0;
}

VirtualWriter::VirtualWriter(WriterSettings settings, FaultSettings faults)
    : settings_(std::move(settings)), faults_(faults) {
    if (settings_.sector_size == 0) settings_.sector_size = 1;
    if (settings_.chip_id.size() > 16) settings_.chip_id.resize(16);
    flash_.assign(settings_.flash_size, 0xFF);
    option_bytes_ = settings_.vendor_option_bytes;
    copy_text(config_.vendor, sizeof config_.vendor, "Kelvra");
    copy_text(config_.series, sizeof config_.series, "Writer");
    copy_text(config_.model, sizeof config_.model, settings_.type);
    config_.clock = 3;
    config_.buzzer = 1;
    config_.in_debounce_ms = 50;
    config_.out_debounce_ms = 50;
    config_.power_on_debounce_ms = 10;
    config_.power_off_debounce_ms = 10;
}

Bytes VirtualWriter::make_frame(uint32_t code, const Bytes &payload, int64_t declared) const {
    const uint32_t p = static_cast<uint32_t>(payload.size());
    uint32_t body = p + 8;
    if (settings_.encrypted) body = (body + 15) / 16 * 16;
    Bytes f(body + 12, 0);
    at_put_le32(&f[0], AT_MAGIC);
    at_put_le32(&f[4], body + 12);
    at_put_le32(&f[8], code);
    at_put_le32(&f[12], declared >= 0 ? static_cast<uint32_t>(declared) : p);
    std::copy(payload.begin(), payload.end(), f.begin() + 16);
    const uint32_t crc = crc32(f.data(), static_cast<int32_t>(body + 8));
    if (settings_.encrypted) cbc(settings_, &f[8], body, true);
    at_put_le32(&f[body + 8], crc);
    return f;
}

// Finds the next well-formed request at the front of the receive bytes and returns it
// decrypted in `frame`. Unlike the host, a writer resynchronises by searching for the magic.
std::optional<size_t> VirtualWriter::take_frame(Bytes &frame) {
    for (;;) {
        if (rx_.size() < 4) return std::nullopt;
        if (at_get_le32(rx_.data()) != AT_MAGIC) {
            rx_.erase(rx_.begin());
            continue;
        }
        if (rx_.size() < 8) return std::nullopt;
        const uint32_t length = at_get_le32(&rx_[4]);
        if (length < kMinRequest || length > AT_FRAME_MAX_LENGTH ||
            (settings_.encrypted && (length - 12) % 16 != 0)) {
            ++frames_dropped_;
            rx_.erase(rx_.begin());
            continue;
        }
        if (rx_.size() < length) return std::nullopt;
        frame.assign(rx_.begin(), rx_.begin() + length);
        rx_.erase(rx_.begin(), rx_.begin() + length);
        if (settings_.encrypted) cbc(settings_, &frame[8], length - 12, false);
        if (crc32(frame.data(), static_cast<int32_t>(length - 4)) != at_get_le32(&frame[length - 4])) {
            ++frames_dropped_;
            continue;
        }
        return length;
    }
}

std::vector<Reply> VirtualWriter::receive(const uint8_t *data, size_t length) {
    std::vector<Reply> replies;
    receive(data, length, replies);
    return replies;
}

void VirtualWriter::receive(const uint8_t *data, size_t length, std::vector<Reply> &replies) {
    if (gone_ || data == nullptr) return;
    rx_.insert(rx_.end(), data, data + length);
    Bytes frame;
    while (auto size = take_frame(frame)) {
        if (faults_.disappear_after >= 0 &&
            frames_received_ >= static_cast<uint32_t>(faults_.disappear_after)) {
            gone_ = true;
            rx_.clear();
            break;
        }
        ++frames_received_;
        const uint32_t code = at_get_le32(&frame[8]);
        if (faults_.raise && (faults_.code == 0 || faults_.code == code)) {
            throw std::runtime_error("fault: raised while handling request " + std::to_string(code));
        }
        const uint32_t declared = at_get_le32(&frame[12]);
        Answer answer;
        if (declared > *size - kMinRequest) {
            answer = nack(KVAT_ERR_PACKAGE_SIZE);
        } else {
            Bytes payload(frame.begin() + 16, frame.begin() + 16 + declared);
            requests_.push_back({code, payload});
            const uint32_t expected = RequestPayloadSize(code, payload.data(), payload.size());
            if (expected == 0) {
                answer = nack(KVAT_ERR_UNSUPPORTED);
            } else if (declared < expected) {
                answer = nack(KVAT_ERR_PACKAGE_SIZE);
            } else {
                answer = handle(code, payload);
            }
        }
        Reply reply = shape(code, answer);
        if (!reply.bytes.empty()) replies.push_back(std::move(reply));
        if (faults_.hang_up_after >= 0 && frames_received_ >= static_cast<uint32_t>(faults_.hang_up_after)) {
            gone_ = true;
            rx_.clear();
            break;
        }
    }
}

Reply VirtualWriter::shape(uint32_t request_code, const Answer &answer) {
    Reply reply;
    bool applies = faults_.code == 0 || faults_.code == request_code;
    if (applies && faults_.only_nth != 0) applies = ++matching_requests_ == faults_.only_nth;
    Answer a = answer;
    if (applies && faults_.nack != 0) a = nack(faults_.nack);
    // A hostile writer answers even where a writer would stay silent.
    if (applies && faults_.bare_ack) a = ack();
    if (applies && faults_.answer_code != 0) {
        a.code = faults_.answer_code;
        a.silent = false;
    }
    if (a.silent) return reply;
    if (applies && faults_.silent) return reply;
    if (applies && faults_.silent_once && !dropped_once_) {
        dropped_once_ = true;
        return reply;
    }
    int64_t declared = -1;
    if (applies) {
        for (const auto &[offset, value] : faults_.patch) {
            if (offset < a.payload.size()) a.payload[offset] = value;
        }
        if (faults_.payload_size >= 0) a.payload.resize(static_cast<size_t>(faults_.payload_size), 0);
        declared = faults_.declare_payload;
    }
    Bytes frame = make_frame(a.code, a.payload, declared);
    if (applies && faults_.corrupt_crc) frame.back() ^= 0x01;
    if (applies && faults_.garbage > 0) {
        Bytes garbage(faults_.garbage);
        for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(0xA0 + i);
        frame.insert(frame.begin(), garbage.begin(), garbage.end());
    }
    reply.bytes = std::move(frame);
    reply.delay_us = settings_.service_us;
    if (applies) {
        reply.delay_ms = faults_.late_ms;
        reply.split = faults_.split;
    }
    return reply;
}

VirtualWriter::Answer VirtualWriter::nack(uint32_t error) const {
    return {false, AT_STATUS_NACK, word(error)};
}

bool VirtualWriter::in_flash(uint32_t address, uint32_t length) const {
    const uint64_t start = address;
    const uint64_t end = start + length;
    return start >= settings_.flash_base &&
           end <= static_cast<uint64_t>(settings_.flash_base) + settings_.flash_size;
}

VirtualWriter::Answer VirtualWriter::handle(uint32_t code, const Bytes &p) {
    const auto needs_target = [this](auto &&then) -> Answer {
        if (!connected_) return nack(KVAT_ERR_TARGET_NOT_CONNECTED);
        return then();
    };
    switch (code) {
        case AT_CODE_GET_WRITER_INFO:
            return writer_info();
        case AT_CODE_GET_WRITER_CFG: {
            const auto *c = reinterpret_cast<const uint8_t *>(&config_);
            return data(AT_CODE_WRITER_CFG, Bytes(c, c + sizeof config_));
        }
        case AT_CODE_SET_WRITER_CFG:
            std::memcpy(&config_, p.data(), sizeof config_);
            return ack();
        case AT_CODE_SET_BAUDRATE: {
            const uint32_t baud = at_get_le32(p.data());
            if (baud == 0) return nack(KVAT_ERR_AT_BAUDRATE);
            baudrate_ = baud;
            return ack();
        }
        case AT_CODE_TARGET_CONNECT:
            connected_ = true;
            return ack();
        case AT_CODE_TARGET_STATUS:
            return needs_target([this] { return ack(); });
        case AT_CODE_TARGET_GET_ID:
            return needs_target([this] {
                Bytes id(KVAT_CHIP_ID_SIZE, 0);
                id[0] = static_cast<uint8_t>(settings_.chip_id.size());
                std::copy(settings_.chip_id.begin(), settings_.chip_id.end(), id.begin() + 1);
                return data(AT_CODE_TARGET_ID, id);
            });
        case AT_CODE_TARGET_READ:
            return needs_target([&] { return target_read(p); });
        case AT_CODE_TARGET_ERASE:
            return needs_target([this] {
                std::fill(flash_.begin(), flash_.end(), 0xFF);
                return ack();
            });
        case AT_CODE_TARGET_ERASE_SECTOR:
            return needs_target([&] { return target_erase_sector(p); });
        case AT_CODE_TARGET_WRITE_PREPARE:
            return needs_target([&] {
                write_total_ = at_get_le32(p.data());
                return ack();
            });
        case AT_CODE_TARGET_WRITE:
            return needs_target([&] { return target_write(p); });
        case AT_CODE_TARGET_READ_OB:
            return needs_target([this] {
                Bytes record(KVAT_OPTION_BYTES_SIZE, 0);
                at_put_le32(record.data(), static_cast<uint32_t>(option_bytes_.size()));
                std::copy(option_bytes_.begin(), option_bytes_.end(), record.begin() + 4);
                return data(AT_CODE_TARGET_OB, record);
            });
        case AT_CODE_TARGET_WRITE_VENDOR_OB:
            return needs_target([this] {
                option_bytes_ = settings_.vendor_option_bytes;
                return ack();
            });
        case AT_CODE_TARGET_WRITE_USER_OB:
            return needs_target([this] {
                option_bytes_ = settings_.user_option_bytes;
                return ack();
            });
        case AT_CODE_TARGET_RESET: {
            const uint32_t type = at_get_le32(p.data());
            if (type > 7) return nack(KVAT_ERR_CONFIG);
            last_reset_ = type;
            if (type >= 6) connected_ = false;  // a power cycle drops the debug connection
            return ack();
        }
        case AT_CODE_PROJECT_INFO: {
            Bytes info(KVAT_PROJECT_INFO_SIZE, 0);
            if (!projects_.empty()) {
                const Project &project = projects_[current_project_];
                info[0] = project_enabled_ ? 1 : 0;
                at_put_le32(&info[1], static_cast<uint32_t>(project.image.size()));
                at_put_le32(&info[5], crc32(project.image.data(), static_cast<int32_t>(project.image.size())));
            }
            return data(AT_CODE_PROJECT_INFO_DATA, info);
        }
        case AT_CODE_PROJECT_LOAD:
            return project_header(p);
        case AT_CODE_PROJECT_DATA:
            return project_data(p);
        case AT_CODE_PROJECT_DISABLE:
            project_enabled_ = false;
            return ack();
        case AT_CODE_OFFLINE_START:
            if (projects_.empty() || !project_enabled_) return nack(KVAT_ERR_PROJECT_DISABLED);
            offline_running_ = true;
            offline_polls_left_ = settings_.offline_polls;
            return ack();
        case AT_CODE_OFFLINE_STATUS:
            return offline_status();
        case AT_CODE_PROJECT_SWITCH:
            return project_switch(p);
        case AT_CODE_FACTORY_RUN_SRAM_FW:
        case AT_CODE_FACTORY_RUN_FLASH_FW:
            return settings_.factory_test ? ack() : nack(KVAT_ERR_FACTORY_DISABLED);
        case AT_CODE_BROADCAST:
            return broadcast(p);
        default:
            return nack(KVAT_ERR_UNSUPPORTED);
    }
}

VirtualWriter::Answer VirtualWriter::writer_info() const {
    kvat_writer_info info{};
    copy_text(info.type, sizeof info.type, settings_.type);
    copy_text(info.serial_number, sizeof info.serial_number, settings_.serial_number);
    copy_text(info.hardware_version, sizeof info.hardware_version, settings_.hardware_version);
    copy_text(info.bootloader_version, sizeof info.bootloader_version, settings_.bootloader_version);
    copy_text(info.interface_version, sizeof info.interface_version, settings_.interface_version);
    const auto *b = reinterpret_cast<const uint8_t *>(&info);
    return data(AT_CODE_WRITER_INFO, Bytes(b, b + sizeof info));
}

VirtualWriter::Answer VirtualWriter::target_read(const Bytes &p) {
    const uint32_t address = at_get_le32(&p[0]);
    const uint32_t length = at_get_le32(&p[4]);
    if (length > KVAT_MAX_CHUNK || !in_flash(address, length)) return nack(KVAT_ERR_TARGET_READ);
    Bytes block(KVAT_MEMORY_BLOCK_SIZE, 0);
    at_put_le32(&block[0], address);
    at_put_le32(&block[4], length);
    const auto from = flash_.begin() + (address - settings_.flash_base);
    std::copy(from, from + length, block.begin() + 8);
    return data(AT_CODE_TARGET_MEMORY, block);
}

VirtualWriter::Answer VirtualWriter::target_erase_sector(const Bytes &p) {
    const uint32_t address = at_get_le32(&p[0]);
    const uint32_t length = at_get_le32(&p[4]);
    if (!in_flash(address, length)) return nack(KVAT_ERR_TARGET_ERASE);
    if (length == 0) return ack();
    const uint32_t offset = address - settings_.flash_base;
    const uint32_t first = offset / settings_.sector_size * settings_.sector_size;
    const uint64_t end = std::min<uint64_t>(
        (static_cast<uint64_t>(offset) + length + settings_.sector_size - 1) / settings_.sector_size *
            settings_.sector_size,
        flash_.size());
    std::fill(flash_.begin() + first, flash_.begin() + static_cast<long>(end), 0xFF);
    return ack();
}

// Programming only clears bits, as on real flash: writing over data that was not erased
// fails unless the result equals what was asked for.
VirtualWriter::Answer VirtualWriter::target_write(const Bytes &p) {
    const uint32_t address = at_get_le32(&p[0]);
    const uint32_t n = at_get_le32(&p[4]);
    if (n > KVAT_MAX_CHUNK || p.size() < 8 + n || !in_flash(address, n)) {
        return nack(KVAT_ERR_TARGET_WRITE);
    }
    uint8_t *dest = flash_.data() + (address - settings_.flash_base);
    for (uint32_t i = 0; i < n; ++i) {
        if ((dest[i] & p[8 + i]) != p[8 + i]) return nack(KVAT_ERR_TARGET_WRITE);
    }
    ++write_chunks_;
    if (faults_.drop_chunk != 0 && write_chunks_ == faults_.drop_chunk) return ack();
    std::copy(p.begin() + 8, p.begin() + 8 + n, dest);
    if (faults_.flip_bit >= 0) {
        const int64_t at = faults_.flip_bit - static_cast<int64_t>(address);
        if (at >= 0 && at < static_cast<int64_t>(n)) dest[at] ^= 0x01;
    }
    return ack();
}

VirtualWriter::Answer VirtualWriter::project_header(const Bytes &p) {
    const uint32_t size = at_get_le32(&p[16]);
    // A new header ends any load in progress, also when it is refused. The size is the host's
    // claim: nothing is reserved for it before it is known to fit.
    loading_.reset();
    if (size == 0 || size > settings_.project_capacity) return nack(KVAT_ERR_PACKAGE_SIZE);
    Project project;
    project.password.assign(reinterpret_cast<const char *>(p.data()),
                            strnlen(reinterpret_cast<const char *>(p.data()), 16));
    project.name.assign(reinterpret_cast<const char *>(&p[24]),
                        strnlen(reinterpret_cast<const char *>(&p[24]), 255));
    project.image.reserve(size);
    loading_ = std::move(project);
    loading_size_ = size;
    loading_crc_ = at_get_le32(&p[20]);
    return ack();
}

VirtualWriter::Answer VirtualWriter::project_data(const Bytes &p) {
    if (!loading_) return nack(KVAT_ERR_PROJECT_CORRUPT);
    const uint32_t offset = at_get_le32(&p[0]);
    const uint32_t n = at_get_le32(&p[4]);
    Bytes &image = loading_->image;
    if (offset != image.size() || n == 0 || n > KVAT_MAX_CHUNK || image.size() + n > loading_size_) {
        loading_.reset();
        return nack(KVAT_ERR_PROJECT_CORRUPT);
    }
    image.insert(image.end(), p.begin() + 8, p.begin() + 8 + n);
    if (image.size() < loading_size_) return ack();

    const bool intact = crc32(image.data(), static_cast<int32_t>(image.size())) == loading_crc_;
    Project project = std::move(*loading_);
    loading_.reset();
    if (!intact) return nack(KVAT_ERR_PROJECT_CORRUPT);
    auto same = std::find_if(projects_.begin(), projects_.end(),
                             [&](const Project &q) { return q.name == project.name; });
    if (same != projects_.end()) {
        *same = std::move(project);
        current_project_ = static_cast<size_t>(same - projects_.begin());
    } else {
        projects_.push_back(std::move(project));
        current_project_ = projects_.size() - 1;
    }
    project_enabled_ = true;
    return ack();
}

VirtualWriter::Answer VirtualWriter::project_switch(const Bytes &p) {
    const uint32_t number = at_get_le32(&p[0]);
    if (number >= projects_.size()) return nack(KVAT_ERR_PROJECT_DISABLED);
    const std::string password(reinterpret_cast<const char *>(&p[4]),
                               strnlen(reinterpret_cast<const char *>(&p[4]), 16));
    if (password != projects_[number].password) return nack(KVAT_ERR_PASSWORD);
    current_project_ = number;
    project_enabled_ = true;
    return ack();
}

VirtualWriter::Answer VirtualWriter::offline_status() {
    if (!offline_running_) return ack();
    if (offline_polls_left_ > 0) {
        Bytes progress(8);
        at_put_le32(&progress[0], settings_.offline_polls - offline_polls_left_);
        at_put_le32(&progress[4], settings_.offline_polls);
        --offline_polls_left_;
        return data(AT_STATUS_RUNNING, progress);
    }
    offline_running_ = false;
    return settings_.offline_result == 0 ? ack() : nack(settings_.offline_result);
}

VirtualWriter::Answer VirtualWriter::broadcast(const Bytes &p) {
    const uint8_t keep = p[0];
    const uint32_t direction = at_get_le32(&p[1]);
    const uint32_t n = at_get_le32(&p[5]);
    if (n == 0 || n > KVAT_MAX_CHUNK || p.size() < 9 + n) return nack(KVAT_ERR_DATA_SIZE);
    if (direction != 0) return nack(KVAT_ERR_BROADCAST_DIRECTION);
    if (keep == 0) return {true, 0, {}};  // forwarded to the UART; nothing comes back
    // The UART side is a loopback: the data comes back in a broadcast record.
    Bytes record(KVAT_BROADCAST_RECORD_SIZE, 0);
    record[0] = 1;
    at_put_le32(&record[1], 0);
    at_put_le32(&record[5], n);
    std::copy(p.begin() + 9, p.begin() + 9 + n, record.begin() + 9);
    return data(AT_CODE_BROADCAST, record);
}

}  // namespace kelvra::sim
