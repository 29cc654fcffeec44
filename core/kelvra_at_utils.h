#pragma once

#include <cstddef>
#include <cstdint>

// `value` itself when it is a multiple of `step`, else the next multiple.
uint32_t utils_round_up(uint32_t value, uint32_t step);

// Debug dump of a block to standard output: [Debug]:$name[len]:{0x01,0xAB,} CR LF.
void object_print(const void *data, size_t length, const char *name);
