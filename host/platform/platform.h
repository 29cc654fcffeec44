// The few services of the operating system that the engine and the tools use beyond the C++
// library: local time, terminals, the console's text encoding and Ctrl+C. One file per OS.
#pragma once

#include <ctime>

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

}  // namespace kelvra::platform
