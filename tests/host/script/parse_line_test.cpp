#include "host/script/cli_parse.h"

#include "record_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string_view>

namespace kelvra::script {
namespace {

using test::describe;
using test::record_of;

constexpr const char *kInvalid = "Invalid argument or missing space and quotation mark for argument:";

struct LineCase {
    const char *line;
    int result;
    S_CmdParam record;  // compared only when the result is 0 or 2003
    std::string message;
};

// Test names show the line, not the bytes of the record.
void PrintTo(const LineCase &c, std::ostream *out) {
    static constexpr char kHex[] = "0123456789abcdef";
    *out << '[';
    for (const unsigned char byte : std::string_view(c.line)) {
        if (byte >= 0x20 && byte < 0x7F) *out << static_cast<char>(byte);
        else *out << "\\x" << kHex[byte >> 4] << kHex[byte & 0xF];
    }
    *out << ']';
}

class ParseLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseLine, GivesRecordResultAndMessage) {
    const LineCase &c = GetParam();
    cli_parse parser;
    S_CmdParam record;
    std::memset(&record, 0x5A, sizeof record);  // every field must be overwritten
    std::string message;
    EXPECT_EQ(parser.parse_line(c.line, record, message), c.result);
    EXPECT_EQ(message, c.message);
    if (c.result == CliOk || c.result == CliParameterRepeat) {
        EXPECT_EQ(describe(record), describe(c.record));
    }
}

const LineCase kCommandWords[] = {
    {"-info", CliOk, record_of(1), ""},
    {"-read-ob", CliOk, record_of(110), ""},  // not mistaken for "-read"
    {"-prj-info", CliOk, record_of(200), ""},
    {"-erase -t 3000", CliOk, record_of(106, [](auto &r) { r.timeout = 3000; }), ""},
    {"-erase -t 3000 -addr 0x0 -s 0x1000", CliOk, record_of(107, [](auto &r) {
         r.timeout = 3000;
         r.size = 0x1000;
     }),
     ""},
    {"-info -info", CliCommandRepeat, {}, ""},
    {"-write -f \"fw-read.hex\"", CliCommandRepeat, {}, ""},  // "-read" inside the value
    {"-info -cfg", CliCommandRepeat, {}, ""},
    {"info", CliCommandNotFound, {}, ""},
    {"info extra words", CliCommandNotFound, {}, ""},
    {"-read\t-addr 0x0", CliCommandNotFound, {}, ""},  // a tab is not a separator
    {"-INFO", CliCommandNotFound, {}, ""},
    {"# note", CliCommandNotFound, {}, ""},
    {"\xEF\xBB\xBF-info", CliCommandNotFound, {}, ""},
    {"-bcst -data \"01\" -f x.bin", CliParameterAmbiguity, {}, ""},
    {"-bcst -data 01 -fw-num 1", CliParameterAmbiguity, {}, ""},  // "-f" inside "-fw-num"
    {"-read -s 0x10 -s 0x20", CliParameterRepeat, record_of(104, [](auto &r) { r.size = 0x20; }),
     ""},
};
INSTANTIATE_TEST_SUITE_P(CommandWords, ParseLine, ::testing::ValuesIn(kCommandWords));

const LineCase kValues[] = {
    {"-setcfg -f \"C:\\cfg dir\\writer_cfg.json\"", CliOk,
     record_of(5, [](auto &r) { SetCmdText(r.file, "C:\\cfg dir\\writer_cfg.json"); }), ""},
    {"-read -addr 0x1000 -s 0x400", CliOk, record_of(104, [](auto &r) {
         r.address = 0x1000;
         r.size = 0x400;
     }),
     ""},
    {"-write -addr 0x1000 -f \"C:\\fw\\app.hex\" -fw-num all", CliOk, record_of(109, [](auto &r) {
         r.address = 0x1000;
         SetCmdText(r.file, "C:\\fw\\app.hex");
         r.fw_num = -1;
     }),
     ""},
    {"-prj-ld -f \"p1.pkg\" -pwd \"secret\"", CliOk, record_of(202, [](auto &r) {
         SetCmdText(r.file, "p1.pkg");
         SetCmdText(r.password, "secret");
     }),
     ""},
    {"-bcst -data \"hello\" -dir \"usbtouart\" -kf \"false\" -wtrsp \"true\" -t 1000", CliOk,
     record_of(400, [](auto &r) {
         SetCmdText(r.data, "hello");
         r.wait_response = 1;
         r.bcst_with_rsp = 1;
         r.timeout = 1000;
     }),
     ""},
    {"-bcst -data hi -kf 1", CliOk, record_of(400, [](auto &r) {
         SetCmdText(r.data, "hi");
         r.kf = -100;
         r.bcst_with_rsp = 1;
     }),
     ""},
    {"-bcst -data hi -dir USBTOUART -wtrsp false", CliOk, record_of(400, [](auto &r) {
         SetCmdText(r.data, "hi");
         r.direction = -100;
         r.bcst_with_rsp = 1;
     }),
     ""},
    {"-info -addr 0x10", CliOk, record_of(1, [](auto &r) { r.address = 0x10; }), ""},
    {"-sleep -t -1", CliOk, record_of(500, [](auto &r) { r.timeout = -1; }), ""},
    {"-write -f -1 -addr 0x5", CliOk, record_of(109, [](auto &r) {
         SetCmdText(r.file, "-1");  // a number after "-f" is a value, not an option
         r.address = 5;
     }),
     ""},
    // A quoted value ends at its closing quote when a blank or the line's end follows it.
    {"-write -f \"a-b.hex\"", CliOk, record_of(109, [](auto &r) { SetCmdText(r.file, "a-b.hex"); }), ""},
    {"-write -f \"/data/fw-1.hex\"", CliOk,
     record_of(109, [](auto &r) { SetCmdText(r.file, "/data/fw-1.hex"); }), ""},
    {"-write -addr 0x8000000 -f \"/data/fw-1.hex\" -fw-num 2", CliOk, record_of(109, [](auto &r) {
         r.address = 0x8000000;
         SetCmdText(r.file, "/data/fw-1.hex");
         r.fw_num = 2;
     }),
     ""},
    {"-setcfg -f \"C:\\a-b dir\\cfg-2.json\"", CliOk,
     record_of(5, [](auto &r) { SetCmdText(r.file, "C:\\a-b dir\\cfg-2.json"); }), ""},
    {"-prj-ld -f \"p-1.pkg\" -pwd \"pw-x\"", CliOk, record_of(202, [](auto &r) {
         SetCmdText(r.file, "p-1.pkg");
         SetCmdText(r.password, "pw-x");
     }),
     ""},
    {"-write -f \"a\"b-c.hex\" -addr 0x1", CliOk, record_of(109, [](auto &r) {
         SetCmdText(r.file, "a\"b-c.hex");  // an inner quote with no blank after it stays
         r.address = 1;
     }),
     ""},
    {"-reset   -type    5", CliOk, record_of(114, [](auto &r) { r.reset_type = 5; }), ""},
    {"-write -f  -7 -addr 1", CliOk, record_of(109, [](auto &r) {
         SetCmdText(r.file, "-7");  // blanks may lead the number
         r.address = 1;
     }),
     ""},
};
INSTANTIATE_TEST_SUITE_P(Values, ParseLine, ::testing::ValuesIn(kValues));

const LineCase kWarnings[] = {
    {"-write -f -addr 0x100", CliOk, record_of(109, [](auto &r) { r.address = 0x100; }),
     "comand:-f, argument is empty"},
    {"-read -addr", CliOk, record_of(104), "comand:-addr, argument is empty"},
    {"-read -x 5", CliOk, record_of(104), std::string(kInvalid) + "'-x 5'"},
    {"-cid extra", CliOk, record_of(102),
     "There are redundant parameters:'extra'. Did you forget to add '-'"},
    {"-cid \"extra\"", CliOk, record_of(102),
     "There are redundant parameters:'extra'. Did you forget to add '-'"},
    // A quote that no blank or line end follows ends at the next '-': the file stays empty.
    {"-write -f \"a-b.hex\"x", CliOk, record_of(109),
     std::string(kInvalid) + "' \"a''f \"a''\"x'"},
    {"-write -f \"a-b.hex -addr 0x10", CliOk, record_of(109), "comand:0x10, argument is empty"},
    {"-setcfg -f \"unbalanced", CliOk, record_of(5), std::string(kInvalid) + "' \"unbalanced'"},
    {"-setcfg -f a\"b", CliOk, record_of(5), std::string(kInvalid) + "' a\"b'"},
    // An empty quoted value is read as empty but left in the line, so it is read again.
    // Only blanks may lead a number after "-f": with a tab "-f" has no value and "-5 -addr" is
    // an unknown option.
    {"-write -f \t-5 -addr 0x5", CliOk, record_of(109), "comand:0x5, argument is empty"},
    {"-setcfg -f \"\" -b 1", CliParameterRepeat, record_of(5),
     "There are redundant parameters:'-f \"\" -b 1'. Did you forget to add '-'"},
};
INSTANTIATE_TEST_SUITE_P(Warnings, ParseLine, ::testing::ValuesIn(kWarnings));

TEST(ParseLineCounters, CountEachOptionOfTheLastLine) {
    cli_parse parser;
    S_CmdParam record;
    std::string message;
    parser.parse_line("-read -s 1 -s 2 -addr 3", record, message);
    EXPECT_EQ(parser.option_counts[5], 2);  // "-s"
    EXPECT_EQ(parser.option_counts[4], 1);  // "-addr"
    const auto all_zero = [&parser] {
        return std::all_of(parser.option_counts.begin(), parser.option_counts.end(),
                           [](int count) { return count == 0; });
    };
    parser.parse_line("-info", record, message);
    EXPECT_TRUE(all_zero());

    // A recognised command word starts a fresh count even when the line is rejected after it.
    for (const char *rejected : {"-info -t 1 -info", "-bcst -data 1 -f x"}) {
        parser.parse_line("-read -s 1 -s 2", record, message);
        EXPECT_NE(parser.parse_line(rejected, record, message), CliOk) << rejected;
        EXPECT_TRUE(all_zero()) << rejected;
    }
}

// A value that does not fit its 255-byte field is never cut: the line is refused, naming the
// option and the length, so nothing else than the script holds can be sent or opened.
TEST(ParseLineLimits, TextValueLongerThanItsFieldRefusesTheLine) {
    struct Case {
        std::string line;
        int result;
        std::string message;
        std::string stored;  // the text field after an accepted line
    };
    const std::string fits(255, 'p'), one_more(256, 'p'), long_path = "C:\\fw dir\\" + std::string(290, 'x');
    const Case cases[] = {
        {"-setcfg -f \"" + fits + "\"", CliOk, "", fits},
        {"-setcfg -f " + fits, CliOk, "", fits},
        {"-setcfg -f \"" + one_more + "\"", CliValueTooLong,
         "argument of -f is 256 bytes long; at most 255 are allowed", ""},
        {"-setcfg -f " + one_more, CliValueTooLong,
         "argument of -f is 256 bytes long; at most 255 are allowed", ""},
        {"-write -addr 0x0 -f \"" + long_path + "\" -fw-num 0", CliValueTooLong,
         "argument of -f is 300 bytes long; at most 255 are allowed", ""},
        {"-prj-ld -f \"p.pkg\" -pwd \"" + std::string(1000, 'w') + "\"", CliValueTooLong,
         "argument of -pwd is 1000 bytes long; at most 255 are allowed", ""},
        {"-bcst -data \"" + std::string(300, 'd') + "\" -dir \"usbtouart\"", CliValueTooLong,
         "argument of -data is 300 bytes long; at most 255 are allowed", ""},
        // The first value that does not fit is named.
        {"-prj-ld -pwd " + std::string(260, 'w') + " -f " + std::string(270, 'f'), CliValueTooLong,
         "argument of -pwd is 260 bytes long; at most 255 are allowed", ""},
        // Refused also when another option repeats.
        {"-setcfg -f " + one_more + " -t 1 -t 2", CliValueTooLong,
         "argument of -f is 256 bytes long; at most 255 are allowed", ""},
        // Rejections decided before the options are read keep their codes.
        {"-bcst -data " + std::string(400, 'd') + " -f " + std::string(300, 'f'), CliParameterAmbiguity,
         "", ""},
    };
    cli_parse parser;
    for (const Case &c : cases) {
        S_CmdParam record;
        std::string message;
        EXPECT_EQ(parser.parse_line(c.line, record, message), c.result) << c.line.substr(0, 40);
        EXPECT_EQ(message, c.message) << c.line.substr(0, 40);
        if (c.result == CliOk) {
            EXPECT_EQ(CmdText(record.file), c.stored);
        }
    }
}

TEST(CliErrorMessage, TableTexts) {
    EXPECT_EQ(cli_error_message(0), "");
    EXPECT_EQ(cli_error_message(2001), "AT command repeat");
    EXPECT_EQ(cli_error_message(2002), "command not found");
    EXPECT_EQ(cli_error_message(2003), "parameter repeat");
    EXPECT_EQ(cli_error_message(2004), "parameter ambiguity");
    EXPECT_EQ(cli_error_message(2005), "too many parameters");
    EXPECT_EQ(cli_error_message(2006),
              "Invalid argument or missing space and quotation mark for argument");
    EXPECT_EQ(cli_error_message(2007), "file format error");
    EXPECT_EQ(cli_error_message(2008), "file not found");
    EXPECT_EQ(cli_error_message(2009), "parameter too long");
    EXPECT_EQ(cli_error_message(2010), "");
    EXPECT_EQ(cli_error_message(9), "");
}

}  // namespace
}  // namespace kelvra::script
