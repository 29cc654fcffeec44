#include "host/model/at_command.h"

#include <array>
#include <string_view>

namespace kelvra {
namespace {

struct CatalogueEntry {
    std::int32_t id;
    std::string_view name;
    std::string_view display_name;
};

// One list feeds both maps, so they can never disagree about the set of ids.
constexpr std::array<CatalogueEntry, 25> kCatalogue{{
    {ATCmdGetWriterInfo, "ATCmdGetWriterInfo", "查询KV信息"},
    {ATCmdGetWriterCfg, "ATCmdGetWriterCfg", "查询KV配置"},
    {ATCmdSetWriterCfg, "ATCmdSetWriterCfg", "更新KV配置"},
    {ATCmdSetBaudRate, "ATCmdSetBaudRate", "设置AT接口波特率"},
    {ATCmdConnectTarget, "ATCmdConnectTarget", "连接目标芯片"},
    {ATCmdGetTargetStatus, "ATCmdGetTargetStatus", "获取目标芯片连接状态"},
    {ATCmdGetTargetChipID, "ATCmdGetTargetChipID", "获取目标芯片ID"},
    {ATCmdReadTargetMemory, "ATCmdReadTargetMemory", "读取目标芯片数据"},
    {ATCmdEraseTarget, "ATCmdEraseTarget", "擦除目标芯片"},
    {ATCmdEraseTargetSectors, "ATCmdEraseTargetSectors", "擦除目标芯片扇区"},
    {ATCmdWriteTargetMemory, "ATCmdWriteTargetMemory", "写入目标芯片数据"},
    {ATCmdReadTargetOptionByte, "ATCmdReadTargetOptionByte", "读取目标芯片选项字"},
    {ATCmdWriteTargetVendorOptionByte, "ATCmdWriteTargetVendorOptionByte", "写入目标芯片默认选项字"},
    {ATCmdWriteTargetUserOptionByte, "ATCmdWriteTargetUserOptionByte", "写入目标芯片用户选项字"},
    {ATCmdTargetReset, "ATCmdTargetReset", "复位目标芯片"},
    {ATCmdGetProjectInfo, "ATCmdGetProjectInfo", "查询离线项目信息"},
    {ATCmdLoadProject, "ATCmdLoadProject", "加载离线项目"},
    {ATCmdDisableProject, "ATCmdDisableProject", "禁用离线项目"},
    {ATCmdStartOffline, "ATCmdStartOffline", "启动离线烧录"},
    {ATCmdGetOfflineStatus, "ATCmdGetOfflineStatus", "查询离线状态"},
    {ATCmdSwitchOfflineProject, "ATCmdSwitchOfflineProject", "切换离线项目"},
    {ATCmdFactoryRunSRAMFW, "ATCmdFactoryRunSRAMFW", "运行FactoryTest SRAM 固件"},
    {ATCmdFactoryRunFlashFW, "ATCmdFactoryRunFlashFW", "运行FactoryTest Flash 固件"},
    {ATCmdBroadcast, "ATCmdBroadcast", "扩展指令-广播"},
    {ATCmdSleep, "ATCmdSleep", "睡眠"},
}};

template <std::string_view CatalogueEntry::*Field>
ATCmdNameMap build_map() {
    ATCmdNameMap names;
    for (const auto &entry : kCatalogue) names.emplace(entry.id, std::string(entry.*Field));
    return names;
}

std::string look_up(const ATCmdNameMap &names, std::int32_t id) {
    const auto it = names.find(id);
    return it == names.end() ? std::string() : it->second;
}

}  // namespace

const ATCmdNameMap &ATCmdNames() {
    static const ATCmdNameMap names = build_map<&CatalogueEntry::name>();
    return names;
}

const ATCmdNameMap &ATCmdDisplayNames() {
    static const ATCmdNameMap names = build_map<&CatalogueEntry::display_name>();
    return names;
}

std::string ATCmdName(std::int32_t id) { return look_up(ATCmdNames(), id); }

std::string ATCmdDisplayName(std::int32_t id) { return look_up(ATCmdDisplayNames(), id); }

}  // namespace kelvra
