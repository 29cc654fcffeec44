// gui_test SUITE [Qt Test options]: runs one suite; without a suite name, all of them.
#include "gui_test_support.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    std::vector<char *> args(argv, argv + argc);
    std::vector<std::string> names;
    if (args.size() > 1 && args[1][0] != '-') {
        names.push_back(args[1]);
        args.erase(args.begin() + 1);
    } else {
        for (const auto &[name, factory] : kelvra::gui::test::Suites()) names.push_back(name);
    }
    int failures = 0;
    for (const std::string &name : names) {
        const auto it = kelvra::gui::test::Suites().find(name);
        if (it == kelvra::gui::test::Suites().end()) {
            std::fprintf(stderr, "no suite named %s\n", name.c_str());
            return 2;
        }
        const std::unique_ptr<QObject> suite = it->second();
        failures += QTest::qExec(suite.get(), static_cast<int>(args.size()), args.data());
    }
    return failures == 0 ? 0 : 1;
}
