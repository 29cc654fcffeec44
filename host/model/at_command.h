// The command catalogue: every command id a command list can hold, with its English name (logs,
// run log) and its Chinese display name (buttons and list view).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kelvra {

// Command ids are the protocol request codes, plus the local pause 500.
enum ATCmdId : std::int32_t {
    ATCmdGetWriterInfo = 1,
    ATCmdGetWriterCfg = 3,
    ATCmdSetWriterCfg = 5,
    ATCmdSetBaudRate = 6,
    ATCmdConnectTarget = 100,
    ATCmdGetTargetStatus = 101,
    ATCmdGetTargetChipID = 102,
    ATCmdReadTargetMemory = 104,
    ATCmdEraseTarget = 106,
    ATCmdEraseTargetSectors = 107,
    ATCmdWriteTargetMemory = 109,
    ATCmdReadTargetOptionByte = 110,
    ATCmdWriteTargetVendorOptionByte = 112,
    ATCmdWriteTargetUserOptionByte = 113,
    ATCmdTargetReset = 114,
    ATCmdGetProjectInfo = 200,
    ATCmdLoadProject = 202,
    ATCmdDisableProject = 204,
    ATCmdStartOffline = 205,
    ATCmdGetOfflineStatus = 206,
    ATCmdSwitchOfflineProject = 207,
    ATCmdFactoryRunSRAMFW = 300,
    ATCmdFactoryRunFlashFW = 301,
    ATCmdBroadcast = 400,
    ATCmdSleep = 500,
};

using ATCmdNameMap = std::map<std::int32_t, std::string>;

// Both maps hold the same 25 ids and iterate in ascending id order.
const ATCmdNameMap &ATCmdNames();
const ATCmdNameMap &ATCmdDisplayNames();

// "" when the id is not in the catalogue.
std::string ATCmdName(std::int32_t id);
std::string ATCmdDisplayName(std::int32_t id);

}  // namespace kelvra
