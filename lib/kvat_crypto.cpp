#include "lib/kvat_crypto.h"

#include "core/aes.h"
#include "core/aes_schedule.h"
#include "core/kelvra_at_port.h"

#include <atomic>
#include <cstring>

namespace {

constexpr uint8_t kDefaultKey[16] = {0x5c, 0x2e, 0x9a, 0x17, 0xb0, 0x4d, 0x83, 0xf6,
                                     0xe9, 0x1a, 0x27, 0xc0, 0x4b, 0x6d, 0x58, 0xe3};
constexpr uint8_t kDefaultIv[16] = {0xa4, 0xf0, 0x13, 0x7b, 0xe9, 0x5c, 0x26, 0xd8,
                                    0x01, 0x7e, 0x4b, 0xc9, 0x3a, 0x58, 0xd2, 0x1f};

// The default key is expanded by the compiler; a key that is set is expanded once, here, not
// per frame. Every frame starts its chain from the stored IV on a copy, so the expanded key
// is only ever read by the frames and serves every handle and thread at once.
constexpr AES_ctx kDefault = aes_detail::make_ctx(kDefaultKey, kDefaultIv);

AES_ctx g_key;  // round keys and IV
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
    AES_init_ctx_iv(&g_key, key, iv);
    g_ready.store(true, std::memory_order_release);
}

bool kelvra_at_encrypt(uint8_t *buffer, uint32_t length, bool encrypt) {
    const AES_ctx *ctx = g_ready.load(std::memory_order_acquire) ? &g_key : &kDefault;
    uint8_t iv[AES_BLOCKLEN];
    std::memcpy(iv, ctx->Iv, sizeof iv);
    if (encrypt) {
        AES_CBC_encrypt_iv(ctx, iv, buffer, length);
    } else {
        AES_CBC_decrypt_iv(ctx, iv, buffer, length);
    }
    return true;
}
