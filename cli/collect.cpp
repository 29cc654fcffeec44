// kvat collect: the plant's collector. Stores every record that stations publish under the
// prefix, once each, in one unit database; runs until SIGINT or SIGTERM.
#include "cli/records_options.h"
#include "cli/verb.h"
#include "host/platform/platform.h"
#include "host/records/collector.h"
#include "host/records/unit_db.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace kvat::cli {
namespace {

struct CollectOptions {
    std::string db;
    MqttOptions mqtt;
    std::string client_id = "kvat-collect";
    bool verbose = false;
};

volatile std::sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

int collect(const CollectOptions &o) {
    kelvra::records::MqttSettings settings;
    bool usage = false;
    if (const std::string error = MakeMqttSettings(o.mqtt, settings, usage); !error.empty()) {
        std::fprintf(stderr, "kvat collect: %s\n", error.c_str());
        return usage ? kExitUsage : kExitInput;
    }
    settings.client_id = o.client_id;
    const auto log = [](const std::string &line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    };
    std::unique_ptr<kelvra::records::Collector> collector;
    try {
        collector = std::make_unique<kelvra::records::Collector>(settings, o.db, log, o.verbose);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kvat collect: %s\n", e.what());
        return kExitInput;
    }
    kelvra::platform::OnInterrupt(on_stop);
    while (g_stop == 0) collector->Poll(std::chrono::milliseconds(100));
    const auto counts = collector->counts();
    collector.reset();
    std::fprintf(stderr, "kvat collect: stopped; %zu record(s) stored, %zu duplicate(s), %zu skipped\n", counts.stored,
                 counts.duplicates, counts.skipped);
    return kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<CollectOptions>();
    CLI::App *sub = app.add_subcommand("collect", "Store every station's records from the broker in one unit database");
    AddMqttOptions(*sub, o->mqtt, true);
    sub->add_option("--db", o->db, "The unit database to store them in")->required();
    sub->add_option("--client-id", o->client_id, "The collector's session at the broker (one per collector)")
        ->capture_default_str();
    sub->add_flag("--verbose", o->verbose, "A line per record stored");
    sub->footer("Runs until SIGINT or SIGTERM. Exit status: 0 stopped, 2 wrong arguments, 3 the database or a "
                "file cannot be used");
    sub->callback([o] { set_exit_code(collect(*o)); });
}

const bool registered = register_verb("collect", setup);

}  // namespace
}  // namespace kvat::cli
