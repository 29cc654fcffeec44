// The AT protocol core: one protocol object per writer link, the frame engine, and every
// command operation. Plain structures and functions: nothing allocates, nothing throws.
#pragma once

#include "kelvra_at_records.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t AT_MAGIC = 0x5441564Bu;  // "KVAT" read as a little-endian word
constexpr uint32_t AT_RX_BUFFER_SIZE = 1064;
constexpr uint32_t AT_FRAME_MAX_LENGTH = 1063;  // a longer length field is a receive error
constexpr uint32_t AT_FRAME_MIN_LENGTH = 12;    // magic, length and CRC
constexpr uint32_t AT_RX_FRAME_SIZE = 1059;     // largest frame without its CRC
constexpr uint32_t AT_TX_FRAME_SIZE = 1060;
constexpr uint32_t AT_HEADER_SIZE = 16;  // magic, length, code, payload length
constexpr uint32_t AT_PAYLOAD_OFFSET = AT_HEADER_SIZE;
// Largest request payload that still fits the transmit frame once padded and checksummed.
constexpr uint32_t AT_TX_PAYLOAD_MAX = AT_TX_FRAME_SIZE - AT_HEADER_SIZE - 4 - 15;

constexpr uint32_t AT_TIMEOUT_DEFAULT = 5000;
constexpr uint32_t AT_TIMEOUT_WRITE = 20000;
constexpr uint32_t AT_TIMEOUT_SWITCH = 15000;
constexpr uint32_t AT_TIMEOUT_BROADCAST_MIN = 100;

constexpr uint32_t AT_PASSWORD_MAX = 16;
constexpr uint32_t AT_PROJECT_NAME_FIELD = 255;
constexpr uint32_t AT_PROJECT_NAME_MAX = 254;

// Receive states.
// AT_RX_ABORTED: the link went away; the waiting transaction ends with a failed write (38).
enum : uint32_t { AT_RX_WAITING = 0, AT_RX_FRAME = 1, AT_RX_ERROR = 2, AT_RX_ABORTED = 3 };

struct kelvra_at_object;

// Hands a request frame to the line. `user` is the object's user value (the program's port
// index; the library ignores it and finds its handle from the frame pointer).
using kelvra_at_write_fn = bool (*)(uint8_t *frame, uint32_t user, uint32_t timeout_ms);
using kelvra_at_event_fn = void (*)(kelvra_at_object *object, int event);
// Called with {total, done} after every acknowledged project-data frame.
using kelvra_at_progress_fn = void (*)(const uint32_t *total_done);

// One link to one writer. A plain record: zero-filled is a valid "never initialised" state.
// The receive count, receive state and last error are shared between the command thread and
// the feeding thread; the engine accesses them atomically (std::atomic_ref). The receive lock
// makes a send's reset of the receive side and a feed's append exclude each other, so a
// command never accepts bytes that were in the buffer before its request went out.
struct kelvra_at_object {
    uint32_t rx_count;
    uint8_t rx_buffer[AT_RX_BUFFER_SIZE];
    bool encrypted;
    kelvra_at_write_fn write;
    kelvra_at_event_fn event;
    uint32_t rx_state;
    uint32_t last_error;
    uint32_t rx_lock;     // 0 free, 1 held, 2 held and contended
    uint32_t rx_waiting;  // the command thread sleeps on rx_state and wants a wake
    uint8_t rx_frame[AT_RX_FRAME_SIZE];
    uint32_t rx_crc;
    uint8_t tx_frame[AT_TX_FRAME_SIZE];
    uint32_t tx_crc;
    uint32_t user;
};

// ---- Little-endian helpers shared by the core, the host programs and the virtual writer ----
inline uint32_t at_get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void at_put_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// ---- Engine ----
// First set-up of an object: clears all of it. Nothing may feed the object meanwhile.
bool kelvra_at_init(kelvra_at_object *object, bool encrypted, kelvra_at_write_fn write,
                    kelvra_at_event_fn event, uint32_t user = 0);
// Clears an object that is already in use, like kelvra_at_init, under the receive lock: a
// feed running on another thread at that moment lands wholly before or wholly after it.
bool kelvra_at_clear(kelvra_at_object *object, bool encrypted, kelvra_at_write_fn write,
                     kelvra_at_event_fn event, uint32_t user = 0);
uint32_t _cmdGetPropertySize(const uint8_t *tx_frame, uint32_t code);
bool _cmdSendCommand(kelvra_at_object *object, uint32_t code, uint32_t timeout_ms);
bool _kelvra_at_send_command(kelvra_at_object *object, uint32_t code, uint32_t timeout_ms);
// Appends received bytes and analyses the buffer once, under the receive lock; wakes the
// command thread when a frame was accepted or rejected. The event function runs afterwards,
// outside the lock.
bool kelvra_at_datain(kelvra_at_object *object, const void *data, uint32_t length);
bool _cmdDataAnalysis(kelvra_at_object *object);
bool _cmdResetRXSendErrorEvent(kelvra_at_object *object);
const uint8_t *kelvra_at_received_frame(const kelvra_at_object *object);
uint32_t kelvra_at_last_error(const kelvra_at_object *object);
uint32_t kelvra_at_rx_state(const kelvra_at_object *object);
// Ends the transaction waiting on `object` at once with last error 38, as a failed write
// would: for a link that went away. The next send starts afresh.
void kelvra_at_abort(kelvra_at_object *object);
// The payload length the received frame declares, when the frame really holds that many
// bytes; otherwise -1 (a record that claims more than its frame carries).
int32_t kelvra_at_received_payload_size(const kelvra_at_object *object);

// Request payload area of the transmit frame.
inline uint8_t *kelvra_at_tx_payload(kelvra_at_object *object) {
    return object->tx_frame + AT_PAYLOAD_OFFSET;
}

// ---- Writer commands ----
// Reading operations return the payload of the received frame, or null on failure.
const uint8_t *kelvra_at_get_writerinfo(kelvra_at_object *object,
                                        uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
const uint8_t *kelvra_at_get_writerconfig(kelvra_at_object *object,
                                          uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_set_writerconfig(kelvra_at_object *object, const uint8_t *config,
                                uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_set_baudrate(kelvra_at_object *object, uint32_t baudrate,
                            uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);

// ---- Target commands ----
bool kelvra_at_target_connect(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_target_status(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
const uint8_t *kelvra_at_target_id(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
const uint8_t *kelvra_at_target_read(kelvra_at_object *object, uint32_t address, uint32_t length,
                                     uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_target_erase(kelvra_at_object *object, uint32_t timeout_ms);
bool kelvra_at_target_erase_sector(kelvra_at_object *object, uint32_t address, uint32_t length,
                                   uint32_t timeout_ms);
bool kelvra_at_target_write_prepare(kelvra_at_object *object, uint32_t total_size,
                                    uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_target_write(kelvra_at_object *object, uint32_t address, const void *data,
                            uint32_t length, uint32_t timeout_ms = AT_TIMEOUT_WRITE);
const uint8_t *kelvra_at_target_read_ob(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_target_write_vendor_ob(kelvra_at_object *object, uint32_t timeout_ms);
bool kelvra_at_target_write_user_ob(kelvra_at_object *object, uint32_t timeout_ms);
bool kelvra_at_target_reset(kelvra_at_object *object, uint32_t reset_type,
                            uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);

// ---- Project, offline, factory and broadcast commands ----
const uint8_t *kelvra_at_project_info(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_project_disable(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_project_load(kelvra_at_object *object, const char *name, const char *password,
                            const void *data, uint32_t size, kelvra_at_progress_fn progress);
bool kelvra_at_project_switch(kelvra_at_object *object, uint32_t firmware_number,
                              const char *name, const char *password,
                              uint32_t timeout_ms = AT_TIMEOUT_SWITCH);
bool kelvra_at_offline_start(kelvra_at_object *object, uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
// On success `state` is 0 (finished), 1 (running; `progress` holds the two words) or -1
// (unrecognised answer). A NACK fails with the writer's code as last error.
bool kelvra_at_offline_status(kelvra_at_object *object, int32_t *state, uint32_t progress[2],
                              uint32_t timeout_ms = AT_TIMEOUT_DEFAULT);
bool kelvra_at_run_factory_sram_fw(kelvra_at_object *object, uint32_t timeout_ms);
bool kelvra_at_run_factory_flash_fw(kelvra_at_object *object, uint32_t timeout_ms);
// `answer` (265 bytes) may be null.
bool kelvra_at_broadcast(kelvra_at_object *object, const void *data, uint32_t length,
                         uint32_t direction, bool keep_frame, bool wait_answer, uint8_t *answer,
                         int32_t timeout_ms);
bool kelvra_at_easy_broadcast_no_rsp(kelvra_at_object *object, const void *data, uint32_t length,
                                     uint32_t direction);
