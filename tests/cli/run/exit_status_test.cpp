// Every exit status of kvat run, provoked, and compared with the table kvat run --help prints.
#include "run_bench.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

using kvat::cli::test::Bench;
using kvat::cli::test::interrupt_after;
using kvat::cli::test::read_file;
using kvat::cli::test::Result;

// The statuses the help's table lists.
std::set<int> listed_statuses(const std::string &help) {
    std::set<int> statuses;
    const std::regex row(R"(^  (\d+) +\S)");
    std::istringstream lines(help.substr(help.find("Exit status:")));
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) statuses.insert(std::stoi(m[1]));
    }
    return statuses;
}

TEST(KvatRunExit, EveryStatusAsTheTableSays) {
    std::map<int, int> provoked;  // table status -> what the tool returned
    {
        Bench bench(1);
        provoked[0] = bench.run("run read.kvatscript --out " + bench.out().string()).exit_code;
    }
    {
        Bench bench(1, {.flip_bit = 0x08000010});
        Result r = bench.run("run write_hex.kvatscript --out " + bench.out().string());
        provoked[1] = r.exit_code;
        EXPECT_NE(r.out.find("first difference at 0x08000010"), std::string::npos) << r.out;
    }
    {
        Bench bench(1);
        provoked[2] = bench.run("run read.kvatscript --no-such-option --out " + bench.out().string()).exit_code;
    }
    {
        Bench bench(1);
        provoked[3] = bench.run("run refused.kvatscript --out " + bench.out().string()).exit_code;
    }
    {
        Bench bench(1);
        Result r = bench.run("run read.kvatscript --out " + bench.out().string(), "KVAT_TEST_INTERNAL_ERROR=1");
        provoked[4] = r.exit_code;
        EXPECT_NE(r.err.find("kvat: KVAT_TEST_INTERNAL_ERROR is set"), std::string::npos) << r.err;
    }
    {
        Bench bench(1);
        fs::create_directories(bench.out());
        std::ofstream(bench.out() / "log") << "a file where the log folder belongs";
        provoked[5] = bench.run("run read.kvatscript --out " + bench.out().string()).exit_code;
    }
    {
        Bench bench(1);
        provoked[130] = interrupt_after(std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE " run pause.kvatscript --out ") +
                                            bench.out().string() + bench.ports() + " >/dev/null 2>&1",
                                        800, 1);
    }
    for (const auto &[status, returned] : provoked) EXPECT_EQ(returned, status) << "provoking status " << status;

    Bench help(0);
    const std::set<int> listed = listed_statuses(help.run("run --help").out);
    std::set<int> tried;
    for (const auto &[status, returned] : provoked) tried.insert(status);
    EXPECT_EQ(listed, tried) << "the help's table and the provoked statuses differ";
    // The README carries the same table.
    const std::string readme = read_file(fs::path(KVAT_RUN_SCRIPTS) / "../../../../README.md");
    for (const int status : listed) {
        EXPECT_NE(readme.find("\n| " + std::to_string(status) + " | "), std::string::npos) << "README lacks status " << status;
    }
}

}  // namespace
