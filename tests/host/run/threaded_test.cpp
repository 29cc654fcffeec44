// The session with several writers at once, repeated: run under ThreadSanitizer in CI.
#include "session_rig.h"

namespace kelvra::run::test {
namespace {

TEST(RunSessionThreads, ThreeWritersRunMixedListsRepeatedly) {
    SessionRig rig({.writers = 3, .faults = {.code = AT_CODE_TARGET_RESET, .nack = KVAT_ERR_CONFIG},
                    .fault_writer = 2});
    ASSERT_EQ(rig.scan().size(), 3u);
    rig.session->set_print_info(true);
    S_CmdParam read = command(ATCmdReadTargetMemory);
    read.address = 0x08000000;
    read.size = 600;
    S_CmdParam reset = command(ATCmdTargetReset);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(rig.run({command(ATCmdGetWriterInfo), command(ATCmdConnectTarget), read,
                             command(ATCmdGetTargetChipID), reset}));
        const auto summary = rig.view.summaries().back();
        EXPECT_FALSE(summary.ok);
        ASSERT_EQ(summary.port_results.size(), 3u);
        for (const auto &[port, result] : summary.port_results) {
            EXPECT_EQ(result, port == "ttyKV2" ? KVAT_ERR_CONFIG : 0) << port;
        }
        EXPECT_EQ(rig.view.count_text("所有指令执行完成"), round + 1);
    }
    for (const char *port : {"ttyKV0", "ttyKV1", "ttyKV2"}) {
        EXPECT_EQ(read_file(rig.folder(port) / "memory.bin").size(), 600u) << port;
    }
}

}  // namespace
}  // namespace kelvra::run::test
