// The message log's rules, free of any toolkit: four levels with their colours, the
// "HH:MM:SS text" line, line breaks removed, printf-style messages limited to 1024 bytes, and
// one live line that can be rewritten in place until the next appended line. The desktop
// program's log view and the command-line tool both render what MessageLog hands them.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::run {

enum E_LogLevel : int { LogInfo = 0, LogWarning = 1, LogError = 2, LogSuccess = 3 };

// Colours are 0x00BBGGRR values.
inline constexpr std::uint32_t kColourInfo = 0x9B6900;     // dark blue
inline constexpr std::uint32_t kColourWarning = 0x0097DA;  // orange
inline constexpr std::uint32_t kColourError = 0x0000FF;    // red
inline constexpr std::uint32_t kColourSuccess = 0x00E100;  // green
inline constexpr std::uint32_t kColourTime = 0xFF0000;     // the time stamp, blue

// A formatted message must fit this buffer with its terminating zero.
inline constexpr std::size_t kLogFormatBuffer = 1024;
inline constexpr const char *kLogTooLongFormat = "LOG输出字符超出指定大小：%d";

// The colour of a level; nothing for a value outside 0 to 3.
std::optional<std::uint32_t> LevelColour(int level);
// The level whose colour this is; LogInfo for a colour that is none of the four.
E_LogLevel LevelOfColour(std::uint32_t colour);
const char *LevelName(E_LogLevel level);  // "info", "warning", "error", "success"

// `text` without any CR or LF.
std::string StripLineBreaks(std::string_view text);

// "HH:MM:SS" of a local time.
std::string LogTimeText(const std::tm &local);
std::string LogTimeNow();

// printf-style formatting into the 1024-byte rule: the text, or nothing when the result does
// not fit in 1023 bytes.
std::optional<std::string> FormatLogText(const char *format, std::va_list args);
std::optional<std::string> FormatLogText(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// One line of the log as a view shows it: time in kColourTime, then a blank and the text.
struct LogEntry {
    std::string time;
    std::string text;
    std::uint32_t colour = kColourInfo;
    E_LogLevel level = LogInfo;
};

// Where the log's lines go. Called with the log's lock held, so lines arrive in order; an
// implementation must not wait for a thread that may itself be writing to the log.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    virtual void AppendLine(const LogEntry &entry) = 0;
    // Replaces the live line (the line after the last appended one), or writes it when there
    // is none yet.
    virtual void ReplaceLiveLine(const LogEntry &entry) = 0;
};

// The log as a document: appended lines plus at most one live line after them. Thread-safe;
// every operation holds one lock from start to end.
class MessageLog {
public:
    explicit MessageLog(ILogSink *sink = nullptr) : sink_(sink) {}

    void AppendLine(std::string_view text, std::uint32_t colour);
    void ReplaceLiveLine(std::string_view text, std::uint32_t colour);
    // AppendLine in the colour of `level`; nothing for a level outside 0 to 3.
    void LogLevelLine(int level, std::string_view text);
    // printf-style; a message that does not fit 1023 bytes is replaced by the error line
    // "LOG输出字符超出指定大小：1024".
    void LogFormat(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    // The lines now kept, the live line last when there is one. Only the newest kKeptLines
    // are kept here; the sink sees every line.
    std::vector<LogEntry> Lines() const;
    static constexpr std::size_t kKeptLines = 20000;
    // The clock the lines are stamped with; tests fix it.
    void SetClock(std::string (*clock)()) { clock_ = clock; }

private:
    LogEntry make_entry(std::string_view text, std::uint32_t colour) const;

    ILogSink *sink_;
    mutable std::mutex mutex_;
    std::deque<LogEntry> lines_;
    bool live_pending_ = false;
    std::string (*clock_)() = &LogTimeNow;
};

}  // namespace kelvra::run
