#include "core/aes.h"

#include "core/aes_schedule.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(KELVRA_AES_X86)
#include <cpuid.h>
#elif defined(KELVRA_AES_ARM) && defined(__APPLE__)
#include <sys/sysctl.h>
#elif defined(KELVRA_AES_ARM) && defined(__linux__)
#include <sys/auxv.h>
#endif

using aes_detail::kRounds;

#if defined(KELVRA_AES_X86)
extern const AES_backend aes_backend_aesni;  // aes_x86.cpp
#elif defined(KELVRA_AES_ARM)
extern const AES_backend aes_backend_armv8;  // aes_arm.cpp
#endif

namespace {

// ------------------------------------------------------------------ portable implementation
// Each round is four look-ups per column in tables that combine SubBytes with MixColumns
// (InvSubBytes with InvMixColumns to decrypt). A column is a 32-bit word with row 0 in the
// low byte, so the words load straight from the bytes on a little-endian machine.

using Table = std::array<uint32_t, 256>;

constexpr uint32_t rotl32(uint32_t x, int n) { return n == 0 ? x : (x << n) | (x >> (32 - n)); }

constexpr uint32_t column(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3) {
    return static_cast<uint32_t>(r0) | static_cast<uint32_t>(r1) << 8 |
           static_cast<uint32_t>(r2) << 16 | static_cast<uint32_t>(r3) << 24;
}

// Table i is the MixColumns image of S(x) standing in row i; rows 1-3 are rotations of row 0.
constexpr std::array<Table, 4> make_round_tables(bool inverse) {
    using aes_detail::gmul;
    std::array<Table, 4> t{};
    for (size_t x = 0; x < 256; ++x) {
        const uint8_t s = inverse ? aes_detail::kInvSbox[x] : aes_detail::kSbox[x];
        const uint32_t w = inverse ? column(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11))
                                   : column(gmul(s, 2), s, s, gmul(s, 3));
        for (int row = 0; row < 4; ++row) t[static_cast<size_t>(row)][x] = rotl32(w, 8 * row);
    }
    return t;
}

constexpr std::array<Table, 4> kTe = make_round_tables(false);
constexpr std::array<Table, 4> kTd = make_round_tables(true);
static_assert(kTe[0][0x00] == 0xa56363c6u && kTd[0][0x00] == 0x50a7f451u);

inline uint32_t load32(const uint8_t *p) { return column(p[0], p[1], p[2], p[3]); }

inline void store32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

struct Words {
    uint32_t w[4];
};

inline Words load_block(const uint8_t *p) {
    return {{load32(p), load32(p + 4), load32(p + 8), load32(p + 12)}};
}

inline void store_block(uint8_t *p, const Words &b) {
    for (size_t c = 0; c < 4; ++c) store32(p + 4 * c, b.w[c]);
}

inline Words xor_words(const Words &a, const Words &b) {
    return {{a.w[0] ^ b.w[0], a.w[1] ^ b.w[1], a.w[2] ^ b.w[2], a.w[3] ^ b.w[3]}};
}

constexpr uint32_t b0(uint32_t w) { return w & 0xFFu; }
constexpr uint32_t b1(uint32_t w) { return (w >> 8) & 0xFFu; }
constexpr uint32_t b2(uint32_t w) { return (w >> 16) & 0xFFu; }
constexpr uint32_t b3(uint32_t w) { return w >> 24; }

// Row r of output column c comes from input column c + r (ShiftRows).
inline Words encrypt_words(const uint8_t *rk, Words in) {
    const auto &T0 = kTe[0], &T1 = kTe[1], &T2 = kTe[2], &T3 = kTe[3];
    const auto &S = aes_detail::kSbox;
    uint32_t s0 = in.w[0] ^ load32(rk), s1 = in.w[1] ^ load32(rk + 4),
             s2 = in.w[2] ^ load32(rk + 8), s3 = in.w[3] ^ load32(rk + 12);
    for (int round = 1; round < kRounds; ++round) {
        rk += 16;
        const uint32_t t0 = T0[b0(s0)] ^ T1[b1(s1)] ^ T2[b2(s2)] ^ T3[b3(s3)] ^ load32(rk);
        const uint32_t t1 = T0[b0(s1)] ^ T1[b1(s2)] ^ T2[b2(s3)] ^ T3[b3(s0)] ^ load32(rk + 4);
        const uint32_t t2 = T0[b0(s2)] ^ T1[b1(s3)] ^ T2[b2(s0)] ^ T3[b3(s1)] ^ load32(rk + 8);
        const uint32_t t3 = T0[b0(s3)] ^ T1[b1(s0)] ^ T2[b2(s1)] ^ T3[b3(s2)] ^ load32(rk + 12);
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 16;
    return {{column(S[b0(s0)], S[b1(s1)], S[b2(s2)], S[b3(s3)]) ^ load32(rk),
             column(S[b0(s1)], S[b1(s2)], S[b2(s3)], S[b3(s0)]) ^ load32(rk + 4),
             column(S[b0(s2)], S[b1(s3)], S[b2(s0)], S[b3(s1)]) ^ load32(rk + 8),
             column(S[b0(s3)], S[b1(s0)], S[b2(s1)], S[b3(s2)]) ^ load32(rk + 12)}};
}

// The equivalent inverse cipher: row r of output column c comes from input column c - r.
inline Words decrypt_words(const uint8_t *dk, Words in) {
    const auto &T0 = kTd[0], &T1 = kTd[1], &T2 = kTd[2], &T3 = kTd[3];
    const auto &S = aes_detail::kInvSbox;
    uint32_t s0 = in.w[0] ^ load32(dk), s1 = in.w[1] ^ load32(dk + 4),
             s2 = in.w[2] ^ load32(dk + 8), s3 = in.w[3] ^ load32(dk + 12);
    for (int round = 1; round < kRounds; ++round) {
        dk += 16;
        const uint32_t t0 = T0[b0(s0)] ^ T1[b1(s3)] ^ T2[b2(s2)] ^ T3[b3(s1)] ^ load32(dk);
        const uint32_t t1 = T0[b0(s1)] ^ T1[b1(s0)] ^ T2[b2(s3)] ^ T3[b3(s2)] ^ load32(dk + 4);
        const uint32_t t2 = T0[b0(s2)] ^ T1[b1(s1)] ^ T2[b2(s0)] ^ T3[b3(s3)] ^ load32(dk + 8);
        const uint32_t t3 = T0[b0(s3)] ^ T1[b1(s2)] ^ T2[b2(s1)] ^ T3[b3(s0)] ^ load32(dk + 12);
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    dk += 16;
    return {{column(S[b0(s0)], S[b1(s3)], S[b2(s2)], S[b3(s1)]) ^ load32(dk),
             column(S[b0(s1)], S[b1(s0)], S[b2(s3)], S[b3(s2)]) ^ load32(dk + 4),
             column(S[b0(s2)], S[b1(s1)], S[b2(s0)], S[b3(s3)]) ^ load32(dk + 8),
             column(S[b0(s3)], S[b1(s2)], S[b2(s1)], S[b3(s0)]) ^ load32(dk + 12)}};
}

void portable_ecb_encrypt(const uint8_t *rk, uint8_t *buf, size_t blocks) {
    for (size_t i = 0; i < blocks; ++i, buf += AES_BLOCKLEN)
        store_block(buf, encrypt_words(rk, load_block(buf)));
}

void portable_ecb_decrypt(const uint8_t *dk, uint8_t *buf, size_t blocks) {
    for (size_t i = 0; i < blocks; ++i, buf += AES_BLOCKLEN)
        store_block(buf, decrypt_words(dk, load_block(buf)));
}

void portable_cbc_encrypt(const uint8_t *rk, uint8_t *iv, uint8_t *buf, size_t blocks) {
    Words chain = load_block(iv);
    for (size_t i = 0; i < blocks; ++i, buf += AES_BLOCKLEN) {
        chain = encrypt_words(rk, xor_words(chain, load_block(buf)));
        store_block(buf, chain);
    }
    store_block(iv, chain);
}

void portable_cbc_decrypt(const uint8_t *dk, uint8_t *iv, uint8_t *buf, size_t blocks) {
    Words chain = load_block(iv);
    for (size_t i = 0; i < blocks; ++i, buf += AES_BLOCKLEN) {
        const Words cipher = load_block(buf);
        store_block(buf, xor_words(decrypt_words(dk, cipher), chain));
        chain = cipher;
    }
    store_block(iv, chain);
}

constexpr AES_backend kPortable = {"portable", portable_ecb_encrypt, portable_ecb_decrypt,
                                   portable_cbc_encrypt, portable_cbc_decrypt};

// ------------------------------------------------------------------ choosing once
// Atomics rather than a function-local static: the library links no C++ runtime, and
// threads that race to the first choice all store the same answer.

bool processor_has_aes() {
#if defined(KELVRA_AES_X86)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_AES) != 0;
#elif defined(KELVRA_AES_ARM) && defined(__APPLE__)
    int value = 0;
    size_t size = sizeof value;
    return sysctlbyname("hw.optional.arm.FEAT_AES", &value, &size, nullptr, 0) == 0 && value != 0;
#elif defined(KELVRA_AES_ARM) && defined(__linux__)
#ifndef HWCAP_AES
#define HWCAP_AES (1UL << 3)
#endif
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#else
    return false;
#endif
}

const AES_backend *hardware_backend() {
#if defined(KELVRA_AES_X86)
    return &aes_backend_aesni;
#elif defined(KELVRA_AES_ARM)
    return &aes_backend_armv8;
#else
    return nullptr;
#endif
}

enum : int { kUnknown = 0, kAbsent = 1, kPresent = 2 };
std::atomic<int> g_hardware{kUnknown};
std::atomic<const AES_backend *> g_active{nullptr};

const AES_backend *choose() {
    const char *forced = std::getenv("KVAT_AES");
    if (forced != nullptr && std::strcmp(forced, "portable") == 0) return &kPortable;
    const AES_backend *hardware = AES_backend_hardware();
    return hardware != nullptr ? hardware : &kPortable;
}

inline const AES_backend *active() {
    const AES_backend *b = g_active.load(std::memory_order_acquire);
    return b != nullptr ? b : AES_backend_active();
}

}  // namespace

const AES_backend *AES_backend_portable() { return &kPortable; }

const AES_backend *AES_backend_hardware() {
    int known = g_hardware.load(std::memory_order_relaxed);
    if (known == kUnknown) {
        known = hardware_backend() != nullptr && processor_has_aes() ? kPresent : kAbsent;
        g_hardware.store(known, std::memory_order_relaxed);
    }
    return known == kPresent ? hardware_backend() : nullptr;
}

const AES_backend *AES_backend_active() {
    const AES_backend *b = g_active.load(std::memory_order_acquire);
    if (b == nullptr) {
        b = choose();
        g_active.store(b, std::memory_order_release);
    }
    return b;
}

void AES_backend_select(const AES_backend *backend) {
    g_active.store(backend, std::memory_order_release);
}

// ------------------------------------------------------------------ modes

void AES_init_ctx(AES_ctx *ctx, const uint8_t *key) {
    aes_detail::expand_key(ctx->RoundKey, ctx->InvRoundKey, key);
}

void AES_init_ctx_iv(AES_ctx *ctx, const uint8_t *key, const uint8_t *iv) {
    AES_init_ctx(ctx, key);
    std::memcpy(ctx->Iv, iv, AES_BLOCKLEN);
}

void AES_ctx_set_iv(AES_ctx *ctx, const uint8_t *iv) { std::memcpy(ctx->Iv, iv, AES_BLOCKLEN); }

void AES_ECB_encrypt(const AES_ctx *ctx, uint8_t *buf) { active()->ecb_encrypt(ctx->RoundKey, buf, 1); }

void AES_ECB_decrypt(const AES_ctx *ctx, uint8_t *buf) {
    active()->ecb_decrypt(ctx->InvRoundKey, buf, 1);
}

void AES_CBC_encrypt_iv(const AES_ctx *ctx, uint8_t *iv, uint8_t *buf, size_t length) {
    if (length >= AES_BLOCKLEN) active()->cbc_encrypt(ctx->RoundKey, iv, buf, length / AES_BLOCKLEN);
}

void AES_CBC_decrypt_iv(const AES_ctx *ctx, uint8_t *iv, uint8_t *buf, size_t length) {
    if (length >= AES_BLOCKLEN)
        active()->cbc_decrypt(ctx->InvRoundKey, iv, buf, length / AES_BLOCKLEN);
}

void AES_CBC_encrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    AES_CBC_encrypt_iv(ctx, ctx->Iv, buf, length);
}

void AES_CBC_decrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    AES_CBC_decrypt_iv(ctx, ctx->Iv, buf, length);
}

// Key stream for up to eight blocks at a time, so a pipelined implementation can overlap them.
void AES_CTR_xcrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    constexpr size_t kBatch = 8;
    const AES_backend *b = active();
    uint8_t stream[kBatch * AES_BLOCKLEN];
    while (length > 0) {
        const size_t blocks = std::min(kBatch, (length + AES_BLOCKLEN - 1) / AES_BLOCKLEN);
        for (size_t j = 0; j < blocks; ++j) {
            std::memcpy(stream + j * AES_BLOCKLEN, ctx->Iv, AES_BLOCKLEN);
            for (size_t k = AES_BLOCKLEN; k-- > 0;) {  // big-endian increment
                if (++ctx->Iv[k] != 0) break;
            }
        }
        b->ecb_encrypt(ctx->RoundKey, stream, blocks);
        const size_t n = std::min(length, blocks * AES_BLOCKLEN);
        for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(buf[i] ^ stream[i]);
        buf += n;
        length -= n;
    }
}
