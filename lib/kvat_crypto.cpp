#include "lib/kvat_crypto.h"

#include "core/aes.h"
#include "core/kelvra_at_port.h"

#include <atomic>
#include <cstring>

namespace {

constexpr uint8_t kDefaultKey[16] = {0x5c, 0x2e, 0x9a, 0x17, 0xb0, 0x4d, 0x83, 0xf6,
                                     0xe9, 0x1a, 0x27, 0xc0, 0x4b, 0x6d, 0x58, 0xe3};
constexpr uint8_t kDefaultIv[16] = {0xa4, 0xf0, 0x13, 0x7b, 0xe9, 0x5c, 0x26, 0xd8,
                                    0x01, 0x7e, 0x4b, 0xc9, 0x3a, 0x58, 0xd2, 0x1f};

uint8_t g_key[16];
uint8_t g_iv[16];
// An empty store means "the defaults". They are read straight from the constants instead of
// being copied in on first use, so threads that start encrypting together write nothing shared.
std::atomic<bool> g_ready{false};

}  // namespace

void kvat_crypto_set_key_iv(const uint8_t *key, const uint8_t *iv) {
    if (key == nullptr && iv == nullptr) {
        g_ready.store(false, std::memory_order_release);
        return;
    }
    if (key == nullptr || iv == nullptr) return;
    std::memcpy(g_key, key, sizeof g_key);
    std::memcpy(g_iv, iv, sizeof g_iv);
    g_ready.store(true, std::memory_order_release);
}

bool kelvra_at_encrypt(uint8_t *buffer, uint32_t length, bool encrypt) {
    const bool ready = g_ready.load(std::memory_order_acquire);
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, ready ? g_key : kDefaultKey, ready ? g_iv : kDefaultIv);
    if (encrypt) {
        AES_CBC_encrypt_buffer(&ctx, buffer, length);
    } else {
        AES_CBC_decrypt_buffer(&ctx, buffer, length);
    }
    return true;
}
