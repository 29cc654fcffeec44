// kvat sync: sends what a unit database still holds unsent to the broker, and waits (bounded)
// for the broker to acknowledge it.
#include "cli/records_options.h"
#include "cli/verb.h"
#include "host/records/publisher.h"
#include "host/records/unit_db.h"

#include <cstdio>
#include <memory>
#include <string>

namespace kvat::cli {
namespace {

struct SyncOptions {
    std::string db;
    MqttOptions mqtt;
    unsigned timeout_s = 30;
};

int sync(const SyncOptions &o) {
    kelvra::records::MqttSettings settings;
    bool usage = false;
    if (const std::string error = MakeMqttSettings(o.mqtt, settings, usage); !error.empty()) {
        std::fprintf(stderr, "kvat sync: %s\n", error.c_str());
        return usage ? kExitUsage : kExitInput;
    }
    const std::string path = o.db.empty() ? DefaultUnitDb(".") : o.db;
    std::unique_ptr<kelvra::records::Publisher> publisher;
    try {
        // Read-only first: a missing or foreign file is an error, never created here.
        kelvra::records::UnitDb::Open(path, true);
        publisher = std::make_unique<kelvra::records::Publisher>(settings, path);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kvat sync: %s\n", e.what());
        return kExitInput;
    }
    const auto before = publisher->status().unsent;
    const auto status = publisher->Flush(std::chrono::seconds(o.timeout_s));
    publisher.reset();
    if (status.unsent == 0) {
        std::fprintf(stderr, "kvat sync: %zu record(s) sent, none left\n", status.sent);
        return kExitOk;
    }
    std::fprintf(stderr, "kvat sync: %s\n",
                 status.error.empty() ? "the broker did not acknowledge in time" : status.error.c_str());
    std::fprintf(stderr, "kvat sync: %zu of %zu record(s) sent; %zu stay in the outbox\n", status.sent, before,
                 status.unsent);
    return kExitFailed;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<SyncOptions>();
    CLI::App *sub = app.add_subcommand("sync", "Send the records a unit database has not sent yet to the broker");
    sub->add_option("--db", o->db, "Unit database (default: log/units.db)");
    AddMqttOptions(*sub, o->mqtt, true);
    sub->add_option("--timeout", o->timeout_s, "Seconds to wait for the broker at most")->capture_default_str()
        ->check(CLI::Range(1, 3600));
    sub->footer("Exit status: 0 every record sent, 1 some stay unsent (broker unreachable, refused or slow),\n"
                "2 wrong arguments, 3 the database or a file cannot be used");
    sub->callback([o] { set_exit_code(sync(*o)); });
}

const bool registered = register_verb("sync", setup);

}  // namespace
}  // namespace kvat::cli
