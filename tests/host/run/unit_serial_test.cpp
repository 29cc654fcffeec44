// Serial numbers: their layouts, and the station file that hands them out under a lock.
#include "host/platform/platform.h"
#include "host/run/unit_serial.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using kelvra::run::EncodeSerial;
using kelvra::run::ParseSerialFormat;
using kelvra::run::SerialFileError;
using kelvra::run::SerialFormat;
using kelvra::run::SerialNumberFile;

namespace {

class SerialFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("unit_serial_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path() const { return (dir_ / "serial.json").string(); }
    nlohmann::json document() const {
        std::ifstream in(path());
        std::stringstream text;
        text << in.rdbuf();
        return nlohmann::json::parse(text.str());
    }
    void write(const std::string &text) const { std::ofstream(path()) << text; }

    fs::path dir_;
};

TEST(SerialFormat, LayoutsOfANumber) {
    struct Case {
        const char *format;
        std::uint64_t number;
        std::vector<std::uint8_t> bytes;  // empty: does not fit
    };
    const Case cases[] = {
        {"u32le", 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {"u32be", 0x12345678, {0x12, 0x34, 0x56, 0x78}},
        {"u32le", 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"u32le", 0x100000000, {}},
        {"ascii:6", 42, {'0', '0', '0', '0', '4', '2'}},
        {"ascii:2", 99, {'9', '9'}},
        {"ascii:2", 100, {}},
        {"ascii:1", 0, {'0'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.number));
        std::string error;
        const auto format = ParseSerialFormat(c.format, error);
        ASSERT_TRUE(format) << error;
        std::vector<std::uint8_t> bytes;
        EXPECT_EQ(EncodeSerial(*format, c.number, bytes, error), !c.bytes.empty());
        if (c.bytes.empty()) {
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_EQ(bytes, c.bytes);
        }
    }
    for (const char *bad : {"", "u32", "U32LE", "ascii", "ascii:", "ascii:0", "ascii:65", "ascii:x", "ascii:-1", "ascii:100"}) {
        std::string error;
        EXPECT_FALSE(ParseSerialFormat(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST_F(SerialFileTest, NumbersAreTakenSpentAndGivenBack) {
    std::string warning;
    SerialNumberFile file(path(), 10, warning);
    EXPECT_TRUE(warning.empty());
    EXPECT_EQ(file.Take(3), (std::vector<std::uint64_t>{10, 11, 12}));
    EXPECT_EQ(document()["taken"].size(), 3u);
    file.Spend(10);
    file.GiveBack(12);
    EXPECT_EQ(document()["free"], nlohmann::json::array({12}));
    // A given-back number goes out first, lowest first.
    EXPECT_EQ(file.Take(2), (std::vector<std::uint64_t>{12, 13}));
    file.GiveBackAll();
    const auto doc = document();
    EXPECT_EQ(doc["next"], 14);
    EXPECT_EQ(doc["free"], nlohmann::json::array({11, 12, 13}));
    EXPECT_TRUE(doc["taken"].empty());
    // Spending or giving back a number this process does not hold changes nothing.
    file.Spend(11);
    file.GiveBack(99);
    EXPECT_EQ(document(), doc);
}

TEST_F(SerialFileTest, AnExistingFileWinsOverAnotherStart) {
    {
        std::string warning;
        SerialNumberFile file(path(), 500, warning);
        file.Take(1);
        file.Spend(500);
    }
    std::string warning;
    SerialNumberFile same(path(), 500, warning);
    EXPECT_TRUE(warning.empty()) << "the same start again is no news";
    SerialNumberFile other(path(), 1, warning);
    EXPECT_NE(warning.find("was started at 500; its next number 501 is used"), std::string::npos) << warning;
    EXPECT_EQ(other.Take(1), std::vector<std::uint64_t>{501});
    SerialNumberFile without(path(), std::nullopt, warning);
    EXPECT_EQ(without.Take(1), std::vector<std::uint64_t>{502});
}

TEST_F(SerialFileTest, NumbersOfAProcessThatDiedAreGivenBack) {
    // A child takes two numbers and dies without giving them back (as a killed run would).
    const pid_t child = fork();
    if (child == 0) {
        std::string warning;
        SerialNumberFile file(path(), 1, warning);
        file.Take(2);
        _exit(0);  // no destructors: the numbers stay taken
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(document()["taken"].size(), 2u);
    std::string warning;
    SerialNumberFile file(path(), std::nullopt, warning);
    EXPECT_EQ(file.Take(3), (std::vector<std::uint64_t>{1, 2, 3}));
}

TEST_F(SerialFileTest, ALiveProcessKeepsItsNumbers) {
    write(R"({"kelvra_serial_file": 1, "start": 1, "next": 3, "free": [], "taken": [{"serial": 1, "pid": 1}, {"serial": 2, "pid": )" +
          std::to_string(getppid()) + "}]}");
    std::string warning;
    SerialNumberFile file(path(), std::nullopt, warning);
    EXPECT_EQ(file.Take(1), std::vector<std::uint64_t>{3});
}

TEST_F(SerialFileTest, AFileLockedTooLongIsAnError) {
    std::string warning;
    { SerialNumberFile make(path(), 1, warning); }
    std::string error;
    auto held = kelvra::platform::LockFile(path() + ".lock", 0, error);
    ASSERT_NE(held, nullptr) << error;
    try {
        SerialNumberFile file(path(), std::nullopt, warning, 150);
        FAIL() << "opened a locked file";
    } catch (const SerialFileError &e) {
        EXPECT_NE(std::string(e.what()).find("cannot lock serial file"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("locked by another program"), std::string::npos) << e.what();
    }
    held.reset();
    SerialNumberFile file(path(), std::nullopt, warning, 150);
    EXPECT_EQ(file.Take(1), std::vector<std::uint64_t>{1});
}

TEST_F(SerialFileTest, AFileThatIsNotOursIsRefusedAndKept) {
    const char *texts[] = {
        "",
        "not json",
        "[1, 2]",
        R"({"next": 5})",
        R"({"kelvra_serial_file": 1})",
        R"({"kelvra_serial_file": 1, "next": -3})",
        R"({"kelvra_serial_file": 1, "next": "5"})",
        R"({"kelvra_serial_file": 1, "next": 5, "free": [1, "x"]})",
        R"({"kelvra_serial_file": 1, "next": 5, "free": {}})",
        R"({"kelvra_serial_file": 1, "next": 5, "taken": [{"serial": 1}]})",
        R"({"kelvra_serial_file": 2, "next": 5})",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        write(text);
        std::string warning;
        EXPECT_THROW(SerialNumberFile(path(), 1, warning), SerialFileError);
        std::ifstream in(path());
        std::stringstream kept;
        kept << in.rdbuf();
        EXPECT_EQ(kept.str(), text);
    }
    std::string warning;
    fs::remove(path());
    EXPECT_THROW(SerialNumberFile(path(), std::nullopt, warning), SerialFileError) << "no file and no start";
    EXPECT_FALSE(fs::exists(path()));
}

}  // namespace
