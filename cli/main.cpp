#include "cli/verb.h"
#include "host/platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

namespace kvat::cli {
namespace {

struct Registered {
    std::string name;
    VerbSetup setup;
};

std::vector<Registered> &registry() {
    static std::vector<Registered> verbs;
    return verbs;
}

int g_exit_code = kExitOk;

}  // namespace

bool register_verb(std::string name, VerbSetup setup) {
    registry().push_back({std::move(name), std::move(setup)});
    return true;
}

void set_exit_code(int code) { g_exit_code = code; }

}  // namespace kvat::cli

int main(int argc, char **argv) {
    using namespace kvat::cli;
    kelvra::platform::UseUtf8Console();
    CLI::App app{"kvat - scripts, ports, images and virtual writers for the Kelvra writer"};
    app.set_version_flag("--version", std::string("kvat ") + KVAT_TOOL_VERSION);
    app.require_subcommand(1);

    auto verbs = registry();
    std::sort(verbs.begin(), verbs.end(),
              [](const Registered &a, const Registered &b) { return a.name < b.name; });
    for (auto &verb : verbs) verb.setup(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kvat: %s\n", e.what());
        return kExitInternal;
    }
    return g_exit_code;
}
