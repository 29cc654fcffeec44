// The S-boxes and the key schedule of AES-128 as constant expressions: the compiler derives
// the tables, and a key known at compile time (the built-in default) is expanded by it too.
#pragma once

#include "core/aes.h"

#include <array>
#include <cstdint>

namespace aes_detail {

constexpr int kRounds = 10;

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80u) ? 0x1Bu : 0x00u));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    while (b != 0) {
        if (b & 1u) p = static_cast<uint8_t>(p ^ a);
        a = xtime(a);
        b = static_cast<uint8_t>(b >> 1);
    }
    return p;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// The S-box is derived (multiplicative inverse in GF(2^8), then the affine map) rather than
// typed in, so a mistyped entry cannot hide in a table. Inverses come from the powers of the
// generator 3: inv(3^k) = 3^(255-k).
constexpr std::array<uint8_t, 256> make_sbox() {
    std::array<uint8_t, 256> power{}, log{};
    uint8_t p = 1;
    for (int k = 0; k < 255; ++k) {
        power[static_cast<size_t>(k)] = p;
        log[p] = static_cast<uint8_t>(k);
        p = static_cast<uint8_t>(p ^ xtime(p));  // p * 3
    }
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t inv =
            x == 0 ? 0 : power[static_cast<size_t>((255 - log[static_cast<size_t>(x)]) % 255)];
        s[static_cast<size_t>(x)] = static_cast<uint8_t>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^
                                                         rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63u);
    }
    return s;
}

constexpr std::array<uint8_t, 256> make_inverse(const std::array<uint8_t, 256> &s) {
    std::array<uint8_t, 256> r{};
    for (int x = 0; x < 256; ++x) r[s[static_cast<size_t>(x)]] = static_cast<uint8_t>(x);
    return r;
}

inline constexpr std::array<uint8_t, 256> kSbox = make_sbox();
inline constexpr std::array<uint8_t, 256> kInvSbox = make_inverse(kSbox);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);
static_assert(kInvSbox[0x63] == 0x00 && kInvSbox[0xED] == 0x53);

// One column (4 bytes) through InvMixColumns, in place. The factors 9, 11, 13 and 14 are
// sums of x, 2x, 4x and 8x: three doublings per byte instead of general products, since
// AES_init_ctx runs this for every key.
constexpr void inv_mix_column(uint8_t *a) {
    uint8_t m9[4]{}, m11[4]{}, m13[4]{}, m14[4]{};
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t x = a[i], x2 = xtime(x), x4 = xtime(x2), x8 = xtime(x4);
        m9[i] = static_cast<uint8_t>(x8 ^ x);
        m11[i] = static_cast<uint8_t>(x8 ^ x2 ^ x);
        m13[i] = static_cast<uint8_t>(x8 ^ x4 ^ x);
        m14[i] = static_cast<uint8_t>(x8 ^ x4 ^ x2);
    }
    a[0] = static_cast<uint8_t>(m14[0] ^ m11[1] ^ m13[2] ^ m9[3]);
    a[1] = static_cast<uint8_t>(m9[0] ^ m14[1] ^ m11[2] ^ m13[3]);
    a[2] = static_cast<uint8_t>(m13[0] ^ m9[1] ^ m14[2] ^ m11[3]);
    a[3] = static_cast<uint8_t>(m11[0] ^ m13[1] ^ m9[2] ^ m14[3]);
}

// FIPS-197 key expansion into `enc`, and the decryption round keys of the equivalent inverse
// cipher into `dec`: every implementation uses the same two byte arrays.
constexpr void expand_key(uint8_t *enc, uint8_t *dec, const uint8_t *key) {
    constexpr uint8_t kRcon[11] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10,
                                   0x20, 0x40, 0x80, 0x1b, 0x36};
    for (size_t i = 0; i < AES_KEYLEN; ++i) enc[i] = key[i];
    for (size_t i = 4; i < 4 * (kRounds + 1); ++i) {
        uint8_t t[4] = {enc[(i - 1) * 4], enc[(i - 1) * 4 + 1], enc[(i - 1) * 4 + 2],
                        enc[(i - 1) * 4 + 3]};
        if (i % 4 == 0) {
            const uint8_t first = t[0];
            t[0] = static_cast<uint8_t>(kSbox[t[1]] ^ kRcon[i / 4]);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
        }
        for (size_t k = 0; k < 4; ++k)
            enc[i * 4 + k] = static_cast<uint8_t>(enc[(i - 4) * 4 + k] ^ t[k]);
    }
    for (int round = 0; round <= kRounds; ++round) {
        for (size_t k = 0; k < 16; ++k)
            dec[static_cast<size_t>(round) * 16 + k] =
                enc[static_cast<size_t>(kRounds - round) * 16 + k];
        if (round != 0 && round != kRounds) {
            for (size_t c = 0; c < 4; ++c) inv_mix_column(dec + round * 16 + c * 4);
        }
    }
}

// A whole context, usable in a constant expression.
constexpr AES_ctx make_ctx(const uint8_t *key, const uint8_t *iv) {
    AES_ctx ctx{};
    expand_key(ctx.RoundKey, ctx.InvRoundKey, key);
    for (size_t i = 0; i < AES_BLOCKLEN; ++i) ctx.Iv[i] = iv[i];
    return ctx;
}

}  // namespace aes_detail
