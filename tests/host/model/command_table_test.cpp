// The command table's own checks, run on tables with one defect each, and its look-ups.
#include "host/model/command_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra {
namespace {

using enum Param;

CommandInfo row(std::int32_t id, std::string_view word, ParamList params = {},
                FileUse file = FileUse::None) {
    return {id, "ATCmdX", "显示", word, 10000, file, params};
}

TEST(CommandTable, TheRealTableHasNoProblem) {
    EXPECT_EQ(CommandTableProblem(kCommands), "");
}

TEST(CommandTable, EachDefectIsNamed) {
    struct Case {
        const char *what;
        std::vector<CommandInfo> rows;
        std::string_view problem;
    };
    CommandInfo nameless = row(2, "-b");
    nameless.display_name = {};
    CommandInfo no_wait = row(2, "-b", ParamList::of(Timeout));
    no_wait.default_timeout = 0;
    const Case cases[] = {
        {"fine", {row(1, "-a"), row(2, "-b", ParamList::of(Address))}, ""},
        {"id 0", {row(0, "-a")}, "ids are positive"},
        {"descending", {row(2, "-a"), row(1, "-b")}, "ids ascend and are unique"},
        {"twice", {row(1, "-a"), row(1, "-b")}, "ids ascend and are unique"},
        {"no display name", {row(1, "-a"), nameless}, "every command has both names"},
        {"word without dash", {row(1, "info")}, "a script word is '-' and a name"},
        {"bare dash", {row(1, "-")}, "a script word is '-' and a name"},
        {"no default time-out", {no_wait}, "the default time-out is positive"},
        {"parameter twice", {row(1, "-a", ParamList::of(Size, Address, Size))},
         "a parameter is listed once"},
        {"file without use", {row(1, "-a", ParamList::of(File))}, "a file parameter needs a file use"},
        {"use without file", {row(1, "-a", {}, FileUse::Image)}, "a file parameter needs a file use"},
        {"data without payload", {row(1, "-a", ParamList::of(File, Data), FileUse::Image)},
         "data text stands in for a payload file, and only for one"},
        {"payload without data", {row(1, "-a", ParamList::of(File), FileUse::Payload)},
         "data text stands in for a payload file, and only for one"},
        {"broadcast without time-out",
         {row(1, "-a", ParamList::of(File, Data, Broadcast), FileUse::Payload)},
         "a broadcast needs the time-out of its response"},
        {"three share a word",
         {row(1, "-a"), row(2, "-a", ParamList::of(Size)), row(3, "-a", ParamList::of(Size, Address))},
         "at most two ids share a word"},
        {"greater lacks one",
         {row(1, "-a", ParamList::of(Timeout)), row(2, "-a", ParamList::of(Address, Size))},
         "ids sharing a word: the greater takes all the smaller takes"},
        {"nothing tells them apart",
         {row(1, "-a", ParamList::of(Timeout)), row(2, "-a", ParamList::of(Timeout))},
         "ids sharing a word: the greater takes parameters the smaller does not"},
    };
    for (const auto &c : cases) EXPECT_EQ(CommandTableProblem(c.rows), c.problem) << c.what;
}

TEST(CommandTable, LookUps) {
    ASSERT_NE(FindCommand(ATCmdEraseTargetSectors), nullptr);
    EXPECT_EQ(FindCommand(ATCmdEraseTargetSectors)->name, "ATCmdEraseTargetSectors");
    // Response codes and ids outside the protocol's range are never commands.
    for (const std::int32_t id : {0, 2, 105, -1, 0x7FFFFFFF}) EXPECT_EQ(FindCommand(id), nullptr) << id;

    // Only the sector erase falls back to another id sharing its word.
    for (const CommandInfo &command : kCommands) {
        const CommandInfo *smaller = SmallerSharingWord(command);
        if (command.id == ATCmdEraseTargetSectors) {
            ASSERT_NE(smaller, nullptr);
            EXPECT_EQ(smaller->id, ATCmdEraseTarget);
        } else {
            EXPECT_EQ(smaller, nullptr) << command.id;
        }
    }
}

TEST(CommandTable, EveryTimeOutIsNeededButABroadcasts) {
    for (const CommandInfo &command : kCommands) {
        const bool broadcast = command.takes(Param::Broadcast);
        // A broadcast waits for its response only when asked to, so a run does not need it.
        EXPECT_EQ(command.needs_timeout(), command.takes(Param::Timeout) && !broadcast) << command.id;
    }
    EXPECT_FALSE(FindCommand(ATCmdBroadcast)->needs_timeout());
    EXPECT_TRUE(FindCommand(ATCmdSleep)->needs_timeout());
}

}  // namespace
}  // namespace kelvra
