#include "host/model/at_command.h"
#include "host/model/cmd_param.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace kelvra {
namespace {

std::vector<std::int32_t> ids_of(const ATCmdNameMap &names) {
    std::vector<std::int32_t> ids;
    for (const auto &[id, name] : names) ids.push_back(id);
    return ids;
}

TEST(Catalogue, BothMapsHoldTheSame25IdsInAscendingOrder) {
    const std::vector<std::int32_t> expected{1,   3,   5,   6,   100, 101, 102, 104, 106,
                                             107, 109, 110, 112, 113, 114, 200, 202, 204,
                                             205, 206, 207, 300, 301, 400, 500};
    EXPECT_EQ(ids_of(ATCmdNames()), expected);
    EXPECT_EQ(ids_of(ATCmdDisplayNames()), expected);
    for (const auto &[id, name] : ATCmdNames()) {
        EXPECT_FALSE(name.empty()) << id;
        EXPECT_FALSE(ATCmdDisplayName(id).empty()) << id;
    }
}

TEST(Catalogue, EveryIdWithBothNames) {
    struct Case {
        std::int32_t id;
        const char *name;
        const char *display;
    };
    const Case cases[] = {
        {1, "ATCmdGetWriterInfo", "查询KV信息"},
        {3, "ATCmdGetWriterCfg", "查询KV配置"},
        {5, "ATCmdSetWriterCfg", "更新KV配置"},
        {6, "ATCmdSetBaudRate", "设置AT接口波特率"},
        {100, "ATCmdConnectTarget", "连接目标芯片"},
        {101, "ATCmdGetTargetStatus", "获取目标芯片连接状态"},
        {102, "ATCmdGetTargetChipID", "获取目标芯片ID"},
        {104, "ATCmdReadTargetMemory", "读取目标芯片数据"},
        {106, "ATCmdEraseTarget", "擦除目标芯片"},
        {107, "ATCmdEraseTargetSectors", "擦除目标芯片扇区"},
        {109, "ATCmdWriteTargetMemory", "写入目标芯片数据"},
        {110, "ATCmdReadTargetOptionByte", "读取目标芯片选项字"},
        {112, "ATCmdWriteTargetVendorOptionByte", "写入目标芯片默认选项字"},
        {113, "ATCmdWriteTargetUserOptionByte", "写入目标芯片用户选项字"},
        {114, "ATCmdTargetReset", "复位目标芯片"},
        {200, "ATCmdGetProjectInfo", "查询离线项目信息"},
        {202, "ATCmdLoadProject", "加载离线项目"},
        {204, "ATCmdDisableProject", "禁用离线项目"},
        {205, "ATCmdStartOffline", "启动离线烧录"},
        {206, "ATCmdGetOfflineStatus", "查询离线状态"},
        {207, "ATCmdSwitchOfflineProject", "切换离线项目"},
        {300, "ATCmdFactoryRunSRAMFW", "运行FactoryTest SRAM 固件"},
        {301, "ATCmdFactoryRunFlashFW", "运行FactoryTest Flash 固件"},
        {400, "ATCmdBroadcast", "扩展指令-广播"},
        {500, "ATCmdSleep", "睡眠"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ATCmdName(c.id), c.name);
        EXPECT_EQ(ATCmdDisplayName(c.id), c.display);
    }
}

TEST(Catalogue, IdsOutsideTheCatalogueHaveNoName) {
    for (const std::int32_t id : {0, 2, 108, 105, 501, -1}) {
        EXPECT_EQ(ATCmdName(id), "") << id;
        EXPECT_EQ(ATCmdDisplayName(id), "") << id;
    }
}

TEST(CmdParam, FieldsAreInTheirFixedOrder) {
    const std::size_t offsets[] = {
        offsetof(S_CmdParam, command),       offsetof(S_CmdParam, address),
        offsetof(S_CmdParam, size),          offsetof(S_CmdParam, baudrate),
        offsetof(S_CmdParam, timeout),       offsetof(S_CmdParam, direction),
        offsetof(S_CmdParam, bcst_with_rsp), offsetof(S_CmdParam, kf),
        offsetof(S_CmdParam, wait_response), offsetof(S_CmdParam, fw_num),
        offsetof(S_CmdParam, password),      offsetof(S_CmdParam, file),
        offsetof(S_CmdParam, data),          offsetof(S_CmdParam, reset_type),
        offsetof(S_CmdParam, mode)};
    for (std::size_t i = 1; i < std::size(offsets); ++i) EXPECT_LT(offsets[i - 1], offsets[i]);
    EXPECT_EQ(sizeof(S_CmdParam::file), 256u);
}

TEST(CmdParam, NewRecordDefaultsDependOnTheCommand) {
    struct Case {
        std::int32_t id;
        std::int32_t timeout;
    };
    for (const auto c : {Case{500, 500}, Case{300, 500}, Case{301, 500}, Case{106, 10000},
                         Case{400, 10000}, Case{1, 10000}}) {
        S_CmdParam expected = ZeroCmdParam();
        expected.command = c.id;
        expected.timeout = c.timeout;
        expected.reset_type = 3;
        expected.baudrate = 115200;
        const S_CmdParam made = NewCmdParam(c.id);
        EXPECT_EQ(std::memcmp(&made, &expected, sizeof made), 0) << c.id;
    }
}

TEST(CmdParam, TextFieldsNeverOverrun) {
    S_CmdParam record = ZeroCmdParam();
    EXPECT_TRUE(SetCmdText(record.file, std::string(255, 'a')));
    EXPECT_EQ(CmdText(record.file).size(), 255u);

    EXPECT_FALSE(SetCmdText(record.file, std::string(10000, 'b')));
    EXPECT_EQ(CmdText(record.file), std::string(255, 'b'));
    EXPECT_EQ(record.file[255], '\0');
    EXPECT_EQ(record.data[0], '\0');  // the neighbour is untouched

    std::memset(record.password, 'x', sizeof record.password);  // no terminator at all
    EXPECT_EQ(CmdText(record.password).size(), 256u);
}

TEST(CmdParam, ResetTypeNames) {
    EXPECT_EQ(ResetTypeName(0), "设置nRST为低");
    EXPECT_EQ(ResetTypeName(3), "nRST硬件复位与软件内核复位(默认)");
    EXPECT_EQ(ResetTypeName(7), "执行上电复位并释放端口");
    EXPECT_EQ(ResetTypeName(8), "不支持的复位类型");
    EXPECT_EQ(ResetTypeName(kInvalidResetType), "不支持的复位类型");
}

}  // namespace
}  // namespace kelvra
