// SHA-256 against the FIPS 180-4 examples, fed whole and in awkward pieces.
#include "host/files/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace kelvra::files {
namespace {

std::string hex_of(Sha256 &hash) {
    std::string text;
    char item[3];
    for (const std::uint8_t byte : hash.Finish()) {
        std::snprintf(item, sizeof item, "%02x", byte);
        text += item;
    }
    return text;
}

TEST(Sha256, KnownAnswers) {
    struct Case {
        std::string message;
        const char *digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message.size());
        EXPECT_EQ(Sha256Hex(c.message.data(), c.message.size()), c.digest);
        // The same bytes in pieces of 1, 63 and 65 bytes.
        for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{65}}) {
            if (c.message.size() > 100000 && piece == 1) continue;
            Sha256 hash;
            for (std::size_t at = 0; at < c.message.size(); at += piece) {
                hash.Update(c.message.data() + at, std::min(piece, c.message.size() - at));
            }
            EXPECT_EQ(hex_of(hash), c.digest) << piece;
        }
    }
    // Lengths around the padding's edges: whole and byte by byte agree.
    for (const std::size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u}) {
        const std::string message(n, static_cast<char>('a' + n % 26));
        Sha256 bytewise;
        for (const char ch : message) bytewise.Update(&ch, 1);
        EXPECT_EQ(hex_of(bytewise), Sha256Hex(message.data(), message.size())) << n;
    }
}

}  // namespace
}  // namespace kelvra::files
