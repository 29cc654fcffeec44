// AES-128 (FIPS-197) with the ECB, CBC and CTR modes of NIST SP 800-38A. No padding scheme:
// the CBC functions work on whole 16-byte blocks, in place.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t AES_BLOCKLEN = 16;
constexpr size_t AES_KEYLEN = 16;
constexpr size_t AES_KEY_EXP_SIZE = 176;  // 11 round keys of 16 bytes

struct AES_ctx {
    uint8_t RoundKey[AES_KEY_EXP_SIZE];
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

// CTR mode, any length; the context's IV is the big-endian counter block and advances once
// per block used. Each call starts a fresh block, so split a stream only on block boundaries.
void AES_CTR_xcrypt_buffer(AES_ctx *ctx, uint8_t *buf, size_t length);
