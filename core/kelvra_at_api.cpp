#include "core/kelvra_at_api.h"

#include "core/crc32.h"
#include "core/kelvra_at_port.h"
#include "core/kelvra_at_utils.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

// The receive count and state cross threads: the feeding thread writes them while the command
// thread polls. Release on accepting a frame pairs with the poll's acquire, so the received
// frame is complete when the command thread reads it.
std::atomic_ref<uint32_t> rx_count(kelvra_at_object *o) { return std::atomic_ref<uint32_t>(o->rx_count); }
std::atomic_ref<uint32_t> rx_state(kelvra_at_object *o) { return std::atomic_ref<uint32_t>(o->rx_state); }
std::atomic_ref<uint32_t> last_error(kelvra_at_object *o) { return std::atomic_ref<uint32_t>(o->last_error); }

std::atomic_ref<uint32_t> rx_waiting(kelvra_at_object *o) { return std::atomic_ref<uint32_t>(o->rx_waiting); }

void set_error(kelvra_at_object *o, uint32_t code) { last_error(o).store(code, std::memory_order_relaxed); }

// The receive lock: a three-state futex mutex (0 free, 1 held, 2 held with waiters). The
// uncontended path is one compare-exchange and one subtraction, so the feed stays cheap.
class RxLock {
public:
    explicit RxLock(kelvra_at_object *o) : o_(o) {
        std::atomic_ref<uint32_t> word(o_->rx_lock);
        uint32_t c = 0;
        if (word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
        if (c != 2) c = word.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            ATWaitWord(&o_->rx_lock, 2, 1);
            c = word.exchange(2, std::memory_order_acquire);
        }
    }
    ~RxLock() {
        std::atomic_ref<uint32_t> word(o_->rx_lock);
        if (word.fetch_sub(1, std::memory_order_release) != 1) {
            word.store(0, std::memory_order_release);
            ATWakeWord(&o_->rx_lock);
        }
    }
    RxLock(const RxLock &) = delete;
    RxLock &operator=(const RxLock &) = delete;

private:
    kelvra_at_object *o_;
};

// Publishes a receive state and wakes the command thread if it sleeps on it. The store and
// the flag's load are sequentially consistent, pairing with the waiter's flag store and state
// load: either the waiter sees the new state or this side sees the flag.
void publish_state(kelvra_at_object *o, uint32_t state) {
    rx_state(o).store(state, std::memory_order_seq_cst);
    if (rx_waiting(o).load(std::memory_order_seq_cst) != 0) ATWakeWord(&o->rx_state);
}

// Analysis of the receive buffer with the lock held. Returns the event to raise once the lock
// is released (0 for none).
int analyse_locked(kelvra_at_object *object);
int reset_rx_error_locked(kelvra_at_object *object);

uint32_t response_code(const kelvra_at_object *o) { return at_get_le32(o->rx_frame + 8); }
const uint8_t *response_payload(const kelvra_at_object *o) { return o->rx_frame + AT_PAYLOAD_OFFSET; }

// Sends a request whose only payload is the unused zero word and expects ACK.
bool send_zero_word(kelvra_at_object *o, uint32_t code, uint32_t timeout_ms) {
    if (o == nullptr) return false;
    at_put_le32(kelvra_at_tx_payload(o), 0);
    return _kelvra_at_send_command(o, code, timeout_ms);
}

bool send_word(kelvra_at_object *o, uint32_t code, uint32_t word, uint32_t timeout_ms) {
    if (o == nullptr) return false;
    at_put_le32(kelvra_at_tx_payload(o), word);
    return _kelvra_at_send_command(o, code, timeout_ms);
}

// Sends a request and hands back the response payload when the answer carries `expected`.
// An ACK in place of the data answer fails with last error 0 (the engine already set it).
const uint8_t *request_record(kelvra_at_object *o, uint32_t code, uint32_t expected,
                              uint32_t timeout_ms) {
    if (!_cmdSendCommand(o, code, timeout_ms)) return nullptr;
    return response_code(o) == expected ? response_payload(o) : nullptr;
}

const uint8_t *request_zero_word_record(kelvra_at_object *o, uint32_t code, uint32_t expected,
                                        uint32_t timeout_ms) {
    if (o == nullptr) return nullptr;
    at_put_le32(kelvra_at_tx_payload(o), 0);
    return request_record(o, code, expected, timeout_ms);
}

size_t bounded_length(const char *text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

// Password (16 bytes, no terminator when full) and project name (255 bytes, at most 254
// characters) as the load header and the switch request carry them.
void put_password(uint8_t *field, const char *password) {
    std::memset(field, 0, AT_PASSWORD_MAX);
    std::memcpy(field, password, bounded_length(password, AT_PASSWORD_MAX));
}

void put_name(uint8_t *field, const char *name) {
    std::memset(field, 0, AT_PROJECT_NAME_FIELD);
    if (name != nullptr) std::memcpy(field, name, bounded_length(name, AT_PROJECT_NAME_MAX));
}

bool password_too_long(const char *password) {
    return bounded_length(password, AT_PASSWORD_MAX + 1) > AT_PASSWORD_MAX;
}

}  // namespace

// ================================ Engine ================================

namespace {

// Clears every member but the receive lock, then installs the link's settings.
void clear_object(kelvra_at_object *object, bool encrypted, kelvra_at_write_fn write,
                  kelvra_at_event_fn event, uint32_t user) {
    auto *bytes = reinterpret_cast<uint8_t *>(object);
    constexpr size_t lock_at = offsetof(kelvra_at_object, rx_lock);
    constexpr size_t after_lock = lock_at + sizeof(uint32_t);
    std::memset(bytes, 0, lock_at);
    std::memset(bytes + after_lock, 0, sizeof *object - after_lock);
    object->encrypted = encrypted;
    object->write = write;
    object->event = event;
    object->user = user;
    at_put_le32(object->tx_frame, AT_MAGIC);
}

}  // namespace

bool kelvra_at_init(kelvra_at_object *object, bool encrypted, kelvra_at_write_fn write,
                    kelvra_at_event_fn event, uint32_t user) {
    if (object == nullptr || write == nullptr) return false;
    object->rx_lock = 0;
    clear_object(object, encrypted, write, event, user);
    return true;
}

bool kelvra_at_clear(kelvra_at_object *object, bool encrypted, kelvra_at_write_fn write,
                     kelvra_at_event_fn event, uint32_t user) {
    if (object == nullptr || write == nullptr) return false;
    RxLock lock(object);
    clear_object(object, encrypted, write, event, user);
    return true;
}

uint32_t _cmdGetPropertySize(const uint8_t *tx_frame, uint32_t code) {
    switch (code) {
        case AT_CODE_GET_WRITER_INFO:
        case AT_CODE_GET_WRITER_CFG:
        case AT_CODE_SET_BAUDRATE:
        case AT_CODE_TARGET_CONNECT:
        case AT_CODE_TARGET_STATUS:
        case AT_CODE_TARGET_GET_ID:
        case AT_CODE_TARGET_ERASE:
        case AT_CODE_TARGET_WRITE_PREPARE:
        case AT_CODE_TARGET_READ_OB:
        case AT_CODE_TARGET_WRITE_VENDOR_OB:
        case AT_CODE_TARGET_WRITE_USER_OB:
        case AT_CODE_TARGET_RESET:
        case AT_CODE_PROJECT_INFO:
        case AT_CODE_PROJECT_DISABLE:
        case AT_CODE_OFFLINE_START:
        case AT_CODE_OFFLINE_STATUS:
        case AT_CODE_FACTORY_RUN_SRAM_FW:
        case AT_CODE_FACTORY_RUN_FLASH_FW:
            return 4;
        case AT_CODE_SET_WRITER_CFG:
            return KVAT_WRITER_CONFIG_SIZE;
        case AT_CODE_TARGET_READ:
        case AT_CODE_TARGET_ERASE_SECTOR:
            return 8;
        case AT_CODE_TARGET_WRITE:
            return tx_frame == nullptr ? 0 : 8 + at_get_le32(tx_frame + AT_PAYLOAD_OFFSET + 4);
        case AT_CODE_PROJECT_LOAD:
            return 279;
        case AT_CODE_PROJECT_DATA:
            return 264;
        case AT_CODE_PROJECT_SWITCH:
            return 275;
        case AT_CODE_BROADCAST:
            return tx_frame == nullptr ? 0 : 9 + at_get_le32(tx_frame + AT_PAYLOAD_OFFSET + 5);
        default:
            return 0;
    }
}

bool _cmdSendCommand(kelvra_at_object *object, uint32_t code, uint32_t timeout_ms) {
    if (object == nullptr) return false;
    uint8_t *frame = object->tx_frame;
    const uint32_t payload = _cmdGetPropertySize(frame, code);
    // Only a corrupted length word in the payload can get here; never build past the frame.
    if (payload > AT_TX_PAYLOAD_MAX) {
        set_error(object, KVAT_ERR_DATA_SIZE);
        return false;
    }
    at_put_le32(frame + 8, code);
    at_put_le32(frame + 12, payload);
    uint32_t body = payload + 8;
    if (object->encrypted) {
        body = utils_round_up(body, 16);
        // Padding carries no meaning; zero it so nothing of an earlier frame goes out.
        std::memset(frame + AT_PAYLOAD_OFFSET + payload, 0, body - 8 - payload);
    }
    at_put_le32(frame + 4, body + 12);
    object->tx_crc = GetCrc32(frame, static_cast<int32_t>(body + 8));
    if (object->encrypted) kelvra_at_encrypt(frame + 8, body, true);
    at_put_le32(frame + body + 8, object->tx_crc);

    {
        // A feed still running from before this request either finishes first or starts
        // after: it can never put the previous answer back.
        RxLock lock(object);
        rx_state(object).store(AT_RX_WAITING, std::memory_order_relaxed);
        rx_count(object).store(0, std::memory_order_relaxed);
    }

    if (object->write == nullptr) {
        set_error(object, KVAT_ERR_NULL);
        return false;
    }
    if (!object->write(frame, object->user, timeout_ms)) {
        set_error(object, KVAT_ERR_PORT);
        return false;
    }

    const uint32_t start = GetSystemTick();
    // A host that feeds the answer from inside its write callback is already done: look once
    // before the first sleep (after the time-out test, so a time-out of 0 still fails).
    bool first = true;
    for (;;) {
        if (GetSystemTick() - start >= timeout_ms) {
            set_error(object, KVAT_ERR_TIMEOUT);
            return false;
        }
        if (first && rx_state(object).load(std::memory_order_acquire) == AT_RX_FRAME) break;
        first = false;
        if (rx_state(object).load(std::memory_order_acquire) == AT_RX_ABORTED) {
            set_error(object, KVAT_ERR_PORT);
            return false;
        }
        // Sleep at most 1 ms, as the poll always did, but let the feed wake us the moment it
        // accepts a frame.
        rx_waiting(object).store(1, std::memory_order_seq_cst);
        const uint32_t state = rx_state(object).load(std::memory_order_seq_cst);
        if (state != AT_RX_FRAME && state != AT_RX_ABORTED) ATWaitWord(&object->rx_state, state, 1);
        rx_waiting(object).store(0, std::memory_order_relaxed);
        if (rx_state(object).load(std::memory_order_acquire) == AT_RX_FRAME) break;
    }

    const uint32_t answer = response_code(object);
    if (answer == AT_STATUS_ACK) {
        set_error(object, KVAT_ERR_NONE);
        return true;
    }
    if (answer == AT_STATUS_NACK) {
        set_error(object, at_get_le32(response_payload(object)));
        return false;
    }
    return true;
}

bool _kelvra_at_send_command(kelvra_at_object *object, uint32_t code, uint32_t timeout_ms) {
    return _cmdSendCommand(object, code, timeout_ms) && response_code(object) == AT_STATUS_ACK;
}

bool kelvra_at_datain(kelvra_at_object *object, const void *data, uint32_t length) {
    if (object == nullptr || data == nullptr) return false;
    const auto *bytes = static_cast<const uint8_t *>(data);
    int event;
    kelvra_at_event_fn notify;
    {
        RxLock lock(object);
        uint32_t count = rx_count(object).load(std::memory_order_relaxed);
        for (uint32_t i = 0; i < length; ++i) {
            if (count > AT_FRAME_MAX_LENGTH) count = 0;
            object->rx_buffer[count++] = bytes[i];
        }
        rx_count(object).store(count, std::memory_order_relaxed);
        event = analyse_locked(object);
        // Read under the lock: a clear may replace it as soon as the lock is released.
        notify = object->event;
    }
    if (event != 0 && notify != nullptr) notify(object, event);
    return event == AT_EVENT_FRAME;
}

bool _cmdDataAnalysis(kelvra_at_object *object) {
    if (object == nullptr) return false;
    int event;
    kelvra_at_event_fn notify;
    {
        RxLock lock(object);
        event = analyse_locked(object);
        notify = object->event;
    }
    if (event != 0 && notify != nullptr) notify(object, event);
    return event == AT_EVENT_FRAME;
}

bool _cmdResetRXSendErrorEvent(kelvra_at_object *object) {
    if (object == nullptr) return false;
    int event;
    kelvra_at_event_fn notify;
    {
        RxLock lock(object);
        event = reset_rx_error_locked(object);
        notify = object->event;
    }
    if (notify != nullptr) notify(object, event);
    return false;
}

namespace {

int analyse_locked(kelvra_at_object *object) {
    const uint32_t count = rx_count(object).load(std::memory_order_relaxed);
    const uint8_t *buf = object->rx_buffer;
    if (count < 4) {
        // Compare what has arrived so far; a wrong first byte is an error only once 4 are in.
        return 0;
    }
    if (at_get_le32(buf) != AT_MAGIC) return reset_rx_error_locked(object);
    if (count < 8) return 0;
    const uint32_t length = at_get_le32(buf + 4);
    if (length > AT_FRAME_MAX_LENGTH || length < AT_FRAME_MIN_LENGTH) {
        return reset_rx_error_locked(object);
    }
    if (object->encrypted && (length - 12) % 16 != 0) return reset_rx_error_locked(object);
    if (count < length) return 0;

    // Decrypt a copy, not the receive buffer: a later feed re-analyses the same bytes (they stay
    // until the next send), and decrypting them twice would turn an accepted frame into an error.
    uint8_t plain[AT_FRAME_MAX_LENGTH];
    std::memcpy(plain, buf, length);
    if (object->encrypted) kelvra_at_encrypt(plain + 8, length - 12, false);
    const uint32_t crc = at_get_le32(plain + length - 4);
    if (GetCrc32(plain, static_cast<int32_t>(length - 4)) != crc) {
        return reset_rx_error_locked(object);
    }

    // A frame accepted since the last send stays as it is: the command thread may be reading
    // it. Only bytes fed after it can get here (a re-analysis, or a buffer that wrapped).
    if (rx_state(object).load(std::memory_order_relaxed) == AT_RX_FRAME) return AT_EVENT_FRAME;

    // Zero what the frame does not cover, so a short answer never shows an older frame's bytes.
    std::memcpy(object->rx_frame, plain, length - 4);
    std::memset(object->rx_frame + (length - 4), 0, AT_RX_FRAME_SIZE - (length - 4));
    object->rx_crc = crc;
    publish_state(object, AT_RX_FRAME);
    return AT_EVENT_FRAME;
}

int reset_rx_error_locked(kelvra_at_object *object) {
    rx_count(object).store(0, std::memory_order_relaxed);
    set_error(object, KVAT_ERR_PACKAGE);
    publish_state(object, AT_RX_ERROR);
    return AT_EVENT_ERROR;
}

}  // namespace

const uint8_t *kelvra_at_received_frame(const kelvra_at_object *object) {
    return object == nullptr ? nullptr : object->rx_frame;
}

uint32_t kelvra_at_last_error(const kelvra_at_object *object) {
    if (object == nullptr) return 0;
    return std::atomic_ref<uint32_t>(const_cast<kelvra_at_object *>(object)->last_error)
        .load(std::memory_order_relaxed);
}

void kelvra_at_abort(kelvra_at_object *object) {
    if (object == nullptr) return;
    RxLock lock(object);
    // An answer already accepted stands: it arrived before the link went away.
    if (rx_state(object).load(std::memory_order_relaxed) == AT_RX_FRAME) return;
    publish_state(object, AT_RX_ABORTED);
}

int32_t kelvra_at_received_payload_size(const kelvra_at_object *object) {
    if (object == nullptr) return -1;
    const uint32_t frame_length = at_get_le32(object->rx_frame + 4);
    const uint32_t declared = at_get_le32(object->rx_frame + 12);
    // Header, payload and CRC must lie within the frame's own length.
    if (frame_length < AT_HEADER_SIZE + 4 || frame_length > AT_FRAME_MAX_LENGTH) return -1;
    if (declared > frame_length - AT_HEADER_SIZE - 4) return -1;
    return static_cast<int32_t>(declared);
}

uint32_t kelvra_at_rx_state(const kelvra_at_object *object) {
    if (object == nullptr) return AT_RX_WAITING;
    return std::atomic_ref<uint32_t>(const_cast<kelvra_at_object *>(object)->rx_state)
        .load(std::memory_order_acquire);
}

// ================================ Writer commands ================================

const uint8_t *kelvra_at_get_writerinfo(kelvra_at_object *object, uint32_t timeout_ms) {
    return request_zero_word_record(object, AT_CODE_GET_WRITER_INFO, AT_CODE_WRITER_INFO,
                                    timeout_ms);
}

const uint8_t *kelvra_at_get_writerconfig(kelvra_at_object *object, uint32_t timeout_ms) {
    return request_zero_word_record(object, AT_CODE_GET_WRITER_CFG, AT_CODE_WRITER_CFG, timeout_ms);
}

bool kelvra_at_set_writerconfig(kelvra_at_object *object, const uint8_t *config, uint32_t timeout_ms) {
    if (object == nullptr || config == nullptr) return false;
    std::memcpy(kelvra_at_tx_payload(object), config, KVAT_WRITER_CONFIG_SIZE);
    return _kelvra_at_send_command(object, AT_CODE_SET_WRITER_CFG, timeout_ms);
}

bool kelvra_at_set_baudrate(kelvra_at_object *object, uint32_t baudrate, uint32_t timeout_ms) {
    return send_word(object, AT_CODE_SET_BAUDRATE, baudrate, timeout_ms);
}

// ================================ Target commands ================================

bool kelvra_at_target_connect(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_TARGET_CONNECT, timeout_ms);
}

bool kelvra_at_target_status(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_TARGET_STATUS, timeout_ms);
}

const uint8_t *kelvra_at_target_id(kelvra_at_object *object, uint32_t timeout_ms) {
    return request_zero_word_record(object, AT_CODE_TARGET_GET_ID, AT_CODE_TARGET_ID, timeout_ms);
}

const uint8_t *kelvra_at_target_read(kelvra_at_object *object, uint32_t address, uint32_t length,
                                     uint32_t timeout_ms) {
    if (object == nullptr) return nullptr;
    uint8_t *payload = kelvra_at_tx_payload(object);
    at_put_le32(payload, address);
    at_put_le32(payload + 4, length > KVAT_MAX_CHUNK ? KVAT_MAX_CHUNK : length);
    return request_record(object, AT_CODE_TARGET_READ, AT_CODE_TARGET_MEMORY, timeout_ms);
}

bool kelvra_at_target_erase(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_TARGET_ERASE, timeout_ms);
}

bool kelvra_at_target_erase_sector(kelvra_at_object *object, uint32_t address, uint32_t length,
                                   uint32_t timeout_ms) {
    if (object == nullptr) return false;
    uint8_t *payload = kelvra_at_tx_payload(object);
    at_put_le32(payload, address);
    at_put_le32(payload + 4, length);
    return _kelvra_at_send_command(object, AT_CODE_TARGET_ERASE_SECTOR, timeout_ms);
}

bool kelvra_at_target_write_prepare(kelvra_at_object *object, uint32_t total_size, uint32_t timeout_ms) {
    return send_word(object, AT_CODE_TARGET_WRITE_PREPARE, total_size, timeout_ms);
}

bool kelvra_at_target_write(kelvra_at_object *object, uint32_t address, const void *data,
                            uint32_t length, uint32_t timeout_ms) {
    if (object == nullptr || (data == nullptr && length != 0)) return false;
    const uint32_t n = length > KVAT_MAX_CHUNK ? KVAT_MAX_CHUNK : length;
    uint8_t *payload = kelvra_at_tx_payload(object);
    at_put_le32(payload, address);
    at_put_le32(payload + 4, n);
    if (n != 0) std::memcpy(payload + 8, data, n);
    return _kelvra_at_send_command(object, AT_CODE_TARGET_WRITE, timeout_ms);
}

const uint8_t *kelvra_at_target_read_ob(kelvra_at_object *object, uint32_t timeout_ms) {
    return request_zero_word_record(object, AT_CODE_TARGET_READ_OB, AT_CODE_TARGET_OB, timeout_ms);
}

bool kelvra_at_target_write_vendor_ob(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_TARGET_WRITE_VENDOR_OB, timeout_ms);
}

bool kelvra_at_target_write_user_ob(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_TARGET_WRITE_USER_OB, timeout_ms);
}

bool kelvra_at_target_reset(kelvra_at_object *object, uint32_t reset_type, uint32_t timeout_ms) {
    return send_word(object, AT_CODE_TARGET_RESET, reset_type, timeout_ms);
}

// ======================= Project, offline, factory and broadcast =======================

const uint8_t *kelvra_at_project_info(kelvra_at_object *object, uint32_t timeout_ms) {
    return request_zero_word_record(object, AT_CODE_PROJECT_INFO, AT_CODE_PROJECT_INFO_DATA, timeout_ms);
}

bool kelvra_at_project_disable(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_PROJECT_DISABLE, timeout_ms);
}

bool kelvra_at_project_load(kelvra_at_object *object, const char *name, const char *password,
                            const void *data, uint32_t size, kelvra_at_progress_fn progress) {
    if (object == nullptr || password == nullptr || data == nullptr) return false;
    if (password_too_long(password)) {
        set_error(object, KVAT_ERR_PASSWORD);
        return false;
    }
    uint8_t *payload = kelvra_at_tx_payload(object);
    const auto *image = static_cast<const uint8_t *>(data);
    put_password(payload, password);
    at_put_le32(payload + 16, size);
    at_put_le32(payload + 20, crc32_update(0, image, size));  // images may exceed INT32_MAX
    put_name(payload + 24, name);
    if (!_kelvra_at_send_command(object, AT_CODE_PROJECT_LOAD, AT_TIMEOUT_DEFAULT)) return false;

    for (uint32_t offset = 0; offset < size;) {
        const uint32_t n = size - offset < KVAT_MAX_CHUNK ? size - offset : KVAT_MAX_CHUNK;
        at_put_le32(payload, offset);
        at_put_le32(payload + 4, n);
        std::memcpy(payload + 8, image + offset, n);
        // The bytes after the chunk mean nothing to the writer; zero rather than repeat data.
        std::memset(payload + 8 + n, 0, KVAT_MAX_CHUNK - n);
        if (!_kelvra_at_send_command(object, AT_CODE_PROJECT_DATA, AT_TIMEOUT_DEFAULT)) return false;
        offset += n;
        if (progress != nullptr) {
            const uint32_t total_done[2] = {size, offset};
            progress(total_done);
        }
    }
    return true;
}

bool kelvra_at_project_switch(kelvra_at_object *object, uint32_t firmware_number,
                              const char *name, const char *password, uint32_t timeout_ms) {
    if (object == nullptr || password == nullptr) return false;
    if (password_too_long(password)) {
        set_error(object, KVAT_ERR_PASSWORD);
        return false;
    }
    uint8_t *payload = kelvra_at_tx_payload(object);
    at_put_le32(payload, firmware_number);
    put_password(payload + 4, password);
    put_name(payload + 20, name);
    return _kelvra_at_send_command(object, AT_CODE_PROJECT_SWITCH, timeout_ms);
}

bool kelvra_at_offline_start(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_OFFLINE_START, timeout_ms);
}

bool kelvra_at_offline_status(kelvra_at_object *object, int32_t *state, uint32_t progress[2],
                              uint32_t timeout_ms) {
    if (object == nullptr) return false;
    at_put_le32(kelvra_at_tx_payload(object), 0);
    if (!_cmdSendCommand(object, AT_CODE_OFFLINE_STATUS, timeout_ms)) return false;
    int32_t result = -1;
    uint32_t words[2] = {0, 0};
    const uint32_t answer = response_code(object);
    if (answer == AT_STATUS_ACK) {
        result = 0;
    } else if (answer == AT_STATUS_RUNNING) {
        result = 1;
        words[0] = at_get_le32(response_payload(object));
        words[1] = at_get_le32(response_payload(object) + 4);
    }
    if (state != nullptr) *state = result;
    if (progress != nullptr) {
        progress[0] = words[0];
        progress[1] = words[1];
    }
    return true;
}

bool kelvra_at_run_factory_sram_fw(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_FACTORY_RUN_SRAM_FW, timeout_ms);
}

bool kelvra_at_run_factory_flash_fw(kelvra_at_object *object, uint32_t timeout_ms) {
    return send_zero_word(object, AT_CODE_FACTORY_RUN_FLASH_FW, timeout_ms);
}

bool kelvra_at_broadcast(kelvra_at_object *object, const void *data, uint32_t length,
                         uint32_t direction, bool keep_frame, bool wait_answer, uint8_t *answer,
                         int32_t timeout_ms) {
    if (object == nullptr || data == nullptr) return false;
    if (length == 0) {
        set_error(object, KVAT_ERR_DATA_SIZE);
        return false;
    }
    const uint32_t n = length > KVAT_MAX_CHUNK ? KVAT_MAX_CHUNK : length;
    uint8_t *payload = kelvra_at_tx_payload(object);
    payload[0] = keep_frame ? 1 : 0;
    at_put_le32(payload + 1, direction);
    at_put_le32(payload + 5, n);
    std::memcpy(payload + 9, data, n);

    uint32_t wait = AT_TIMEOUT_BROADCAST_MIN;
    if (wait_answer && timeout_ms > static_cast<int32_t>(AT_TIMEOUT_BROADCAST_MIN)) {
        wait = static_cast<uint32_t>(timeout_ms);
    }
    // No answer is the normal outcome of a broadcast that awaits none.
    if (!_cmdSendCommand(object, AT_CODE_BROADCAST, wait)) return !wait_answer;
    if (response_code(object) != AT_CODE_BROADCAST) return false;
    if (answer != nullptr) std::memcpy(answer, response_payload(object), KVAT_BROADCAST_RECORD_SIZE);
    return true;
}

bool kelvra_at_easy_broadcast_no_rsp(kelvra_at_object *object, const void *data, uint32_t length,
                                     uint32_t direction) {
    return kelvra_at_broadcast(object, data, length, direction, false, false, nullptr,
                               static_cast<int32_t>(AT_TIMEOUT_BROADCAST_MIN));
}
