#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
    int exit_code;
    std::string out;
    std::string err;
};

// Runs "kvat check ARGS" inside `dir`, so relative file names in the scripts resolve there.
Outcome run_check(const std::string &args, const fs::path &dir = KVAT_SCRIPTS_DIR) {
    const fs::path temp = fs::temp_directory_path() /
                          ("kelvra_check_" +
                           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(temp);
    const std::string command = "cd '" + dir.string() + "' && '" KVAT_EXE "' check " + args +
                                " >'" + (temp / "out").string() + "' 2>'" +
                                (temp / "err").string() + "'";
    const int status = std::system(command.c_str());
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(temp / "out"),
            read_file(temp / "err")};
    fs::remove_all(temp);
    return run;
}

struct Case {
    const char *name;
    const char *args;
    const char *dir = KVAT_SCRIPTS_DIR;  // where the script and its files are
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.args; }

class CheckVerb : public ::testing::TestWithParam<Case> {};

TEST_P(CheckVerb, MatchesTheStoredOutput) {
    const Case &c = GetParam();
    const Outcome run = run_check(c.args, c.dir);
    const std::string actual = "$ kvat check " + std::string(c.args) + "\nexit: " +
                               std::to_string(run.exit_code) + "\n--- stdout\n" + run.out +
                               "--- stderr\n" + run.err;
    const fs::path expected_path = fs::path(KVAT_EXPECTED_DIR) / (std::string(c.name) + ".txt");
    if (std::getenv("KVAT_UPDATE_EXPECTED") != nullptr) {
        std::ofstream(expected_path, std::ios::binary) << actual;
        GTEST_SKIP() << "rewrote " << expected_path;
    }
    EXPECT_EQ(actual, read_file(expected_path));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CheckVerb,
    ::testing::Values(Case{"production", "production.kvatscript"},
                      Case{"warnings", "warnings.kvatscript"},
                      Case{"warnings_json", "--json warnings.kvatscript"},
                      Case{"stops", "stops.kvatscript"},
                      Case{"stops_json", "--json stops.kvatscript"},
                      Case{"row_checks", "row-checks.kvatscript"},
                      Case{"values_json", "--json values.kvatscript"},
                      Case{"missing_file", "absent.kvatscript"},
                      Case{"missing_file_json", "--json absent.kvatscript"},
                      Case{"wrong_extension", "payload.bin"},
                      // Images that start below their first data byte: a warning per row, the
                      // exit status untouched.
                      Case{"image_start", "image_start.kvatscript", KVAT_FIXTURES_DIR},
                      Case{"image_start_json", "--json image_start.kvatscript", KVAT_FIXTURES_DIR},
                      // A value too long for its field stops the load at its line.
                      Case{"long_value", "long_value.kvatscript", KVAT_FIXTURES_DIR}),
    [](const ::testing::TestParamInfo<Case> &param) { return std::string(param.param.name); });

TEST(CheckVerbUsage, BadArgumentsAreAUsageError) {
    EXPECT_EQ(run_check("").exit_code, 2);
    EXPECT_EQ(run_check("a.kvatscript b.kvatscript").exit_code, 2);
    EXPECT_EQ(run_check("--no-such-flag production.kvatscript").exit_code, 2);
}

// Whatever bytes a script holds, the JSON output stays valid JSON.
TEST(CheckVerbBadInput, BinaryScriptGivesValidJson) {
    const fs::path dir = fs::temp_directory_path() / "kelvra_check_binary";
    fs::create_directories(dir);
    std::string bytes = "-bcst -data \"\xff\xfe\" -dir x\n-info\n-setcfg -f \"\xc3\x28.json\"\n";
    std::mt19937 random(99);
    for (int i = 0; i < 20000; ++i) bytes += static_cast<char>(random() & 0xFF);
    std::ofstream(dir / "junk.kvatscript", std::ios::binary) << bytes;

    const Outcome run = run_check("--json junk.kvatscript", dir);
    fs::remove_all(dir);
    EXPECT_EQ(run.exit_code, 1);
    const auto parsed = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << run.out.substr(0, 200);
    ASSERT_TRUE(parsed.is_array());
    ASSERT_GE(parsed.size(), 3u);
    EXPECT_EQ(parsed[1]["command_line"], "-info");
    EXPECT_EQ(parsed[0]["direction"], -100);
}

}  // namespace
