#include "host/script/cli_parse.h"

#include "record_text.h"

#include <gtest/gtest.h>

namespace kelvra::script {
namespace {

using test::record_of;

TEST(CommandLine, EachWriterFamily) {
    struct Case {
        S_CmdParam record;
        const char *line;
    };
    const Case cases[] = {
        {record_of(1, [](auto &r) { r.address = 0x10; }), "-info"},
        {record_of(3), "-cfg"},
        {record_of(100), "-connect"},
        {record_of(101), "-status"},
        {record_of(102, [](auto &r) { r.timeout = 7; }), "-cid"},
        {record_of(110), "-read-ob"},
        {record_of(200), "-prj-info"},
        {record_of(204), "-prj-dis"},
        {record_of(205), "-start"},
        {record_of(206), "-offline-status"},
        {record_of(5, [](auto &r) { SetCmdText(r.file, "C:\\cfg\\writer_cfg.json"); }),
         "-setcfg -f \"C:\\cfg\\writer_cfg.json\""},
        {record_of(6, [](auto &r) { r.baudrate = -3; }), "-setbaud -b -3"},
        {record_of(104, [](auto &r) { r.address = 0xABCDEF; }), "-read -addr 0xabcdef -s 0x0"},
        {record_of(106, [](auto &r) {
             r.timeout = 5000;
             r.address = 0x1000;
         }),
         "-erase -t 5000"},
        {record_of(107, [](auto &r) {
             r.timeout = 5000;
             r.address = 0x1000;
             r.size = 0x800;
         }),
         "-erase -t 5000 -addr 0x1000 -s 0x800"},
        {record_of(109, [](auto &r) {
             r.address = 0x1000;
             SetCmdText(r.file, "C:\\fw\\app.hex");
             r.fw_num = -1;
         }),
         "-write -addr 0x1000 -f \"C:\\fw\\app.hex\" -fw-num all "},
        {record_of(109), "-write -addr 0x0 -f \"\" -fw-num 0"},
        {record_of(112, [](auto &r) { r.timeout = 3000; }), "-write-vob -t 3000"},
        {record_of(113, [](auto &r) { r.timeout = -2; }), "-write-uob -t -2"},
        {record_of(114, [](auto &r) { r.reset_type = 3; }), "-reset -type 3"},
        {record_of(114, [](auto &r) { r.reset_type = 0x7FFFFFFF; }), "-reset -type 2147483647"},
        {record_of(114, [](auto &r) { r.reset_type = 0xFFFFFFFF; }), "-reset -type 4294967295"},
        {record_of(202, [](auto &r) { SetCmdText(r.file, "C:\\prj\\p1.pkg"); }),
         "-prj-ld -f \"C:\\prj\\p1.pkg\""},
        {record_of(202, [](auto &r) {
             SetCmdText(r.file, "p.pkg");
             SetCmdText(r.password, "pw");
         }),
         "-prj-ld -f \"p.pkg\" -pwd \"pw\""},
        {record_of(207, [](auto &r) {
             r.mode = 1;
             SetCmdText(r.file, "p1.pkg");
         }),
         "-prj-sw -mode 1 -f \"p1.pkg\""},
        {record_of(300, [](auto &r) { r.timeout = 10000; }), "-factory-sram-fw -t 10000"},
        {record_of(301, [](auto &r) { r.timeout = 500; }), "-factory-flash-fw -t 500"},
        {record_of(500, [](auto &r) { r.timeout = 500; }), "-sleep -t 500"},
        {record_of(400, [](auto &r) {
             SetCmdText(r.data, "hello");
             r.wait_response = 1;
             r.timeout = 1000;
         }),
         "-bcst -data \"hello\" -dir \"usbtouart\" -kf \"false\" -wtrsp \"true\" -t 1000"},
        {record_of(400, [](auto &r) {
             SetCmdText(r.file, "x.bin");
             SetCmdText(r.data, "ignored");
             r.direction = -100;
             r.kf = -100;
         }),
         "-bcst -f \"x.bin\" -dir \"uarttousb\" -kf \"true\" -wtrsp \"false\" -t 0"},
        {record_of(400, [](auto &r) { SetCmdText(r.data, "01"); }), "-bcst -data \"01\" -dir \"usbtouart\" -t 0"},
        {record_of(400, [](auto &r) {
             SetCmdText(r.data, "01");
             r.bcst_with_rsp = 1;
         }),
         "-bcst -data \"01\" -dir \"usbtouart\" -kf \"false\" -wtrsp \"false\" -t 0"},
        {record_of(108), ""},
        {record_of(0), ""},
        {record_of(-1), ""},
    };
    cli_parse parser;
    for (const auto &c : cases) EXPECT_EQ(parser.command_line(c.record), c.line) << c.record.command;
}

TEST(CommandName, BothEraseIdsShareTheirWord) {
    cli_parse parser;
    EXPECT_EQ(parser.command_name(106), "-erase");
    EXPECT_EQ(parser.command_name(107), "-erase");
    EXPECT_EQ(parser.command_name(207), "-prj-sw");
    EXPECT_EQ(parser.command_name(108), "");
    EXPECT_EQ(parser.command_table.size(), 25u);
    EXPECT_EQ(parser.command_table.begin()->first, 500);  // greatest id first
    EXPECT_EQ(parser.option_table.size(), 13u);
    EXPECT_EQ(parser.writer_table.size(), 25u);
}

}  // namespace
}  // namespace kelvra::script
