// Process-wide AES key store, holding the expanded key, and the frame cipher.
#pragma once

#include <cstdint>

// Both non-null: store 16 bytes of each. Both null: forget them, so the next frame uses the
// built-in defaults. Exactly one null: nothing changes.
void kvat_crypto_set_key_iv(const uint8_t *key, const uint8_t *iv);
