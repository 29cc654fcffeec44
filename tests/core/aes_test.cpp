#include "core/aes.h"

#include "core/aes_schedule.h"
#include "tests/lib/reference_aes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
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

// Every implementation this machine can run: the portable one, and the processor's.
std::vector<const AES_backend *> backends() {
    std::vector<const AES_backend *> all = {AES_backend_portable()};
    if (AES_backend_hardware() != nullptr) all.push_back(AES_backend_hardware());
    return all;
}

// The known-answer tests run once per implementation, through the ordinary functions.
class Aes : public testing::TestWithParam<const AES_backend *> {
protected:
    void SetUp() override { AES_backend_select(GetParam()); }
    void TearDown() override { AES_backend_select(nullptr); }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Paths, Aes, testing::ValuesIn(backends()),
                         [](const testing::TestParamInfo<const AES_backend *> &i) {
                             return i.param == AES_backend_portable() ? std::string("Portable")
                                                                      : std::string("Hardware");
                         });

TEST_P(Aes, Fips197AppendixC1) {
    AES_ctx ctx;
    const auto key = hex("000102030405060708090a0b0c0d0e0f");
    AES_init_ctx(&ctx, key.data());
    auto block = hex("00112233445566778899aabbccddeeff");
    AES_ECB_encrypt(&ctx, block.data());
    EXPECT_EQ(block, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    AES_ECB_decrypt(&ctx, block.data());
    EXPECT_EQ(block, hex("00112233445566778899aabbccddeeff"));
}

TEST_P(Aes, Sp800_38aEcb) {
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

TEST_P(Aes, Sp800_38aCbcInPlaceAndChained) {
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

TEST_P(Aes, Sp800_38aCtr) {
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

TEST_P(Aes, CbcLeavesTrailingPartialBlockAlone) {
    const auto key = hex(kKey);
    // Lengths that are not a multiple of 16: only whole blocks change, in both directions, and
    // the chaining value moves on by the whole blocks only.
    for (size_t length : {0u, 1u, 15u, 20u, 31u, 143u, 200u}) {
        SCOPED_TRACE(length);
        for (bool encrypt : {true, false}) {
            AES_ctx ctx;
            AES_init_ctx_iv(&ctx, key.data(), key.data());
            std::vector<uint8_t> data(length, 0xAA), whole = data;
            if (encrypt) {
                AES_CBC_encrypt_buffer(&ctx, data.data(), data.size());
            } else {
                AES_CBC_decrypt_buffer(&ctx, data.data(), data.size());
            }
            const size_t whole_bytes = length / 16 * 16;
            ref_aes::cbc(key.data(), key.data(), whole.data(), whole_bytes, encrypt);
            EXPECT_EQ(data, whole);
            // The chaining value is the last whole cipher block: the output's when
            // encrypting, the input's (all 0xAA) when decrypting.
            std::vector<uint8_t> last = key;
            if (whole_bytes != 0) {
                last = encrypt ? std::vector<uint8_t>(data.begin() + static_cast<long>(whole_bytes) - 16,
                                                      data.begin() + static_cast<long>(whole_bytes))
                               : std::vector<uint8_t>(16, 0xAA);
            }
            EXPECT_EQ(std::vector<uint8_t>(ctx.Iv, ctx.Iv + 16), last);
        }
    }
}

// Random keys, IVs and buffers of 0 to 40 blocks (the eight-block runs of the hardware paths
// and their tails), in every mode, on every path, against the reference model and each other.
TEST(AesPaths, RandomBuffersAgreeWithTheReferenceAndEachOther) {
    std::mt19937 rng(20);
    std::uniform_int_distribution<int> byte(0, 255);
    auto random_bytes = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto &b : v) b = static_cast<uint8_t>(byte(rng));
        return v;
    };
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const auto key = random_bytes(16), iv = random_bytes(16);
        const size_t blocks = std::uniform_int_distribution<size_t>(0, 40)(rng);
        const auto plain = random_bytes(16 * blocks);
        AES_ctx ctx;
        AES_init_ctx_iv(&ctx, key.data(), iv.data());

        auto ref_ecb = plain;
        const ref_aes::Key rk(key.data());
        for (size_t i = 0; i < blocks; ++i) ref_aes::encrypt_block(rk, ref_ecb.data() + 16 * i);
        auto ref_cbc = plain;
        ref_aes::cbc(key.data(), iv.data(), ref_cbc.data(), ref_cbc.size(), true);
        auto ref_ctr = plain;  // counter: the IV, big-endian, plus the block index
        for (size_t i = 0; i < blocks; ++i) {
            uint8_t counter[16];
            std::memcpy(counter, iv.data(), 16);
            for (size_t k = 16, carry = i; k-- > 0 && carry != 0; carry >>= 8) {
                const unsigned sum = counter[k] + static_cast<unsigned>(carry & 0xFF);
                counter[k] = static_cast<uint8_t>(sum);
                carry += sum >> 8 << 8;
            }
            ref_aes::encrypt_block(rk, counter);
            for (size_t k = 0; k < 16; ++k) ref_ctr[16 * i + k] ^= counter[k];
        }

        for (const AES_backend *b : backends()) {
            SCOPED_TRACE(b->name);
            auto ecb = plain;
            b->ecb_encrypt(ctx.RoundKey, ecb.data(), blocks);
            EXPECT_EQ(ecb, ref_ecb);
            b->ecb_decrypt(ctx.InvRoundKey, ecb.data(), blocks);
            EXPECT_EQ(ecb, plain);

            auto cbc = plain;
            uint8_t chain[16];
            std::memcpy(chain, iv.data(), 16);
            b->cbc_encrypt(ctx.RoundKey, chain, cbc.data(), blocks);
            EXPECT_EQ(cbc, ref_cbc);
            // Decrypting in random pieces continues one chain.
            std::memcpy(chain, iv.data(), 16);
            for (size_t done = 0; done < blocks;) {
                const size_t n = std::uniform_int_distribution<size_t>(1, blocks - done)(rng);
                b->cbc_decrypt(ctx.InvRoundKey, chain, cbc.data() + 16 * done, n);
                done += n;
            }
            EXPECT_EQ(cbc, plain);

            AES_backend_select(b);
            AES_ctx ctr = ctx;
            auto stream = plain;
            AES_CTR_xcrypt_buffer(&ctr, stream.data(), stream.size());
            EXPECT_EQ(stream, ref_ctr);
            AES_backend_select(nullptr);
        }
    }
}

// The counter carries across a byte boundary and wraps at the top, on every path.
TEST(AesPaths, CtrCounterCarriesAndWraps) {
    const auto key = hex(kKey);
    for (const AES_backend *b : backends()) {
        SCOPED_TRACE(b->name);
        AES_backend_select(b);
        AES_ctx ctx;
        std::vector<uint8_t> counter(16, 0xFF);
        counter[0] = 0x00;
        AES_init_ctx_iv(&ctx, key.data(), counter.data());
        std::vector<uint8_t> data(16 * 3 + 5, 0);
        AES_CTR_xcrypt_buffer(&ctx, data.data(), data.size());
        std::vector<uint8_t> expected_iv(16, 0x00);
        expected_iv[0] = 0x01;
        expected_iv[15] = 0x03;  // 00ff..ff + 4 blocks
        EXPECT_EQ(std::vector<uint8_t>(ctx.Iv, ctx.Iv + 16), expected_iv);
        std::vector<uint8_t> second = counter;
        std::fill(second.begin() + 1, second.end(), 0);
        second[0] = 0x01;
        AES_ctx one;
        AES_init_ctx(&one, key.data());
        AES_ECB_encrypt(&one, second.data());  // block 1's key stream: counter 0100..00
        EXPECT_EQ(std::vector<uint8_t>(data.begin() + 16, data.begin() + 32), second);
        AES_backend_select(nullptr);
    }
}

// FIPS-197 A.1: the last round key of 2b7e1516..., at compile time and at run time alike, and
// the decryption round keys are the same keys in reverse order at both ends.
TEST(AesSchedule, CompileTimeAndRunTimeExpansionAgree) {
    static constexpr uint8_t kKeyBytes[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                              0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
    static constexpr AES_ctx kCompiled = aes_detail::make_ctx(kKeyBytes, kKeyBytes);
    static_assert(kCompiled.RoundKey[160] == 0xd0 && kCompiled.RoundKey[175] == 0xa6);
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kKeyBytes, kKeyBytes);
    EXPECT_EQ(std::memcmp(&ctx, &kCompiled, sizeof ctx), 0);
    const auto last = hex("d014f9a8c9ee2589e13f0cc8b6630ca6");
    EXPECT_EQ(std::vector<uint8_t>(ctx.RoundKey + 160, ctx.RoundKey + 176), last);
    EXPECT_EQ(std::vector<uint8_t>(ctx.InvRoundKey, ctx.InvRoundKey + 16), last);
    EXPECT_EQ(std::vector<uint8_t>(ctx.InvRoundKey + 160, ctx.InvRoundKey + 176),
              std::vector<uint8_t>(kKeyBytes, kKeyBytes + 16));
}

// The processor's path when it has one, unless KVAT_AES=portable (which CTest also runs).
TEST(AesPaths, ChoiceFollowsProcessorAndEnvironment) {
    const char *forced = std::getenv("KVAT_AES");
    const bool portable = forced != nullptr && std::string(forced) == "portable";
    const AES_backend *expected =
        portable || AES_backend_hardware() == nullptr ? AES_backend_portable()
                                                      : AES_backend_hardware();
    EXPECT_EQ(AES_backend_active(), expected) << AES_backend_active()->name;
    std::printf("AES path: %s%s\n", AES_backend_active()->name,
                AES_backend_hardware() == nullptr ? " (no AES instructions here)" : "");
}
