// Platform services of the core that are the same everywhere. The tick, the sleep and the
// address wait live in one file per OS (kvat_port_posix.cpp, kvat_port_win.cpp); the build
// picks the file.
#include "core/crc32.h"
#include "core/kelvra_at_port.h"

uint32_t GetCrc32(const void *data, int32_t length) { return crc32(data, length); }
