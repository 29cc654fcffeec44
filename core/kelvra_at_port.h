// Platform services the protocol core calls. The core never defines them: whoever links the
// core provides them (the kelvra_at library's port and crypto units, or a test double).
#pragma once

#include <cstdint>

// Millisecond tick that wraps around at 32 bits.
uint32_t GetSystemTick();
// Sleeps `ms` milliseconds, resuming after signals.
void ATSleep(uint32_t ms);
// Waits until `*word` may no longer hold `expected`: returns when woken through ATWakeWord, when
// the word already differs, after about `ms` milliseconds, or early for no reason. Callers
// re-check in a loop. A platform without an address wait may simply sleep `ms`.
void ATWaitWord(const uint32_t *word, uint32_t expected, uint32_t ms);
// Wakes every thread waiting in ATWaitWord on `word`.
void ATWakeWord(const uint32_t *word);
// CRC-32 of a block (the frame checksum).
uint32_t GetCrc32(const void *data, int32_t length);
// AES-128-CBC in place with the process-wide key and IV; `encrypt` false decrypts.
bool kelvra_at_encrypt(uint8_t *buffer, uint32_t length, bool encrypt);
