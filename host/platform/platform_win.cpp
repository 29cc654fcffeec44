#include "host/platform/platform.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace kelvra::platform {

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

void UseUtf8Console() {
    // The lines are UTF-8 (Chinese among them); the ANSI code page would garble them.
    SetConsoleOutputCP(CP_UTF8);
    // Line feeds as they are: what the tools print equals, byte for byte, what they print on
    // other systems (consoles show a bare line feed as a new line too).
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void OnInterrupt(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

// Windows has no SIGPIPE: a write to a closed pipe already fails.
void IgnoreBrokenPipe() {}

namespace {
class WinFileLock final : public FileLock {
public:
    explicit WinFileLock(HANDLE file) : file_(file) {}
    ~WinFileLock() override {
        OVERLAPPED at{};
        UnlockFileEx(file_, 0, 1, 0, &at);
        CloseHandle(file_);
    }

private:
    HANDLE file_;
};

std::string last_error_text() {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
    return s;
}
}  // namespace

std::unique_ptr<FileLock> LockFile(const std::string &path, unsigned timeout_ms, std::string &error) {
    const int wide_size = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(wide_size > 0 ? wide_size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), wide_size);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = last_error_text();
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            return std::make_unique<WinFileLock>(file);
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
            error = last_error_text();
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "locked by another program for " + std::to_string(timeout_ms / 1000.0).substr(0, 3) + " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CloseHandle(file);
    return nullptr;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessAlive(long pid) {
    if (pid <= 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

}  // namespace kelvra::platform
