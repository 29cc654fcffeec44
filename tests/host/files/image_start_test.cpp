#include "host/files/image_start.h"
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kelvra::files::test {
namespace {

const std::string kFixtures = KELVRA_FILES_FIXTURES;

TEST(ImageStart, OnlyAnImageThatOpensWithPaddingHasAGap) {
    struct row {
        const char *file;
        std::int32_t fw_num;
        std::optional<std::uint32_t> first_data;  // nothing: no gap
    };
    const row rows[] = {
        {"header_first.s19", 0, 0x100},   // header first: the image starts at 0
        {"all_kinds.s19", 0, std::nullopt},  // header after data: inside the bounds already
        {"two_blocks.hex", 1, std::nullopt},
        {"two_blocks.hex", kAllFirmware, std::nullopt},
        {"far_apart.hex", 1, std::nullopt},
        {"raw.bin", 0, std::nullopt},
    };
    for (const row &r : rows) {
        const auto image = load(kFixtures + r.file, r.fw_num).image;
        ASSERT_TRUE(image) << r.file;
        const auto gap = image_starts_below_first_data(*image);
        ASSERT_EQ(gap.has_value(), r.first_data.has_value()) << r.file;
        if (gap) {
            EXPECT_EQ(gap->image_start, image->start_address) << r.file;
            EXPECT_EQ(gap->first_data, *r.first_data) << r.file;
        } else {
            EXPECT_EQ(image->first_data_address, image->start_address) << r.file;
        }
    }
}

TEST(ImageStart, WarningNamesBothAddressesAndTheAddrThatFits) {
    const std::string base =
        "image starts at 0x00000000, below its first data byte at 0x08000000 (an S-record header "
        "counts as a byte at address 0); \"-addr 0x0\" writes the data at its own address";
    const image_start_gap gap{0, 0x08000000};
    struct row {
        std::optional<std::uint32_t> write_address;
        std::string tail;
    };
    const row rows[] = {
        {std::nullopt, ""},
        {0, ", as this row does"},
        {0x08000000, ", this row's \"-addr 0x8000000\" writes it at 0x10000000"},
        {0xFC000000, ", this row's \"-addr 0xfc000000\" writes it at 0x104000000"},
    };
    for (const row &r : rows) EXPECT_EQ(image_start_warning(gap, r.write_address), base + r.tail);
}

}  // namespace
}  // namespace kelvra::files::test
