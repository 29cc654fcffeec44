// A deliberately plain AES-128 for the tests, written from FIPS-197 step by step and sharing
// nothing with core/aes: its S-box comes from a search for inverses, decryption is the
// straight inverse cipher, and every byte goes through the state one at a time. Whatever path
// the core takes, its output is checked against this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ref_aes {

inline uint8_t mul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & 1) p ^= a;
        const bool carry = (a & 0x80) != 0;
        a = static_cast<uint8_t>(a << 1);
        if (carry) a ^= 0x1B;
        b = static_cast<uint8_t>(b >> 1);
    }
    return p;
}

struct Boxes {
    uint8_t sub[256];
    uint8_t inv[256];
    Boxes() {
        for (int x = 0; x < 256; ++x) {
            uint8_t b = 0;  // the inverse of x; 0 for 0
            for (int y = 1; y < 256 && x != 0; ++y) {
                if (mul(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1) {
                    b = static_cast<uint8_t>(y);
                    break;
                }
            }
            uint8_t s = 0;
            for (int i = 0; i < 8; ++i) {
                const int bit = ((b >> i) ^ (b >> ((i + 4) % 8)) ^ (b >> ((i + 5) % 8)) ^
                                 (b >> ((i + 6) % 8)) ^ (b >> ((i + 7) % 8)) ^ (0x63 >> i)) & 1;
                s = static_cast<uint8_t>(s | bit << i);
            }
            sub[x] = s;
        }
        for (int x = 0; x < 256; ++x) inv[sub[x]] = static_cast<uint8_t>(x);
    }
};

inline const Boxes &boxes() {
    static const Boxes b;
    return b;
}

// State byte (row r, column c) is s[r + 4c], as the bytes come in.
struct Key {
    uint8_t w[176];
    explicit Key(const uint8_t *key) {
        const Boxes &B = boxes();
        std::memcpy(w, key, 16);
        uint8_t rcon = 1;
        for (int i = 4; i < 44; ++i) {
            uint8_t t[4];
            std::memcpy(t, w + 4 * (i - 1), 4);
            if (i % 4 == 0) {
                const uint8_t t0 = t[0];
                t[0] = static_cast<uint8_t>(B.sub[t[1]] ^ rcon);
                t[1] = B.sub[t[2]];
                t[2] = B.sub[t[3]];
                t[3] = B.sub[t0];
                rcon = mul(rcon, 2);
            }
            for (int k = 0; k < 4; ++k) w[4 * i + k] = static_cast<uint8_t>(w[4 * (i - 4) + k] ^ t[k]);
        }
    }
};

inline void add_round_key(uint8_t *s, const Key &k, int round) {
    for (int i = 0; i < 16; ++i) s[i] ^= k.w[16 * round + i];
}

inline void shift_rows(uint8_t *s, bool inverse) {
    uint8_t t[16];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const int from = inverse ? (c + 4 - r) % 4 : (c + r) % 4;
            t[r + 4 * c] = s[r + 4 * from];
        }
    std::memcpy(s, t, 16);
}

inline void mix_columns(uint8_t *s, bool inverse) {
    const uint8_t m[4] = {2, 3, 1, 1}, im[4] = {14, 11, 13, 9};
    const uint8_t *row = inverse ? im : m;
    for (int c = 0; c < 4; ++c) {
        uint8_t a[4], out[4];
        std::memcpy(a, s + 4 * c, 4);
        for (int r = 0; r < 4; ++r) {
            out[r] = 0;
            for (int k = 0; k < 4; ++k) out[r] ^= mul(row[(k - r + 4) % 4], a[k]);
        }
        std::memcpy(s + 4 * c, out, 4);
    }
}

inline void encrypt_block(const Key &k, uint8_t *s) {
    const Boxes &B = boxes();
    add_round_key(s, k, 0);
    for (int round = 1; round <= 10; ++round) {
        for (int i = 0; i < 16; ++i) s[i] = B.sub[s[i]];
        shift_rows(s, false);
        if (round != 10) mix_columns(s, false);
        add_round_key(s, k, round);
    }
}

inline void decrypt_block(const Key &k, uint8_t *s) {
    const Boxes &B = boxes();
    add_round_key(s, k, 10);
    for (int round = 9; round >= 0; --round) {
        shift_rows(s, true);
        for (int i = 0; i < 16; ++i) s[i] = B.inv[s[i]];
        add_round_key(s, k, round);
        if (round != 0) mix_columns(s, true);
    }
}

// CBC in place on the whole blocks of `n` bytes; a trailing partial block is left alone.
inline void cbc(const uint8_t *key, const uint8_t *iv, uint8_t *p, size_t n, bool encrypt) {
    const Key k(key);
    uint8_t chain[16];
    std::memcpy(chain, iv, 16);
    for (size_t off = 0; off + 16 <= n; off += 16) {
        uint8_t *b = p + off;
        if (encrypt) {
            for (int i = 0; i < 16; ++i) b[i] ^= chain[i];
            encrypt_block(k, b);
            std::memcpy(chain, b, 16);
        } else {
            uint8_t c[16];
            std::memcpy(c, b, 16);
            decrypt_block(k, b);
            for (int i = 0; i < 16; ++i) b[i] ^= chain[i];
            std::memcpy(chain, c, 16);
        }
    }
}

}  // namespace ref_aes
