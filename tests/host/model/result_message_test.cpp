#include "host/model/result_message.h"

#include "kelvra_at_records.h"

#include <gtest/gtest.h>

namespace kelvra {
namespace {

TEST(ResultMessage, TextsAreExactWithTheirBlanks) {
    EXPECT_EQ(ATCmdErrorMessage(0), " None error ...");
    EXPECT_EQ(ATCmdErrorMessage(9), " Target not connected...");
    EXPECT_EQ(ATCmdErrorMessage(40),
              " The writer needs to be disconnected from the online connection....");
    EXPECT_EQ(ATCmdErrorMessage(89), "Factory test not enable");
    EXPECT_EQ(ATCmdErrorMessage(93), "AT baudrate ");
    EXPECT_EQ(ATCmdErrorMessage(99), " Firmware quantity exceeds");
}

TEST(ResultMessage, CodesSharingATextStayDistinct) {
    EXPECT_EQ(ATCmdErrorMessage(KVAT_ERR_PACKAGE_SIZE), " The package size error...");
    EXPECT_EQ(ATCmdErrorMessage(KVAT_ERR_DATA_SIZE), " The package size error...");
}

TEST(ResultMessage, CodesOutsideTheTableHaveNoText) {
    for (const int code : {-1, 26, 31, 48, 57, 58, 100, 2001, 0x7FFFFF9C})
        EXPECT_EQ(ATCmdErrorMessage(code), "") << code;
}

TEST(ResultMessage, EveryProtocolCodeHasAText) {
#define KVAT_EXPECT_TEXT_(name, value) EXPECT_FALSE(ATCmdErrorMessage(value).empty()) << #name;
    KVAT_RESULT_CODE_LIST(KVAT_EXPECT_TEXT_)
#undef KVAT_EXPECT_TEXT_
}

}  // namespace
}  // namespace kelvra
