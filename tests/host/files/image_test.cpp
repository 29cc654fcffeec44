#include "host/files/image_reader.h"
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace kelvra::files::test {
namespace {

const std::string kFixtures = KELVRA_FILES_FIXTURES;

// `count` pad bytes followed by `tail`.
std::vector<std::uint8_t> padded(std::size_t count, const std::vector<std::uint8_t> &tail) {
    std::vector<std::uint8_t> out(count + tail.size(), 0xFF);
    std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(count));
    return out;
}

TEST(MakeCodeFile, ChoosesTheKindByTheLowerCasedExtension) {
    struct row {
        const char *path;
        const char *kind;  // nullptr: no image object
    };
    const row rows[] = {
        {"FW.HEX", "hex"}, {"a.Bin", "bin"}, {"dir.v2/app.s19", "s19"}, {"fw.srec", nullptr},
        {"fw", nullptr},   {"hex", "hex"}, {"dir.hex/fw", nullptr},   {"fw.hex.txt", nullptr},
    };
    for (const row &r : rows) {
        const auto image = make_code_file(r.path);
        std::string kind = "none";
        if (dynamic_cast<bs_hex_file *>(image.get())) kind = "hex";
        if (dynamic_cast<bs_bin_file *>(image.get())) kind = "bin";
        if (dynamic_cast<bs_s19_file *>(image.get())) kind = "s19";
        EXPECT_EQ(kind, r.kind ? r.kind : "none") << r.path;
    }
}

TEST(HexImage, TwoBlocksAllAndEachOne) {
    const auto all = load(kFixtures + "two_blocks.hex", kAllFirmware);
    ASSERT_TRUE(all.image);
    EXPECT_EQ(all.image->name, kFixtures + "two_blocks.hex");
    EXPECT_EQ(all.image->start_address, 0x1000u);
    EXPECT_EQ(all.image->end_address, 0x200Fu);
    std::vector<std::uint8_t> expected(0x1010, 0xFF);
    std::copy_n(bytes_from(0x00, 16).begin(), 16, expected.begin());
    std::copy_n(bytes_from(0x10, 16).begin(), 16, expected.begin() + 0x1000);
    EXPECT_EQ(all.image->data, expected);
    EXPECT_EQ(all.diagnostics, "");
    EXPECT_EQ(all.summary,
              "Allocate_Memory_and_Rewind:\n"
              "Lowest address:   00001000\n"
              "Highest address:  0000200F\n"
              "Starting address: 00001000\n"
              "Max Length:       4112\n\n"
              "Binary file start = 00001000\n"
              "Records start     = 00001000\n"
              "Highest address   = 0000200F\n"
              "Pad Byte          = FF\n");

    const auto first = load(kFixtures + "two_blocks.hex", 0);
    ASSERT_TRUE(first.image);
    EXPECT_EQ(first.image->start_address, 0x1000u);
    EXPECT_EQ(first.image->end_address, 0x100Fu);
    EXPECT_EQ(first.image->data, bytes_from(0x00, 16));
    EXPECT_EQ(first.summary, all.summary);

    const auto second = load(kFixtures + "two_blocks.hex", 1);
    ASSERT_TRUE(second.image);
    EXPECT_EQ(second.image->start_address, 0x2000u);
    EXPECT_EQ(second.image->end_address, 0x200Fu);
    EXPECT_EQ(second.image->data, bytes_from(0x10, 16));
}

TEST(HexImage, FirmwareNumberOutOfRangeRaises) {
    for (const std::int32_t fw : {2, 1000, -2, INT32_MIN}) {
        try {
            load(kFixtures + "two_blocks.hex", fw);
            ADD_FAILURE() << "no error for " << fw;
        } catch (const std::out_of_range &e) {
            EXPECT_STREQ(e.what(), "Firmware quantity exceeds");
        }
    }
}

// The whole file is read before the number is checked, so every diagnostic and both summary
// parts come out ahead of the error.
TEST(HexImage, FirmwareNumberOutOfRangeAfterTheWholeFile) {
    std::ostringstream diagnostics;
    std::ostringstream summary;
    EXPECT_THROW(open_image(kFixtures + "diagnostics.hex", 1, {&diagnostics, &summary}), std::out_of_range);
    EXPECT_EQ(diagnostics.str(),
              "0 byte length Data record ignored\n"
              "Unknown record type\n"
              "Checksum error in line 5 of hex file\n");
    EXPECT_EQ(summary.str(),
              "Allocate_Memory_and_Rewind:\n"
              "Lowest address:   00000000\n"
              "Highest address:  00000007\n"
              "Starting address: 00000000\n"
              "Max Length:       8\n\n"
              "Binary file start = 00000000\n"
              "Records start     = 00000000\n"
              "Highest address   = 00000007\n"
              "Pad Byte          = FF\n");
}

TEST(HexImage, UpperCaseExtensionIsHex) {
    const auto image = load(kFixtures + "FW.HEX", 1);
    ASSERT_TRUE(image.image);
    EXPECT_EQ(image.image->start_address, 0x2000u);
}

TEST(HexImage, RecordsAfterAnEndOfFileRecordStillCount) {
    const auto image = load(kFixtures + "eof_in_middle.hex", 0);
    ASSERT_TRUE(image.image);
    EXPECT_EQ(image.image->data, bytes_from(0, 16));
}

TEST(HexImage, FirstExtendedAddressKindFixesTheMode) {
    const auto segment = load(kFixtures + "segment_first.hex", kAllFirmware);
    ASSERT_TRUE(segment.image);
    EXPECT_EQ(segment.image->start_address, 0x10000u);
    EXPECT_EQ(segment.image->data, bytes_from(0, 8));
    EXPECT_EQ(segment.diagnostics, "Ignored extended segment address record 3\n");

    const auto linear = load(kFixtures + "linear_first.hex", kAllFirmware);
    ASSERT_TRUE(linear.image);
    EXPECT_EQ(linear.image->start_address, 0x08000000u);
    EXPECT_EQ(linear.image->data, bytes_from(0, 8));
    EXPECT_EQ(linear.diagnostics, "Ignored extended linear address record 3\n");
}

TEST(HexImage, OverlapStartsANewBlockAndTheLaterByteWins) {
    const auto all = load(kFixtures + "overlap.hex", kAllFirmware);
    ASSERT_TRUE(all.image);
    EXPECT_EQ(all.diagnostics, "Overlapped record detected\n");
    ASSERT_EQ(all.image->data.size(), 0x1Fu);
    EXPECT_EQ(all.image->data[0x0E], 0x0E);
    EXPECT_EQ(all.image->data[0x0F], 0xA0);
    EXPECT_EQ(all.image->data[0x1E], 0xAF);

    // The shared byte belongs to both blocks and holds the later value in both.
    const auto first = load(kFixtures + "overlap.hex", 0);
    ASSERT_TRUE(first.image);
    EXPECT_EQ(first.diagnostics, all.diagnostics);
    EXPECT_EQ(first.image->start_address, 0x100u);
    EXPECT_EQ(first.image->end_address, 0x10Fu);
    EXPECT_EQ(first.image->data.back(), 0xA0);
    const auto second = load(kFixtures + "overlap.hex", 1);
    ASSERT_TRUE(second.image);
    EXPECT_EQ(second.image->start_address, 0x10Fu);
    EXPECT_EQ(second.image->end_address, 0x11Eu);
    EXPECT_THROW(load(kFixtures + "overlap.hex", 2), std::out_of_range);
}

TEST(HexImage, SelectingABlockDoesNotBuildThePaddedSpan) {
    const auto flash = load(kFixtures + "far_apart.hex", 0);
    ASSERT_TRUE(flash.image);
    EXPECT_EQ(flash.image->start_address, 0x08000000u);
    EXPECT_EQ(flash.image->data, bytes_from(0, 32));
    EXPECT_LE(flash.image->data.capacity(), 32u);
    EXPECT_NE(flash.summary.find("Max Length:       402651140\n"), std::string::npos) << flash.summary;

    const auto option_bytes = load(kFixtures + "far_apart.hex", 1);
    ASSERT_TRUE(option_bytes.image);
    EXPECT_EQ(option_bytes.image->start_address, 0x1FFFF800u);
    EXPECT_EQ(option_bytes.image->end_address, 0x1FFFF803u);
    EXPECT_EQ(option_bytes.image->data, (std::vector<std::uint8_t>{0xA5, 0x5A, 0xFF, 0x00}));
}

TEST(HexImage, OddRecordsGiveDiagnosticsOnly) {
    const auto image = load(kFixtures + "diagnostics.hex", 0);
    ASSERT_TRUE(image.image);
    EXPECT_EQ(image.image->data, bytes_from(0, 8));
    EXPECT_EQ(image.diagnostics,
              "0 byte length Data record ignored\n"
              "Unknown record type\n"
              "Checksum error in line 5 of hex file\n");
}

TEST(HexImage, NoDataFails) {
    for (const std::int32_t fw : {0, kAllFirmware}) {
        EXPECT_FALSE(load(kFixtures + "only_eof.hex", fw).image);
        EXPECT_FALSE(load(kFixtures + "empty.hex", fw).image);
    }
}

TEST(S19Image, HeaderFirstStartsTheImageAtZero) {
    const auto image = load(kFixtures + "header_first.s19", 0);
    ASSERT_TRUE(image.image);
    EXPECT_EQ(image.image->start_address, 0u);
    EXPECT_EQ(image.image->end_address, 0x10Fu);
    EXPECT_EQ(image.image->data, padded(0x100, bytes_from(0, 16)));
    EXPECT_EQ(image.diagnostics, "Record total: 1\nExecution Address (unused): 0100\n");
}

TEST(S19Image, AllDataRecordKindsAndTheirDiagnostics) {
    const auto image = load(kFixtures + "all_kinds.s19", 7);  // the firmware number is ignored
    ASSERT_TRUE(image.image);
    // The header after the S1 record counts at that record's address, inside the bounds already.
    EXPECT_EQ(image.image->start_address, 0x2348u);
    EXPECT_EQ(image.image->end_address, 0x12347u);
    const auto &data = image.image->data;
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 4), bytes_from(8, 4));
    EXPECT_EQ(std::vector<std::uint8_t>(data.end() - 8, data.end()), bytes_from(0, 8));
    EXPECT_EQ(image.diagnostics,
              "Record total: 3\n"
              "Execution Address (unused): 00012340\n"
              "Execution Address (unused): 012340\n");
}

TEST(S19Image, HeaderWithoutDataFails) { EXPECT_FALSE(load(kFixtures + "header_only.s19", 0).image); }

TEST(BinImage, WholeFileFromAddressZero) {
    const auto image = load(kFixtures + "raw.bin", 5);
    ASSERT_TRUE(image.image);
    EXPECT_EQ(image.image->start_address, 0u);
    EXPECT_EQ(image.image->end_address, 5u);
    EXPECT_EQ(image.image->data, (std::vector<std::uint8_t>{0x3A, 0x10, 0x00, 0xFF, 0x53, 0x31}));
    EXPECT_FALSE(load(kFixtures + "empty.bin", 0).image);
    const auto missing = load(kFixtures + "missing.bin", 0);
    EXPECT_FALSE(missing.image);
    EXPECT_EQ(missing.diagnostics, "Input file " + kFixtures + "missing.bin cannot be opened.\n");
}

// Bad input: every case is a failed load with its diagnostic, never a crash or a partial image.
struct bad_case {
    const char *name;
    const char *file;
    std::string content;
    const char *diagnostic;
};

void PrintTo(const bad_case &c, std::ostream *out) { *out << c.name; }

class BadImage : public ::testing::TestWithParam<bad_case> {};

TEST_P(BadImage, FailsWithItsDiagnostic) {
    scratch_dir dir;
    const bad_case &c = GetParam();
    const auto result = load(dir.file(c.file, c.content), kAllFirmware);
    EXPECT_FALSE(result.image);
    EXPECT_EQ(result.diagnostics, c.diagnostic);
}

const std::string kGood = ":0400000001020304F2\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, BadImage,
    ::testing::Values(
        bad_case{"truncated", "a.hex", kGood + ":0400100001020", "Error in line 2 of hex file\n"},
        bad_case{"count_larger_than_line", "a.hex", ":FF00000001020304F2\n", "Error in line 1 of hex file\n"},
        bad_case{"trailing_junk", "a.hex", ":0400000001020304F2FF\n", "Error in line 1 of hex file\n"},
        bad_case{"no_colon", "a.hex", kGood + "0400000001020304F2\n", "Error in line 2 of hex file\n"},
        bad_case{"skipped_lines_are_counted", "a.hex", kGood + "\n\r\n:04\n", "Error in line 4 of hex file\n"},
        bad_case{"two_characters_are_a_line", "a.hex", kGood + "x\n", "Error in line 2 of hex file\n"},
        bad_case{"bad_address_digit", "a.hex", ":04G0000001020304F2\n", "Error in line 1 of hex file\n"},
        bad_case{"bad_data_digit", "a.hex", kGood + ":04001000010Z0304E2\n",
                 "ReadDataBytes: error in line 2 of hex file\n"},
        bad_case{"bad_checksum_digit", "a.hex", ":0400000001020304FX\n", "Error in line 1 of hex file\n"},
        bad_case{"extended_address_of_three_bytes", "a.hex", ":03000004010203F3\n", "Error in line 1 of hex file\n"},
        bad_case{"past_4_GiB", "a.hex", ":02000004FFFFFC\n:10FFF800000102030405060708090A0B0C0D0E0F80\n",
                 "Error in line 2 of hex file\n"},
        bad_case{"binary_garbage", "a.hex", std::string("\x7f" "ELF\x02\x01\x00\x00\xff\xfe\n\n", 12),
                 "Error in line 1 of hex file\n"},
        bad_case{"line_over_1023_characters", "a.hex", ":" + std::string(1100, '0') + "\n",
                 "Error in line 1 of hex file\n"},
        bad_case{"s19_truncated", "a.s19", "S1130000000102030405060708090A0B0C0D0E0F\n",
                 "Error in line 1 of hex file\n"},
        bad_case{"s19_count_too_small", "a.s19", "S30400000000FB\n", "Error in line 1 of hex file\n"},
        bad_case{"s19_bad_type", "a.s19", "SX0500000102F7\n", "Error in line 1 of hex file\n"},
        bad_case{"s19_bad_data_digit", "a.s19", "S1070000010G0304EE\n", "ReadDataBytes: error in line 1 of hex file\n"},
        bad_case{"s19_past_4_GiB", "a.s19", "S309FFFFFFFE0102030400\n", "Error in line 1 of hex file\n"},
        bad_case{"s19_empty", "a.s19", "", ""},
        bad_case{"hex_blank_lines_only", "a.hex", "\n\r\n  \n", ""}),
    [](const ::testing::TestParamInfo<bad_case> &param) { return std::string(param.param.name); });

// Text forms that load: what is skipped, what line endings and digits are accepted, and the
// diagnostics of records that are odd but not wrong.
std::string hex_record(std::uint16_t address, std::uint8_t type, const std::vector<std::uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::vector<std::uint8_t> all = {static_cast<std::uint8_t>(bytes.size()), static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address), type};
    all.insert(all.end(), bytes.begin(), bytes.end());
    unsigned sum = 0;
    for (const std::uint8_t b : all) sum += b;
    all.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    std::string line = ":";
    for (const std::uint8_t b : all) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line + "\n";
}

struct text_case {
    const char *name;
    const char *file;
    std::string content;
    std::int32_t fw;
    std::uint32_t start;
    std::vector<std::uint8_t> data;
    const char *diagnostics;
};

void PrintTo(const text_case &c, std::ostream *out) { *out << c.name; }

class TextImage : public ::testing::TestWithParam<text_case> {};

TEST_P(TextImage, LoadsWithItsDiagnostics) {
    scratch_dir dir;
    const text_case &c = GetParam();
    const auto result = load(dir.file(c.file, c.content), c.fw);
    ASSERT_TRUE(result.image) << result.diagnostics;
    EXPECT_EQ(result.image->start_address, c.start);
    EXPECT_EQ(result.image->data, c.data);
    EXPECT_EQ(result.diagnostics, c.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TextImage,
    ::testing::Values(
        text_case{"ctrl_z_on_the_last_line", "a.hex", kGood + "\x1A", 0, 0, {1, 2, 3, 4}, ""},
        text_case{"bare_line_breaks", "a.hex", "\n" + kGood + "\n\n", 0, 0, {1, 2, 3, 4}, ""},
        text_case{"crlf_and_blank_lines", "a.hex", ":0400000001020304F2\r\n\r\n  \r\n:00000001FF\r\n", 0, 0,
                  {1, 2, 3, 4}, ""},
        text_case{"lower_case_digits", "a.hex", ":04000000aabbccddee\n", 0, 0, {0xAA, 0xBB, 0xCC, 0xDD}, ""},
        text_case{"s19_ctrl_z_on_the_last_line", "a.s19", "S107001001020304DE\n\x1A", 0, 0x10, {1, 2, 3, 4}, ""},
        text_case{"linear_record_across_64_KiB", "a.hex",
                  hex_record(0, 0x04, {0x00, 0x01}) + hex_record(0xFFFE, 0x00, {1, 2, 3, 4}), 0, 0x1FFFE,
                  {1, 2, 3, 4}, ""},
        text_case{"start_address_records_are_ignored", "a.hex",
                  hex_record(0, 0x03, {0, 0, 0x12, 0x34}) + hex_record(0, 0x05, {0x08, 0, 0, 0x11}) +
                      hex_record(0x20, 0x00, {9}),
                  0, 0x20, {9}, ""},
        text_case{"segment_mode_ignores_later_linear", "a.hex",
                  hex_record(0, 0x02, {0x12, 0x34}) + hex_record(0, 0x04, {0x08, 0x00}) + hex_record(0, 0x02, {0, 0}) +
                      hex_record(5, 0x00, {7}),
                  0, 5, {7}, "Ignored extended segment address record 2\n"},
        text_case{"overwriting_a_pad_byte_is_silent", "a.hex",
                  hex_record(0, 0x00, {0xFF}) + hex_record(0, 0x00, {0xAA}), kAllFirmware, 0, {0xAA}, ""},
        text_case{"third_write_of_a_byte_reports", "a.hex",
                  hex_record(0, 0x00, {0xFF}) + hex_record(0, 0x00, {0xAA}) + hex_record(0, 0x00, {0xBB}), 2, 0,
                  {0xBB}, "Overlapped record detected\n"}),
    [](const ::testing::TestParamInfo<text_case> &param) { return std::string(param.param.name); });

TEST(BadImagePath, TooLongOrMissing) {
    const std::string long_path = std::string(256, 'a') + ".hex";
    const auto too_long = load(long_path, 0);
    EXPECT_FALSE(too_long.image);
    EXPECT_EQ(too_long.diagnostics, "filename length exceeds 260 characters.\n");

    const auto just_short_enough = load(std::string(255, 'a') + ".hex", 0);
    EXPECT_EQ(just_short_enough.diagnostics, "Input file " + std::string(255, 'a') + ".hex cannot be opened.\n");
}

TEST(BadImagePath, DevicesAndFoldersFailWithoutReadingForever) {
    scratch_dir dir;
    for (const char *name : {"zero.bin", "zero.hex", "zero.s19"}) {
        std::filesystem::create_symlink("/dev/zero", dir.path(name));
        EXPECT_FALSE(load(dir.path(name), 0).image) << name;
    }
    for (const char *name : {"folder.bin", "folder.hex", "folder.s19"}) {
        std::filesystem::create_directory(dir.path(name));
        EXPECT_FALSE(load(dir.path(name), kAllFirmware).image) << name;
    }
}

// Every reader keeps its own state, so loads on many threads at once give the same images.
TEST(ImageLoad, ConcurrentLoadsAreIndependent) {
    const std::pair<std::string, std::int32_t> jobs[] = {
        {"two_blocks.hex", 1}, {"far_apart.hex", 0}, {"segment_first.hex", kAllFirmware},
        {"linear_first.hex", kAllFirmware}, {"header_first.s19", 0}, {"overlap.hex", 1}};
    std::vector<std::vector<std::uint8_t>> expected;
    for (const auto &[file, fw] : jobs) {
        const auto image = load(kFixtures + file, fw).image;
        ASSERT_TRUE(image) << file;
        expected.push_back(image->data);
    }

    std::vector<std::thread> threads;
    std::vector<int> mismatches(std::size(jobs) * 4, 0);
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            const auto &[file, fw] = jobs[t % std::size(jobs)];
            for (int round = 0; round < 20; ++round) {
                const auto image = load(kFixtures + file, fw);
                if (!image.image || image.image->data != expected[t % std::size(jobs)]) ++mismatches[t];
            }
        });
    }
    for (auto &thread : threads) thread.join();
    for (const int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
}  // namespace kelvra::files::test
