// Runs the kvat binary with arguments and compares its output with stored expected files:
// expected/<case>.stdout and expected/<case>.stderr (a missing file means no output). Shared
// by the tests of the kvat verbs; each defines KVAT_EXE and runs from its own folder.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kvat::cli::test {

inline std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct verb_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class verb_runner {
public:
    verb_runner()
        : dir_(std::filesystem::temp_directory_path() / ("kvat_verb_test_" + std::to_string(::getpid()) + "_" +
                                                         std::to_string(counter()++))) {
        std::filesystem::create_directories(dir_);
    }
    ~verb_runner() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    verb_runner(const verb_runner &) = delete;
    verb_runner &operator=(const verb_runner &) = delete;

    // A path in the runner's scratch folder.
    std::string scratch(const std::string &name) const { return (dir_ / name).string(); }

    verb_result run(const std::string &arguments) const {
        const std::string out = scratch("stdout.txt");
        const std::string err = scratch("stderr.txt");
        const std::string command = std::string(KVAT_EXE) + " " + arguments + " >" + out + " 2>" + err;
        const int status = std::system(command.c_str());
        verb_result result;
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = read_file(out);
        result.err = read_file(err);
        return result;
    }

    // Runs `arguments` and checks the exit code and both streams against expected/<name>.*.
    void expect(const std::string &name, const std::string &arguments, int exit_code) const {
        const verb_result result = run(arguments);
        EXPECT_EQ(result.exit_code, exit_code) << arguments;
        EXPECT_EQ(result.out, read_file("expected/" + name + ".stdout")) << arguments;
        EXPECT_EQ(result.err, read_file("expected/" + name + ".stderr")) << arguments;
    }

private:
    static int &counter() {
        static int value = 0;
        return value;
    }
    std::filesystem::path dir_;
};

// One row of a verb's table of cases: expected/<name>.* hold its output.
struct verb_case {
    const char *name;
    const char *arguments;
    int exit_code;
};

inline void PrintTo(const verb_case &c, std::ostream *out) { *out << c.name; }

inline std::string verb_case_name(const ::testing::TestParamInfo<verb_case> &param) {
    return param.param.name;
}

}  // namespace kvat::cli::test
