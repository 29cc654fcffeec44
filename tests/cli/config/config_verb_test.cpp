#include "tests/cli/verb_runner.h"

#include <gtest/gtest.h>

namespace kvat::cli::test {
namespace {

class ConfigVerb : public ::testing::TestWithParam<verb_case> {};

TEST_P(ConfigVerb, PrintsTheStoredOutput) {
    verb_runner runner;
    runner.expect(GetParam().name, std::string("config ") + GetParam().arguments, GetParam().exit_code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigVerb,
    ::testing::Values(verb_case{"full", "fixtures/full.json", 0},
                      verb_case{"without_names", "fixtures/without_names.json", 0},
                      verb_case{"erase_string", "fixtures/erase_string.json", 1},
                      verb_case{"erase_string_row_7", "fixtures/erase_string.json --row 7", 1},
                      verb_case{"missing_key", "fixtures/missing_key.json", 1},
                      verb_case{"not_json", "fixtures/not_json.json", 1},
                      verb_case{"empty", "fixtures/empty.json", 3},
                      verb_case{"missing_file", "fixtures/missing.json", 3},
                      verb_case{"not_a_json_name", "fixtures/config.txt", 1},
                      verb_case{"defaults_printed", "--defaults", 0},
                      verb_case{"no_file", "", 2}),
    verb_case_name);

TEST(ConfigVerbDefaults, WritesTheDialogDefaults) {
    verb_runner runner;
    const std::string path = runner.scratch("writer_cfg.json");
    const verb_result result = runner.run("config --defaults -o " + path);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file(path), read_file("expected/writer_cfg_defaults.json"));

    // A written document reads back as the same numbers.
    EXPECT_EQ(runner.run("config " + path).out, read_file("expected/defaults_fields.stdout"));
}

}  // namespace
}  // namespace kvat::cli::test
