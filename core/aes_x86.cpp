// AES-NI. Only this file is compiled with -maes; nothing in it runs unless cpuid reported the
// instructions (aes.cpp decides). Independent blocks (ECB, CBC decryption) go eight at a time,
// so the AES unit's latency is hidden; CBC encryption is a chain and goes one by one.
#include "core/aes.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <emmintrin.h>
#include <wmmintrin.h>

namespace {

// Fully unrolled, the lanes and round keys stay in registers instead of going through memory.
#define KELVRA_UNROLL _Pragma("GCC unroll 16")

constexpr size_t kLanes = 8;

inline __m128i load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

inline void store(uint8_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

struct Keys {
    __m128i k[11];
    explicit Keys(const uint8_t *round_keys) {
        KELVRA_UNROLL
        for (size_t i = 0; i < 11; ++i) k[i] = load(round_keys + 16 * i);
    }
};

inline __m128i encrypt1(const Keys &keys, __m128i b) {
    b = _mm_xor_si128(b, keys.k[0]);
    KELVRA_UNROLL
    for (size_t r = 1; r < 10; ++r) b = _mm_aesenc_si128(b, keys.k[r]);
    return _mm_aesenclast_si128(b, keys.k[10]);
}

inline __m128i decrypt1(const Keys &keys, __m128i b) {
    b = _mm_xor_si128(b, keys.k[0]);
    KELVRA_UNROLL
    for (size_t r = 1; r < 10; ++r) b = _mm_aesdec_si128(b, keys.k[r]);
    return _mm_aesdeclast_si128(b, keys.k[10]);
}

inline void encrypt_lanes(const Keys &keys, __m128i *b) {
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_xor_si128(b[j], keys.k[0]);
    KELVRA_UNROLL
    for (size_t r = 1; r < 10; ++r)
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesenc_si128(b[j], keys.k[r]);
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesenclast_si128(b[j], keys.k[10]);
}

inline void decrypt_lanes(const Keys &keys, __m128i *b) {
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_xor_si128(b[j], keys.k[0]);
    KELVRA_UNROLL
    for (size_t r = 1; r < 10; ++r)
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesdec_si128(b[j], keys.k[r]);
    KELVRA_UNROLL
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesdeclast_si128(b[j], keys.k[10]);
}

void ecb_encrypt(const uint8_t *round_keys, uint8_t *buf, size_t blocks) {
    const Keys keys(round_keys);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        __m128i b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = load(buf + 16 * j);
        encrypt_lanes(keys, b);
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) store(buf + 16 * j, b[j]);
    }
    for (; blocks > 0; --blocks, buf += 16) store(buf, encrypt1(keys, load(buf)));
}

void ecb_decrypt(const uint8_t *inv_round_keys, uint8_t *buf, size_t blocks) {
    const Keys keys(inv_round_keys);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        __m128i b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = load(buf + 16 * j);
        decrypt_lanes(keys, b);
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) store(buf + 16 * j, b[j]);
    }
    for (; blocks > 0; --blocks, buf += 16) store(buf, decrypt1(keys, load(buf)));
}

void cbc_encrypt(const uint8_t *round_keys, uint8_t *iv, uint8_t *buf, size_t blocks) {
    const Keys keys(round_keys);
    __m128i chain = load(iv);
    for (; blocks > 0; --blocks, buf += 16) {
        chain = encrypt1(keys, _mm_xor_si128(chain, load(buf)));
        store(buf, chain);
    }
    store(iv, chain);
}

void cbc_decrypt(const uint8_t *inv_round_keys, uint8_t *iv, uint8_t *buf, size_t blocks) {
    const Keys keys(inv_round_keys);
    __m128i chain = load(iv);
    for (; blocks >= kLanes; blocks -= kLanes, buf += kLanes * 16) {
        __m128i b[kLanes];
        KELVRA_UNROLL
        for (size_t j = 0; j < kLanes; ++j) b[j] = load(buf + 16 * j);
        const __m128i last = b[kLanes - 1];
        decrypt_lanes(keys, b);
        // Back to front, so each block's predecessor is read before it is overwritten; the
        // cipher blocks come from memory again rather than taking up registers.
        KELVRA_UNROLL
        for (size_t j = kLanes - 1; j > 0; --j)
            store(buf + 16 * j, _mm_xor_si128(b[j], load(buf + 16 * (j - 1))));
        store(buf, _mm_xor_si128(b[0], chain));
        chain = last;
    }
    for (; blocks > 0; --blocks, buf += 16) {
        const __m128i c = load(buf);
        store(buf, _mm_xor_si128(decrypt1(keys, c), chain));
        chain = c;
    }
    store(iv, chain);
}

}  // namespace

extern const AES_backend aes_backend_aesni;
const AES_backend aes_backend_aesni = {"aes-ni", ecb_encrypt, ecb_decrypt, cbc_encrypt,
                                       cbc_decrypt};

#endif
