// The executor: one command record turned into protocol transactions through the core's
// command operations. Every transaction ends in a typed outcome, and only the expected answer,
// carrying a record that matches its request, counts as success.
#include "host/run/port_manager.h"

#include "host/files/code_file.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/files/sha256.h"
#include "host/model/at_command.h"
#include "host/model/result_message.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <thread>

namespace kelvra::run {
namespace {

constexpr std::uint32_t kStatusPollPauseMs = 50;
constexpr std::uint32_t kStatusPollLimitMs = 5000;
constexpr std::uint32_t kSleepSliceMs = 50;
// An input that cannot be had at execution time (no image, an unreadable file): the input is
// "null", and nothing is sent.
constexpr ATResult kNoInput = KVAT_ERR_NULL;

// The manager whose project load runs on this thread, for the core's progress function.
thread_local ISerialPortApp *t_load_observer = nullptr;

void load_progress(const std::uint32_t *total_done) {
    if (t_load_observer != nullptr && total_done != nullptr) {
        t_load_observer->OnLoadProgress(total_done);
    }
}

std::uint32_t response_code(const kelvra_at_object *object) {
    return at_get_le32(kelvra_at_received_frame(object) + 8);
}

std::uint32_t clock_ms() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void sleep_ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A project name as the writer of `type` takes it: UTF-8 for the "KVR4", the text unchanged for
// any other. A name of 255 bytes has no room for its zero: it is cut.
void project_name_for_writer(const std::string &type, const std::string &text, char (&name)[255]) {
    if (type == "KVR4") {
        AnsiToUtf8(text.c_str(), name);
        return;
    }
    std::memset(name, 0, sizeof name);
    std::memcpy(name, text.data(), std::min(text.size(), sizeof name - 1));
}

// The part of a path after its last slash or backslash.
std::string file_name_part(std::string_view path) {
    const auto cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// Whether the received frame's payload holds at least `bytes` bytes within the frame itself.
bool carries(const kelvra_at_object *object, std::size_t bytes) {
    const std::int32_t size = kelvra_at_received_payload_size(object);
    return size >= 0 && static_cast<std::size_t>(size) >= bytes;
}

const char *outcome_text(TxOutcome outcome) {
    switch (outcome) {
        case TxOutcome::Answer: return "answered";
        case TxOutcome::OtherAnswer: return "answer of another kind";
        case TxOutcome::Refused: return "refused by the writer";
        case TxOutcome::TimedOut: return "no answer in time";
        case TxOutcome::WriteFailed: return "request could not be written";
        case TxOutcome::PortLost: return "port lost";
    }
    return "";
}

}  // namespace

TxResult ClassifyTransaction(const kelvra_at_object *object, bool delivered, bool port_lost) {
    if (delivered) return {TxOutcome::Answer, 0};
    if (port_lost) return {TxOutcome::PortLost, KVAT_ERR_PORT};
    const auto error = static_cast<ATResult>(kelvra_at_last_error(object));
    if (kelvra_at_rx_state(object) == AT_RX_FRAME) {
        // A refusal must carry a code; one that says 0 is no refusal anyone can act on.
        if (response_code(object) == AT_STATUS_NACK && error != 0) return {TxOutcome::Refused, error};
        return {TxOutcome::OtherAnswer, KVAT_ERR_PACKAGE};
    }
    switch (error) {
        case KVAT_ERR_TIMEOUT: return {TxOutcome::TimedOut, error};
        case KVAT_ERR_PORT: return {TxOutcome::WriteFailed, error};
        case 0: return {TxOutcome::OtherAnswer, KVAT_ERR_PACKAGE};
        default: return {TxOutcome::Refused, error};
    }
}

TxResult SerialPortApp::Outcome(std::int32_t slot, bool delivered) {
    const kelvra_at_object *object = protocol_object(slot);
    TxResult result = ClassifyTransaction(object, delivered, PortLostFlag(slot));
    if (result.outcome == TxOutcome::OtherAnswer || result.outcome == TxOutcome::PortLost) {
        NoteDetail(slot, outcome_text(result.outcome));
    }
    return result;
}

// An answer of the right kind whose record does not fit its request.
TxResult SerialPortApp::BadRecord(std::int32_t slot, const std::string &why) {
    NoteDetail(slot, why);
    return {TxOutcome::OtherAnswer, KVAT_ERR_PACKAGE};
}

void SerialPortApp::NoteDetail(std::int32_t slot, const std::string &text) {
    std::string &detail = failure_details_[static_cast<std::size_t>(slot)];
    if (detail.empty()) detail = text;
}

bool SerialPortApp::PortLostFlag(std::int32_t slot) const {
    return lost_[static_cast<std::size_t>(slot)].load();
}

// A fixed-size record from the answer the core's operation returned (null when it failed).
template <typename Record>
ATResult SerialPortApp::CopyRecord(std::int32_t slot, const std::uint8_t *record, Record &out, const char *short_text) {
    if (record == nullptr) return Outcome(slot, false).code;
    if (!carries(protocol_object(slot), sizeof(Record))) return BadRecord(slot, short_text).code;
    std::memcpy(&out, record, sizeof(Record));
    return 0;
}

TxResult SerialPortApp::WriterInfoCheck(std::int32_t slot, std::string &type) {
    kelvra_at_object *object = protocol_object(slot);
    const std::uint8_t *record = kelvra_at_get_writerinfo(object, kProbeTimeoutMs);
    if (record == nullptr) return Outcome(slot, false);
    if (!carries(object, KVAT_WRITER_INFO_SIZE)) return BadRecord(slot, "writer information shorter than its record");
    const auto *info = reinterpret_cast<const kvat_writer_info *>(record);
    type.assign(info->type, strnlen(info->type, sizeof info->type));
    return {TxOutcome::Answer, 0};
}

ATResult SerialPortApp::LoadProject(std::int32_t slot, const S_CmdParam &command) {
    kelvra_at_object *object = protocol_object(slot);
    std::string type;
    if (const TxResult check = WriterInfoCheck(slot, type); check.code != 0) return check.code;
    char name[255];
    project_name_for_writer(type, file_name_part(CmdText(command.file)), name);
    std::uint32_t size = 0;
    const auto data = ReadWholeFile(std::string(CmdText(command.file)), &size);
    if (data == nullptr) {
        NoteDetail(slot, "cannot read " + std::string(CmdText(command.file)));
        return kNoInput;
    }
    const std::string password(CmdText(command.password));
    // Refused here as the core would, before its first frame.
    if (password.size() > AT_PASSWORD_MAX) return KVAT_ERR_PASSWORD;
    t_load_observer = observer_;
    const bool ok = kelvra_at_project_load(object, name, password.c_str(), data.get(), size, &load_progress);
    t_load_observer = nullptr;
    return Outcome(slot, ok).code;
}

ATResult SerialPortApp::SwitchProject(std::int32_t slot, const S_CmdParam &command) {
    kelvra_at_object *object = protocol_object(slot);
    std::string type;
    if (const TxResult check = WriterInfoCheck(slot, type); check.code != 0) return check.code;
    char name[255];
    project_name_for_writer(type, std::string(CmdText(command.file)), name);
    const std::string password(CmdText(command.password));
    if (password.size() > AT_PASSWORD_MAX) return KVAT_ERR_PASSWORD;
    const bool ok = kelvra_at_project_switch(object, static_cast<std::uint32_t>(command.mode), name,
                                             password.c_str(), kSwitchTimeoutMs);
    return Outcome(slot, ok).code;
}

// A broadcast that expects no answer: silence is the normal outcome, a refusal, a failed write
// or a lost port is not.
TxResult SerialPortApp::UnansweredBroadcast(std::int32_t slot) {
    kelvra_at_object *object = protocol_object(slot);
    if (PortLostFlag(slot)) return Outcome(slot, false);
    if (kelvra_at_rx_state(object) == AT_RX_FRAME) {
        if (response_code(object) == AT_CODE_BROADCAST) return {TxOutcome::Answer, 0};
        return Outcome(slot, false);
    }
    if (kelvra_at_last_error(object) == KVAT_ERR_TIMEOUT) return {TxOutcome::Answer, 0};
    return Outcome(slot, false);
}

ATResult SerialPortApp::Broadcast(std::int32_t slot, const S_CmdParam &command, std::string &name) {
    kelvra_at_object *object = protocol_object(slot);
    if (command.direction != 0) return KVAT_ERR_BROADCAST_DIRECTION;
    std::unique_ptr<std::uint8_t[]> owned;
    const std::uint8_t *data = nullptr;
    std::uint32_t length = 0;
    if (CmdText(command.file).empty()) {
        // The text with its terminating zero.
        length = static_cast<std::uint32_t>(CmdText(command.data).size() + 1);
        data = reinterpret_cast<const std::uint8_t *>(command.data);
    } else {
        owned = ReadWholeFile(std::string(CmdText(command.file)), &length);
        if (owned == nullptr) {
            NoteDetail(slot, "cannot read " + std::string(CmdText(command.file)));
            return kNoInput;
        }
        data = owned.get();
    }
    const auto direction = static_cast<std::uint32_t>(command.direction);
    const bool wait = command.wait_response != 0;
    ATResult first_failure = 0;
    std::uint32_t offset = 0;
    // Every chunk is sent whatever became of the ones before; any failed chunk fails the
    // command with its code.
    do {
        const std::uint32_t n = std::min<std::uint32_t>(length - offset, KVAT_MAX_CHUNK);
        TxResult chunk{TxOutcome::Answer, 0};
        if (n == 0) {
            // Only an empty file gets here.
            chunk = {TxOutcome::Refused, KVAT_ERR_DATA_SIZE};
        } else if (command.bcst_with_rsp != 0) {
            kvat_broadcast_record answer{};
            const bool ok = kelvra_at_broadcast(object, data + offset, n, direction, command.kf != 0, wait,
                                                reinterpret_cast<std::uint8_t *>(&answer), command.timeout);
            if (!ok) {
                chunk = Outcome(slot, false);
            } else if (!wait) {
                chunk = UnansweredBroadcast(slot);
            }
            // A record is passed on only when it lies within its frame and its request.
            if (chunk.code == 0 && kelvra_at_rx_state(object) == AT_RX_FRAME &&
                response_code(object) == AT_CODE_BROADCAST) {
                const std::uint32_t carried = at_get_le32(reinterpret_cast<const std::uint8_t *>(&answer) + 5);
                if (carried > KVAT_MAX_CHUNK || !carries(object, 9 + static_cast<std::size_t>(carried))) {
                    chunk = BadRecord(slot, "broadcast answer longer than its frame");
                    answer = kvat_broadcast_record{};
                }
            } else if (chunk.code != 0) {
                answer = kvat_broadcast_record{};
            }
            if (observer_ != nullptr) observer_->OnBroadcastResponse(name, &answer);
        } else {
            kelvra_at_easy_broadcast_no_rsp(object, data + offset, n, direction);
            chunk = UnansweredBroadcast(slot);
        }
        if (chunk.code != 0 && first_failure == 0) first_failure = chunk.code;
        offset += n;
    } while (offset < length);
    return first_failure;
}

// Reads the written range back in 256-byte reads and compares it with what was sent. A read
// that fails is that read's failure ("could not verify"); bytes that differ fail with the
// host's own code.
ATResult SerialPortApp::Verify(std::int32_t slot, std::uint32_t address, const std::uint8_t *expected,
                               std::uint32_t size) {
    kelvra_at_object *object = protocol_object(slot);
    std::uint32_t differing = 0;
    std::uint32_t first_at = 0;
    std::uint8_t first_expected = 0;
    std::uint8_t first_read = 0;
    for (std::uint32_t offset = 0; offset < size;) {
        const std::uint32_t n = std::min<std::uint32_t>(size - offset, KVAT_MAX_CHUNK);
        const std::uint32_t at = address + offset;
        const std::uint8_t *record = kelvra_at_target_read(object, at, n, kCommandTimeoutMs);
        if (record == nullptr) {
            const TxResult result = Outcome(slot, false);
            NoteDetail(slot, "could not verify: the read-back at 0x" + [at] {
                char text[16];
                std::snprintf(text, sizeof text, "%08X", at);
                return std::string(text);
            }() + " failed");
            return result.code;
        }
        if (at_get_le32(record) != at || at_get_le32(record + 4) != n || !carries(object, 8 + std::size_t{n})) {
            return BadRecord(slot, "could not verify: the read-back block does not match its request").code;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            if (record[8 + i] == expected[offset + i]) continue;
            if (differing++ == 0) {
                first_at = at + i;
                first_expected = expected[offset + i];
                first_read = record[8 + i];
            }
        }
        offset += n;
        Transfer(slot, offset, size, true);
    }
    StepFacts &facts = step_facts_[static_cast<std::size_t>(slot)];
    if (differing != 0) {
        char why[160];
        std::snprintf(why, sizeof why, "first difference at 0x%08X: wrote 0x%02X, read 0x%02X; %u byte(s) differ",
                      first_at, first_expected, first_read, differing);
        NoteDetail(slot, why);
        return kHostErrVerify;
    }
    facts.verified = true;
    facts.verified_bytes = size;
    return 0;
}

void SerialPortApp::Transfer(std::int32_t slot, std::uint32_t done, std::uint32_t size, bool verifying) {
    if (observer_ == nullptr) return;
    const std::int64_t now = clock_ms();
    std::int64_t &last = transfer_reported_ms_[static_cast<std::size_t>(slot)];
    if (done < size && now - last < 100) return;
    last = now;
    std::string name = channels_[static_cast<std::size_t>(slot)].DevicePortName();
    observer_->OnTransfer(name, done, size, verifying);
}

void SerialPortApp::set_unit_serial(std::int32_t slot, std::optional<UnitSerial> serial) {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kPortSlots) return;
    unit_serials_[static_cast<std::size_t>(slot)] = std::move(serial);
}

ATResult SerialPortApp::PatchSerial(std::int32_t slot, std::uint32_t address, std::vector<std::uint8_t> &image) {
    const std::optional<UnitSerial> &serial = unit_serials_[static_cast<std::size_t>(slot)];
    if (!serial || serial->bytes.empty()) return 0;
    const std::uint64_t begin = address;
    const std::uint64_t end = begin + image.size();
    const std::uint64_t at = serial->address;
    const std::uint64_t after = at + serial->bytes.size();
    if (after <= begin || at >= end) return 0;
    if (at < begin || after > end) {
        char why[160];
        std::snprintf(why, sizeof why,
                      "the serial number's bytes at 0x%08X..0x%08X lie only partly in the image at 0x%08X..0x%08X",
                      static_cast<unsigned>(at), static_cast<unsigned>(after - 1), static_cast<unsigned>(begin),
                      static_cast<unsigned>(end - 1));
        NoteDetail(slot, why);
        return kNoInput;
    }
    std::copy(serial->bytes.begin(), serial->bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at - begin));
    serial_written_[static_cast<std::size_t>(slot)] = true;
    return 0;
}

ATResult SerialPortApp::WriteSerial(std::int32_t slot) {
    const std::optional<UnitSerial> &serial = unit_serials_[static_cast<std::size_t>(slot)];
    if (!serial || serial->bytes.empty() || serial_written_[static_cast<std::size_t>(slot)]) return 0;
    kelvra_at_object *object = protocol_object(slot);
    const auto size = static_cast<std::uint32_t>(serial->bytes.size());
    const auto failed = [&] {
        const ATResult code = Outcome(slot, false).code;
        NoteDetail(slot, "the serial number could not be written");
        return code;
    };
    if (!kelvra_at_target_write_prepare(object, size, kCommandTimeoutMs)) return failed();
    if (!kelvra_at_target_write(object, serial->address, serial->bytes.data(), size, kCommandTimeoutMs)) return failed();
    serial_written_[static_cast<std::size_t>(slot)] = true;
    StepFacts &facts = step_facts_[static_cast<std::size_t>(slot)];
    facts.bytes_written += size;
    if (!verify_.load()) return 0;
    const bool image_verified = facts.verified;
    const std::uint32_t image_bytes = facts.verified_bytes;
    const ATResult verified = Verify(slot, serial->address, serial->bytes.data(), size);
    facts.verified = image_verified && verified == 0;
    facts.verified_bytes = image_bytes + (verified == 0 ? size : 0);
    return verified;
}

ATResult SerialPortApp::Execute(kelvra_at_object *object, const S_CmdParam *command, const std::int32_t *slot_ptr) {
    if (object == nullptr || command == nullptr || slot_ptr == nullptr) return KVAT_ERR_INIT;
    const std::int32_t slot = *slot_ptr;
    // Only a slot's own object can find its way back to the channel.
    if (object != protocol_object(slot)) return KVAT_ERR_INIT;
    kelvra_at_clear(object, false, &SerialPortApp::WritePort, nullptr, static_cast<std::uint32_t>(slot));
    failure_details_[static_cast<std::size_t>(slot)].clear();
    step_facts_[static_cast<std::size_t>(slot)] = StepFacts{};
    std::string name = PortNameOfSlot(slot);
    const auto done = [&](bool ok) { return Outcome(slot, ok).code; };
    const auto timeout = static_cast<std::uint32_t>(command->timeout);

    switch (command->command) {
        case ATCmdGetWriterInfo: {
            kvat_writer_info info;
            const ATResult result = CopyRecord(slot, kelvra_at_get_writerinfo(object, kProbeTimeoutMs), info,
                                               "writer information shorter than its record");
            if (result == 0 && observer_ != nullptr) observer_->OnWriterInfo(name, &info);
            return result;
        }
        case ATCmdGetWriterCfg: {
            kvat_writer_config config;
            const ATResult result = CopyRecord(slot, kelvra_at_get_writerconfig(object, kCommandTimeoutMs), config,
                                               "configuration shorter than its record");
            if (result == 0 && observer_ != nullptr) observer_->OnWriterConfig(name, &config);
            return result;
        }
        case ATCmdSetWriterCfg: {
            // A document that does not convert must never reach the writer: it would overwrite
            // the configuration with zeros. Converted once before anything is sent.
            const std::string path(CmdText(command->file));
            const auto convert = [&](kvat_writer_config &into) {
                files::json_file file(path, files::json_file::mode::read);
                const std::string error =
                    file.is_open() ? files::read_writer_config(file, into) : std::string(files::kNoConfigFileText);
                if (!error.empty()) NoteDetail(slot, error);
                return error.empty();
            };
            kvat_writer_config config{};
            if (!convert(config)) return KVAT_ERR_CONFIG;
            // What the document does not carry (the names) stays as the writer has it.
            if (const ATResult result = CopyRecord(slot, kelvra_at_get_writerconfig(object, kCommandTimeoutMs), config,
                                                   "configuration shorter than its record");
                result != 0) {
                return result;
            }
            if (!convert(config)) return KVAT_ERR_CONFIG;
            return done(kelvra_at_set_writerconfig(object, reinterpret_cast<const std::uint8_t *>(&config),
                                                   kCommandTimeoutMs));
        }
        case ATCmdSetBaudRate: {
            const auto baud = static_cast<std::uint32_t>(command->baudrate);
            if (!kelvra_at_set_baudrate(object, baud, kCommandTimeoutMs)) return done(false);
            // The writer now talks at the new rate, so the next scan must use it either way.
            at_baud_rate_.store(command->baudrate);
            if (!channels_[static_cast<std::size_t>(slot)].SetBaudRate(command->baudrate)) {
                NoteDetail(slot, "the host could not switch its port to " + std::to_string(command->baudrate) + " baud");
                return KVAT_ERR_PORT;
            }
            return 0;
        }
        case ATCmdConnectTarget:
            return done(kelvra_at_target_connect(object, kCommandTimeoutMs));
        case ATCmdGetTargetStatus: {
            const std::uint32_t start = clock_ms();
            for (;;) {
                sleep_ms(kStatusPollPauseMs);
                const TxResult poll = Outcome(slot, kelvra_at_target_status(object, kCommandTimeoutMs));
                if (poll.code == 0) return 0;
                // A lost or unwritable port will not come back within the poll.
                if (poll.outcome == TxOutcome::PortLost || poll.outcome == TxOutcome::WriteFailed) return poll.code;
                if (clock_ms() - start >= kStatusPollLimitMs) return poll.code;
            }
        }
        case ATCmdGetTargetChipID: {
            const std::uint8_t *record = kelvra_at_target_id(object, kCommandTimeoutMs);
            if (record == nullptr) return done(false);
            const std::uint8_t count = record[0];
            if (count > sizeof(kvat_chip_id::id) || !carries(object, 1 + static_cast<std::size_t>(count))) {
                return BadRecord(slot, "chip ID claims more bytes than its frame carries").code;
            }
            kvat_chip_id id;
            std::memcpy(&id, record, sizeof id);
            if (observer_ != nullptr) observer_->OnChipId(name, &id);
            return 0;
        }
        case ATCmdReadTargetMemory: {
            std::uint32_t address = command->address;
            auto remaining = static_cast<std::int64_t>(static_cast<std::int32_t>(command->size));
            do {
                const std::uint32_t n = remaining >= 0 && remaining < 256 ? static_cast<std::uint32_t>(remaining) : 256;
                const std::uint8_t *record = kelvra_at_target_read(object, address, n, kCommandTimeoutMs);
                if (record == nullptr) return done(false);
                // The block must be the one asked for, and lie within its frame.
                if (at_get_le32(record) != address || at_get_le32(record + 4) != n || !carries(object, 8 + std::size_t{n})) {
                    char why[160];
                    std::snprintf(why, sizeof why, "asked for %u bytes at 0x%08X, the writer sent a block of %u at 0x%08X",
                                  n, address, at_get_le32(record + 4), at_get_le32(record));
                    return BadRecord(slot, why).code;
                }
                auto *block = reinterpret_cast<kvat_memory_block *>(const_cast<std::uint8_t *>(record));
                if (observer_ != nullptr) observer_->OnMemoryData(name, block);
                address += n;
                remaining -= 256;
                Transfer(slot, address - command->address, command->size, false);
            } while (remaining > 0);
            return 0;
        }
        case ATCmdEraseTarget:
            return done(kelvra_at_target_erase(object, timeout));
        case ATCmdEraseTargetSectors:
            return done(kelvra_at_target_erase_sector(object, command->address, command->size, timeout));
        case ATCmdWriteTargetMemory: {
            std::unique_ptr<files::bs_code_file> image;
            // The reader's summary goes where the program's diagnostics go.
            std::ostringstream summary;
            try {
                image = files::open_image(std::string(CmdText(command->file)), command->fw_num,
                                          files::image_log{nullptr, &summary});
            } catch (const std::exception &e) {
                ImageSummary(std::string(CmdText(command->file)), summary.str());
                NoteDetail(slot, e.what());
                return KVAT_ERR_FIRMWARE_QUANTITY;
            }
            ImageSummary(std::string(CmdText(command->file)), summary.str());
            if (image == nullptr) {
                NoteDetail(slot, "no image could be loaded from " + std::string(CmdText(command->file)));
                return kNoInput;
            }
            // The image's own hash: the same for every unit, whatever serial number it gets.
            const std::string image_sha256 = files::Sha256Hex(image->data.data(), image->data.size());
            if (const ATResult patched = PatchSerial(slot, command->address, image->data); patched != 0) return patched;
            const auto total = static_cast<std::uint32_t>(image->data.size());
            if (!kelvra_at_target_write_prepare(object, total, kCommandTimeoutMs)) return done(false);
            std::uint32_t address = command->address;
            const std::uint8_t *p = image->data.data();
            std::int64_t remaining = total;
            do {
                const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, 256));
                if (!kelvra_at_target_write(object, address, p, n, kCommandTimeoutMs)) return done(false);
                address += 256;
                p += n;
                remaining -= 256;
                Transfer(slot, total - static_cast<std::uint32_t>(std::max<std::int64_t>(remaining, 0)), total, false);
            } while (remaining > 0);
            StepFacts &facts = step_facts_[static_cast<std::size_t>(slot)];
            facts.wrote = true;
            facts.bytes_written = total;
            facts.image_sha256 = image_sha256;
            if (!verify_.load()) return 0;
            return Verify(slot, command->address, image->data.data(), total);
        }
        case ATCmdReadTargetOptionByte: {
            const std::uint8_t *record = kelvra_at_target_read_ob(object, kCommandTimeoutMs);
            if (record == nullptr) return done(false);
            const std::uint32_t count = at_get_le32(record);
            if (count > sizeof(kvat_option_bytes::data) || !carries(object, 4 + std::size_t{count})) {
                return BadRecord(slot, "option bytes claim more bytes than their frame carries").code;
            }
            auto *bytes = reinterpret_cast<kvat_option_bytes *>(const_cast<std::uint8_t *>(record));
            if (observer_ != nullptr) observer_->OnOptionBytes(name, bytes);
            return 0;
        }
        case ATCmdWriteTargetVendorOptionByte:
            return done(kelvra_at_target_write_vendor_ob(object, timeout));
        case ATCmdWriteTargetUserOptionByte:
            return done(kelvra_at_target_write_user_ob(object, timeout));
        case ATCmdTargetReset:
            return done(kelvra_at_target_reset(object, command->reset_type, kCommandTimeoutMs));
        case ATCmdGetProjectInfo: {
            const std::uint8_t *record = kelvra_at_project_info(object, kCommandTimeoutMs);
            if (record == nullptr) return done(false);
            if (!carries(object, sizeof(kvat_project_info_record))) return BadRecord(slot, "project information shorter than its record").code;
            auto *info = reinterpret_cast<kvat_project_info_record *>(const_cast<std::uint8_t *>(record));
            if (observer_ != nullptr) observer_->OnProjectInfo(name, info);
            return 0;
        }
        case ATCmdLoadProject:
            return LoadProject(slot, *command);
        case ATCmdDisableProject:
            return done(kelvra_at_project_disable(object, kCommandTimeoutMs));
        case ATCmdStartOffline:
            return done(kelvra_at_offline_start(object, kCommandTimeoutMs));
        case ATCmdGetOfflineStatus: {
            for (;;) {
                OfflineStatus status{-1, 0, 0};
                std::uint32_t words[2] = {0, 0};
                if (!kelvra_at_offline_status(object, &status.state, words, kCommandTimeoutMs)) return done(false);
                // Neither finished nor running, or running without its two words: no status.
                if (status.state == -1) return BadRecord(slot, "offline status answered with another code").code;
                if (status.state == 1 && !carries(object, 8)) return BadRecord(slot, "offline progress shorter than its two words").code;
                status.value1 = words[0];
                status.value2 = words[1];
                if (observer_ != nullptr) observer_->OnOfflineStatus(name, &status);
                if (status.state != 1) return 0;
            }
        }
        case ATCmdSwitchOfflineProject:
            return SwitchProject(slot, *command);
        case ATCmdFactoryRunSRAMFW:
            return done(kelvra_at_run_factory_sram_fw(object, timeout));
        case ATCmdFactoryRunFlashFW:
            return done(kelvra_at_run_factory_flash_fw(object, timeout));
        case ATCmdBroadcast:
            return Broadcast(slot, *command, name);
        case ATCmdSleep: {
            // In slices, so that a stop or a lost port does not sit out a long pause.
            const std::uint32_t start = clock_ms();
            const auto total = static_cast<std::uint32_t>(std::max(command->timeout, 0));
            for (;;) {
                const std::uint32_t spent = clock_ms() - start;
                if (spent >= total) return 0;
                if (PortLostFlag(slot)) return Outcome(slot, false).code;
                if (stop_.load()) return kStepStopped;
                sleep_ms(std::min<std::uint32_t>(total - spent, kSleepSliceMs));
            }
        }
        default:
            return 0;
    }
}

}  // namespace kelvra::run
