// AES-128 (FIPS-197) with the ECB, CBC and CTR modes of NIST SP 800-38A. No padding scheme:
// the CBC functions work on whole 16-byte blocks, in place.
//
// Two implementations of the block cipher sit behind the modes: the processor's AES
// instructions (AES-NI on x86-64, the ARMv8 crypto extensions on arm64) where it has them, and
// a portable table-driven one. The choice is made once per process, from what the processor
// reports; KVAT_AES=portable in the environment forces the portable one.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t AES_BLOCKLEN = 16;
constexpr size_t AES_KEYLEN = 16;
constexpr size_t AES_KEY_EXP_SIZE = 176;  // 11 round keys of 16 bytes

struct AES_ctx {
    uint8_t RoundKey[AES_KEY_EXP_SIZE];
    // The decryption round keys of the equivalent inverse cipher (FIPS-197 5.3.5): the round
    // keys in reverse order, the inner nine passed through InvMixColumns.
    uint8_t InvRoundKey[AES_KEY_EXP_SIZE];
    uint8_t Iv[AES_BLOCKLEN];
};

void AES_init_ctx(AES_ctx *ctx, const uint8_t *key);
void AES_init_ctx_iv(AES_ctx *ctx, const uint8_t *key, const uint8_t *iv);
void AES_ctx_set_iv(AES_ctx *ctx, const uint8_t *iv);

// One 16-byte block in place.
void AES_ECB_encrypt(const AES_ctx *ctx, uint8_t *buf);
void AES_ECB_decrypt(const AES_ctx *ctx, uint8_t *buf);

// `length` must be a multiple of 16; a trailing partial block is left as it is. The context's
// IV becomes the last cipher block, so consecutive calls continue one chain.
void AES_CBC_encrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length);
void AES_CBC_decrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length);

// The same with the chaining value kept by the caller, so one expanded key can serve any
// number of frames and threads at once. `iv` becomes the last cipher block.
void AES_CBC_encrypt_iv(const AES_ctx *ctx, uint8_t *iv, uint8_t *buf, size_t length);
void AES_CBC_decrypt_iv(const AES_ctx *ctx, uint8_t *iv, uint8_t *buf, size_t length);

// CTR mode, any length; the context's IV is the big-endian counter block and advances once
// per block used. Each call starts a fresh block, so split a stream only on block boundaries.
void AES_CTR_xcrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length);

// One implementation of the block cipher, on runs of whole blocks in place. The encrypting
// functions take AES_ctx::RoundKey, the decrypting ones AES_ctx::InvRoundKey.
struct AES_backend {
    const char *name;
    void (*ecb_encrypt)(const uint8_t *round_keys, uint8_t *buf, size_t blocks);
    void (*ecb_decrypt)(const uint8_t *inv_round_keys, uint8_t *buf, size_t blocks);
    void (*cbc_encrypt)(const uint8_t *round_keys, uint8_t *iv, uint8_t *buf, size_t blocks);
    void (*cbc_decrypt)(const uint8_t *inv_round_keys, uint8_t *iv, uint8_t *buf, size_t blocks);
};

const AES_backend *AES_backend_portable();
// The processor's AES instructions, or null when this build or this processor has none.
const AES_backend *AES_backend_hardware();
// The one every function above uses: chosen on first use, then kept.
const AES_backend *AES_backend_active();
// For tests and benchmarks: use `backend` from now on; null chooses again as on first use.
void AES_backend_select(const AES_backend *backend);
