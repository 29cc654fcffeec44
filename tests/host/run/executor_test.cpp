// The executor's helpers and its refusals that need no writer, and result records whose
// counts and lengths lie beyond the record.
#include "session_rig.h"

#include "core/crc32.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"

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

using Bytes = sim::Bytes;

Bytes words(std::initializer_list<std::uint32_t> values) {
    Bytes out;
    for (const std::uint32_t v : values) {
        const std::size_t at = out.size();
        out.resize(at + 4);
        at_put_le32(out.data() + at, v);
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text_field(const std::string &text, std::size_t width) {
    Bytes out(width, 0);
    std::memcpy(out.data(), text.data(), std::min(text.size(), width));
    return out;
}

Bytes slice(const std::string &data, std::size_t from, std::size_t n) {
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

std::string request_text(const std::vector<sim::Request> &requests) {
    std::ostringstream out;
    for (const auto &r : requests) {
        out << r.code << ":";
        for (const std::uint8_t b : r.payload) out << ' ' << std::hex << static_cast<int>(b) << std::dec;
        out << "\n";
    }
    return out.str();
}

// Every command id of the executor, in an order a writer accepts, with the requests it must
// put on the line: codes, payload words, chunks and texts.
TEST(Execute, EveryCommandSendsItsRequests) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    SerialPortApp &app = rig.session->app();
    constexpr std::uint32_t A = 0x08000000;

    kvat_writer_config config{};
    config.erase = 1;
    config.clock = 7;
    config.limit_number = 0x01020304;
    config.power_off_debounce_ms = 0x0506;
    config.reset_pin_ctrl = 2;
    {
        files::json_file file(rig.scratch / "cfg.json", files::json_file::mode::write);
        file.value = files::writer_config_document(config);
        ASSERT_TRUE(file.write());
    }
    std::string image(300, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 5 + 1);
    write_file(rig.scratch / "image.bin", image);
    std::string project(600, '\0');
    for (std::size_t i = 0; i < project.size(); ++i) project[i] = static_cast<char>(i * 3 + 2);
    fs::create_directories(rig.scratch.path() / "dir");
    write_file(rig.scratch / "dir/job.pkg", project);

    const auto with = [](std::int32_t id, auto &&set) {
        S_CmdParam c = command(id);
        set(c);
        return c;
    };
    struct Case {
        const char *name;
        S_CmdParam command;
        std::vector<sim::Request> requests;
        ATResult result = 0;
    };
    const Bytes zero = words({0});
    kvat_writer_config named = config;
    const kvat_writer_config current =
        rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.config(); });
    std::memcpy(named.vendor, current.vendor, sizeof named.vendor);
    std::memcpy(named.series, current.series, sizeof named.series);
    std::memcpy(named.model, current.model, sizeof named.model);
    const Case cases[] = {
        {"writer info", command(ATCmdGetWriterInfo), {{1, zero}}},
        {"writer config", command(ATCmdGetWriterCfg), {{3, zero}}},
        // The writer's configuration is read first: the names the document does not carry stay.
        {"set config", with_file(ATCmdSetWriterCfg, rig.scratch / "cfg.json"),
         {{3, zero}, {5, Bytes(reinterpret_cast<const std::uint8_t *>(&named), reinterpret_cast<const std::uint8_t *>(&named) + sizeof named)}}},
        {"baud rate", with(ATCmdSetBaudRate, [](S_CmdParam &c) { c.baudrate = 57600; }), {{6, words({57600})}}},
        {"connect", command(ATCmdConnectTarget), {{100, zero}}},
        {"status", command(ATCmdGetTargetStatus), {{101, zero}}},
        {"chip id", command(ATCmdGetTargetChipID), {{102, zero}}},
        {"read 300", with(ATCmdReadTargetMemory, [](S_CmdParam &c) { c.address = A; c.size = 300; }),
         {{104, words({A, 256})}, {104, words({A + 256, 44})}}},
        {"erase", with(ATCmdEraseTarget, [](S_CmdParam &c) { c.timeout = 5000; }), {{106, zero}}},
        {"erase sectors", with(ATCmdEraseTargetSectors, [](S_CmdParam &c) { c.address = A; c.size = 4096; c.timeout = 5000; }),
         {{107, words({A, 4096})}}},
        {"write 300", with(ATCmdWriteTargetMemory, [&](S_CmdParam &c) { c.address = A; SetCmdText(c.file, rig.scratch / "image.bin"); }),
         {{108, words({300})}, {109, words({A, 256}) + slice(image, 0, 256)}, {109, words({A + 256, 44}) + slice(image, 256, 44)}}},
        {"read option bytes", command(ATCmdReadTargetOptionByte), {{110, zero}}},
        {"vendor option bytes", with(ATCmdWriteTargetVendorOptionByte, [](S_CmdParam &c) { c.timeout = 5000; }), {{112, zero}}},
        {"user option bytes", with(ATCmdWriteTargetUserOptionByte, [](S_CmdParam &c) { c.timeout = 5000; }), {{113, zero}}},
        {"reset", with(ATCmdTargetReset, [](S_CmdParam &c) { c.reset_type = 5; }), {{114, words({5})}}},
        {"project info", command(ATCmdGetProjectInfo), {{200, zero}}},
        {"load project", with(ATCmdLoadProject, [&](S_CmdParam &c) { SetCmdText(c.file, rig.scratch / "dir/job.pkg"); SetCmdText(c.password, "pw"); }),
         {{1, zero},
          {202, text_field("pw", 16) + words({600, crc32(project.data(), 600)}) + text_field("job.pkg", 255)},
          {203, words({0, 256}) + slice(project, 0, 256)},
          {203, words({256, 256}) + slice(project, 256, 256)},
          {203, words({512, 88}) + slice(project, 512, 88) + Bytes(168, 0)}}},
        {"start offline", command(ATCmdStartOffline), {{205, zero}}},
        {"offline status", command(ATCmdGetOfflineStatus), {{206, zero}, {206, zero}, {206, zero}, {206, zero}}},
        {"switch project", with(ATCmdSwitchOfflineProject, [](S_CmdParam &c) { SetCmdText(c.file, "job.pkg"); SetCmdText(c.password, "pw"); }),
         {{1, zero}, {207, words({0}) + text_field("pw", 16) + text_field("job.pkg", 255)}}},
        {"disable project", command(ATCmdDisableProject), {{204, zero}}},
        {"factory sram", with(ATCmdFactoryRunSRAMFW, [](S_CmdParam &c) { c.timeout = 500; }), {{300, zero}}, KVAT_ERR_FACTORY_DISABLED},
        {"factory flash", with(ATCmdFactoryRunFlashFW, [](S_CmdParam &c) { c.timeout = 500; }), {{301, zero}}, KVAT_ERR_FACTORY_DISABLED},
        {"simple broadcast", with(ATCmdBroadcast, [](S_CmdParam &c) { SetCmdText(c.data, "abc"); }),
         {{400, Bytes{0} + words({0, 4}) + Bytes{'a', 'b', 'c', 0}}}},
        {"extended broadcast", with(ATCmdBroadcast, [](S_CmdParam &c) {
             SetCmdText(c.data, "xy"); c.bcst_with_rsp = 1; c.kf = 1; c.wait_response = 1; c.timeout = 1000; }),
         {{400, Bytes{1} + words({0, 3}) + Bytes{'x', 'y', 0}}}},
        {"sleep", with(ATCmdSleep, [](S_CmdParam &c) { c.timeout = 10; }), {}},
        {"not in the catalogue", command(108), {}},
    };
    const auto requests = [&] { return rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.requests(); }); };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = requests().size();
        std::int32_t slot = 0;
        S_CmdParam cmd = c.command;
        EXPECT_EQ(app.Execute(app.protocol_object(0), &cmd, &slot), c.result) << app.FailureDetail(0);
        const auto all = requests();
        const std::vector<sim::Request> sent(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(request_text(sent), request_text(c.requests));
    }
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
    // 1024 bytes do not fit one log line: they are printed over eight lines of 128.
    EXPECT_FALSE(rig.view.has_text("LOG输出字符超出指定大小：1024"));
    const auto texts = rig.view.texts();
    const auto first = std::find_if(texts.begin(), texts.end(), [](const std::string &t) { return t.rfind("{ 0x22, ", 0) == 0; });
    ASSERT_NE(first, texts.end());
    ASSERT_GE(texts.end() - first, 8);
    std::string joined;
    for (auto line = first; line != first + 8; ++line) {
        EXPECT_LT(line->size(), 1024u);
        joined += *line + " ";
    }
    EXPECT_EQ(std::count(joined.begin(), joined.end(), 'x'), 1024);
    EXPECT_EQ(first[7].substr(first[7].size() - 2), " }");

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
