#include "host/serial/port_discovery.h"

#include "fake_sysfs.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace kelvra::serial;

namespace {

std::filesystem::path tree_root(const std::string &name) {
    return std::filesystem::temp_directory_path() / ("kvat-sysfs-" + name + std::to_string(getpid()));
}

std::string describe(const PortRecord &r) {
    return r.port_name + "|" + r.device_path + "|" + r.friendly_name + "|" + r.hardware_id;
}

}  // namespace

TEST(Discovery, ListsEveryTtyWithADeviceInNaturalOrder) {
    kvat_test::FakeSysfs sysfs(tree_root("std"));
    sysfs.standard_tree();
    std::vector<std::string> got;
    for (const auto &r : EnumeratePorts(sysfs.root())) got.push_back(describe(r));
    const std::vector<std::string> expected = {
        "ttyACM0|/dev/ttyACM0|Kelvra Writer|USB\\VID_0D28&PID_0204\\0700000102",
        "ttyACM2|/dev/ttyACM2|ttyACM2|USB\\VID_0D28&PID_0204",
        "ttyACM10|/dev/ttyACM10|Kelvra Writer|USB\\VID_0D28&PID_0204\\0700000777",
        "ttyS0|/dev/ttyS0|serial8250|",
        "ttyUSB0|/dev/ttyUSB0|FT232R USB UART|USB\\VID_0403&PID_6001\\A9XYZ",
    };
    EXPECT_EQ(got, expected);
}

TEST(Discovery, FriendlyNameLosesAComPortSuffix) {
    kvat_test::FakeSysfs sysfs(tree_root("com"));
    sysfs.usb_device("usb1/1-5", "1a86", "7523", "", "USB-SERIAL CH340 (COM7)");
    sysfs.tty("ttyUSB3", "usb1/1-5/1-5:1.0/ttyUSB3", "usb1/1-5/1-5:1.0/ttyUSB3");
    const auto ports = EnumeratePorts(sysfs.root());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].friendly_name, "USB-SERIAL CH340 ");
    EXPECT_EQ(ports[0].hardware_id, "USB\\VID_1A86&PID_7523");
}

TEST(Discovery, CandidatesByIdDebugModeAndExplicitPorts) {
    kvat_test::FakeSysfs sysfs(tree_root("cand"));
    sysfs.standard_tree();
    auto ports = EnumeratePorts(sysfs.root());
    AddExplicitPorts(ports, {"/tmp/writers/ttyKV0", "/other/ttyKV0", "/tmp/we ird"});
    std::vector<std::string> normal, debug;
    for (const auto &p : ports) {
        if (IsCandidate(p, false)) normal.push_back(p.port_name);
        if (IsCandidate(p, true)) debug.push_back(p.port_name);
    }
    EXPECT_EQ(normal, (std::vector<std::string>{"ttyACM0", "ttyACM2", "ttyACM10", "ttyKV0",
                                                "ttyKV0_2", "we_ird"}));
    EXPECT_EQ(debug.size(), ports.size());
    EXPECT_EQ(ports.back().device_path, "/tmp/we ird");
    EXPECT_TRUE(ports.back().explicit_port);
}

TEST(Discovery, WriterIdRuleIsCaseSensitiveAnywhere) {
    struct Case {
        const char *id;
        bool writer;
    };
    for (const Case &c : {Case{"USB\\VID_0D28&PID_0204\\0001", true},
                          Case{"USB\\VID_0204&PID_0D28", true},
                          Case{"xx0D28yy0204", true},
                          Case{"USB\\VID_0d28&PID_0204", false},
                          Case{"USB\\VID_0D28&PID_0205", false},
                          Case{"", false},
                          // The serial number after the second backslash never counts.
                          Case{"USB\\VID_0403&PID_6001\\0D280204", false},
                          Case{"USB\\VID_1A86&PID_7523\\A0D28B0204C", false},
                          Case{"USB\\VID_0D28&PID_6001\\0204", false},
                          Case{"USB\\VID_0403&PID_0204\\X0D28", false},
                          Case{"USB\\VID_0D28&PID_0204\\0D280204", true},
                          Case{"USB\\VID_0D28&PID_0204\\", true},
                          Case{"USB\\VID_0D28&PID_0204&REV_0100", true},
                          Case{"USB\\\\0D280204", false}}) {
        EXPECT_EQ(IsWriterPort(c.id), c.writer) << c.id;
    }
}

// An adapter whose USB serial number holds both numbers is listed but is no candidate.
TEST(Discovery, AdapterWithTheNumbersInItsSerialIsNoCandidate) {
    kvat_test::FakeSysfs sysfs(tree_root("serial"));
    sysfs.usb_device("usb1/1-6", "0403", "6001", "0D28-0204", "FT232R USB UART");
    sysfs.tty("ttyUSB1", "usb1/1-6/1-6:1.0/ttyUSB1", "usb1/1-6/1-6:1.0/ttyUSB1");
    sysfs.usb_device("usb1/1-7", "0d28", "0204", "0D280204", "Kelvra Writer");
    sysfs.tty("ttyACM4", "usb1/1-7/1-7:1.0", "usb1/1-7/1-7:1.0");
    const auto ports = EnumeratePorts(sysfs.root());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].hardware_id, "USB\\VID_0D28&PID_0204\\0D280204");
    EXPECT_TRUE(IsCandidate(ports[0], false));
    EXPECT_EQ(ports[1].hardware_id, "USB\\VID_0403&PID_6001\\0D28-0204");
    EXPECT_FALSE(IsCandidate(ports[1], false));
    EXPECT_TRUE(IsCandidate(ports[1], true));
}

TEST(Discovery, MissingOrEmptyTreeListsNothing) {
    EXPECT_TRUE(EnumeratePorts(tree_root("missing")).empty());
    kvat_test::FakeSysfs sysfs(tree_root("empty"));
    EXPECT_TRUE(EnumeratePorts(sysfs.root()).empty());
}

TEST(Discovery, SafePortNames) {
    EXPECT_EQ(SafePortName("ttyACM0"), "ttyACM0");
    EXPECT_EQ(SafePortName("a/b c:d"), "a_b_c_d");
    EXPECT_EQ(SafePortName(".."), "port..");
    EXPECT_EQ(SafePortName(""), "port");
}

TEST(Discovery, TheRootIsSetInsideTheSerialLayer) {
    kvat_test::FakeSysfs sysfs(tree_root("root"));
    sysfs.standard_tree();
    SetDiscoveryRoot(sysfs.root());
    std::vector<std::string> got, expected;
    for (const auto &r : EnumeratePorts()) got.push_back(describe(r));
    for (const auto &r : EnumeratePorts(sysfs.root())) expected.push_back(describe(r));
    SetDiscoveryRoot("/sys");
    EXPECT_EQ(got.size(), 5u);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(DiscoveryRoot(), std::filesystem::path("/sys"));
}

TEST(Discovery, ANamedPortThatIsListedIsNotAddedTwice) {
    kvat_test::FakeSysfs sysfs(tree_root("twice"));
    sysfs.standard_tree();
    auto ports = EnumeratePorts(sysfs.root());
    const size_t listed = ports.size();
    // ttyS0 is no writer by its ID: named, it becomes a candidate, once.
    AddExplicitPorts(ports, {"/dev/ttyACM0", "/dev/../dev/ttyS0", "/tmp/writers/ttyKV0"});
    ASSERT_EQ(ports.size(), listed + 1);
    std::vector<std::string> candidates;
    for (const auto &p : ports) {
        if (IsCandidate(p, false)) candidates.push_back(p.port_name);
    }
    EXPECT_EQ(candidates, (std::vector<std::string>{"ttyACM0", "ttyACM2", "ttyACM10", "ttyS0", "ttyKV0"}));
}
