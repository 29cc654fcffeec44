// The two-pass reader of text image files (Intel HEX, Motorola S-record). Pass 1 finds the
// address bounds and the written ranges; pass 2 stores the bytes of one chosen offset range into
// a buffer pre-filled with the pad value. All state lives in the reader object, so loads on
// different threads need no lock.
#pragma once

#include "host/files/coverage.h"
#include "host/files/image_log.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::files {

inline constexpr std::uint8_t kPadByte = 0xFF;
inline constexpr std::size_t kMaxPathLength = 260;
inline constexpr std::size_t kMaxLinePiece = 1023;  // longer lines are read as several lines

class image_reader {
public:
    image_reader(std::string path, image_log log);
    virtual ~image_reader();
    image_reader(const image_reader &) = delete;
    image_reader &operator=(const image_reader &) = delete;

    // Pass 1. False when the file cannot be used; the reason is in the diagnostics.
    bool scan();
    // Pass 2: `out` becomes the image bytes at offsets [first, end), padded. False on failure.
    bool fill(std::uint64_t first, std::uint64_t end, std::vector<std::uint8_t> &out);

    bool has_data() const { return !written_.empty(); }
    std::uint32_t lowest() const { return lowest_; }
    std::uint32_t highest() const { return highest_; }
    std::uint64_t length() const { return std::uint64_t{highest_} - lowest_ + 1; }
    const std::vector<coverage_segment> &segments() const { return segments_; }

protected:
    enum class pass { scan, fill };

    // One line without its line break; false stops the load as failed.
    virtual bool record(std::string_view line) = 0;
    virtual void begin_pass() = 0;

    pass current_pass() const { return pass_; }
    int record_number() const { return record_number_; }
    image_log log() const { return log_; }

    // A data record of `count` bytes at `address`; false (after a diagnostic) past 4 GiB.
    bool data(std::uint64_t address, const std::uint8_t *bytes, std::size_t count);
    // Widens the bounds by one byte that carries no data (the S-record header).
    void mark(std::uint32_t address);
    bool line_error();                  // "Error in line ..."; always false
    bool data_byte_error();             // "ReadDataBytes: error in line ..."; always false
    void checksum_error();

private:
    bool run_pass(pass which);
    bool read_lines();
    void widen(std::uint64_t first, std::uint64_t last);
    void check_overlap(std::uint64_t address, const std::uint8_t *bytes, std::size_t count);
    void store(std::uint64_t address, const std::uint8_t *bytes, std::size_t count);
    void print_bounds() const;

    std::string path_;
    image_log log_;
    std::FILE *file_ = nullptr;
    pass pass_ = pass::scan;
    int record_number_ = 0;
    std::uint32_t lowest_ = 0xFFFFFFFF;
    std::uint32_t highest_ = 0;
    written_ranges written_;
    std::vector<coverage_segment> segments_;

    // Pass 2: the chosen offset range, and a shadow of the bytes written more than once so that
    // overlaps are reported the same whichever block is chosen.
    std::vector<std::uint8_t> *out_ = nullptr;
    std::uint64_t out_first_ = 0;
    std::uint64_t out_end_ = 0;
    std::vector<coverage_segment> overlaps_;
    std::vector<std::uint64_t> overlap_base_;
    std::vector<std::uint8_t> overlap_bytes_;
};

// Intel HEX records 00-05.
class hex_reader final : public image_reader {
public:
    using image_reader::image_reader;

private:
    enum class addressing { none, segment, linear };
    bool record(std::string_view line) override;
    void begin_pass() override;
    bool extended_address(std::uint8_t type, std::uint32_t value);

    addressing mode_ = addressing::none;
    std::uint32_t segment_ = 0;
    std::uint32_t upper_ = 0;
};

// Motorola S-records S0-S9.
class s19_reader final : public image_reader {
public:
    using image_reader::image_reader;

private:
    bool record(std::string_view line) override;
    void begin_pass() override;
    void report(char type, std::uint32_t address) const;

    std::uint32_t previous_address_ = 0;
};

// Decodes the hex digit pairs of `text` into bytes; false when a character is not a hex digit.
bool decode_hex(std::string_view text, std::uint8_t *out);

}  // namespace kelvra::files
