#include "host/model/row_check.h"

#include "host/model/at_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kelvra {
namespace {

namespace fs = std::filesystem;

class RowCheck : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kelvra_row_check_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        std::ofstream(dir_ / "fw.bin") << "data";
        std::ofstream(dir_ / "empty.bin");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char *name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

S_CmdParam make(std::int32_t command, const std::function<void(S_CmdParam &)> &fill = {}) {
    S_CmdParam record = NewCmdParam(command);
    if (fill) fill(record);
    return record;
}

std::string message_of(const S_CmdParam &record) {
    const auto failure = CheckRow(record, 3);
    return failure ? failure->message : "";
}

TEST_F(RowCheck, ValueChecksUseTheRowNumber) {
    struct Case {
        S_CmdParam record;
        std::string message;
    };
    const Case cases[] = {
        {make(ATCmdSetBaudRate, [](auto &r) { r.baudrate = 0; }),
         "第3条命令baudrate <= 0，无法执行AT命令"},
        {make(ATCmdSetBaudRate, [](auto &r) { r.baudrate = -5; }),
         "第3条命令baudrate <= 0，无法执行AT命令"},
        {make(ATCmdSetBaudRate), ""},
        {make(ATCmdTargetReset, [](auto &r) { r.reset_type = kInvalidResetType; }),
         "第3条命令 复位类型错误，无法执行AT命令"},
        {make(ATCmdTargetReset, [](auto &r) { r.reset_type = 9; }), ""},
        {make(ATCmdSleep, [](auto &r) { r.timeout = 0; }), "第3条命令timeout <= 0，无法执行AT命令"},
        {make(ATCmdEraseTargetSectors, [](auto &r) { r.timeout = -1; }),
         "第3条命令timeout <= 0，无法执行AT命令"},
        {make(ATCmdGetWriterInfo, [](auto &r) { r.timeout = 0; }), ""},  // not used by 1
        {make(ATCmdSwitchOfflineProject, [](auto &r) { SetCmdText(r.file, "p1.PKG"); }),
         "第3条命令文件不是pkg，无法执行AT命令"},
        {make(ATCmdSwitchOfflineProject, [](auto &r) { SetCmdText(r.file, "p1.pkg"); }), ""},
        {make(ATCmdReadTargetMemory), "第3条命令size <= 0，无法执行AT命令"},
        {make(ATCmdEraseTargetSectors), "第3条命令size <= 0，无法执行AT命令"},
        {make(ATCmdEraseTarget), ""},
    };
    for (const auto &c : cases) EXPECT_EQ(message_of(c.record), c.message) << c.record.command;
}

TEST_F(RowCheck, InputFilesMustExistAndHoldData) {
    const std::string fw = path("fw.bin"), empty = path("empty.bin"), missing = path("none.bin");
    const std::string folder = dir_.string();
    for (const std::int32_t command : {ATCmdSetWriterCfg, ATCmdWriteTargetMemory, ATCmdLoadProject,
                                       ATCmdBroadcast}) {
        const auto with_file = [command](const std::string &file) {
            return make(command, [&file](auto &r) {
                SetCmdText(r.file, file);
                r.size = 1;
            });
        };
        EXPECT_EQ(message_of(with_file(fw)), "") << command;
        EXPECT_EQ(message_of(with_file(empty)), "第3条命令文件为空，无法执行AT命令") << command;
        EXPECT_EQ(message_of(with_file(missing)), "第3条命令文件不存在，无法执行AT命令") << command;
        EXPECT_EQ(message_of(with_file(folder)), "第3条命令文件不存在，无法执行AT命令") << command;
    }
}

TEST_F(RowCheck, BroadcastWithDataNeedsNoFile) {
    const auto record = make(ATCmdBroadcast, [](auto &r) { SetCmdText(r.data, "hi"); });
    EXPECT_EQ(message_of(record), "");
}

TEST_F(RowCheck, BroadcastWordsAreLoggedNotRefused) {
    const auto broadcast = [](const std::function<void(S_CmdParam &)> &fill) {
        return make(ATCmdBroadcast, [&fill](auto &r) {
            SetCmdText(r.data, "01");
            fill(r);
        });
    };
    const std::string flags = "Row 3 invalid string parameter. Valid string are as follows: true, false";
    const std::string dir =
        "Row 3 invalid string parameter. Valid string are as follows: uarttousb, usbtouart";
    const auto kf = CheckRow(broadcast([](auto &r) { r.kf = kInvalidWord; }), 3);
    ASSERT_TRUE(kf);
    EXPECT_EQ(kf->kind, RowCheckKind::LogError);
    EXPECT_EQ(kf->message, flags);
    // The flag words are checked before the direction.
    EXPECT_EQ(message_of(broadcast([](auto &r) {
                  r.wait_response = kInvalidWord;
                  r.direction = kInvalidWord;
              })),
              flags);
    EXPECT_EQ(message_of(broadcast([](auto &r) { r.direction = kInvalidWord; })), dir);
    EXPECT_EQ(message_of(broadcast([](auto &r) {
                  r.wait_response = 1;
                  r.timeout = 0;
              })),
              "第3条命令timeout <= 0，无法执行AT命令");
    EXPECT_EQ(message_of(broadcast([](auto &r) { r.timeout = 0; })), "");  // no wait, no limit
}

// The pre-run check converts the "-setcfg" document itself, so every caller refuses the same
// rows with the same text.
TEST_F(RowCheck, WriterConfigurationIsConvertedByTheCheckItself) {
    const std::string groups =
        R"j("offline config": {"limit enable": 0, "limit number": 0, "auto": 0,
                              "in debounce(ms)": 100, "out debounce(ms)": 100},
           "output config": {"disable power after programming": 0,
                             "run target after programming": 1, "power on debounce(ms)": 250,
                             "power off debounce(ms)": 250, "reset pin ctrl": 2})j";
    const auto document = [&groups](const std::string &base) {
        return "{\"base config\": {" + base + "}, " + groups + "}";
    };
    const std::string base = R"("erase": 1, "vext": 1, "clock": 1, "buzzer": true, "option byte type": 3)";
    const std::string prefix = "第3条命令json文件数据出错，无法执行AT命令\n错误信息：";
    struct Case {
        const char *name;
        std::string content;
        std::string message;  // "" when the row passes
    };
    const Case cases[] = {
        {"good.json", document(base), ""},
        {"no_erase.json", document(R"("vext": 1, "clock": 1, "buzzer": 1, "option byte type": 3)"),
         prefix + "[json.exception.out_of_range.403] key 'erase' not found"},
        {"string_erase.json",
         document(R"("erase": "1", "vext": 1, "clock": 1, "buzzer": 1, "option byte type": 3)"),
         prefix + "[json.exception.type_error.302] type must be number, but is string"},
        {"no_groups.json", "{}", prefix + "[json.exception.out_of_range.403] key 'base config' not found"},
        {"not_json.json", "erase = 1",
         prefix + "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
                  "while parsing value - invalid literal; last read: 'e'"},
        // Not a ".json" name: never opened as a document, so the run decides.
        {"cfg.JSON", "{}", ""},
        {"cfg.txt", "{}", ""},
    };
    for (const Case &c : cases) {
        std::ofstream(dir_ / c.name) << c.content;
        const auto record = make(ATCmdSetWriterCfg, [&](auto &r) { SetCmdText(r.file, path(c.name)); });
        EXPECT_EQ(message_of(record), c.message) << c.name;
        // The list check, which a run starts with, gives the same verdict.
        const auto failure = CheckRows({make(ATCmdGetWriterInfo), make(ATCmdGetWriterInfo), record});
        EXPECT_EQ(failure ? failure->message : "", c.message) << c.name;
    }
}

TEST_F(RowCheck, TheFirstFailingRowStopsTheList) {
    const std::vector<S_CmdParam> list{make(ATCmdGetWriterInfo),
                                       make(ATCmdReadTargetMemory, [](auto &r) { r.size = 4; }),
                                       make(ATCmdSetBaudRate, [](auto &r) { r.baudrate = 0; }),
                                       make(ATCmdSleep, [](auto &r) { r.timeout = 0; })};
    const auto failure = CheckRows(list);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->row, 3);
    EXPECT_EQ(failure->kind, RowCheckKind::Refusal);
    EXPECT_FALSE(CheckRows({list[0], list[1]}));
}

}  // namespace
}  // namespace kelvra
