// The session with several writers at once, repeated: run under ThreadSanitizer in CI.
#include "session_rig.h"

#include <thread>

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

// Writers unplugged just after their answer while the ports are being closed: the loss and the
// close meet on the same channels from two threads, and every writer is counted out once.
TEST(RunSessionThreads, ClosingWhileWritersAreUnplugged) {
    // The writers hang up a few milliseconds after their last answer; the close is timed around it.
    for (int delay_us = 1000; delay_us < 5000; delay_us += 250) {
        SCOPED_TRACE(delay_us);
        SessionRig rig({.writers = 6, .faults = {.hang_up_after = 2}});
        ASSERT_EQ(rig.scan().size(), 6u);
        ASSERT_TRUE(rig.run({command(ATCmdConnectTarget)}));
        EXPECT_FALSE(rig.view.summaries().at(0).stopped);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        rig.session->CloseAll();
        EXPECT_TRUE(rig.session->app().open_ports().empty());
        // Losses still on their way are reported; none of them counts again.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(rig.session->writer_count(), 0);
    }
}

}  // namespace
}  // namespace kelvra::run::test
