// A behavioural model of one writer: request bytes in, answer frames out, with the state a
// real writer keeps (identity, configuration, target flash, option bytes, offline projects)
// and per-writer fault injection. It knows nothing of ttys; see pty_writer.h for that.
#pragma once

#include "kelvra_at_records.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvra::sim {

using Bytes = std::vector<uint8_t>;

struct WriterSettings {
    std::string type = "KVR4";
    std::string serial_number = "KVSIM0000";
    std::string hardware_version = "V2.1";
    std::string bootloader_version = "V1.3";
    std::string interface_version = "V1.0";

    bool encrypted = false;
    std::array<uint8_t, 16> key{0x5c, 0x2e, 0x9a, 0x17, 0xb0, 0x4d, 0x83, 0xf6,
                                0xe9, 0x1a, 0x27, 0xc0, 0x4b, 0x6d, 0x58, 0xe3};
    std::array<uint8_t, 16> iv{0xa4, 0xf0, 0x13, 0x7b, 0xe9, 0x5c, 0x26, 0xd8,
                               0x01, 0x7e, 0x4b, 0xc9, 0x3a, 0x58, 0xd2, 0x1f};

    uint32_t flash_base = 0x08000000;
    uint32_t flash_size = 256 * 1024;
    uint32_t sector_size = 2048;
    Bytes chip_id = {0x10, 0x64, 0x20, 0x41};  // count = size, at most 16
    Bytes vendor_option_bytes = {0xAA, 0x55, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
    Bytes user_option_bytes = {0xBB, 0x44, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};

    // The largest project image the writer can store; a load header that claims more is
    // refused with KVAT_ERR_PACKAGE_SIZE before anything is set aside for it.
    uint32_t project_capacity = 8 * 1024 * 1024;

    uint32_t offline_polls = 3;   // RUNNING answers before offline programming ends
    uint32_t offline_result = 0;  // 0: ends with ACK; otherwise NACK with this code
    bool factory_test = false;    // false: 300 and 301 are refused with 89
    uint32_t service_us = 0;      // time every answer takes (a writer's own processing); 0: at once
};

// What can go wrong, set per writer. `code` limits a fault to answers to that request code
// (0 = every request).
struct FaultSettings {
    uint32_t code = 0;
    uint32_t nack = 0;            // answer with NACK and this code instead
    bool silent = false;          // never answer
    bool silent_once = false;     // drop the first answer only
    uint32_t late_ms = 0;         // answer this late
    bool corrupt_crc = false;     // flip a bit of the CRC
    uint32_t garbage = 0;         // bytes of garbage written in front of the answer
    uint32_t split = 0;           // write the answer in pieces of this many bytes
    int disappear_after = -1;     // close the line after this many request frames
    bool raise = false;           // throw from inside the model while handling the request
    uint32_t only_nth = 0;        // apply the faults to the n-th matching request only (0: to all)
    int hang_up_after = -1;       // close the line right after answering this many request frames
    // A hostile writer's answers: well-formed frames with a valid CRC that say the wrong thing.
    bool bare_ack = false;        // answer with a bare ACK instead
    uint32_t answer_code = 0;     // answer with this code (and the real payload) instead
    std::vector<std::pair<uint32_t, uint8_t>> patch;  // payload bytes replaced: {offset, value}
    int32_t payload_size = -1;    // cut or zero-extend the payload to this many bytes
    int64_t declare_payload = -1; // the payload length word says this, whatever the frame carries
    // Wrong data stored silently, the writer still saying ACK: what only a read-back finds.
    int64_t flip_bit = -1;        // the byte at this address is stored with its lowest bit inverted
    uint32_t drop_chunk = 0;      // the n-th write chunk (from 1) is acknowledged and not stored
};

// One request as the writer took it from the line.
struct Request {
    uint32_t code = 0;
    Bytes payload;  // the declared payload bytes
};

// One answer as the line carries it.
struct Reply {
    Bytes bytes;
    uint32_t delay_ms = 0;  // wait before writing
    uint32_t delay_us = 0;  // and this many microseconds more
    uint32_t split = 0;     // 0: one write, else pieces of this size
};

// The payload size a request of `code` must have, 0 for a code this writer does not know. For
// 109 and 400 it counts the data bytes announced by the length word inside `payload` (bytes of
// that word beyond `length` count as zero). The writer keeps this list itself rather than
// asking the host's engine, so a wrong size on either side shows as a refused request.
uint32_t RequestPayloadSize(uint32_t code, const uint8_t *payload, size_t length);

class VirtualWriter {
public:
    explicit VirtualWriter(WriterSettings settings = {}, FaultSettings faults = {});

    // Takes bytes from the line and returns the answers to every complete request among
    // them. Frames with a bad magic, length or CRC are dropped without an answer.
    std::vector<Reply> receive(const uint8_t *data, size_t length);

    // The same, appending each answer to `answers` as soon as it is made. Throws only for the
    // `raise` fault: the answers made before it stay in `answers`, the request that raised is
    // consumed, and the requests after it wait for the next call (which may pass no bytes).
    void receive(const uint8_t *data, size_t length, std::vector<Reply> &answers);

    // Forgets a partly received frame; the line calls it after a pause in the bytes, as a
    // writer's inter-byte time-out would, so a bogus length field cannot stall the link.
    void drop_partial() { rx_.clear(); }
    bool has_partial() const { return !rx_.empty(); }

    // True once the writer has "disappeared" (its line must be closed).
    bool gone() const { return gone_; }

    // State, for tests and diagnostics.
    const WriterSettings &settings() const { return settings_; }
    const Bytes &flash() const { return flash_; }
    bool connected() const { return connected_; }
    uint32_t baudrate() const { return baudrate_; }
    const kvat_writer_config &config() const { return config_; }
    uint32_t frames_received() const { return frames_received_; }
    uint32_t frames_dropped() const { return frames_dropped_; }
    // Every well-formed request taken, in order.
    const std::vector<Request> &requests() const { return requests_; }
    bool project_enabled() const { return project_enabled_; }
    size_t project_count() const { return projects_.size(); }
    const Bytes &option_bytes() const { return option_bytes_; }
    uint32_t last_reset_type() const { return last_reset_; }

    // Builds a frame the way this writer does (encrypted when the link is).
    // `declared` overrides the payload length word (a lying frame); -1 keeps the real one.
    Bytes make_frame(uint32_t code, const Bytes &payload, int64_t declared = -1) const;

private:
    struct Answer {
        bool silent = false;
        uint32_t code = 0;
        Bytes payload;
    };
    struct Project {
        std::string name;
        std::string password;
        Bytes image;
    };

    std::optional<size_t> take_frame(Bytes &frame);
    Answer handle(uint32_t code, const Bytes &payload);
    Answer ack() const { return {false, AT_STATUS_ACK, {}}; }
    Answer nack(uint32_t error) const;
    Answer data(uint32_t code, Bytes payload) const { return {false, code, std::move(payload)}; }
    Reply shape(uint32_t request_code, const Answer &answer);

    Answer writer_info() const;
    Answer target_read(const Bytes &p);
    Answer target_erase_sector(const Bytes &p);
    Answer target_write(const Bytes &p);
    Answer project_header(const Bytes &p);
    Answer project_data(const Bytes &p);
    Answer project_switch(const Bytes &p);
    Answer offline_status();
    Answer broadcast(const Bytes &p);
    bool in_flash(uint32_t address, uint32_t length) const;

    WriterSettings settings_;
    FaultSettings faults_;
    Bytes rx_;
    bool gone_ = false;
    bool dropped_once_ = false;
    uint32_t matching_requests_ = 0;
    uint32_t frames_received_ = 0;
    uint32_t frames_dropped_ = 0;
    std::vector<Request> requests_;

    kvat_writer_config config_{};
    uint32_t baudrate_ = 115200;
    bool connected_ = false;
    Bytes flash_;
    Bytes option_bytes_;
    uint32_t write_total_ = 0;
    uint32_t write_chunks_ = 0;  // write chunks received, for the drop-chunk fault
    uint32_t last_reset_ = 0xFFFFFFFF;

    std::vector<Project> projects_;
    size_t current_project_ = 0;
    bool project_enabled_ = false;
    std::optional<Project> loading_;
    uint32_t loading_size_ = 0;
    uint32_t loading_crc_ = 0;
    bool offline_running_ = false;
    uint32_t offline_polls_left_ = 0;
};

}  // namespace kelvra::sim
