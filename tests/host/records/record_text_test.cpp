// The texts a station and a collector exchange: broker URLs, and records or not.
#include "host/records/mqtt_url.h"
#include "host/records/record_json.h"
#include "records_fixture.h"

#include <gtest/gtest.h>

#include <regex>

namespace kelvra::records::test {
namespace {

struct UrlCase {
    const char *text;
    bool good;
    const char *expect;  // good: "tls host port prefix"; bad: a piece of the error
};

class MqttUrlTable : public ::testing::TestWithParam<UrlCase> {};

TEST_P(MqttUrlTable, ParsesOrSaysWhy) {
    const UrlCase &c = GetParam();
    std::string error;
    const auto url = ParseMqttUrl(c.text, error);
    if (c.good) {
        ASSERT_TRUE(url) << c.text << ": " << error;
        const std::string got = std::string(url->tls ? "tls " : "plain ") + url->host + " " +
                                std::to_string(url->port) + " " + url->prefix;
        EXPECT_EQ(got, c.expect) << c.text;
    } else {
        EXPECT_FALSE(url) << c.text;
        EXPECT_NE(error.find(c.expect), std::string::npos) << c.text << ": " << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, MqttUrlTable,
    ::testing::Values(
        UrlCase{"mqtt://broker/plant", true, "plain broker 1883 plant"},
        UrlCase{"mqtt://10.0.0.5:1884/plant/line-3", true, "plain 10.0.0.5 1884 plant/line-3"},
        UrlCase{"mqtts://mq.example.net/plant", true, "tls mq.example.net 8883 plant"},
        UrlCase{"mqtts://[::1]:8884/p", true, "tls ::1 8884 p"},
        UrlCase{"mqtt://h:65535/p", true, "plain h 65535 p"},
        UrlCase{"http://broker/plant", false, "must start with mqtt:// or mqtts://"},
        UrlCase{"broker:1883/plant", false, "must start with mqtt://"},
        UrlCase{"mqtt://broker", false, "no topic prefix"},
        UrlCase{"mqtt://broker/", false, "no topic prefix"},
        UrlCase{"mqtt:///plant", false, "no host"},
        UrlCase{"mqtt://broker:/plant", false, "an empty port"},
        UrlCase{"mqtt://broker:0/plant", false, "not a number from 1 to 65535"},
        UrlCase{"mqtt://broker:65536/plant", false, "not a number from 1 to 65535"},
        UrlCase{"mqtt://broker:18x3/plant", false, "not a number from 1 to 65535"},
        UrlCase{"mqtt://broker:-1/plant", false, "not a number from 1 to 65535"},
        UrlCase{"mqtt://broker/plant/+", false, "wildcard"},
        UrlCase{"mqtt://broker/plant/#", false, "wildcard"},
        UrlCase{"mqtt://broker/pl+ant", false, "wildcard"},
        UrlCase{"mqtt://broker/plant//line", false, "empty level"},
        UrlCase{"mqtt://broker/plant/", false, "empty level"},
        UrlCase{"mqtt://broker//plant", false, "empty level"},
        UrlCase{"mqtt://broker/$SYS", false, "belong to the broker"},
        UrlCase{"mqtt://broker/plant?x=1", false, "query"},
        UrlCase{"mqtt://user:pw@broker/plant", false, "KVAT_MQTT_USER"},
        UrlCase{"mqtt://[::1/plant", false, "IPv6"},
        UrlCase{"", false, "must start with"}),
    [](const ::testing::TestParamInfo<UrlCase> &p) { return "case" + std::to_string(p.index); });

TEST(TopicLevel, AStationNameIsOneLevel) {
    EXPECT_EQ(CheckTopicLevel("station-07"), "");
    EXPECT_NE(CheckTopicLevel(""), "");
    EXPECT_NE(CheckTopicLevel("a/b"), "");
    EXPECT_NE(CheckTopicLevel("a+"), "");
    EXPECT_NE(CheckTopicLevel("#"), "");
}

TEST(RecordIds, UuidsAreVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = NewUuid();
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
            << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(UtcStamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(1796900102125LL))),
              "2026-12-10T10:55:02.125Z");
}

TEST(RecordJson, AUnitRecordHoldsThePortDoneMembersAndItsSource) {
    const RunRow run = sample_run();
    const auto json = UnitJson(sample_unit(run, 1));
    for (const char *member : {"record_id", "run_id", "station", "script", "script_sha256", "port", "result",
                               "writer_serial", "chip_id", "unit_serial", "started", "ended", "duration_ms",
                               "bytes_written", "bytes_read", "verified", "image_sha256"}) {
        EXPECT_TRUE(json.contains(member)) << member;
    }
    RunRow back;
    EXPECT_EQ(ParseRun(Dump(RunStartJson(run)), back), "");
    EXPECT_EQ(back.start_record_id, run.start_record_id);
    EXPECT_TRUE(back.end_record_id.empty());
}

struct NotARecord {
    const char *text;
    const char *why;
};

class NotARecordTable : public ::testing::TestWithParam<NotARecord> {};

TEST_P(NotARecordTable, IsToldApartWithItsReason) {
    UnitRow unit;
    const std::string why = ParseUnit(GetParam().text, unit);
    EXPECT_NE(why.find(GetParam().why), std::string::npos) << GetParam().text << ": " << why;
    RunRow run;
    EXPECT_NE(ParseRun(GetParam().text, run), "") << GetParam().text;
}

const std::string good_unit() { return Dump(UnitJson(sample_unit(sample_run(), 1))); }

INSTANTIATE_TEST_SUITE_P(
    Texts, NotARecordTable,
    ::testing::Values(NotARecord{"", "not JSON"}, NotARecord{"hello", "not JSON"},
                      NotARecord{"\xff\xfe{", "not JSON"}, NotARecord{"[1,2]", "not a JSON object"},
                      NotARecord{"42", "not a JSON object"}, NotARecord{"{}", "no member \"record_id\""},
                      NotARecord{R"({"record_id":"x","run_id":"y","station":"s","script":"a","script_sha256":"b",
                        "port":"p","result":0,"writer_serial":"w","started":"t","ended":"t","duration_ms":1,
                        "bytes_written":0,"bytes_read":0,"verified":true,"image_sha256":[]})",
                                 "record_id is not a UUID"},
                      NotARecord{R"({"record_id":"1b4e28ba-2fa1-41d2-883f-0016d3cca427","run_id":"1b4e28ba-2fa1-41d2-883f-0016d3cca427",
                        "station":"s","script":"a","script_sha256":"b","port":"p","result":"0","writer_serial":"w"})",
                                 "member \"result\" is not an integer"}));

TEST(RecordJson, AGoodUnitParsesBack) {
    UnitRow unit;
    EXPECT_EQ(ParseUnit(good_unit(), unit), "");
}

}  // namespace
}  // namespace kelvra::records::test
