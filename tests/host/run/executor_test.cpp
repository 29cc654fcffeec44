// The executor's helpers and its refusals that need no writer, and result records whose
// counts and lengths lie beyond the record.
#include "session_rig.h"

#include <cstring>

namespace kelvra::run::test {
namespace {

TEST(AnsiToUtf8, KeepsUtf8AndNeverWritesPastItsBuffer) {
    struct Case {
        const char *name;
        std::string in;
        std::string out;
    };
    const std::string chinese = "项目.pkg";
    const Case cases[] = {
        {"ascii", "job.pkg", "job.pkg"},
        {"chinese", chinese, chinese},
        {"stray byte", std::string("a\xFF" "b"), "a\xEF\xBF\xBD" "b"},
        {"cut sequence", std::string("a\xE9\xA1"), "a\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"254 bytes fit", std::string(254, 'x'), std::string(254, 'x')},
        {"255 bytes are cut", std::string(255, 'y'), std::string(254, 'y')},
        {"300 bytes are cut", std::string(300, 'z'), std::string(254, 'z')},
        // 85 three-byte characters take 255 bytes: the last one does not fit with the zero.
        {"cut on a character", [] { std::string s; for (int i = 0; i < 90; ++i) s += "项"; return s; }(),
         [] { std::string s; for (int i = 0; i < 84; ++i) s += "项"; return s; }()},
    };
    for (const Case &c : cases) {
        struct Guarded {
            char out[255];
            char guard[16];
        } buffer;
        std::memset(&buffer, 0x5A, sizeof buffer);
        AnsiToUtf8(c.in.c_str(), buffer.out);
        EXPECT_EQ(std::string(buffer.out), c.out) << c.name;
        EXPECT_EQ(std::string(buffer.guard, 16), std::string(16, '\x5A')) << c.name;
    }
}

TEST(ReadWholeFile, ReadsBytesOrSaysWhy) {
    ScratchDir dir;
    write_file(dir / "data.bin", std::string("\0\x01\x02", 3));
    write_file(dir / "empty.bin", "");
    std::uint32_t size = 99;
    auto data = SerialPortApp::ReadWholeFile(dir / "data.bin", &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data[2], 2);
    data = SerialPortApp::ReadWholeFile(dir / "empty.bin", &size);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    for (const std::string &path : {dir / "missing.bin", dir.path().string()}) {
        size = 99;
        EXPECT_EQ(SerialPortApp::ReadWholeFile(path, &size), nullptr) << path;
        EXPECT_EQ(size, 1u);
    }
}

TEST(FindPortIndex, FirstEntryWithTheName) {
    const std::vector<OpenPort> ports = {{"ttyACM0", 0}, {"ttyUSB1", 3}, {"ttyUSB1", 5}};
    EXPECT_EQ(SerialPortApp::FindPortIndex("ttyUSB1", ports), 3);
    EXPECT_EQ(SerialPortApp::FindPortIndex("ttyACM0", ports), 0);
    EXPECT_EQ(SerialPortApp::FindPortIndex("COM3", ports), -1);
}

TEST(Execute, RefusalsBeforeAnythingIsSent) {
    RecordingView view;
    SessionOptions options;
    options.scan_linger_ms = 0;
    RunSession session(view, options);
    SerialPortApp &app = session.app();
    std::int32_t slot = 0;
    S_CmdParam connect = command(ATCmdConnectTarget);
    EXPECT_EQ(app.Execute(nullptr, &connect, &slot), KVAT_ERR_INIT);
    // Another slot's object cannot find its channel.
    EXPECT_EQ(app.Execute(app.protocol_object(1), &connect, &slot), KVAT_ERR_INIT);
    S_CmdParam broadcast = command(ATCmdBroadcast);
    broadcast.direction = 1;
    EXPECT_EQ(app.Execute(app.protocol_object(0), &broadcast, &slot), KVAT_ERR_BROADCAST_DIRECTION);
    // No open channel: the write fails.
    EXPECT_EQ(app.Execute(app.protocol_object(0), &connect, &slot), KVAT_ERR_PORT);
    // Ids outside the catalogue do nothing and succeed.
    S_CmdParam unknown = command(108);
    EXPECT_EQ(app.Execute(app.protocol_object(0), &unknown, &slot), 0);
}

// Records whose counts and lengths claim more than the record holds are held to the record.
TEST(ResultRecords, CountsBeyondTheRecordAreHeldToIt) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    rig.session->set_print_info(true);
    S_CmdParam sleep = command(ATCmdSleep);
    sleep.timeout = 1;
    ASSERT_TRUE(rig.run({sleep}));
    std::string port = "ttyKV0";
    const fs::path folder = rig.folder(port);

    kvat_chip_id id{};
    id.count = 200;
    std::memset(id.id, 0xAB, sizeof id.id);
    rig.session->OnChipId(port, &id);
    EXPECT_NE(read_file(folder / "chip_id.txt").find("$Target chip id[16]:"), std::string::npos);

    std::vector<std::uint8_t> frame(KVAT_MEMORY_BLOCK_SIZE, 0x11);
    at_put_le32(frame.data(), 0x100);
    at_put_le32(frame.data() + 4, 5000);
    rig.session->OnMemoryData(port, reinterpret_cast<kvat_memory_block *>(frame.data()));
    EXPECT_EQ(read_file(folder / "memory.bin").size(), 256u);

    std::vector<std::uint8_t> ob(KVAT_OPTION_BYTES_SIZE, 0x22);
    at_put_le32(ob.data(), 100000);
    rig.session->OnOptionBytes(port, reinterpret_cast<kvat_option_bytes *>(ob.data()));
    EXPECT_EQ(read_file(folder / "option_byte.bin").size(), 1024u);
    // 1024 bytes do not fit one log line: the limit line stands in for them.
    EXPECT_TRUE(rig.view.has_text("LOG输出字符超出指定大小：1024"));

    std::vector<std::uint8_t> bc(KVAT_BROADCAST_RECORD_SIZE, 0x33);
    at_put_le32(bc.data() + 5, 0xFFFFFFFF);
    rig.session->OnBroadcastResponse(port, reinterpret_cast<kvat_broadcast_record *>(bc.data()));
    EXPECT_EQ(read_file(folder / "broadcast_rsp.bin").size(), 256u);

    kvat_chip_id none{};
    rig.session->OnChipId(port, &none);
    EXPECT_NE(read_file(folder / "chip_id.txt").find("$Target chip id[0]:\n{}\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kelvra::run::test
