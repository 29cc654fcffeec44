#include "core/kelvra_at_utils.h"

#include <gtest/gtest.h>

TEST(Utils, RoundUp) {
    struct Case {
        uint32_t value, step, expected;
    };
    for (const Case &c : {Case{12, 16, 16}, Case{16, 16, 16}, Case{78, 16, 80}, Case{0, 16, 0},
                          Case{17, 16, 32}, Case{1, 1, 1}}) {
        EXPECT_EQ(utils_round_up(c.value, c.step), c.expected) << c.value << "/" << c.step;
    }
}

TEST(Utils, ObjectPrint) {
    const uint8_t bytes[] = {0x01, 0xAB};
    testing::internal::CaptureStdout();
    object_print(bytes, 2, "rx");
    object_print(bytes, 0, "empty");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[Debug]:$rx[2]:{0x01,0xAB,}\r\n[Debug]:$empty[0]:{}\r\n");
}
