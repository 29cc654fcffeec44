// The run end to end: a session scans virtual writers over real ptys, runs command lists on
// them and leaves result folders, result files, a run log, log lines and cells.
#include "session_rig.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

namespace kelvra::run::test {
namespace {

constexpr std::uint32_t kFlash = 0x08000000;

// A broadcast that keeps the frame and waits up to a second for each chunk's answer.
S_CmdParam extended(S_CmdParam broadcast) {
    broadcast.bcst_with_rsp = 1;
    broadcast.kf = 1;
    broadcast.wait_response = 1;
    broadcast.timeout = 1000;
    return broadcast;
}

// `n` bytes that differ from one position to the next, `step` apart.
std::string pattern(std::size_t n, unsigned step) {
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * step);
    return data;
}

std::string expected(const std::string &name) { return read_file(fs::path(KELVRA_RUN_TEST_DIR) / "expected" / name); }

TEST(RunSession, ScanFindsEveryWriterAndBuildsItsCell) {
    SessionRig rig({.writers = 3});
    const auto names = rig.scan();
    ASSERT_EQ(names, (std::vector<std::string>{"ttyKV0", "ttyKV1", "ttyKV2"}));
    const auto cells = rig.view.cells();
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[2].label, "ttyKV2");
    EXPECT_TRUE(rig.view.has_text("扫描完成"));
    EXPECT_TRUE(rig.view.run_enabled());
    EXPECT_EQ(rig.session->writer_count(), 3);
    // A second scan closes the first one's ports before it opens any: it finds the same writers.
    EXPECT_EQ(rig.scan(), names);
}

TEST(RunSession, AScanNeverUsesMoreThan24Slots) {
    SessionRig rig({.writers = 26});
    const auto names = rig.scan();
    ASSERT_EQ(names.size(), 24u);
    EXPECT_EQ(names.back(), "ttyKV23");
    EXPECT_TRUE(rig.view.has_text(
        "2 serial port(s) left out: a scan opens at most 24 writers (first left out: ttyKV24)"));
    // The wait window went from 0 to 100 % and closed.
    const auto percents = rig.view.scan_percents();
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

TEST(RunSession, ScanWithoutWritersDisablesTheRun) {
    SessionRig rig({.writers = 1, .faults = {.silent = true}});
    EXPECT_TRUE(rig.scan().empty());
    EXPECT_TRUE(rig.view.has_text("未扫描到Kelvra，请检查Kelvra是否开启AT命令功能"));
    EXPECT_FALSE(rig.view.run_enabled());
    EXPECT_TRUE(rig.view.cells().empty());
}

TEST(RunSession, NoPortReportsNonePortOnce) {
    SessionRig rig({.writers = 1});
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    EXPECT_TRUE(rig.view.has_text(
        "None port 执行第1条命令：ATCmdConnectTarget 出错，错误信息： The communication port error..."));
    EXPECT_EQ(rig.view.count_text("所有指令执行完成"), 1);
    const auto log = nlohmann::json::parse(rig.run_log_text());
    EXPECT_EQ(log["None port"]["logs"]["failed instruct"]["line num"], 1);
    EXPECT_EQ(log["None port"]["-result"], false);
    EXPECT_EQ(log["None port"]["-total step"], 2);
    EXPECT_FALSE(rig.session->running());
}

// Two writers, three commands, the second fails on one writer only.
TEST(RunSession, OneWriterFailsItsSecondCommandTheOtherFinishes) {
    SessionRig rig({.writers = 2, .faults = {.code = AT_CODE_TARGET_ERASE, .nack = KVAT_ERR_TARGET_ERASE},
                    .fault_writer = 1});
    ASSERT_EQ(rig.scan().size(), 2u);
    S_CmdParam erase = command(ATCmdEraseTarget);
    erase.timeout = 5000;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), erase, command(ATCmdGetTargetChipID)}));

    EXPECT_EQ(rig.run_log_text(), expected("two_writers_run_log.json"));
    EXPECT_EQ(rig.view.count_text("所有指令执行完成"), 1);
    const auto texts = rig.view.texts();
    EXPECT_EQ(texts.back(), "");
    EXPECT_EQ(texts[texts.size() - 2], "所有指令执行完成");
    EXPECT_TRUE(rig.view.has_text("ttyKV1 执行第2条命令：ATCmdEraseTarget 出错，错误信息： Target erase failed..."));
    EXPECT_TRUE(rig.view.has_text("ttyKV0 第3条AT命令执行成功！"));

    const auto cells = rig.view.cells();
    EXPECT_EQ(cells[0].picture, StatusPicture::Succeed);
    EXPECT_EQ(cells[0].colour, kBarGreen);
    EXPECT_EQ(cells[0].position, 100);
    EXPECT_EQ(cells[1].picture, StatusPicture::Failed);
    EXPECT_EQ(cells[1].colour, kBarRed);
    EXPECT_EQ(cells[1].position, 66);
    EXPECT_TRUE(rig.view.controls_enabled());
    EXPECT_TRUE(rig.view.run_enabled());
    const auto summaries = rig.view.summaries();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_FALSE(summaries[0].ok);
}

TEST(RunSession, ReadingThreeHundredBytesGivesTwoChunksAndTheirBlocks) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    rig.session->set_print_info(true);
    S_CmdParam read = command(ATCmdReadTargetMemory);
    read.address = kFlash;
    read.size = 300;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), read}));

    const std::string memory = read_file(rig.folder("ttyKV0") / "memory.bin");
    ASSERT_EQ(memory.size(), 300u);
    const auto flash = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.flash(); });
    EXPECT_EQ(memory, std::string(flash.begin(), flash.begin() + 300));

    const auto texts = rig.view.texts();
    const auto first = std::find(texts.begin(), texts.end(), "ttyKV0 memmory addr: 0x08000000, size: 256");
    ASSERT_NE(first, texts.end());
    EXPECT_EQ(first[1], "0x08000000: FF FF FF FF FF FF FF FF ");
    EXPECT_EQ(first[32], "0x080000F8: FF FF FF FF FF FF FF FF ");
    EXPECT_EQ(first[33], "ttyKV0 memmory addr: 0x08000100, size: 44");
    EXPECT_EQ(first[34], "0x08000100: FF FF FF FF FF FF FF FF ");
    EXPECT_EQ(first[39], "0x08000128: FF FF FF FF ");
    EXPECT_EQ(first[40], "ttyKV0 第2条AT命令执行成功！");
}

TEST(RunSession, WriteThenReadBackLandsInMemoryBin) {
    SessionRig rig({.writers = 2});
    ASSERT_EQ(rig.scan().size(), 2u);
    std::string image(1000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
    write_file(rig.scratch / "image.bin", image);
    S_CmdParam erase = command(ATCmdEraseTarget);
    S_CmdParam write = with_file(ATCmdWriteTargetMemory, rig.scratch / "image.bin");
    write.address = kFlash;
    S_CmdParam read = command(ATCmdReadTargetMemory);
    read.address = kFlash;
    read.size = 1000;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), erase, write, read}));
    for (const char *port : {"ttyKV0", "ttyKV1"}) {
        EXPECT_EQ(read_file(rig.folder(port) / "memory.bin"), image) << port;
    }
}

TEST(RunSession, ReadingCommandsLeaveTheirResultFiles) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    ASSERT_TRUE(rig.run({command(ATCmdGetWriterInfo), command(ATCmdGetWriterCfg), command(ATCmdConnectTarget),
                         command(ATCmdGetTargetChipID), command(ATCmdGetTargetChipID),
                         command(ATCmdReadTargetOptionByte), command(ATCmdGetProjectInfo)}));
    const fs::path folder = rig.folder("ttyKV0");
    EXPECT_EQ(read_file(folder / "chip_id.txt"),
              "$Target chip id[4]:\n{ 0x10, 0x64, 0x20, 0x41 }\r\n$Target chip id[4]:\n{ 0x10, 0x64, 0x20, 0x41 }\r\n");
    EXPECT_EQ(read_file(folder / "option_byte.bin"), std::string("\xAA\x55\xFF\x00\xFF\x00\xFF\x00", 8));
    const auto info = nlohmann::json::parse(read_file(folder / "writer_info.json"));
    EXPECT_EQ(info.dump().find("KVSIM0000") != std::string::npos, true);
    EXPECT_TRUE(fs::exists(folder / "writer_cfg.json"));
    EXPECT_TRUE(fs::exists(folder / "project_info.json"));
    // print-info is off: nothing of the results is printed.
    for (const auto &text : rig.view.texts()) EXPECT_EQ(text.find("print info"), std::string::npos) << text;
}

TEST(RunSession, PrintedBlocksOfEveryReadingCommand) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    rig.session->set_print_info(true);
    ASSERT_TRUE(rig.run({command(ATCmdGetWriterInfo), command(ATCmdConnectTarget), command(ATCmdGetTargetChipID),
                         command(ATCmdReadTargetOptionByte), command(ATCmdGetProjectInfo)}));
    const auto texts = rig.view.texts();
    auto at = [&](const std::string &text) {
        const auto it = std::find(texts.begin(), texts.end(), text);
        EXPECT_NE(it, texts.end()) << text;
        return it;
    };
    const auto info = at(">ttyKV0 print info");
    ASSERT_NE(info, texts.end());
    EXPECT_EQ(info[1], "    <type>: KVR4");
    EXPECT_EQ(info[2], "    <SN>: KVSIM0000");
    EXPECT_EQ(info[5], "    <interface version>: V1.0");
    const auto id = at("ttyKV0 target chip id[4]:");
    ASSERT_NE(id, texts.end());
    EXPECT_EQ(id[1], "{ 0x10, 0x64, 0x20, 0x41 }");
    const auto ob = at("ttyKV0 options byte raw[8]:");
    ASSERT_NE(ob, texts.end());
    EXPECT_EQ(ob[1], "{ 0xAA, 0x55, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00 }");
    const auto project = at("ttyKV0 project info");
    ASSERT_NE(project, texts.end());
    EXPECT_EQ(project[1], "    Project enabled: no");
}

// Every line of the writer information, configuration and project blocks, from records whose
// every field holds a different value, so that a field read at a wrong offset shows.
TEST(RunSession, PrintedBlocksLineByLine) {
    SessionRig rig({.writers = 1});
    rig.session->set_print_info(true);
    std::string port = "ttyKV0";

    kvat_writer_info info{};
    std::memcpy(info.type, "KVR4", 4);
    std::memcpy(info.serial_number, "0123456789ABCDEFGHIJKLMNOPQRSTUV", 32);  // no zero after it
    std::memcpy(info.hardware_version, "HW1", 3);
    std::memcpy(info.bootloader_version, "BL2", 3);
    std::memcpy(info.interface_version, "IF3", 3);
    rig.session->OnWriterInfo(port, &info);

    std::uint8_t config[KVAT_WRITER_CONFIG_SIZE] = {};
    std::memcpy(config, "Vendor", 6);
    std::memcpy(config + 16, "Series", 6);
    std::memcpy(config + 32, "Model", 5);
    for (int i = 48; i < KVAT_WRITER_CONFIG_SIZE; ++i) config[i] = static_cast<std::uint8_t>(i);
    rig.session->OnWriterConfig(port, reinterpret_cast<kvat_writer_config *>(config));

    std::uint8_t project[KVAT_PROJECT_INFO_SIZE] = {1};
    at_put_le32(project + 1, 74565);
    at_put_le32(project + 5, 0xDEADBEEF);
    rig.session->OnProjectInfo(port, reinterpret_cast<kvat_project_info_record *>(project));

    const std::vector<std::string> expected = {
        ">ttyKV0 print info",
        "    <type>: KVR4",
        "    <SN>: 0123456789ABCDEFGHIJKLMNOPQRSTUV",
        "    <hardware version>: HW1",
        "    <bootloader version>: BL2",
        "    <interface version>: IF3",
        ">ttyKV0 print config",
        "    names",
        "    <vendor>: Vendor",
        "    <series>: Series",
        "    <model>: Model",
        "    base config",
        "    <erase>: 48",
        "    <vext>: 49",
        "    <clock>: 50",
        "    <buzzer>: 51",
        "    <option byte type>: 52",
        "    offline config",
        "    <limit enable>: 53",
        "    <limit number>: 959985462",  // 0x39383736
        "    <auto>: 58",
        "    <in debounce>: 15419 ms",    // 0x3C3B
        "    <out debounce>: 15933 ms",   // 0x3E3D
        "    output config",
        "    <disable power after programming>: 63",
        "    <run target after programming>: 64",
        "    <power on debounce>: 16961 ms",   // 0x4241
        "    <power off debounce>: 17475 ms",  // 0x4443
        "    <reset pin ctrl>: 69",
        "ttyKV0 project info",
        "    Project enabled: yes",
        "    Project size: 74565",
        "    Project CRC32: 0xDEADBEEF",
    };
    EXPECT_EQ(rig.view.texts(), expected);
    for (const auto &line : rig.view.lines()) EXPECT_EQ(line.colour, kColourSuccess) << line.text;
}

TEST(RunSession, CoverFileReusesAndClearsTheFolder) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    S_CmdParam read = command(ATCmdReadTargetMemory);
    read.address = kFlash;
    read.size = 16;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), read}));
    const fs::path folder = rig.folder("ttyKV0");
    ASSERT_TRUE(fs::exists(folder / "memory.bin"));
    fs::create_directories(folder / "old" / "deeper");
    write_file(folder / "old" / "deeper" / "x.txt", "x");

    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    EXPECT_FALSE(fs::exists(folder / "memory.bin"));
    EXPECT_FALSE(fs::exists(folder / "old"));
    EXPECT_TRUE(fs::exists(folder / "chip_id.txt"));
    const auto console = rig.view.console();
    EXPECT_NE(std::find(console.begin(), console.end(), "delete empty dir success"), console.end());
    EXPECT_NE(std::find(console.begin(), console.end(), "delete file success"), console.end());
}

TEST(RunSession, WithoutCoverFileEveryRunGetsItsOwnFolderAndLog) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    rig.session->set_cover_file(false);
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    const std::string first_log = rig.session->run_log_path();
    const auto first_folders = rig.session->result_folders();
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    const std::string second_log = rig.session->run_log_path();
    const auto second_folders = rig.session->result_folders();
    EXPECT_NE(first_log, second_log);
    EXPECT_NE(first_folders, second_folders);
    EXPECT_TRUE(fs::exists(first_log));
    EXPECT_TRUE(fs::exists(second_log));
    const std::regex name(R"(.*/InfoFile/ttyKV0-\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d(_\d+)?)");
    EXPECT_TRUE(std::regex_match(first_folders.at(0), name)) << first_folders.at(0);
    // Each folder holds only its own run's results.
    EXPECT_EQ(read_file(fs::path(second_folders.at(0)) / "chip_id.txt"), "$Target chip id[4]:\n{ 0x10, 0x64, 0x20, 0x41 }\r\n");
}

TEST(RunSession, ABaudRateChangeIsUsedByTheNextScan) {
    SessionRig rig({.writers = 2});
    ASSERT_EQ(rig.scan().size(), 2u);
    S_CmdParam baud = command(ATCmdSetBaudRate);
    baud.baudrate = 57600;
    ASSERT_TRUE(rig.run({baud}));
    EXPECT_EQ(rig.session->app().at_baud_rate(), 57600);
    ASSERT_EQ(rig.scan().size(), 2u);
    EXPECT_EQ(rig.session->app().ChannelBaudRate(0), 57600);
    EXPECT_EQ(rig.session->app().ChannelBaudRate(1), 57600);
}

TEST(RunSession, OfflineStatusIsPolledToCompletion) {
    sim::WriterSettings settings;
    settings.offline_polls = 3;
    SessionRig rig({.writers = 1, .settings = settings});
    ASSERT_EQ(rig.scan().size(), 1u);
    write_file(rig.scratch / "job.pkg", std::string(1000, 'p'));
    S_CmdParam load = with_file(ATCmdLoadProject, rig.scratch / "job.pkg");
    ASSERT_TRUE(rig.run({load, command(ATCmdStartOffline), command(ATCmdGetOfflineStatus)}));
    EXPECT_EQ(rig.view.count_text("offline programming done ..."), 1);
    const auto summaries = rig.view.summaries();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_TRUE(summaries[0].ok);
    // The load's progress rewrote one live line: 1000 bytes in four frames.
    EXPECT_EQ(rig.view.live_updates(), 4);
    EXPECT_TRUE(rig.view.has_text("加载离线项目中...... ttyKV0 100%"));
    EXPECT_FALSE(rig.view.has_text("加载离线项目中...... ttyKV0 25%"));
}

TEST(RunSession, TheLoadProgressOfSeveralWritersNamesEachPort) {
    SessionRig rig({.writers = 3});
    ASSERT_EQ(rig.scan().size(), 3u);
    write_file(rig.scratch / "job.pkg", std::string(4000, 'p'));
    ASSERT_TRUE(rig.run({with_file(ATCmdLoadProject, rig.scratch / "job.pkg")}));
    // Every live text names the ports it shows, each with its own percentage.
    const std::regex live("加载离线项目中......( ttyKV[0-2] (100|[1-9]?[0-9])%){1,3}");
    int live_lines = 0;
    std::set<std::string> full;
    for (const std::string &text : rig.view.texts()) {
        if (text.rfind("加载离线项目中", 0) != 0) continue;
        ++live_lines;
        EXPECT_TRUE(std::regex_match(text, live)) << text;
        for (const char *port : {"ttyKV0", "ttyKV1", "ttyKV2"}) {
            if (text.find(std::string(port) + " 100%") != std::string::npos) full.insert(port);
        }
    }
    EXPECT_GE(live_lines, 1);
    EXPECT_EQ(full, (std::set<std::string>{"ttyKV0", "ttyKV1", "ttyKV2"}));
}

TEST(RunSession, OfflineRefusalEndsWithTheWritersCode) {
    sim::WriterSettings settings;
    settings.offline_polls = 1;
    settings.offline_result = KVAT_ERR_TARGET_WRITE;
    SessionRig rig({.writers = 1, .settings = settings});
    ASSERT_EQ(rig.scan().size(), 1u);
    write_file(rig.scratch / "job.pkg", std::string(10, 'p'));
    ASSERT_TRUE(rig.run({with_file(ATCmdLoadProject, rig.scratch / "job.pkg"), command(ATCmdStartOffline),
                         command(ATCmdGetOfflineStatus)}));
    EXPECT_FALSE(rig.view.has_text("offline programming done ..."));
    const auto steps = rig.view.steps();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].result, KVAT_ERR_TARGET_WRITE);
}

TEST(RunSession, SleepSendsNothingAndTakesItsTime) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    const auto before = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); });
    S_CmdParam sleep = command(ATCmdSleep);
    sleep.timeout = 500;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(rig.run({sleep}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); }), before);
    EXPECT_TRUE(rig.view.summaries().at(0).ok);
}

TEST(RunSession, AWriterUnpluggedMidRunIsLostTheOthersFinish) {
    // Writer 1 answers the scan's probe and two more requests, then its line goes away.
    SessionRig rig({.writers = 3, .faults = {.disappear_after = 3}, .fault_writer = 1});
    ASSERT_EQ(rig.scan().size(), 3u);
    S_CmdParam sleep = command(ATCmdSleep);
    sleep.timeout = 100;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID), sleep,
                         command(ATCmdGetTargetChipID), command(ATCmdConnectTarget)}));
    EXPECT_TRUE(rig.view.has_text("ttyKV1已断开"));
    const auto cells = rig.view.cells();
    EXPECT_EQ(cells[1].label, "ttyKV1已断开");
    // The loss and the failed step race: either may be the last word on the cell.
    EXPECT_TRUE(cells[1].picture == StatusPicture::Failed || cells[1].picture == StatusPicture::Disconnect);
    EXPECT_EQ(cells[0].picture, StatusPicture::Succeed);
    EXPECT_EQ(cells[2].picture, StatusPicture::Succeed);
    // Counted as lost only once the whole run has ended.
    EXPECT_EQ(rig.session->writer_count(), 2);
    const auto log = nlohmann::json::parse(rig.run_log_text());
    const int failed = log["ttyKV1"]["logs"]["failed instruct"]["line num"];
    EXPECT_EQ(failed, 4);
    const std::string message = log["ttyKV1"]["logs"]["failed instruct"]["err msg"];
    EXPECT_TRUE(message == " The communication port error..." || message == " Time out ...") << message;
    EXPECT_EQ(log["ttyKV0"]["-result"], true);
    EXPECT_EQ(rig.view.count_text("所有指令执行完成"), 1);
}

// Writer 0 answers the scan's probe and is unplugged at once, while the scan goes on: it is not
// counted among the usable writers, and a run on the others ends as usual.
TEST(RunSession, AWriterLostDuringTheScanIsNotCounted) {
    SessionRig rig({.writers = 3, .faults = {.hang_up_after = 1}, .fault_writer = 0});
    const auto names = rig.scan();
    for (int i = 0; i < 500 && !rig.view.has_text("ttyKV0已断开"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Its loss is reported, or (on a loaded machine) its probe ran out before the answer was
    // read and it was never open: either way it is not counted.
    const auto found = rig.session->ports();
    EXPECT_TRUE(std::none_of(found.begin(), found.end(),
                             [](const PortRecord &port) { return port.name == "ttyKV0" && !port.lost; }));
    EXPECT_EQ(rig.session->writer_count(), 2);
    // A writer the panel shows as connected is one the run can use.
    const auto cells = rig.view.cells();
    ASSERT_EQ(cells.size(), names.size());
    for (const auto &cell : cells) {
        EXPECT_TRUE(cell.label != "ttyKV0" || cell.picture == StatusPicture::Disconnect) << cell.label;
    }

    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    const auto summaries = rig.view.summaries();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_FALSE(summaries[0].stopped);
    EXPECT_TRUE(summaries[0].ok);
    EXPECT_EQ(summaries[0].port_results.size(), 2u);
    EXPECT_EQ(rig.view.count_text("所有指令执行完成"), 1);
    EXPECT_FALSE(rig.session->running());
    EXPECT_EQ(rig.session->writer_count(), 2);
}

// "断开端口连接" while a writer is being unplugged: the loss reaches the session after every
// port was closed and counted out; it must not count again.
TEST(RunSession, ALossReportedAfterClosingAllCountsNothing) {
    SessionRig rig({.writers = 2});
    ASSERT_EQ(rig.scan().size(), 2u);
    rig.session->CloseAll();
    EXPECT_EQ(rig.session->writer_count(), 0);
    std::string late = "ttyKV1";
    rig.session->OnPortRemoved(late);
    EXPECT_EQ(rig.session->writer_count(), 0);
    EXPECT_TRUE(rig.view.has_text("ttyKV1已断开"));
    EXPECT_FALSE(rig.view.run_enabled());
}

TEST(RunSession, SilentOrGarbledAnswersFailWithTimeOut) {
    struct Case {
        const char *name;
        sim::FaultSettings faults;
    };
    const Case cases[] = {
        {"silent", {.code = AT_CODE_TARGET_ERASE, .silent = true}},
        {"garbage in front", {.code = AT_CODE_TARGET_ERASE, .garbage = 7}},
        {"bad CRC", {.code = AT_CODE_TARGET_ERASE, .corrupt_crc = true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig({.writers = 2, .faults = c.faults, .fault_writer = 0});
        ASSERT_EQ(rig.scan().size(), 2u);
        S_CmdParam erase = command(ATCmdEraseTarget);
        erase.timeout = 300;
        ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), erase}));
        const auto log = nlohmann::json::parse(rig.run_log_text());
        EXPECT_EQ(log["ttyKV0"]["logs"]["failed instruct"]["err msg"], " Time out ...");
        EXPECT_EQ(log["ttyKV1"]["-result"], true);
    }
}

TEST(RunSession, ALateAnswerWithinTheTimeOutStillCounts) {
    SessionRig rig({.writers = 1, .faults = {.code = AT_CODE_TARGET_ERASE, .late_ms = 150}});
    ASSERT_EQ(rig.scan().size(), 1u);
    S_CmdParam erase = command(ATCmdEraseTarget);
    erase.timeout = 2000;
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), erase, command(ATCmdGetTargetChipID)}));
    EXPECT_TRUE(rig.view.summaries().at(0).ok);
}

TEST(RunSession, ALogFolderThatCannotBeMadeLeavesTheRunGoing) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    fs::create_directories(rig.program());
    write_file(rig.program() / "log", "a file where the log folder would be");
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    EXPECT_TRUE(rig.view.summaries().at(0).ok);
    EXPECT_TRUE(fs::exists(rig.folder("ttyKV0") / "chip_id.txt"));
    EXPECT_TRUE(fs::is_regular_file(rig.program() / "log"));
}

TEST(RunSession, RefusedRowSelectsItAndStartsNothing) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    S_CmdParam baud = command(ATCmdSetBaudRate);
    baud.baudrate = 0;
    EXPECT_FALSE(rig.session->StartRun({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID), baud}));
    EXPECT_EQ(rig.view.selected_row(), 2);
    EXPECT_EQ(rig.view.boxes(), (std::vector<std::string>{"错误: 第3条命令baudrate <= 0，无法执行AT命令"}));
    EXPECT_FALSE(fs::exists(rig.program() / "InfoFile"));
    EXPECT_FALSE(rig.session->running());

    EXPECT_FALSE(rig.session->StartRun({}));
    EXPECT_TRUE(rig.view.has_text("AT命令列表为空，没有AT命令需要执行"));
}

TEST(RunSession, AResultFolderThatCannotBeMadeAsksFirst) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    // The program folder is a file: nothing can be made inside it.
    write_file(rig.program(), "not a folder");
    rig.view.set_answer(MessageBoxAnswer::No);
    EXPECT_FALSE(rig.session->StartRun({command(ATCmdConnectTarget)}));
    ASSERT_EQ(rig.view.boxes().size(), 1u);
    EXPECT_EQ(rig.view.boxes()[0], "提示: 文件夹创建失败，将无法导出获取信息命令文件，是否继续运行？");
    EXPECT_TRUE(rig.view.controls_enabled());
    EXPECT_TRUE(rig.view.run_enabled());

    rig.view.set_answer(MessageBoxAnswer::Yes);
    ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
    EXPECT_TRUE(rig.view.summaries().at(0).ok);
}

TEST(RunSession, ASetcfgDocumentThatDoesNotConvertSendsNothing) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    write_file(rig.scratch / "cfg.json", R"({"base config": {"erase": "yes"}})");
    const auto before = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.config(); });
    // Straight to the executor: the row check would refuse this document before a run.
    std::int32_t slot = 0;
    S_CmdParam setcfg = with_file(ATCmdSetWriterCfg, rig.scratch / "cfg.json");
    const auto frames = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); });
    EXPECT_EQ(rig.session->app().Execute(rig.session->app().protocol_object(0), &setcfg, &slot), KVAT_ERR_CONFIG);
    EXPECT_NE(rig.session->app().FailureDetail(0), "");
    EXPECT_EQ(rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); }), frames);
    const auto after = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.config(); });
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST(RunSession, InputsMissingAtExecutionFailWithoutSendingData) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    struct Case {
        const char *name;
        S_CmdParam command;
        ATResult result;
    };
    S_CmdParam broadcast = with_file(ATCmdBroadcast, rig.scratch / "gone.bin");
    S_CmdParam write = with_file(ATCmdWriteTargetMemory, rig.scratch / "gone.bin");
    S_CmdParam unknown_kind = with_file(ATCmdWriteTargetMemory, rig.scratch / "image.elf");
    write_file(rig.scratch / "image.elf", "ELF");
    S_CmdParam second_firmware = with_file(ATCmdWriteTargetMemory, rig.scratch / "one.hex");
    second_firmware.fw_num = 3;
    write_file(rig.scratch / "one.hex", ":0400000001020304F2\n:00000001FF\n");
    // An image with no bytes at all (an empty file, or a HEX file with only its end record)
    // loads as no image.
    write_file(rig.scratch / "empty.bin", "");
    write_file(rig.scratch / "empty.hex", ":00000001FF\n");
    const Case cases[] = {
        {"broadcast file", broadcast, KVAT_ERR_NULL},
        {"empty bin image", with_file(ATCmdWriteTargetMemory, rig.scratch / "empty.bin"), KVAT_ERR_NULL},
        {"empty hex image", with_file(ATCmdWriteTargetMemory, rig.scratch / "empty.hex"), KVAT_ERR_NULL},
        {"image file", write, KVAT_ERR_NULL},
        {"image of no known kind", unknown_kind, KVAT_ERR_NULL},
        {"firmware number beyond the file", second_firmware, KVAT_ERR_FIRMWARE_QUANTITY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::int32_t slot = 0;
        const auto frames = rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); });
        S_CmdParam cmd = c.command;
        EXPECT_EQ(rig.session->app().Execute(rig.session->app().protocol_object(0), &cmd, &slot), c.result);
        EXPECT_EQ(rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); }), frames);
    }
    // A project file: the writer-information check goes out, the data does not.
    S_CmdParam load = with_file(ATCmdLoadProject, rig.scratch / "gone.pkg");
    std::int32_t slot = 0;
    EXPECT_EQ(rig.session->app().Execute(rig.session->app().protocol_object(0), &load, &slot), KVAT_ERR_NULL);
    EXPECT_EQ(rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.project_count(); }), 0u);
}

TEST(RunSession, BroadcastTextGoesOutWithItsZeroAndTheAnswerIsKept) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    S_CmdParam broadcast = command(ATCmdBroadcast);
    SetCmdText(broadcast.data, "abc");
    broadcast = extended(broadcast);
    S_CmdParam simple = command(ATCmdBroadcast);
    SetCmdText(simple.data, "fire and forget");
    ASSERT_TRUE(rig.run({broadcast, simple}));
    EXPECT_EQ(read_file(rig.folder("ttyKV0") / "broadcast_rsp.bin"), std::string("abc\0", 4));
    EXPECT_TRUE(rig.view.summaries().at(0).ok);

    // A file of 600 bytes goes out as 256, 256 and 88.
    const std::string data = pattern(600, 1);
    write_file(rig.scratch / "data.bin", data);
    const S_CmdParam file = extended(with_file(ATCmdBroadcast, rig.scratch / "data.bin"));
    ASSERT_TRUE(rig.run({file}));
    EXPECT_EQ(read_file(rig.folder("ttyKV0") / "broadcast_rsp.bin"), data);
}

// Every chunk is sent whatever became of the one before; the last one decides.
// Every chunk still goes out, but a refused one fails the command: part of the data never
// reached its target.
TEST(RunSession, ABroadcastWithARefusedMiddleChunkSendsEveryChunkAndFails) {
    SessionRig rig({.writers = 1, .faults = {.code = AT_CODE_BROADCAST, .nack = KVAT_ERR_DATA_SIZE, .only_nth = 2}});
    ASSERT_EQ(rig.scan().size(), 1u);
    const std::string data = pattern(600, 3);
    write_file(rig.scratch / "data.bin", data);
    const S_CmdParam file = extended(with_file(ATCmdBroadcast, rig.scratch / "data.bin"));
    ASSERT_TRUE(rig.run({file}));
    EXPECT_FALSE(rig.view.summaries().at(0).ok);
    ASSERT_EQ(rig.view.steps().size(), 1u);
    EXPECT_EQ(rig.view.steps()[0].result, KVAT_ERR_DATA_SIZE);
    // The failed chunk's answer record is empty: the file holds the first and the last.
    EXPECT_EQ(read_file(rig.folder("ttyKV0") / "broadcast_rsp.bin"), data.substr(0, 256) + data.substr(512));
    EXPECT_EQ(rig.writers->writer(0).inspect([](const sim::VirtualWriter &w) { return w.frames_received(); }), 4u);
}

TEST(RunSession, ASecondLoadOfAScriptReportsItsStoppingLineAndWarnings) {
    SessionRig rig({.writers = 1});
    write_file(rig.scratch / "job.kvatscript", "\n-cid extra\n-connect\n-nonsense\n-info\n");
    std::vector<S_CmdParam> list;
    EXPECT_EQ(rig.session->LoadScript(rig.scratch / "job.kvatscript", list), 2002);
    EXPECT_EQ(list.size(), 2u);
    const auto texts = rig.view.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "第4行命令出错，停止命令脚本文件解析，错误信息：command not found");
    EXPECT_EQ(texts[1].rfind("Row 1: ", 0), 0u) << texts[1];

    EXPECT_EQ(rig.session->LoadScript(rig.scratch / "missing.kvatscript", list), -1);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(rig.view.texts().back(), "file opening error, please check whether the file exists");
}

}  // namespace
}  // namespace kelvra::run::test
