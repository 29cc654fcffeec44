// CRC-32 with the ISO-HDLC / IEEE 802.3 parameters (the checksum of zlib and Ethernet).
#pragma once

#include <cstdint>

// CRC of `length` bytes at `data`; a length of zero or less gives the CRC of an empty block, 0.
uint32_t crc32(const void *data, int32_t length);

// Continues a CRC over another block: crc32_update(crc32(a), b) == crc32(a + b).
uint32_t crc32_update(uint32_t crc, const void *data, uint32_t length);
