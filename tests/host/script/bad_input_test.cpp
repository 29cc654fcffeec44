// Hostile lines and files: every one must end in a result code or a warning, never in a crash,
// a hang or a field without its terminating zero.
#include "host/script/cli_parse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kelvra::script {
namespace {

bool is_parser_result(int result) {
    return result == CliOk || (result >= CliCommandRepeat && result <= CliParameterAmbiguity) ||
           result == CliValueTooLong;
}

// The record with a guard zone after it, so an overrun of the last text field shows up even
// without a sanitizer.
struct Guarded {
    S_CmdParam record;
    unsigned char guard[64];
};

void expect_sound_parse(cli_parse &parser, const std::string &line) {
    Guarded guarded;
    std::memset(guarded.guard, 0xA5, sizeof guarded.guard);
    std::string message;
    const int result = parser.parse_line(line, guarded.record, message);
    EXPECT_TRUE(is_parser_result(result)) << result;
    if (result == CliValueTooLong) {
        EXPECT_EQ(message.rfind("argument of -", 0), 0u) << message;
    }
    for (const char *field : {guarded.record.file, guarded.record.password, guarded.record.data})
        EXPECT_NE(std::memchr(field, '\0', kCmdTextSize), nullptr);
    for (const unsigned char byte : guarded.guard) ASSERT_EQ(byte, 0xA5);
}

TEST(BadInput, HostileLinesGiveACodeOrAWarning) {
    const std::string big(10000, 'x');
    const std::vector<std::string> lines{
        "",
        "-",
        "--",
        "- - - -",
        "\"",
        "\"\"\"\"",
        "-info \"",
        "-write -f \"",
        "-write -f \"\"\"",
        "-write -f \" - \" -",
        "-write -f '\"' -addr \"\"\"\" -s",
        "-read\t\t-addr\t1",
        "-read -addr \t 1 \t",
        std::string("-read -addr \0 1", 15),
        "-bcst -data \"\xff\xfe\x80\x01\" -t 1",
        "\xEF\xBB\xBF-info",
        "-setcfg -f \"" + big + "\"",
        "-setcfg -f " + big,
        "-prj-ld -f a -pwd \"" + big + "\" -t 5",
        "-bcst -data " + big + " -t 1",
        "-read " + std::string(5000, '-'),
        "-read " + std::string(5000, '"'),
        "-read -addr " + std::string(3000, ' ') + "0x1",
        "-cid " + big,
        big,
    };
    cli_parse parser;
    for (const auto &line : lines) {
        SCOPED_TRACE(line.substr(0, 60));
        expect_sound_parse(parser, line);
    }
}

// Lines made of the pieces that steer the parser, in random order.
TEST(BadInput, RandomLinesFromParserTokens) {
    const std::vector<std::string> pieces{
        "-read", "-erase", "-bcst", "-info", "-f", "-pwd", "-s", "-addr", "-data", "-kf",
        "-fw-num", "-x", " ", "  ", "\t", "\"", "'", "-", "0x", "all", "12", "a", "a-b", "\xff",
        std::string(1, '\0'), std::string(300, 'z')};
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(1, 14);
    cli_parse parser;
    for (int i = 0; i < 20000; ++i) {
        std::string line = i % 2 == 0 ? "-write " : "";
        for (int n = length(random); n > 0; --n) line += pieces[pick(random)];
        SCOPED_TRACE(line.substr(0, 80));
        expect_sound_parse(parser, line);
        if (HasFatalFailure()) return;
    }
}

TEST(BadInput, BinaryFileLoadsOrStopsCleanly) {
    const auto path = std::filesystem::temp_directory_path() / "kelvra_bad_input.kvatscript";
    std::string bytes;
    std::mt19937 random(7);
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>(random() & 0xFF);
    bytes.replace(0, 6, "-info\n");
    std::ofstream(path, std::ios::binary) << bytes;

    cli_parse parser;
    std::vector<S_CmdParam> commands;
    std::vector<std::string> messages;
    int row = 0;
    const int result = parser.load_script(path.string(), commands, row, messages);
    std::filesystem::remove(path);
    EXPECT_TRUE(is_parser_result(result));
    EXPECT_GE(commands.size(), 1u);
    EXPECT_GE(row, 1);
}

}  // namespace
}  // namespace kelvra::script
