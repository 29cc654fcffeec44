#include "tests/cli/verb_runner.h"

#include <gtest/gtest.h>

namespace kvat::cli::test {
namespace {

class ImageVerb : public ::testing::TestWithParam<verb_case> {};

TEST_P(ImageVerb, PrintsTheStoredOutput) {
    verb_runner runner;
    runner.expect(GetParam().name, std::string("image ") + GetParam().arguments, GetParam().exit_code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageVerb,
    ::testing::Values(verb_case{"hex_first_block", "fixtures/two_blocks.hex", 0},
                      verb_case{"hex_second_block_json", "fixtures/two_blocks.hex --fw-num 1 --json", 0},
                      verb_case{"hex_all", "fixtures/two_blocks.hex --fw-num all", 0},
                      verb_case{"hex_out_of_range", "fixtures/two_blocks.hex --fw-num 2", 1},
                      verb_case{"hex_bad_fw_num", "fixtures/two_blocks.hex --fw-num first", 2},
                      verb_case{"hex_diagnostics", "fixtures/diagnostics.hex", 0},
                      verb_case{"hex_diagnostics_out_of_range", "fixtures/diagnostics.hex --fw-num 1", 1},
                      verb_case{"hex_truncated", "fixtures/truncated.hex", 1},
                      verb_case{"s19_header_first", "fixtures/header_first.s19", 0},
                      // A header before the data starts the image at 0: a warning, not a failure.
                      verb_case{"s19_header_first_json", "fixtures/header_first.s19 --json", 0},
                      verb_case{"s19_app_header", "fixtures/app_header.s19 --fw-num 1", 0},
                      verb_case{"s19_app_no_header", "fixtures/app_no_header.s19", 0},
                      verb_case{"s19_header_data_at_zero", "fixtures/header_data_at_zero.s19", 0},
                      verb_case{"bin", "fixtures/raw.bin --fw-num 3", 0},
                      verb_case{"bin_json", "fixtures/raw.bin --json", 0},
                      verb_case{"missing", "fixtures/missing.bin", 3},
                      verb_case{"unknown_kind", "fixtures/image.srec", 3}),
    verb_case_name);

TEST(ImageVerbOutput, WritesTheSelectedBytes) {
    verb_runner runner;
    const std::string all = runner.scratch("all.bin");
    ASSERT_EQ(runner.run("image fixtures/two_blocks.hex --fw-num all -o " + all).exit_code, 0);
    EXPECT_EQ(read_file(all), read_file("expected/two_blocks_all.bin"));

    const std::string second = runner.scratch("second.bin");
    ASSERT_EQ(runner.run("image fixtures/two_blocks.hex --fw-num 1 -o " + second).exit_code, 0);
    EXPECT_EQ(read_file(second), read_file("expected/two_blocks_all.bin").substr(0x1000));
}

}  // namespace
}  // namespace kvat::cli::test
