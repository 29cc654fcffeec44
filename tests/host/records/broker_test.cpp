// Publisher and collector against a real mosquitto on 127.0.0.1: every record arrives once,
// a broker that is down or refuses us leaves the records in the outbox, and a collector's
// session outlives the broker's restart.
#include "broker.h"
#include "host/records/collector.h"
#include "host/records/mqtt_link.h"
#include "host/records/publisher.h"
#include "host/records/record_json.h"
#include "records_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace kelvra::records::test {
namespace {

MqttSettings settings_for(const Broker &broker, const std::string &prefix = "plant") {
    MqttSettings s;
    std::string error;
    s.url = *ParseMqttUrl(broker.url(prefix), error);
    s.max_backoff = std::chrono::milliseconds(1000);
    return s;
}

// A collector on its own thread, with the lines it logged.
class RunningCollector {
public:
    RunningCollector(MqttSettings settings, const std::string &db, const std::string &client_id = "kvat-collect-test") {
        settings.client_id = client_id;
        collector_ = std::make_unique<Collector>(settings, db, [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_ += line + "\n";
            if (line.find("collect: connected") == 0) ++connections_;
        });
        thread_ = std::thread([this] { collector_->Run(stop_); });
    }
    ~RunningCollector() { Stop(); }
    void Stop() {
        if (!thread_.joinable()) return;
        stop_ = true;
        thread_.join();
        collector_.reset();
    }
    // Waits (at most 20 s) until it connected `n` times in all.
    bool WaitConnected(int n = 1) {
        return wait_for([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return connections_ >= n;
        });
    }
    std::string lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    static bool wait_for(const std::function<bool()> &done) {
        for (int i = 0; i < 400; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return done();
    }

private:
    std::unique_ptr<Collector> collector_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::string lines_;
    int connections_ = 0;
};

std::set<std::string> unit_ids(const std::string &path) {
    std::set<std::string> ids;
    for (const UnitRow &u : UnitDb::Open(path, true)->Units({})) ids.insert(u.record_id);
    return ids;
}

std::size_t unit_count(const std::string &path) { return UnitDb::Open(path, true)->Units({}).size(); }

std::size_t ended_runs(const std::string &path, const std::vector<std::string> &run_ids) {
    auto db = UnitDb::Open(path, true);
    std::size_t n = 0;
    for (const std::string &id : run_ids) {
        const auto run = db->Run(id);
        if (run && !run->ended.empty() && !run->started.empty()) ++n;
    }
    return n;
}

TEST(Broker, RecordsFromTwoStationsAtOnceArriveOnceEach) {
    Broker broker;
    Scratch scratch;
    const std::string plant = scratch.path("plant.db");
    RunningCollector collector(settings_for(broker), plant);
    ASSERT_TRUE(collector.WaitConnected()) << collector.lines();
    const auto a = fill_station(scratch.path("a.db"), "station-a", 30);
    const auto b = fill_station(scratch.path("b.db"), "station-b", 30);
    std::vector<Publisher::Status> results(2);
    {
        std::thread ta([&] { results[0] = Publisher(settings_for(broker), scratch.path("a.db")).Flush(std::chrono::seconds(20)); });
        std::thread tb([&] { results[1] = Publisher(settings_for(broker), scratch.path("b.db")).Flush(std::chrono::seconds(20)); });
        ta.join();
        tb.join();
    }
    for (const auto &r : results) {
        EXPECT_EQ(r.unsent, 0u) << r.error;
        EXPECT_EQ(r.sent, 32u);  // start, 30 units, end
    }
    EXPECT_EQ(UnitDb::Open(scratch.path("a.db"))->UnsentCount(), 0u);
    ASSERT_TRUE(RunningCollector::wait_for([&] { return unit_count(plant) >= 60; })) << collector.lines();
    std::set<std::string> expected = unit_ids(scratch.path("a.db"));
    const auto more = unit_ids(scratch.path("b.db"));
    expected.insert(more.begin(), more.end());
    EXPECT_EQ(unit_ids(plant), expected);
    EXPECT_TRUE(RunningCollector::wait_for(
        [&] { return ended_runs(plant, {a.front().run_id, b.front().run_id}) == 2; }));
    // The collector's copy equals the station's, member for member.
    auto station = UnitDb::Open(scratch.path("a.db"), true)->Units({});
    auto collected = UnitDb::Open(plant, true)->Units({.run_id = a.front().run_id});
    ASSERT_EQ(collected.size(), station.size());
    for (std::size_t i = 0; i < station.size(); ++i) {
        EXPECT_EQ(Dump(UnitJson(collected[i])), Dump(UnitJson(station[i])));
    }
}

TEST(Broker, DownDuringTheRunThenUpThenSyncEveryRecordOnce) {
    Broker broker;
    Scratch scratch;
    const std::string plant = scratch.path("plant.db");
    RunningCollector collector(settings_for(broker), plant);
    ASSERT_TRUE(collector.WaitConnected());
    broker.Stop();
    // The run's publisher finds no broker: it says so at once and keeps everything.
    const std::string station = scratch.path("st.db");
    Publisher during(settings_for(broker), station);
    const auto rows = fill_station(station, "st1", 10);
    during.Wake();
    const auto down = during.Flush(std::chrono::seconds(20));
    EXPECT_GT(down.unsent, 0u);
    EXPECT_GT(down.failures, 0);
    EXPECT_NE(down.error.find("127.0.0.1:" + std::to_string(broker.port())), std::string::npos) << down.error;
    broker.Start();
    // kvat sync: a fresh publisher sends the outbox.
    const auto synced = Publisher(settings_for(broker), station).Flush(std::chrono::seconds(20));
    EXPECT_EQ(synced.unsent, 0u) << synced.error;
    ASSERT_TRUE(RunningCollector::wait_for([&] { return unit_count(plant) >= 10; })) << collector.lines();
    // The first publisher may also have got through on its own by now: still once each.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(unit_ids(plant), unit_ids(station));
    EXPECT_EQ(unit_count(plant), 10u);
}

TEST(Broker, TheCollectorsSessionOutlivesABrokerRestart) {
    Broker broker;
    Scratch scratch;
    const std::string plant = scratch.path("plant.db");
    {
        RunningCollector first(settings_for(broker), plant, "kvat-collect-restart");
        ASSERT_TRUE(first.WaitConnected());
    }
    // The collector is away; what is published meanwhile waits in its session, which the
    // broker keeps through its restart.
    const std::string station = scratch.path("st.db");
    fill_station(station, "st1", 12);
    EXPECT_EQ(Publisher(settings_for(broker), station).Flush(std::chrono::seconds(20)).unsent, 0u);
    broker.Stop();
    broker.Start();
    RunningCollector second(settings_for(broker), plant, "kvat-collect-restart");
    ASSERT_TRUE(RunningCollector::wait_for([&] { return unit_count(plant) >= 12; })) << second.lines() << broker.log_text();
    EXPECT_EQ(unit_ids(plant), unit_ids(station));
}

TEST(Broker, AMessageThatIsNotARecordIsLoggedAndSkipped) {
    Broker broker;
    Scratch scratch;
    const std::string plant = scratch.path("plant.db");
    RunningCollector collector(settings_for(broker), plant);
    ASSERT_TRUE(collector.WaitConnected());
    std::set<int> acked;
    MqttLink raw(settings_for(broker), {nullptr, nullptr, [&](int mid) { acked.insert(mid); }, nullptr});
    ASSERT_TRUE(RunningCollector::wait_for([&] {
        raw.Poll(std::chrono::milliseconds(20));
        return raw.connected();
    })) << raw.error();
    const RunRow run = sample_run("st1");
    const std::vector<std::pair<std::string, std::string>> messages = {
        {"plant/st1/unit", "hello"},
        {"plant/st1/unit", "{\"record_id\": 5}"},
        {"plant/st1/run", "[]"},
        {"plant/st1/unit", Dump(UnitJson(sample_unit(run, 1)))},
    };
    for (const auto &[topic, payload] : messages) {
        int mid = 0;
        ASSERT_TRUE(raw.Publish(topic, payload, mid));
    }
    ASSERT_TRUE(RunningCollector::wait_for([&] {
        raw.Poll(std::chrono::milliseconds(20));
        return acked.size() == messages.size();
    }));
    ASSERT_TRUE(RunningCollector::wait_for([&] { return unit_count(plant) == 1; })) << collector.lines();
    collector.Stop();
    const std::string lines = collector.lines();
    EXPECT_NE(lines.find("skipped a message on plant/st1/unit (5 bytes): not a record: not JSON"), std::string::npos)
        << lines;
    EXPECT_NE(lines.find("not a record: member \"record_id\" is not a string"), std::string::npos) << lines;
    EXPECT_NE(lines.find("skipped a message on plant/st1/run (2 bytes): not a record: not a JSON object"),
              std::string::npos)
        << lines;
}

class TlsBroker : public ::testing::Test {
protected:
    MqttSettings tls_settings(const std::string &ca, const std::string &password) {
        MqttSettings s = settings_for(broker_);
        s.ca_file = ca;
        s.user = "station";
        s.password = password;
        return s;
    }
    Broker broker_{true};
    Scratch scratch_;
};

TEST_F(TlsBroker, TheRightCertificateAndPasswordSendEverything) {
    const std::string station = scratch_.path("st.db");
    fill_station(station, "st1", 5);
    const auto status = Publisher(tls_settings(broker_.ca_file(), "s3cret"), station).Flush(std::chrono::seconds(20));
    EXPECT_EQ(status.unsent, 0u) << status.error << broker_.log_text();
    EXPECT_EQ(status.sent, 7u);
}

TEST_F(TlsBroker, AWrongPasswordIsAClearErrorAndTheRecordsStay) {
    const std::string station = scratch_.path("st.db");
    fill_station(station, "st1", 5);
    const auto status = Publisher(tls_settings(broker_.ca_file(), "wrong"), station).Flush(std::chrono::seconds(20));
    EXPECT_TRUE(status.refused);
    EXPECT_NE(status.error.find("refused the connection"), std::string::npos) << status.error;
    EXPECT_NE(status.error.find("authori"), std::string::npos) << status.error;
    EXPECT_EQ(status.unsent, 7u);
    EXPECT_EQ(UnitDb::Open(station)->UnsentCount(), 7u);
}

TEST_F(TlsBroker, AWrongCertificateIsAClearErrorAndTheRecordsStay) {
    const std::string station = scratch_.path("st.db");
    fill_station(station, "st1", 5);
    const auto status =
        Publisher(tls_settings(broker_.other_ca_file(), "s3cret"), station).Flush(std::chrono::seconds(20));
    EXPECT_FALSE(status.connected);
    EXPECT_NE(status.error.find("certificate verify failed"), std::string::npos) << status.error;
    EXPECT_EQ(UnitDb::Open(station)->UnsentCount(), 7u);
    // And a plain connection to the TLS port gets nowhere either.
    MqttSettings plain = settings_for(broker_);
    plain.url.tls = false;
    const auto none = Publisher(plain, station).Flush(std::chrono::seconds(20));
    EXPECT_GT(none.unsent, 0u);
    EXPECT_FALSE(none.error.empty());
    EXPECT_EQ(UnitDb::Open(station)->UnsentCount(), 7u);
}

}  // namespace
}  // namespace kelvra::records::test
