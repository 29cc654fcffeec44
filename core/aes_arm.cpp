// The ARMv8 crypto extensions. Only this file is compiled with them enabled; nothing in it runs
// unless the system reported them (aes.cpp decides). AESE/AESD fold AddRoundKey in before
// (Inv)SubBytes and (Inv)ShiftRows, so round key r goes in at step r and the last one is a
// plain XOR. Independent blocks go eight at a time; CBC encryption is a chain.
#include "core/aes.h"

#if defined(__aarch64__) || defined(_M_ARM64)

#include <arm_neon.h>

namespace {

// Fully unrolled, the lanes and round keys stay in registers instead of going through memory.
#define KELVRA_UNROLL _Pragma("GCC unroll 16")

constexpr size_t kLanes = 8;

struct Keys {
    uint8x16_t k[11];
    explicit Keys(const uint8_t *round_keys) {
        KELVRA_UNROLL
        for (size_t i = 0; i < 11; ++i) k[i] = vld1q_u8(round_keys + 16 * i);
    }
};

inline uint8x16_t encrypt1(const Keys &keys, uint8x16_t b) {
    KELVRA_UNROLL
    for (size_t r = 0; r < 9; ++r) b = vaesmcq_u8(vaeseq_u8(b, keys.k[r]));
    return veorq_u8(vaeseq_u8(b, keys.k[9]), keys.k[10]);
}

// With the equivalent inverse cipher's keys: AESD then AESIMC per round.
inline uint8x16_t decrypt1(const Keys &keys, uint8x16_t b) {
    KELVRA_UNROLL
    for (size_t r = 0; r < 9; ++r) b = vaesimcq_u8(vaesdq_u8(b, keys.k[r]));
    return veorq_u8(vaesdq_u8(b, keys.k[9]), keys.k[10]);
}

inline void encrypt_lanes(const Keys &keys, uint8x16_t *b) {
    KELVRA_UNROLL
    for (size_t r = 0; r < 9; ++r)
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = vaesmcq_u8(vaeseq_u8(b[j], keys.k[r]));
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = veorq_u8(vaeseq_u8(b[j], keys.k[9]), keys.k[10]);
}

inline void decrypt_lanes(const Keys &keys, uint8x16_t *b) {
    KELVRA_UNROLL
    for (size_t r = 0; r < 9; ++r)
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = vaesimcq_u8(vaesdq_u8(b[j], keys.k[r]));
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = veorq_u8(vaesdq_u8(b[j], keys.k[9]), keys.k[10]);
}

void ecb_encrypt(const uint8_t *round_keys, uint8_t *buf, size_t blocks) {
    const Keys keys(round_keys);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        uint8x16_t b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = vld1q_u8(buf + 16 * j);
        encrypt_lanes(keys, b);
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) vst1q_u8(buf + 16 * j, b[j]);
    }
    for (; blocks > 0; --blocks, buf += 16) vst1q_u8(buf, encrypt1(keys, vld1q_u8(buf)));
}

void ecb_decrypt(const uint8_t *inv_round_keys, uint8_t *buf, size_t blocks) {
    const Keys keys(inv_round_keys);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        uint8x16_t b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = vld1q_u8(buf + 16 * j);
        decrypt_lanes(keys, b);
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) vst1q_u8(buf + 16 * j, b[j]);
    }
    for (; blocks > 0; --blocks, buf += 16) vst1q_u8(buf, decrypt1(keys, vld1q_u8(buf)));
}

void cbc_encrypt(const uint8_t *round_keys, uint8_t *iv, uint8_t *buf, size_t blocks) {
    const Keys keys(round_keys);
    uint8x16_t chain = vld1q_u8(iv);
    for (; blocks > 0; --blocks, buf += 16) {
        chain = encrypt1(keys, veorq_u8(chain, vld1q_u8(buf)));
        vst1q_u8(buf, chain);
    }
    vst1q_u8(iv, chain);
}

void cbc_decrypt(const uint8_t *inv_round_keys, uint8_t *iv, uint8_t *buf, size_t blocks) {
    const Keys keys(inv_round_keys);
    uint8x16_t chain = vld1q_u8(iv);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        uint8x16_t c[kLanes], b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = c[j] = vld1q_u8(buf + 16 * j);
        decrypt_lanes(keys, b);
        vst1q_u8(buf, veorq_u8(b[0], chain));
        KELVRA_UNROLL
        for (size_t j = 1; j < kLanes; ++j) vst1q_u8(buf + 16 * j, veorq_u8(b[j], c[j - 1]));
        chain = c[kLanes - 1];
    }
    for (; blocks > 0; --blocks, buf += 16) {
        const uint8x16_t c = vld1q_u8(buf);
        vst1q_u8(buf, veorq_u8(decrypt1(keys, c), chain));
        chain = c;
    }
    vst1q_u8(iv, chain);
}

}  // namespace

extern const AES_backend aes_backend_armv8;
const AES_backend aes_backend_armv8 = {"armv8-crypto", ecb_encrypt, ecb_decrypt, cbc_encrypt,
                                       cbc_decrypt};

#endif
