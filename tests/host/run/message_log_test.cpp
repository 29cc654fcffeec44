// The message log's rules: levels and colours, line breaks, the 1024-byte limit and the live
// line.
#include "host/run/message_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::run {
namespace {

std::string fixed_clock() { return "14:05:09"; }

struct Sink final : ILogSink {
    std::vector<std::string> calls;
    void AppendLine(const LogEntry &e) override { calls.push_back("append " + e.time + " " + e.text); }
    void ReplaceLiveLine(const LogEntry &e) override { calls.push_back("live " + e.time + " " + e.text); }
};

TEST(MessageLog, LevelsHaveTheirColoursAndOthersShowNothing) {
    Sink sink;
    MessageLog log(&sink);
    log.SetClock(fixed_clock);
    log.LogLevelLine(LogSuccess, "扫描完成");
    log.LogLevelLine(7, "never");
    log.LogLevelLine(-1, "never");
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].time, "14:05:09");
    EXPECT_EQ(lines[0].text, "扫描完成");
    EXPECT_EQ(lines[0].colour, 0x00E100u);
    EXPECT_EQ(lines[0].level, LogSuccess);
    const std::uint32_t colours[] = {0x9B6900, 0x0097DA, 0x0000FF, 0x00E100};
    for (int level = 0; level < 4; ++level) {
        EXPECT_EQ(LevelColour(level), colours[level]);
        EXPECT_EQ(LevelOfColour(colours[level]), level);
    }
    EXPECT_FALSE(LevelColour(4).has_value());
}

TEST(MessageLog, LineBreaksAreRemoved) {
    MessageLog log;
    log.AppendLine("a\r\nb", kColourInfo);
    log.ReplaceLiveLine("x\ny\r", kColourInfo);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "ab");
    EXPECT_EQ(lines[1].text, "xy");
}

TEST(MessageLog, FormattedMessagesUpTo1023BytesFit) {
    struct Case {
        std::size_t length;
        bool fits;
    };
    for (const Case c : {Case{0, true}, Case{1023, true}, Case{1024, false}, Case{5000, false}}) {
        MessageLog log;
        const std::string text(c.length, 'x');
        log.LogFormat(LogWarning, "%s", text.c_str());
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u) << c.length;
        if (c.fits) {
            EXPECT_EQ(lines[0].text, text);
            EXPECT_EQ(lines[0].level, LogWarning);
        } else {
            EXPECT_EQ(lines[0].text, "LOG输出字符超出指定大小：1024");
            EXPECT_EQ(lines[0].colour, kColourError);
        }
    }
    MessageLog log;
    log.LogFormat(LogWarning, "Row %d: %s", 3, "bad");
    EXPECT_EQ(log.Lines().at(0).text, "Row 3: bad");
    EXPECT_EQ(log.Lines().at(0).colour, kColourWarning);
}

TEST(MessageLog, TheLiveLineIsRewrittenUntilTheNextAppend) {
    Sink sink;
    MessageLog log(&sink);
    log.SetClock(fixed_clock);
    log.AppendLine("start", kColourInfo);
    log.ReplaceLiveLine("加载离线项目中...... 25%", kColourInfo);
    log.ReplaceLiveLine("加载离线项目中...... 50%", kColourInfo);
    log.AppendLine("done", kColourSuccess);
    log.ReplaceLiveLine("next live", kColourInfo);
    std::vector<std::string> texts;
    for (const auto &l : log.Lines()) texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"start", "加载离线项目中...... 50%", "done", "next live"}));
    EXPECT_EQ(sink.calls.size(), 5u);
    EXPECT_EQ(sink.calls[2], "live 14:05:09 加载离线项目中...... 50%");
}

TEST(MessageLog, TimeStampIsHoursMinutesSeconds) {
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(LogTimeText(t), "09:05:07");
}

TEST(MessageLog, KeepsOnlyTheNewestLines) {
    Sink sink;
    MessageLog log(&sink);
    for (std::size_t i = 0; i < MessageLog::kKeptLines + 10; ++i) log.AppendLine(std::to_string(i), kColourInfo);
    const auto lines = log.Lines();
    EXPECT_EQ(lines.size(), MessageLog::kKeptLines);
    EXPECT_EQ(lines.front().text, "10");
    EXPECT_EQ(sink.calls.size(), MessageLog::kKeptLines + 10);
}

}  // namespace
}  // namespace kelvra::run
