#include "host/run/message_log.h"

#include "host/platform/platform.h"

#include <cstdio>

namespace kelvra::run {

std::optional<std::uint32_t> LevelColour(int level) {
    switch (level) {
        case LogInfo: return kColourInfo;
        case LogWarning: return kColourWarning;
        case LogError: return kColourError;
        case LogSuccess: return kColourSuccess;
        default: return std::nullopt;
    }
}

E_LogLevel LevelOfColour(std::uint32_t colour) {
    switch (colour) {
        case kColourWarning: return LogWarning;
        case kColourError: return LogError;
        case kColourSuccess: return LogSuccess;
        default: return LogInfo;
    }
}

const char *LevelName(E_LogLevel level) {
    switch (level) {
        case LogWarning: return "warning";
        case LogError: return "error";
        case LogSuccess: return "success";
        case LogInfo: break;
    }
    return "info";
}

std::string StripLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != '\r' && c != '\n') out.push_back(c);
    }
    return out;
}

std::string LogTimeText(const std::tm &local) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%s%02d%s%02d%s", local.tm_hour, ":", local.tm_min, ":",
                  local.tm_sec, "");
    return buf;
}

std::string LogTimeNow() {
    const std::time_t now = std::time(nullptr);
    return LogTimeText(platform::LocalTime(now));
}

std::optional<std::string> FormatLogText(const char *format, std::va_list args) {
    if (format == nullptr) return std::string();
    char buf[kLogFormatBuffer];
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

std::optional<std::string> FormatLogText(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    auto text = FormatLogText(format, args);
    va_end(args);
    return text;
}

LogEntry MessageLog::make_entry(std::string_view text, std::uint32_t colour) const {
    return LogEntry{clock_(), StripLineBreaks(text), colour, LevelOfColour(colour)};
}

void MessageLog::AppendLine(std::string_view text, std::uint32_t colour) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A pending live line stays where it is: it becomes an ordinary line.
    live_pending_ = false;
    lines_.push_back(make_entry(text, colour));
    if (lines_.size() > kKeptLines) lines_.pop_front();
    if (sink_ != nullptr) sink_->AppendLine(lines_.back());
}

void MessageLog::ReplaceLiveLine(std::string_view text, std::uint32_t colour) {
    std::lock_guard<std::mutex> lock(mutex_);
    LogEntry entry = make_entry(text, colour);
    if (live_pending_) {
        lines_.back() = entry;
    } else {
        lines_.push_back(entry);
        live_pending_ = true;
    }
    if (sink_ != nullptr) sink_->ReplaceLiveLine(entry);
}

void MessageLog::LogLevelLine(int level, std::string_view text) {
    if (const auto colour = LevelColour(level)) AppendLine(text, *colour);
}

void MessageLog::LogFormat(int level, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const auto text = FormatLogText(format, args);
    va_end(args);
    if (text) {
        LogLevelLine(level, *text);
    } else if (const auto limit = FormatLogText(kLogTooLongFormat, static_cast<int>(kLogFormatBuffer))) {
        LogLevelLine(LogError, *limit);
    }
}

std::vector<LogEntry> MessageLog::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

}  // namespace kelvra::run
