// Images written by srec_cat are read back here and by objcopy / srec_cat; the bytes must agree.
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace kelvra::files::test {
namespace {

bool have_tool(const char *tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::uint8_t> read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct chunk {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
};

class CrossCheck : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_tool("srec_cat")) GTEST_SKIP() << "srec_cat is not installed";
    }

    // Writes the chunks with srec_cat into `name` in the given output format.
    std::string make_file(const std::vector<chunk> &chunks, const std::string &name, const std::string &format) {
        std::string command = "srec_cat";
        std::mt19937 random(7);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            std::string content(chunks[i].bytes.begin(), chunks[i].bytes.end());
            const std::string part = dir_.file("part" + std::to_string(i) + ".bin", content);
            command += " " + part + " -binary -offset " + std::to_string(chunks[i].address);
        }
        const std::string out = dir_.path(name);
        command += " -o " + out + " " + format + " 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return out;
    }

    // Reference image from `lowest` to the highest address, gaps 0xFF, by each available tool.
    std::vector<std::vector<std::uint8_t>> references(const std::string &file, const std::string &in_format,
                                                      const std::string &objcopy_format, std::uint32_t lowest) {
        std::vector<std::vector<std::uint8_t>> out;
        const std::string by_srec = dir_.path("ref_srec.bin");
        const std::string srec = "srec_cat '(' " + file + " " + in_format + " -fill 0xFF -over " + file + " " +
                                 in_format + " ')' -offset -" + std::to_string(lowest) + " -o " + by_srec +
                                 " -binary 2>/dev/null";
        EXPECT_EQ(std::system(srec.c_str()), 0) << srec;
        out.push_back(read_bytes(by_srec));
        if (have_tool("objcopy")) {
            const std::string by_objcopy = dir_.path("ref_objcopy.bin");
            const std::string objcopy = "objcopy -I " + objcopy_format + " -O binary --gap-fill 0xFF " + file + " " +
                                        by_objcopy + " 2>/dev/null";
            EXPECT_EQ(std::system(objcopy.c_str()), 0) << objcopy;
            out.push_back(read_bytes(by_objcopy));
        }
        return out;
    }

    static std::vector<chunk> random_chunks(std::uint32_t base) {
        std::mt19937 random(99);
        std::vector<chunk> chunks = {{base, {}}, {base + 0x800, {}}, {base + 0x10003, {}}, {base + 0x10200, {}}};
        const std::size_t sizes[] = {1000, 300, 17, 4097};
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            chunks[i].bytes.resize(sizes[i]);
            for (auto &b : chunks[i].bytes) b = static_cast<std::uint8_t>(random());
        }
        return chunks;
    }

    scratch_dir dir_;
};

TEST_F(CrossCheck, IntelHexAllAndEveryBlock) {
    const auto chunks = random_chunks(0x08000000);
    const std::string file = make_file(chunks, "fw.hex", "-intel");
    const auto all = load(file, kAllFirmware);
    ASSERT_TRUE(all.image);
    EXPECT_EQ(all.image->start_address, chunks.front().address);
    for (const auto &reference : references(file, "-intel", "ihex", chunks.front().address)) {
        EXPECT_EQ(all.image->data, reference);
    }
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto block = load(file, static_cast<std::int32_t>(i));
        ASSERT_TRUE(block.image);
        EXPECT_EQ(block.image->start_address, chunks[i].address);
        EXPECT_EQ(block.image->data, chunks[i].bytes) << "block " << i;
    }
}

TEST_F(CrossCheck, MotorolaS1S2S3) {
    const auto chunks = random_chunks(0x1000);
    for (const char *length : {"2", "3", "4"}) {
        const std::string file = make_file(chunks, std::string("fw") + length + ".s19",
                                           std::string("-motorola -address-length=") + length);
        const auto image = load(file, 0);
        ASSERT_TRUE(image.image) << length;
        // srec_cat opens with a header record, which puts the image start at address 0.
        ASSERT_EQ(image.image->start_address, 0u);
        const auto &data = image.image->data;
        const std::uint32_t lowest = chunks.front().address;
        ASSERT_GT(data.size(), lowest);
        EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + lowest),
                  std::vector<std::uint8_t>(lowest, 0xFF));
        const std::vector<std::uint8_t> from_lowest(data.begin() + lowest, data.end());
        for (const auto &reference : references(file, "-motorola", "srec", lowest)) {
            EXPECT_EQ(from_lowest, reference) << "address length " << length;
        }
    }
}

}  // namespace
}  // namespace kelvra::files::test
