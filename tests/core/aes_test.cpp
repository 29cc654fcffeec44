#include "core/aes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// NIST SP 800-38A, F.1-F.5, AES-128.
const std::string kKey = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

}  // namespace

TEST(Aes, Fips197AppendixC1) {
    AES_ctx ctx;
    const auto key = hex("000102030405060708090a0b0c0d0e0f");
    AES_init_ctx(&ctx, key.data());
    auto block = hex("00112233445566778899aabbccddeeff");
    AES_ECB_encrypt(&ctx, block.data());
    EXPECT_EQ(block, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    AES_ECB_decrypt(&ctx, block.data());
    EXPECT_EQ(block, hex("00112233445566778899aabbccddeeff"));
}

TEST(Aes, Sp800_38aEcb) {
    AES_ctx ctx;
    AES_init_ctx(&ctx, hex(kKey).data());
    const auto expected = hex(
        "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
        "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4");
    auto data = hex(kPlain);
    for (size_t i = 0; i < data.size(); i += 16) AES_ECB_encrypt(&ctx, data.data() + i);
    EXPECT_EQ(data, expected);
    for (size_t i = 0; i < data.size(); i += 16) AES_ECB_decrypt(&ctx, data.data() + i);
    EXPECT_EQ(data, hex(kPlain));
}

TEST(Aes, Sp800_38aCbcInPlaceAndChained) {
    const auto iv = hex("000102030405060708090a0b0c0d0e0f");
    const auto expected = hex(
        "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
        "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, hex(kKey).data(), iv.data());
    auto data = hex(kPlain);
    AES_CBC_encrypt_buffer(&ctx, data.data(), data.size());
    EXPECT_EQ(data, expected);
    // The context's IV is the last cipher block.
    EXPECT_EQ(std::vector<uint8_t>(ctx.Iv, ctx.Iv + 16),
              std::vector<uint8_t>(expected.end() - 16, expected.end()));

    // Two calls continue one chain: decrypting in two halves gives the plain text back.
    AES_ctx_set_iv(&ctx, iv.data());
    AES_CBC_decrypt_buffer(&ctx, data.data(), 32);
    AES_CBC_decrypt_buffer(&ctx, data.data() + 32, 32);
    EXPECT_EQ(data, hex(kPlain));
}

TEST(Aes, Sp800_38aCtr) {
    const auto counter = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const auto expected = hex(
        "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
        "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee");
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, hex(kKey).data(), counter.data());
    auto data = hex(kPlain);
    // The counter carries over between calls that end on a block boundary.
    AES_CTR_xcrypt_buffer(&ctx, data.data(), 16);
    AES_CTR_xcrypt_buffer(&ctx, data.data() + 16, data.size() - 16);
    EXPECT_EQ(data, expected);
}

TEST(Aes, CbcLeavesTrailingPartialBlockAlone) {
    AES_ctx ctx;
    const auto key = hex(kKey);
    AES_init_ctx_iv(&ctx, key.data(), key.data());
    std::vector<uint8_t> data(20, 0xAA);
    AES_CBC_encrypt_buffer(&ctx, data.data(), data.size());
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 16, data.end()), std::vector<uint8_t>(4, 0xAA));
}
