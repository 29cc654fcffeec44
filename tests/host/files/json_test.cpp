#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace kelvra::files::test {
namespace {

const std::string kJsonFixtures = KELVRA_FILES_FIXTURES "json/";

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

template <std::size_t N>
void set_text(char (&field)[N], const char *text, std::size_t length) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(length, N));
}
template <std::size_t N>
void set_text(char (&field)[N], const char *text) {
    set_text(field, text, std::strlen(text));
}

kvat_writer_config sample_config() {
    kvat_writer_config config{};
    set_text(config.vendor, "Vendor 100%");
    set_text(config.series, "%s%n%d");
    set_text(config.model, "MODEL-16-CHARS-X");  // fills the field, no terminator
    config.erase = 2;
    config.vext = 3;
    config.clock = 11;
    config.buzzer = 7;  // any non-zero byte is written as true
    config.option_byte_type = 1;
    config.limit_enable = 1;
    config.limit_number = 0xFFFFFFFE;
    config.auto_start = 0;
    config.in_debounce_ms = 40000;
    config.out_debounce_ms = 1;
    config.disable_power_after_programming = 1;
    config.run_target_after_programming = 0;
    config.power_on_debounce_ms = 250;
    config.power_off_debounce_ms = 65535;
    config.reset_pin_ctrl = 2;
    return config;
}

TEST(JsonDocuments, WrittenFilesMatchTheStoredOnes) {
    scratch_dir dir;
    kvat_writer_info info{};
    set_text(info.type, "KV-W1");
    set_text(info.serial_number, "0123456789ABCDEF0123456789ABCDEF");  // 32 characters, no terminator
    set_text(info.hardware_version, "V1.2");
    set_text(info.bootloader_version, "B2.00.01");
    set_text(info.interface_version, "I3");
    kvat_project_info_record project{};
    project.enabled = 5;
    project.image_size = 123456;
    project.image_crc = 0xABCD;

    {
        json_file config(dir.path("writer_cfg.json"), json_file::mode::write);
        json_file writer(dir.path("writer_info.json"), json_file::mode::write);
        json_file project_file(dir.path("project_info.json"), json_file::mode::write);
        ASSERT_TRUE(config.is_open() && writer.is_open() && project_file.is_open());
        write_writer_config(config, sample_config());
        write_writer_info(writer, info);
        write_project_info(project_file, project);
    }
    EXPECT_EQ(read_text(dir.path("writer_cfg.json")), read_text(kJsonFixtures + "writer_cfg.json"));
    EXPECT_EQ(read_text(dir.path("writer_info.json")), read_text(kJsonFixtures + "writer_info.json"));
    EXPECT_EQ(read_text(dir.path("project_info.json")), read_text(kJsonFixtures + "project_info.json"));
}

TEST(JsonDocuments, ProjectCrcHasNoLeadingZeros) {
    kvat_project_info_record project{};
    EXPECT_EQ(project_info_document(project)["Project CRC32"], "0");
    EXPECT_EQ(project_info_document(project)["Project enabled"], "no");
    project.image_crc = 0x0000F00D;
    EXPECT_EQ(project_info_document(project)["Project CRC32"], "f00d");
}

TEST(JsonDocuments, InvalidUtf8IsReplacedNotFatal) {
    scratch_dir dir;
    kvat_writer_config config = writer_config_defaults();
    set_text(config.vendor, "\xC4\xE3\xBA\xC3 ok");  // a GBK text
    {
        json_file file(dir.path("gbk.json"), json_file::mode::write);
        write_writer_config(file, config);
    }
    const std::string text = read_text(dir.path("gbk.json"));
    EXPECT_NE(text.find("\"vendor\": \"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD ok\""), std::string::npos)
        << text;
}

TEST(JsonFile, OnlyJsonNamesOpen) {
    scratch_dir dir;
    EXPECT_FALSE(json_file(dir.path("cfg.JSON"), json_file::mode::write).is_open());
    EXPECT_FALSE(json_file(dir.path("cfg.json.bak"), json_file::mode::write).is_open());
    EXPECT_FALSE(json_file(dir.path("missing.json"), json_file::mode::read).is_open());
    EXPECT_FALSE(json_file(dir.path("no/such/folder/x.json"), json_file::mode::write).is_open());
    EXPECT_TRUE(json_file(dir.path("cfg.json"), json_file::mode::write).is_open());
}

TEST(WriterConfigReader, WrittenDefaultsReadBackUnchanged) {
    scratch_dir dir;
    const kvat_writer_config written = sample_config();
    {
        json_file out(dir.path("c.json"), json_file::mode::write);
        write_writer_config(out, written);
    }
    json_file in(dir.path("c.json"), json_file::mode::read);
    kvat_writer_config read{};
    EXPECT_EQ(read_writer_config(in, read), "");
    kvat_writer_config expected = written;
    expected.buzzer = 1;  // written as a flag
    std::memset(&expected, 0, 48);  // names are never read
    EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
    EXPECT_TRUE(in.value.is_null());
}

const char *const kFullConfig = R"x({
  "base config": {"buzzer": BUZZER, "clock": CLOCK, "erase": ERASE, "option byte type": 3, "vext": 1},
  "offline config": {"auto": false, "in debounce(ms)": 100, "limit enable": true, "limit number": LIMIT,
                     "out debounce(ms)": 100},
  "output config": {"disable power after programming": 0, "power off debounce(ms)": 250,
                    "power on debounce(ms)": 70000, "reset pin ctrl": 2, "run target after programming": 1}
})x";

std::string config_text(const std::string &buzzer, const std::string &clock, const std::string &erase,
                        const std::string &limit) {
    std::string text = kFullConfig;
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"BUZZER", buzzer},
                                     {"CLOCK", clock}, {"ERASE", erase}, {"LIMIT", limit}}) {
        text.replace(text.find(key), key.size(), value);
    }
    return text;
}

struct read_case {
    const char *name;
    std::string file_name;
    std::string content;
    std::string error;
    std::uint8_t erase, clock, buzzer;  // expected fields after the read
    std::uint32_t limit;
};

void PrintTo(const read_case &c, std::ostream *out) { *out << c.name; }

class WriterConfigRead : public ::testing::TestWithParam<read_case> {};

TEST_P(WriterConfigRead, StoresOrReportsTheLibraryText) {
    scratch_dir dir;
    const read_case &c = GetParam();
    kvat_writer_config config = writer_config_defaults();
    set_text(config.vendor, "kept");
    json_file file(dir.file(c.file_name, c.content), json_file::mode::read);
    EXPECT_EQ(read_writer_config(file, config), c.error);
    EXPECT_EQ(config.erase, c.erase);
    EXPECT_EQ(config.clock, c.clock);
    EXPECT_EQ(config.buzzer, c.buzzer);
    EXPECT_EQ(config.limit_number, c.limit);
    EXPECT_STREQ(config.vendor, "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, WriterConfigRead,
    ::testing::Values(
        read_case{"numbers", "a.json", config_text("1", "2.9", "0", "-1"), "", 0, 2, 1, 0xFFFFFFFF},
        read_case{"flags", "a.json", config_text("true", "false", "true", "4294967297"), "", 1, 0, 1, 1},
        read_case{"low_bits_of_large_values", "a.json", config_text("0", "300", "-1", "1e10"), "", 0xFF, 44, 0,
                  static_cast<std::uint32_t>(10000000000ull)},
        read_case{"negative_and_huge_fractions", "a.json", config_text("1e30", "-1.5", "-257.9", "-4294967297.5"), "",
                  0xFF, 0xFF, 0, 0xFFFFFFFF},
        read_case{"string_value", "a.json", config_text("1", "1", "\"1\"", "0"),
                  "[json.exception.type_error.302] type must be number, but is string", 1, 1, 1, 0},
        read_case{"null_after_erase", "a.json", config_text("1", "null", "2", "0"),
                  "[json.exception.type_error.302] type must be number, but is null", 2, 1, 1, 0},
        read_case{"missing_key", "a.json", R"({"base config": {"erase": 0}})",
                  "[json.exception.out_of_range.403] key 'vext' not found", 0, 1, 1, 0},
        read_case{"missing_group", "a.json", R"({"names": {}})",
                  "[json.exception.out_of_range.403] key 'base config' not found", 1, 1, 1, 0},
        read_case{"group_not_object", "a.json", R"({"base config": [1, 2]})",
                  "[json.exception.type_error.304] cannot use at() with array", 1, 1, 1, 0},
        read_case{"top_level_not_object", "a.json", "42",
                  "[json.exception.type_error.304] cannot use at() with number", 1, 1, 1, 0},
        read_case{"not_json", "a.json", "{\"base config\": ",
                  "[json.exception.parse_error.101] parse error at line 1, column 17: syntax error while parsing "
                  "value - unexpected end of input; expected '[', '{', or a literal",
                  1, 1, 1, 0},
        read_case{"wrong_extension", "a.txt", config_text("1", "1", "1", "0"), "文件不存在或文件格式错误", 1, 1, 1,
                  0}),
    [](const ::testing::TestParamInfo<read_case> &param) { return std::string(param.param.name); });

TEST(WriterConfigReader, MissingFileIsReported) {
    kvat_writer_config config = writer_config_defaults();
    json_file file(kJsonFixtures + "missing.json", json_file::mode::read);
    EXPECT_EQ(read_writer_config(file, config), "文件不存在或文件格式错误");
    const kvat_writer_config defaults = writer_config_defaults();
    EXPECT_EQ(std::memcmp(&config, &defaults, sizeof config), 0);
}

}  // namespace
}  // namespace kelvra::files::test
