#include "core/aes.h"

#include <array>
#include <cstring>

namespace {

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

constexpr auto kSbox = make_sbox();
constexpr auto kInvSbox = make_inverse(kSbox);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);

using State = uint8_t[16];  // column-major: byte (row r, column c) at index 4c + r

void KeyExpansion(uint8_t *round_key, const uint8_t *key) {
    static constexpr uint8_t kRcon[11] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10,
                                          0x20, 0x40, 0x80, 0x1b, 0x36};
    std::memcpy(round_key, key, AES_KEYLEN);
    for (size_t i = 4; i < 4 * (kRounds + 1); ++i) {
        uint8_t t[4];
        std::memcpy(t, round_key + (i - 1) * 4, 4);
        if (i % 4 == 0) {
            const uint8_t first = t[0];
            t[0] = static_cast<uint8_t>(kSbox[t[1]] ^ kRcon[i / 4]);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
        }
        for (size_t k = 0; k < 4; ++k)
            round_key[i * 4 + k] = static_cast<uint8_t>(round_key[(i - 4) * 4 + k] ^ t[k]);
    }
}

void AddRoundKey(int round, State &s, const uint8_t *round_key) {
    for (size_t i = 0; i < 16; ++i) s[i] = static_cast<uint8_t>(s[i] ^ round_key[round * 16 + static_cast<int>(i)]);
}

void SubBytes(State &s) {
    for (auto &b : s) b = kSbox[b];
}

void InvSubBytes(State &s) {
    for (auto &b : s) b = kInvSbox[b];
}

void ShiftRows(State &s) {
    State t;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) t[4 * c + r] = s[4 * ((c + r) % 4) + r];
    std::memcpy(s, t, 16);
}

void InvShiftRows(State &s) {
    State t;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) t[4 * ((c + r) % 4) + r] = s[4 * c + r];
    std::memcpy(s, t, 16);
}

void MixColumns(State &s) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *a = s + 4 * c;
        const uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
        a[0] = static_cast<uint8_t>(xtime(a0) ^ xtime(a1) ^ a1 ^ a2 ^ a3);
        a[1] = static_cast<uint8_t>(a0 ^ xtime(a1) ^ xtime(a2) ^ a2 ^ a3);
        a[2] = static_cast<uint8_t>(a0 ^ a1 ^ xtime(a2) ^ xtime(a3) ^ a3);
        a[3] = static_cast<uint8_t>(xtime(a0) ^ a0 ^ a1 ^ a2 ^ xtime(a3));
    }
}

void InvMixColumns(State &s) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *a = s + 4 * c;
        const uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
        a[0] = static_cast<uint8_t>(gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9));
        a[1] = static_cast<uint8_t>(gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13));
        a[2] = static_cast<uint8_t>(gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11));
        a[3] = static_cast<uint8_t>(gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14));
    }
}

void Cipher(State &s, const uint8_t *round_key) {
    AddRoundKey(0, s, round_key);
    for (int round = 1; round < kRounds; ++round) {
        SubBytes(s);
        ShiftRows(s);
        MixColumns(s);
        AddRoundKey(round, s, round_key);
    }
    SubBytes(s);
    ShiftRows(s);
    AddRoundKey(kRounds, s, round_key);
}

void InvCipher(State &s, const uint8_t *round_key) {
    AddRoundKey(kRounds, s, round_key);
    for (int round = kRounds - 1; round > 0; --round) {
        InvShiftRows(s);
        InvSubBytes(s);
        AddRoundKey(round, s, round_key);
        InvMixColumns(s);
    }
    InvShiftRows(s);
    InvSubBytes(s);
    AddRoundKey(0, s, round_key);
}

void XorBlock(uint8_t *buf, const uint8_t *with) {
    for (size_t i = 0; i < AES_BLOCKLEN; ++i) buf[i] = static_cast<uint8_t>(buf[i] ^ with[i]);
}

// State is a plain array; blocks are copied in and out so callers' buffers need no alignment.
void EncryptBlock(const uint8_t *round_key, uint8_t *block) {
    State s;
    std::memcpy(s, block, 16);
    Cipher(s, round_key);
    std::memcpy(block, s, 16);
}

void DecryptBlock(const uint8_t *round_key, uint8_t *block) {
    State s;
    std::memcpy(s, block, 16);
    InvCipher(s, round_key);
    std::memcpy(block, s, 16);
}

}  // namespace

void AES_init_ctx(AES_ctx *ctx, const uint8_t *key) { KeyExpansion(ctx->RoundKey, key); }

void AES_init_ctx_iv(AES_ctx *ctx, const uint8_t *key, const uint8_t *iv) {
    KeyExpansion(ctx->RoundKey, key);
    std::memcpy(ctx->Iv, iv, AES_BLOCKLEN);
}

void AES_ctx_set_iv(AES_ctx *ctx, const uint8_t *iv) { std::memcpy(ctx->Iv, iv, AES_BLOCKLEN); }

void AES_ECB_encrypt(const AES_ctx *ctx, uint8_t *buf) { EncryptBlock(ctx->RoundKey, buf); }

void AES_ECB_decrypt(const AES_ctx *ctx, uint8_t *buf) { DecryptBlock(ctx->RoundKey, buf); }

void AES_CBC_encrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    for (size_t i = 0; i + AES_BLOCKLEN <= length; i += AES_BLOCKLEN) {
        XorBlock(buf + i, ctx->Iv);
        EncryptBlock(ctx->RoundKey, buf + i);
        std::memcpy(ctx->Iv, buf + i, AES_BLOCKLEN);
    }
}

void AES_CBC_decrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    uint8_t next_iv[AES_BLOCKLEN];
    for (size_t i = 0; i + AES_BLOCKLEN <= length; i += AES_BLOCKLEN) {
        std::memcpy(next_iv, buf + i, AES_BLOCKLEN);
        DecryptBlock(ctx->RoundKey, buf + i);
        XorBlock(buf + i, ctx->Iv);
        std::memcpy(ctx->Iv, next_iv, AES_BLOCKLEN);
    }
}

void AES_CTR_xcrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length) {
    uint8_t keystream[AES_BLOCKLEN];
    size_t used = AES_BLOCKLEN;
    for (size_t i = 0; i < length; ++i, ++used) {
        if (used == AES_BLOCKLEN) {
            std::memcpy(keystream, ctx->Iv, AES_BLOCKLEN);
            EncryptBlock(ctx->RoundKey, keystream);
            for (size_t k = AES_BLOCKLEN; k-- > 0;) {  // big-endian increment
                if (++ctx->Iv[k] != 0) break;
            }
            used = 0;
        }
        buf[i] = static_cast<uint8_t>(buf[i] ^ keystream[used]);
    }
}
