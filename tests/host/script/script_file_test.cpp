#include "host/script/cli_parse.h"

#include "record_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvra::script {
namespace {

namespace fs = std::filesystem;
using test::describe;
using test::record_of;

class ScriptFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("kelvra_script_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::string &bytes) const {
        const auto path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string read(const std::string &path) const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Loads `bytes` as a script; the outputs are kept in the fixture.
    int load(const std::string &bytes, const std::string &name = "s.kvatscript") {
        return parser_.load_script(write(name, bytes), commands_, row_, messages_);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto &record : commands_) out.push_back(parser_.command_line(record));
        return out;
    }

    fs::path dir_;
    cli_parse parser_;
    std::vector<S_CmdParam> commands_;
    int row_ = -1;
    std::vector<std::string> messages_;
};

TEST_F(ScriptFile, EmptyAndBlankFilesLoadNothing) {
    EXPECT_EQ(load(""), CliOk);
    EXPECT_TRUE(commands_.empty());
    EXPECT_EQ(row_, 0);

    EXPECT_EQ(load("\n \t\n\r\n\f\v\n"), CliOk);
    EXPECT_TRUE(commands_.empty());
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(row_, 4);
}

TEST_F(ScriptFile, LinesAreStrippedOfEveryBlankAtBothEnds) {
    EXPECT_EQ(load("\t -info \r\n\v-cid\f\r\n-write -addr 0x0 -f \"a.bin\" -fw-num all \r\n-cfg"),
              CliOk);
    EXPECT_EQ(lines(), (std::vector<std::string>{"-info", "-cid",
                                                 "-write -addr 0x0 -f \"a.bin\" -fw-num all ",
                                                 "-cfg"}));
    EXPECT_EQ(messages_, std::vector<std::string>(4));  // the trailing blank is not "redundant"
    EXPECT_EQ(row_, 4);
}

TEST_F(ScriptFile, LoadingStopsAtTheFirstRejectedLine) {
    EXPECT_EQ(load("-connect\n\n-read -s 1 -s 2 extra\n-info\n"), CliParameterRepeat);
    EXPECT_EQ(lines(), std::vector<std::string>{"-connect"});
    EXPECT_EQ(row_, 3);  // the file line, blank lines included
    ASSERT_EQ(messages_.size(), 2u);  // one per parsed line, the failing one included
    EXPECT_EQ(messages_[1], "There are redundant parameters:'extra'. Did you forget to add '-'");
}

// A value too long for its field stops the load at its line like any rejected line; the
// records before it stay.
TEST_F(ScriptFile, ValueTooLongForItsFieldStopsTheLoad) {
    const std::string payload(300, 'A');
    EXPECT_EQ(load("-connect\n\n-bcst -data \"" + payload + "\" -dir \"usbtouart\"\n-info\n"),
              CliValueTooLong);
    EXPECT_EQ(lines(), std::vector<std::string>{"-connect"});
    EXPECT_EQ(row_, 3);
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[1], "argument of -data is 300 bytes long; at most 255 are allowed");
    EXPECT_EQ(script_stop_text(row_, CliValueTooLong),
              "第3行命令出错，停止命令脚本文件解析，错误信息：parameter too long");
}

TEST_F(ScriptFile, WarningsAreCountedByParsedLineAndFailuresByFileLine) {
    EXPECT_EQ(load("\n-cid extra\n"), CliOk);
    ASSERT_EQ(messages_.size(), 1u);  // shown as row 1
    EXPECT_FALSE(messages_[0].empty());

    EXPECT_EQ(load("\n-nope\n"), CliCommandNotFound);
    EXPECT_EQ(row_, 2);
}

TEST(ScriptTexts, StopAndWarningLines) {
    EXPECT_EQ(script_stop_text(4, CliCommandNotFound),
              "第4行命令出错，停止命令脚本文件解析，错误信息：command not found");
    EXPECT_EQ(script_warning_text(1, "x"), "Row 1: x");
}

TEST_F(ScriptFile, NoByteOrderMarkAndNoComments) {
    EXPECT_EQ(load("\xEF\xBB\xBF-info\n"), CliCommandNotFound);
    EXPECT_EQ(row_, 1);
    EXPECT_EQ(load("-info\n# note\n"), CliCommandNotFound);
    EXPECT_EQ(row_, 2);
}

TEST_F(ScriptFile, TheNameMustHoldTheExtensionAnywhere) {
    EXPECT_EQ(load("-info\n", "x.kvatscript.txt"), CliOk);
    EXPECT_EQ(commands_.size(), 1u);
}

TEST_F(ScriptFile, FileErrorsLeaveTheOutputsAlone) {
    const std::vector<S_CmdParam> before{record_of(1), record_of(3)};
    struct Case {
        std::string path;
        const char *error;
    };
    fs::create_directories(dir_ / "folder.kvatscript");
    const Case cases[] = {
        {write("X.KVATSCRIPT", "-info\n"), kScriptFormatError},
        {write("notes.txt", "-info\n"), kScriptFormatError},
        {(dir_ / "missing.kvatscript").string(), kScriptOpenError},
        {(dir_ / "missing.txt").string(), kScriptOpenError},  // opened before the name is checked
        {(dir_ / "folder.kvatscript").string(), kScriptOpenError},
        {"", kScriptOpenError},
    };
    for (const auto &c : cases) {
        commands_ = before;
        messages_ = {"kept"};
        row_ = 7;
        try {
            parser_.load_script(c.path, commands_, row_, messages_);
            ADD_FAILURE() << "no error for " << c.path;
        } catch (const script_file_error &error) {
            EXPECT_STREQ(error.what(), c.error) << c.path;
        }
        EXPECT_EQ(commands_.size(), 2u);
        EXPECT_EQ(messages_, std::vector<std::string>{"kept"});
        EXPECT_EQ(row_, 7);
    }
}

TEST_F(ScriptFile, SaveWritesOneLinePerKnownCommand) {
    const auto path = (dir_ / "out.kvatscript").string();
    const std::vector<S_CmdParam> list{record_of(1), record_of(108),
                                       record_of(500, [](auto &r) { r.timeout = 500; }),
                                       record_of(999)};
    EXPECT_TRUE(parser_.save_script(path, list));
    EXPECT_EQ(read(path), "-info\n-sleep -t 500\n");

    EXPECT_TRUE(parser_.save_script(path, {}));  // replaces the file
    EXPECT_EQ(read(path), "");

    EXPECT_FALSE(parser_.save_script((dir_ / "no" / "such.kvatscript").string(), list));
}

// One record per command word, holding exactly the fields its writer emits.
std::vector<S_CmdParam> every_command() {
    const auto text = [](char(&field)[kCmdTextSize], const char *value) { SetCmdText(field, value); };
    return {
        record_of(1), record_of(3),
        record_of(5, [&](auto &r) { text(r.file, "C:\\cfg dir\\writer_cfg.json"); }),
        record_of(6, [](auto &r) { r.baudrate = 921600; }),
        record_of(100), record_of(101), record_of(102),
        record_of(104, [](auto &r) { r.address = 0x8000000; r.size = 0x400; }),
        record_of(106, [](auto &r) { r.timeout = 3000; }),
        record_of(107, [](auto &r) { r.timeout = 3000; }),  // "-addr 0x0 -s 0x0" keeps it 107
        record_of(109, [&](auto &r) { r.address = 0x100; text(r.file, "fw.hex"); r.fw_num = -1; }),
        record_of(109, [&](auto &r) { text(r.file, "fw.hex"); r.fw_num = 2; }),
        record_of(110),
        record_of(112, [](auto &r) { r.timeout = 1; }),
        record_of(113, [](auto &r) { r.timeout = -1; }),
        record_of(114, [](auto &r) { r.reset_type = 7; }),
        record_of(200),
        record_of(202, [&](auto &r) { text(r.file, "p1.pkg"); text(r.password, "pw 1"); }),
        record_of(204), record_of(205), record_of(206),
        record_of(207, [&](auto &r) { r.mode = 1; text(r.file, "p1.pkg"); }),
        record_of(300, [](auto &r) { r.timeout = 500; }),
        record_of(301, [](auto &r) { r.timeout = 500; }),
        record_of(400, [&](auto &r) {
            text(r.data, "hello world");
            r.direction = 1;
            r.kf = 1;
            r.wait_response = 1;
            r.bcst_with_rsp = 1;
            r.timeout = 1000;
        }),
        record_of(500, [](auto &r) { r.timeout = 250; }),
    };
}

TEST_F(ScriptFile, SaveThenLoadGivesTheSameRecords) {
    const auto list = every_command();
    const auto path = (dir_ / "all.kvatscript").string();
    ASSERT_TRUE(parser_.save_script(path, list));
    ASSERT_EQ(parser_.load_script(path, commands_, row_, messages_), CliOk);
    ASSERT_EQ(commands_.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(describe(commands_[i]), describe(list[i])) << "row " << i + 1;
        EXPECT_EQ(messages_[i], "") << "row " << i + 1;
    }
}

TEST_F(ScriptFile, PathsWithDashesComeBackWhole) {
    const auto path = (dir_ / "dash.kvatscript").string();
    const std::vector<S_CmdParam> list{
        record_of(109, [](auto &r) {
            r.address = 0x8000000;
            SetCmdText(r.file, "/data/fw-1.hex");
        }),
        record_of(5, [](auto &r) { SetCmdText(r.file, "/jobs/line-2/writer_cfg-3.json"); }),
        record_of(202, [](auto &r) {
            SetCmdText(r.file, "C:\\prj dir\\p-1.pkg");
            SetCmdText(r.password, "a-b");
        }),
        record_of(400, [](auto &r) {
            SetCmdText(r.file, "/tmp/bc-1.txt");
            r.bcst_with_rsp = 1;
        }),
    };
    ASSERT_TRUE(parser_.save_script(path, list));
    EXPECT_NE(read(path).find("-f \"/data/fw-1.hex\""), std::string::npos);
    ASSERT_EQ(parser_.load_script(path, commands_, row_, messages_), CliOk);
    ASSERT_EQ(commands_.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(describe(commands_[i]), describe(list[i])) << "row " << i + 1;
        EXPECT_EQ(messages_[i], "") << "row " << i + 1;
    }
}

TEST_F(ScriptFile, RoundTripExceptions) {
    const auto path = (dir_ / "x.kvatscript").string();
    const std::vector<S_CmdParam> list{
        record_of(400, [](auto &r) { SetCmdText(r.data, "01"); }),     // a plain broadcast stays plain
        record_of(1, [](auto &r) { r.address = 5; }),                  // unused fields dropped
    };
    ASSERT_TRUE(parser_.save_script(path, list));
    ASSERT_EQ(parser_.load_script(path, commands_, row_, messages_), CliOk);
    ASSERT_EQ(commands_.size(), 2u);
    EXPECT_EQ(describe(commands_[0]), describe(list[0]));
    EXPECT_EQ(describe(commands_[1]), describe(record_of(1)));

    // A value holding a command word stops the load.
    ASSERT_TRUE(parser_.save_script(
        path, {record_of(5, [](auto &r) { SetCmdText(r.file, "x-info.json"); })}));
    EXPECT_EQ(parser_.load_script(path, commands_, row_, messages_), CliCommandRepeat);
}

}  // namespace
}  // namespace kelvra::script
