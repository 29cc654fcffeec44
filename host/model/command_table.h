// The commands a command list can hold, in one list: per command its id, its English and
// display names, its script word, the parameters it takes (in the order a script line writes
// them), its default time-out and what its file is. The id enumeration, the catalogue, new
// records, the row checks, the script language and the dialogs all read this list, so a new
// command is one line here plus its steps in the executor (and the virtual writer's answer).
#pragma once

#include "host/model/cmd_param.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvra {

// What a command can take from a record; each kind has its script option(s).
enum class Param : std::uint8_t {
    Address,    // "-addr"
    Size,       // "-s"
    Timeout,    // "-t"; with Broadcast only the wait for the broadcast response
    File,       // "-f"
    Password,   // "-pwd", written only when set
    BaudRate,   // "-b"
    ResetType,  // "-type"
    Mode,       // "-mode"
    FwNum,      // "-fw-num"
    Broadcast,  // "-dir", "-kf", "-wtrsp" and the extended-broadcast flag
    Data,       // "-data", written only when no file is named
};

// What the record's file names.
enum class FileUse : std::uint8_t {
    None,
    WriterConfig,   // a writer configuration document, converted before the run
    Image,          // a firmware image
    Project,        // an offline project package
    Payload,        // broadcast bytes; read only when no data text is given
    WriterProject,  // the name of a project the writer already holds, ending in ".pkg"
};

// A short fixed list of parameters, usable in constant expressions.
class ParamList {
public:
    static constexpr std::size_t kCapacity = 6;

    template <typename... P>
    static constexpr ParamList of(P... params) {
        static_assert(sizeof...(P) <= kCapacity, "a command takes at most kCapacity parameters");
        ParamList list;
        ((list.items_[list.count_++] = params), ...);
        return list;
    }

    constexpr const Param *begin() const { return items_; }
    constexpr const Param *end() const { return items_ + count_; }
    constexpr std::size_t size() const { return count_; }
    constexpr bool empty() const { return count_ == 0; }
    constexpr bool contains(Param p) const {
        for (const Param q : *this)
            if (q == p) return true;
        return false;
    }

private:
    Param items_[kCapacity]{};
    std::size_t count_ = 0;
};

struct CommandInfo {
    std::int32_t id;
    std::string_view name;          // English: logs, run log
    std::string_view display_name;  // Chinese: buttons and list view
    std::string_view word;          // the script word
    std::int32_t default_timeout;   // milliseconds, for a newly added record
    FileUse file;
    ParamList params;  // in the order a script line writes them

    constexpr bool takes(Param p) const { return params.contains(p); }
    // Every run needs the time-out; a broadcast uses it only when it waits for its response.
    constexpr bool needs_timeout() const {
        return takes(Param::Timeout) && !takes(Param::Broadcast);
    }
};

// X(id name, id, display name, script word, default time-out, file, (parameters)).
// Ascending by id. Two ids may share a word when the greater takes parameters the smaller does
// not: a line that names none of those belongs to the smaller ("-erase").
#define KELVRA_COMMAND_LIST(X)                                                                   \
    X(ATCmdGetWriterInfo, 1, "查询KV信息", "-info", 10000, None, ())                             \
    X(ATCmdGetWriterCfg, 3, "查询KV配置", "-cfg", 10000, None, ())                               \
    X(ATCmdSetWriterCfg, 5, "更新KV配置", "-setcfg", 10000, WriterConfig, (File))                \
    X(ATCmdSetBaudRate, 6, "设置AT接口波特率", "-setbaud", 10000, None, (BaudRate))              \
    X(ATCmdConnectTarget, 100, "连接目标芯片", "-connect", 10000, None, ())                      \
    X(ATCmdGetTargetStatus, 101, "获取目标芯片连接状态", "-status", 10000, None, ())             \
    X(ATCmdGetTargetChipID, 102, "获取目标芯片ID", "-cid", 10000, None, ())                      \
    X(ATCmdReadTargetMemory, 104, "读取目标芯片数据", "-read", 10000, None, (Address, Size))     \
    X(ATCmdEraseTarget, 106, "擦除目标芯片", "-erase", 10000, None, (Timeout))                   \
    X(ATCmdEraseTargetSectors, 107, "擦除目标芯片扇区", "-erase", 10000, None,                   \
      (Timeout, Address, Size))                                                                  \
    X(ATCmdWriteTargetMemory, 109, "写入目标芯片数据", "-write", 10000, Image,                   \
      (Address, File, FwNum))                                                                    \
    X(ATCmdReadTargetOptionByte, 110, "读取目标芯片选项字", "-read-ob", 10000, None, ())         \
    X(ATCmdWriteTargetVendorOptionByte, 112, "写入目标芯片默认选项字", "-write-vob", 10000, None, \
      (Timeout))                                                                                 \
    X(ATCmdWriteTargetUserOptionByte, 113, "写入目标芯片用户选项字", "-write-uob", 10000, None,   \
      (Timeout))                                                                                 \
    X(ATCmdTargetReset, 114, "复位目标芯片", "-reset", 10000, None, (ResetType))                 \
    X(ATCmdGetProjectInfo, 200, "查询离线项目信息", "-prj-info", 10000, None, ())                \
    X(ATCmdLoadProject, 202, "加载离线项目", "-prj-ld", 10000, Project, (File, Password))        \
    X(ATCmdDisableProject, 204, "禁用离线项目", "-prj-dis", 10000, None, ())                     \
    X(ATCmdStartOffline, 205, "启动离线烧录", "-start", 10000, None, ())                         \
    X(ATCmdGetOfflineStatus, 206, "查询离线状态", "-offline-status", 10000, None, ())            \
    X(ATCmdSwitchOfflineProject, 207, "切换离线项目", "-prj-sw", 10000, WriterProject,           \
      (Mode, File, Password))                                                                    \
    X(ATCmdFactoryRunSRAMFW, 300, "运行FactoryTest SRAM 固件", "-factory-sram-fw", 500, None,    \
      (Timeout))                                                                                 \
    X(ATCmdFactoryRunFlashFW, 301, "运行FactoryTest Flash 固件", "-factory-flash-fw", 500, None, \
      (Timeout))                                                                                 \
    X(ATCmdBroadcast, 400, "扩展指令-广播", "-bcst", 10000, Payload,                             \
      (File, Data, Broadcast, Timeout))                                                          \
    X(ATCmdSleep, 500, "睡眠", "-sleep", 500, None, (Timeout))

// Command ids are the protocol request codes, plus the local pause 500.
#define KELVRA_COMMAND_ENUMERATOR_(name, id, ...) name = id,
enum ATCmdId : std::int32_t { KELVRA_COMMAND_LIST(KELVRA_COMMAND_ENUMERATOR_) };
#undef KELVRA_COMMAND_ENUMERATOR_

namespace command_table_detail {
using enum Param;
using enum FileUse;
#define KELVRA_COMMAND_ROW_(name, id, display, word, timeout, file, params) \
    CommandInfo{id, #name, display, word, timeout, file, ParamList::of params},
inline constexpr CommandInfo kRows[] = {KELVRA_COMMAND_LIST(KELVRA_COMMAND_ROW_)};
#undef KELVRA_COMMAND_ROW_
}  // namespace command_table_detail

inline constexpr std::span<const CommandInfo> kCommands{command_table_detail::kRows};

// The row of `id`, nullptr when the id is not a command.
constexpr const CommandInfo *FindCommand(std::int32_t id) {
    for (const CommandInfo &c : kCommands)
        if (c.id == id) return &c;
    return nullptr;
}

// The other id that shares `command`'s word and takes fewer parameters, nullptr when there is
// none: the parser reads the word as `command` first and falls back to it.
constexpr const CommandInfo *SmallerSharingWord(const CommandInfo &command) {
    for (const CommandInfo &c : kCommands)
        if (c.id < command.id && c.word == command.word) return &c;
    return nullptr;
}

// The first thing wrong with `table`, "" when nothing is.
constexpr std::string_view CommandTableProblem(std::span<const CommandInfo> table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        const CommandInfo &c = table[i];
        if (c.id <= 0) return "ids are positive";
        if (i > 0 && table[i - 1].id >= c.id) return "ids ascend and are unique";
        if (c.name.empty() || c.display_name.empty()) return "every command has both names";
        if (c.word.size() < 2 || c.word[0] != '-') return "a script word is '-' and a name";
        if (c.default_timeout <= 0) return "the default time-out is positive";
        for (auto p = c.params.begin(); p != c.params.end(); ++p)
            for (auto q = p + 1; q != c.params.end(); ++q)
                if (*p == *q) return "a parameter is listed once";
        if ((c.file == FileUse::None) == c.takes(Param::File)) return "a file parameter needs a file use";
        if (c.takes(Param::Data) != (c.file == FileUse::Payload))
            return "data text stands in for a payload file, and only for one";
        if (c.takes(Param::Broadcast) && !c.takes(Param::Timeout))
            return "a broadcast needs the time-out of its response";
        int sharing = 0;
        for (std::size_t j = 0; j < table.size(); ++j) {
            const CommandInfo &o = table[j];
            if (j == i || o.word != c.word) continue;
            if (++sharing > 1) return "at most two ids share a word";
            if (o.id < c.id) continue;  // checked from the smaller one
            // The greater must take all of the smaller's parameters and more.
            for (const Param p : c.params)
                if (!o.takes(p)) return "ids sharing a word: the greater takes all the smaller takes";
            if (o.params.size() <= c.params.size())
                return "ids sharing a word: the greater takes parameters the smaller does not";
        }
    }
    return {};
}

static_assert(CommandTableProblem(kCommands).empty(), "the command table is inconsistent");

// Whether the run reads the record's file from disk (and the row checks want it present).
inline bool ReadsInputFile(const CommandInfo &command, const S_CmdParam &record) {
    switch (command.file) {
        case FileUse::WriterConfig:
        case FileUse::Image:
        case FileUse::Project:
            return true;
        case FileUse::Payload:
            return CmdText(record.data).empty();
        case FileUse::None:
        case FileUse::WriterProject:
            break;
    }
    return false;
}

}  // namespace kelvra
