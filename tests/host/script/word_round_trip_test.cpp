// Every command of the command table, written as a line and read back: its word finds it again
// and every parameter it takes keeps its value.
#include "host/model/command_table.h"
#include "host/script/cli_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::script {
namespace {

// A record of `command` with a value unlike the defaults in every parameter it takes.
S_CmdParam filled(const CommandInfo &command, bool with_file) {
    S_CmdParam r = NewCmdParam(command.id);
    r.address = 0x1234;
    r.size = 0x40;
    r.timeout = 2500;
    if (with_file) SetCmdText(r.file, "in.bin");
    SetCmdText(r.password, "secret");  // not part of "-pwd": values are found by search
    r.baudrate = 9600;
    r.reset_type = 5;
    r.mode = 1;
    r.fw_num = 2;
    r.direction = 1;
    r.kf = 1;
    r.wait_response = 1;
    r.bcst_with_rsp = 1;
    SetCmdText(r.data, "hi");
    return r;
}

void expect_same_parameters(const CommandInfo &command, const S_CmdParam &sent,
                            const S_CmdParam &back, const std::string &line) {
    for (const Param param : command.params) {
        switch (param) {
            case Param::Address: EXPECT_EQ(back.address, sent.address) << line; break;
            case Param::Size: EXPECT_EQ(back.size, sent.size) << line; break;
            case Param::Timeout: EXPECT_EQ(back.timeout, sent.timeout) << line; break;
            case Param::File: EXPECT_EQ(CmdText(back.file), CmdText(sent.file)) << line; break;
            case Param::Password: EXPECT_EQ(CmdText(back.password), CmdText(sent.password)) << line; break;
            case Param::BaudRate: EXPECT_EQ(back.baudrate, sent.baudrate) << line; break;
            case Param::ResetType: EXPECT_EQ(back.reset_type, sent.reset_type) << line; break;
            case Param::Mode: EXPECT_EQ(back.mode, sent.mode) << line; break;
            case Param::FwNum: EXPECT_EQ(back.fw_num, sent.fw_num) << line; break;
            case Param::Broadcast:
                EXPECT_EQ(back.direction, sent.direction) << line;
                EXPECT_EQ(back.kf, sent.kf) << line;
                EXPECT_EQ(back.wait_response, sent.wait_response) << line;
                EXPECT_EQ(back.bcst_with_rsp, 1) << line;
                break;
            case Param::Data:
                // Text is written only when no file is named.
                EXPECT_EQ(CmdText(back.data), CmdText(sent.file).empty() ? CmdText(sent.data) : "") << line;
                break;
        }
    }
}

TEST(WordRoundTrip, EveryCommandIsReadBackAsWritten) {
    cli_parse parser;
    for (const CommandInfo &command : kCommands) {
        EXPECT_EQ(parser.command_name(command.id), command.word) << command.id;
        // A payload file or payload text; every other command with a file names one.
        std::vector<bool> variants{true};
        if (command.takes(Param::Data)) variants.push_back(false);
        for (const bool with_file : variants) {
            const S_CmdParam sent = filled(command, with_file);
            const std::string line = parser.command_line(sent);
            ASSERT_EQ(line.substr(0, command.word.size()), command.word) << command.id;
            S_CmdParam back{};
            std::string message;
            ASSERT_EQ(parser.parse_line(line, back, message), CliOk) << line;
            EXPECT_EQ(message, "") << line;
            EXPECT_EQ(back.command, command.id) << line;
            expect_same_parameters(command, sent, back, line);
        }
    }
}

// A line with the shared word and only the smaller id's options is the smaller id; one that
// names any option only the greater takes is the greater.
TEST(WordRoundTrip, SharedWordFallsBackOnTheOptionsGiven) {
    struct Case {
        const char *line;
        std::int32_t command;
    };
    const Case cases[] = {
        {"-erase", ATCmdEraseTarget},
        {"-erase -t 100", ATCmdEraseTarget},
        {"-erase -t 100 -addr 0x0", ATCmdEraseTargetSectors},
        {"-erase -s 0x10", ATCmdEraseTargetSectors},
        {"-erase -f \"x.bin\"", ATCmdEraseTarget},  // an option neither takes
    };
    cli_parse parser;
    for (const auto &c : cases) {
        S_CmdParam record{};
        std::string message;
        EXPECT_EQ(parser.parse_line(c.line, record, message), CliOk) << c.line;
        EXPECT_EQ(record.command, c.command) << c.line;
    }
}

}  // namespace
}  // namespace kelvra::script
