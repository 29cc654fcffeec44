// The few services of the operating system that the engine and the tools use beyond the C++
// library: local time, terminals, the console's text encoding, Ctrl+C, file locks and process
// ids. One file per OS.
#pragma once

#include <ctime>
#include <memory>
#include <string>

namespace kelvra::platform {

// The local time of `when` (localtime_r is not everywhere).
std::tm LocalTime(std::time_t when);

// Whether the C stream with this descriptor (1 standard output, 2 standard error) is a terminal.
bool IsTerminal(int fd);

// Makes the console show the UTF-8 the tools print (Windows: its own code page otherwise),
// with the line ends they print.
void UseUtf8Console();

// Calls `handler` on Ctrl+C and on a request to terminate.
void OnInterrupt(void (*handler)(int));

// A write to a closed pipe fails with an error instead of ending the process.
void IgnoreBrokenPipe();

// An exclusive lock on a file that other processes honour while it is held; released by the
// destructor (and by the system when the process dies).
class FileLock {
public:
    virtual ~FileLock() = default;
};
// Locks `path` (made when missing), waiting at most `timeout_ms`; null with `error` set when
// the file cannot be made or another process held it for the whole wait.
std::unique_ptr<FileLock> LockFile(const std::string &path, unsigned timeout_ms, std::string &error);

// This process's id, and whether a process with `pid` is running on this machine.
long ProcessId();
bool ProcessAlive(long pid);

}  // namespace kelvra::platform
