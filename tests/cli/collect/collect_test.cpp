// The factory as the tools make it: stations running kvat run --mqtt at once, a broker that
// goes away and comes back, kvat sync, and kvat collect storing every record exactly once.
#include "sim/pty_writer.h"
#include "tests/host/records/broker.h"
#include "verb_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kelvra::records::test::Broker;
using kvat::cli::test::read_file;

struct Result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

fs::path scratch_dir(const std::string &name) {
    static int counter = 0;
    const fs::path dir =
        fs::temp_directory_path() / ("kvat_collect_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

Result kvat(const std::string &arguments, const fs::path &dir, const std::string &env = "") {
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(counter++);
    const std::string out_file = (dir / ("stdout" + id)).string();
    const std::string err_file = (dir / ("stderr" + id)).string();
    const std::string command = "cd " KVAT_RUN_SCRIPTS " && " + env + " " KVAT_EXE " " + arguments + " >" + out_file +
                                " 2>" + err_file;
    const int status = std::system(command.c_str());
    Result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(out_file);
    r.err = read_file(err_file);
    return r;
}

std::map<std::string, nlohmann::json> records(const std::string &db, const fs::path &dir) {
    std::map<std::string, nlohmann::json> by_id;
    const Result r = kvat("history --json --db " + db, dir);
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const auto record = nlohmann::json::parse(line);
        by_id[record["record_id"]] = record;
    }
    return by_id;
}

// kvat collect in the background until stopped with SIGTERM.
class CollectProcess {
public:
    CollectProcess(const std::string &url, const std::string &db, const fs::path &dir) : log_(dir / "collect.log") {
        const std::string command = std::string("exec " KVAT_EXE " collect --client-id kvat-collect-e2e --mqtt ") + url +
                                    " --db " + db + " 2>" + log_.string();
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~CollectProcess() {
        if (pid_ > 0) Stop();
    }
    int Stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string log() const { return read_file(log_); }
    bool WaitFor(const std::string &text, int connections = 1) const {
        for (int i = 0; i < 600; ++i) {  // at most 30 s
            const std::string now = log();
            std::size_t found = 0, at = 0;
            while ((at = now.find(text, at)) != std::string::npos) {
                ++found;
                ++at;
            }
            if (static_cast<int>(found) >= connections) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    fs::path log_;
    pid_t pid_ = -1;
};

bool wait_until(const std::function<bool()> &done) {
    for (int i = 0; i < 600; ++i) {  // at most 30 s
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

TEST(KvatCollect, TwoStationsAndABrokerThatGoesAwayEveryRecordOnce) {
    Broker broker;
    const fs::path dir = scratch_dir("two");
    const std::string plant = (dir / "plant.db").string();
    CollectProcess collect(broker.url(), plant, dir);
    ASSERT_TRUE(collect.WaitFor("collect: connected")) << collect.log();

    // Two stations of three writers each; every port sleeps 3 s, and the broker is away for
    // part of that.
    std::vector<Result> runs(2);
    std::vector<std::thread> stations;
    for (int s = 0; s < 2; ++s) {
        stations.emplace_back([&, s] {
            const std::string name = "station-" + std::to_string(s);
            runs[s] = kvat("run pause.kvatscript --simulate 3 --station " + name + " --mqtt " + broker.url() +
                               " --out " + (dir / name).string(),
                           dir);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    broker.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    broker.Start();
    for (auto &t : stations) t.join();
    for (const Result &r : runs) EXPECT_EQ(r.exit_code, 0) << "the broker must not fail a run:\n" << r.err;

    // Whatever did not go during the runs goes with kvat sync.
    for (int s = 0; s < 2; ++s) {
        const std::string db = (dir / ("station-" + std::to_string(s)) / "log" / "units.db").string();
        const Result sync = kvat("sync --mqtt " + broker.url() + " --db " + db, dir);
        EXPECT_EQ(sync.exit_code, 0) << sync.err;
        EXPECT_NE(sync.err.find("none left"), std::string::npos) << sync.err;
    }
    std::map<std::string, nlohmann::json> expected;
    for (int s = 0; s < 2; ++s) {
        const auto station = records((dir / ("station-" + std::to_string(s)) / "log" / "units.db").string(), dir);
        EXPECT_EQ(station.size(), 3u);
        expected.insert(station.begin(), station.end());
    }
    ASSERT_TRUE(wait_until([&] { return records(plant, dir).size() >= expected.size(); })) << collect.log();
    EXPECT_EQ(collect.Stop(), 0);
    const auto collected = records(plant, dir);
    // Each unit once, member for member as its station keeps it.
    EXPECT_EQ(collected, expected);
    EXPECT_NE(collect.log().find("stopped; "), std::string::npos) << collect.log();
    // Both runs are there with their ends.
    const Result summary = kvat("history --summary --json --db " + plant, dir);
    EXPECT_NE(summary.out.find("\"units\":6"), std::string::npos) << summary.out;
}

TEST(KvatCollect, AWrongPasswordOrCertificateKeepsTheRecordsInTheOutbox) {
    Broker broker(true);
    const fs::path dir = scratch_dir("tls");
    std::ofstream(dir / "good") << "s3cret\n";
    std::ofstream(dir / "bad") << "guess\n";
    const std::string tls = " --mqtt " + broker.url() + " --mqtt-ca " + broker.ca_file();
    const std::string user = "KVAT_MQTT_USER=station";
    const std::string db = (dir / "st" / "log" / "units.db").string();

    const Result run = kvat("run read.kvatscript --simulate 2 --station st" + tls + " --mqtt-password-file " +
                                (dir / "bad").string() + " --out " + (dir / "st").string(),
                            dir, user);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("refused the connection"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("4 record(s) not sent yet"), std::string::npos) << run.err;

    const Result wrong_ca = kvat("sync --db " + db + " --mqtt " + broker.url() + " --mqtt-ca " + broker.other_ca_file() +
                                     " --mqtt-password-file " + (dir / "good").string(),
                                 dir, user);
    EXPECT_EQ(wrong_ca.exit_code, 1);
    EXPECT_NE(wrong_ca.err.find("certificate verify failed"), std::string::npos) << wrong_ca.err;
    EXPECT_NE(wrong_ca.err.find("4 stay in the outbox"), std::string::npos) << wrong_ca.err;

    const Result wrong_env = kvat("sync --db " + db + tls, dir, user + " KVAT_MQTT_PASSWORD=nope");
    EXPECT_EQ(wrong_env.exit_code, 1);
    EXPECT_NE(wrong_env.err.find("not authorised"), std::string::npos) << wrong_env.err;

    const Result good = kvat("sync --db " + db + tls + " --mqtt-password-file " + (dir / "good").string(), dir, user);
    EXPECT_EQ(good.exit_code, 0) << good.err;
    EXPECT_NE(good.err.find("4 record(s) sent, none left"), std::string::npos) << good.err;
    const Result again = kvat("sync --db " + db + tls, dir, user + " KVAT_MQTT_PASSWORD=s3cret");
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_NE(again.err.find("0 record(s) sent, none left"), std::string::npos) << again.err;
}

}  // namespace
