// kvat ports on a fake sysfs tree, against stored expected output.
#include "fake_sysfs.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    std::string out;
    int status = -1;
};

Result run(const std::string &args) {
    Result r;
    FILE *p = popen((std::string(KVAT_EXE) + " " + args + " 2>/dev/null").c_str(), "r");
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string expected(const std::string &name) {
    std::ifstream in(std::string(EXPECTED_DIR) + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class PortsVerb : public testing::Test {
protected:
    PortsVerb()
        : sysfs(std::filesystem::temp_directory_path() / ("kvat-ports-" + std::to_string(getpid()))) {
        sysfs.standard_tree();
    }
    kvat_test::FakeSysfs sysfs;
};

}  // namespace

TEST_F(PortsVerb, TableAndJsonMatchTheStoredOutput) {
    const std::string root = " --sysfs-root " + sysfs.root().string();
    struct Case {
        std::string args, file;
    };
    for (const Case &c : {Case{"", "ports.txt"}, Case{" --any-port", "ports_any.txt"},
                          Case{" --json --port /tmp/kvat-none/ttyKV0", "ports.json"}}) {
        SCOPED_TRACE(c.file);
        const Result r = run("ports" + root + c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected(c.file));
    }
}

TEST_F(PortsVerb, MissingTreeIsAnInputError) {
    EXPECT_EQ(run("ports --sysfs-root /nonexistent-kvat-tree").status, 3);
    EXPECT_EQ(run("ports --bogus").status, 2);
}
