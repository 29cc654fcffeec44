#include "host/model/at_command.h"

#include <string_view>

namespace kelvra {
namespace {

template <std::string_view CommandInfo::*Field>
ATCmdNameMap build_map() {
    ATCmdNameMap names;
    for (const auto &command : kCommands) names.emplace(command.id, std::string(command.*Field));
    return names;
}

std::string look_up(const ATCmdNameMap &names, std::int32_t id) {
    const auto it = names.find(id);
    return it == names.end() ? std::string() : it->second;
}

}  // namespace

const ATCmdNameMap &ATCmdNames() {
    static const ATCmdNameMap names = build_map<&CommandInfo::name>();
    return names;
}

const ATCmdNameMap &ATCmdDisplayNames() {
    static const ATCmdNameMap names = build_map<&CommandInfo::display_name>();
    return names;
}

std::string ATCmdName(std::int32_t id) { return look_up(ATCmdNames(), id); }

std::string ATCmdDisplayName(std::int32_t id) { return look_up(ATCmdDisplayNames(), id); }

}  // namespace kelvra
