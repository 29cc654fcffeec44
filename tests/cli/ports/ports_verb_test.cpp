// kvat ports on a fake sysfs tree, against stored expected output.
#include "fake_sysfs.h"
#include "tests/cli/verb_runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace kvat::cli::test {
namespace {

class PortsVerb : public testing::TestWithParam<verb_case> {
protected:
    static void SetUpTestSuite() {
        sysfs = new kvat_test::FakeSysfs(std::filesystem::temp_directory_path() /
                                         ("kvat-ports-" + std::to_string(getpid())));
        sysfs->standard_tree();
    }
    static void TearDownTestSuite() { delete sysfs; }
    static kvat_test::FakeSysfs *sysfs;
};

kvat_test::FakeSysfs *PortsVerb::sysfs = nullptr;

TEST_P(PortsVerb, PrintsTheStoredOutput) {
    verb_runner runner;
    runner.expect(GetParam().name,
                  "ports --sysfs-root " + sysfs->root().string() + " " + GetParam().arguments,
                  GetParam().exit_code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortsVerb,
    testing::Values(verb_case{"table", "", 0}, verb_case{"table_any_port", "--any-port", 0},
                    verb_case{"json_with_explicit_port", "--json --port /tmp/kvat-none/ttyKV0", 0},
                    verb_case{"bad_option", "--bogus", 2}),
    verb_case_name);

TEST(PortsVerbInput, MissingTreeIsAnInputError) {
    verb_runner runner;
    const verb_result result = runner.run("ports --sysfs-root /nonexistent-kvat-tree");
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.err, "kvat ports: /nonexistent-kvat-tree is not a folder\n");
}

}  // namespace
}  // namespace kvat::cli::test
