// The channel over a real pseudo-terminal: the test holds the master side, the channel opens
// the slave side as it would a serial device.
#include "host/serial/serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

using kelvra::serial::CSerialPort;
using Bytes = std::vector<uint8_t>;

namespace {

class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        char name[128];
        ptsname_r(master, name, sizeof name);
        slave_path = name;
        // Keep a raw slave open so the line neither echoes nor hangs up before the channel opens.
        keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        tcgetattr(keep, &tio);
        cfmakeraw(&tio);
        tcsetattr(keep, TCSANOW, &tio);
    }
    ~Pty() {
        close_master();
        if (keep >= 0) ::close(keep);
    }
    void close_master() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // Hang up the line: the device goes away.
    void unplug() {
        if (keep >= 0) ::close(keep);
        keep = -1;
        close_master();
    }
    void send(const Bytes &b) const {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(master, b.data() + done, b.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }
    Bytes receive(size_t count) const {
        Bytes out(count);
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(master, out.data() + done, count - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        out.resize(done);
        return out;
    }

    int master = -1;
    int keep = -1;
    std::string slave_path;
};

// Collects what the channel reports, for the assertions.
struct Listener {
    explicit Listener(CSerialPort &p) : port(p) {
        port.DataReady.connect([this](std::string &reported) {
            std::lock_guard<std::mutex> lock(mutex);
            name = reported;
            port.ReadAll(bytes);
            cv.notify_all();
        });
        port.PortLost.connect([this](std::string &) {
            std::lock_guard<std::mutex> lock(mutex);
            ++lost;
            cv.notify_all();
        });
    }
    bool wait_for(const std::function<bool()> &done) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(5), done);
    }

    CSerialPort &port;
    std::mutex mutex;
    std::condition_variable cv;
    Bytes bytes;
    std::string name;
    int lost = 0;
};

}  // namespace

TEST(Channel, BytesBothWaysAndLargeBlocksInPieces) {
    Pty pty;
    CSerialPort port;
    port.Init("ttyKV0", 115200, kelvra::serial::Parity::None, 8, kelvra::serial::StopBits::One,
              kelvra::serial::FlowControl::None, 512, pty.slave_path);
    Listener listener(port);
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.DevicePortName(), "ttyKV0");

    const Bytes frame = {'K', 'V', 'A', 'T', 1, 2, 3};
    EXPECT_EQ(port.Write(frame.data(), frame.size()), 7);
    EXPECT_EQ(pty.receive(7), frame);

    // 200 KiB in random pieces arrive whole and in order.
    Bytes block(200 * 1024);
    std::mt19937 rng(5);
    for (auto &b : block) b = static_cast<uint8_t>(rng());
    std::thread sender([&] {
        size_t pos = 0;
        while (pos < block.size()) {
            const size_t n = std::min<size_t>(block.size() - pos, 1 + rng() % 700);
            pty.send(Bytes(block.begin() + static_cast<long>(pos), block.begin() + static_cast<long>(pos + n)));
            pos += n;
        }
    });
    EXPECT_TRUE(listener.wait_for([&] { return listener.bytes.size() >= block.size(); }));
    sender.join();
    {
        std::lock_guard<std::mutex> lock(listener.mutex);
        EXPECT_EQ(listener.bytes, block);
        EXPECT_EQ(listener.name, "ttyKV0");
    }
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    Bytes none;
    EXPECT_EQ(port.ReadAll(none), -1);
    EXPECT_EQ(port.Write(frame.data(), frame.size()), -1);
}

TEST(Channel, WriteOfALargeBlockHandlesPartialWrites) {
    Pty pty;
    CSerialPort port;
    port.Init("p", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    ASSERT_TRUE(port.Open());
    Bytes block(300 * 1024);  // far more than the line buffers hold at once
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
    Bytes received;
    std::thread reader([&] { received = pty.receive(block.size()); });
    EXPECT_EQ(port.Write(block.data(), block.size()), static_cast<int>(block.size()));
    reader.join();
    EXPECT_EQ(received, block);
}

TEST(Channel, AnyBaudRate) {
    Pty pty;
    CSerialPort port;
    port.Init("p", 2000000, {}, 8, {}, {}, 512, pty.slave_path);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.ActualBaudRate(), 2000000);
    EXPECT_TRUE(port.SetBaudRate(250000));
    EXPECT_EQ(port.ActualBaudRate(), 250000);
    EXPECT_TRUE(port.SetBaudRate(115200));
    EXPECT_EQ(port.ActualBaudRate(), 115200);
    EXPECT_EQ(port.BaudRate(), 115200);
}

TEST(Channel, PortLostOnceWhenTheDeviceGoesAway) {
    Pty pty;
    CSerialPort port;
    port.Init("p", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    Listener listener(port);
    ASSERT_TRUE(port.Open());
    pty.unplug();
    EXPECT_TRUE(listener.wait_for([&] { return listener.lost > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(listener.lost, 1);
    EXPECT_TRUE(port.IsOpen());  // the owner closes it
    const Bytes frame(16, 0x55);
    EXPECT_EQ(port.Write(frame.data(), frame.size()), -1);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST(Channel, CloseFromInsideANotification) {
    Pty pty;
    CSerialPort port;
    port.Init("p", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    std::atomic<int> calls{0};
    port.DataReady.connect([&](std::string &) {
        ++calls;
        port.Close();
    });
    ASSERT_TRUE(port.Open());
    pty.send({1, 2, 3});
    for (int i = 0; i < 500 && port.IsOpen(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(calls.load(), 1);
    // The port opens again afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(port.Open());
    port.Close();
}

TEST(Channel, BadDevicesAreRefused) {
    CSerialPort port;
    port.Init("missing", 115200, {}, 8, {}, {}, 512, "/dev/does-not-exist-kvat");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.IsOpen());

    port.Init("null", 115200, {}, 8, {}, {}, 512, "/dev/null");  // not a tty
    EXPECT_FALSE(port.Open());
    const std::string file = testing::TempDir() + "kvat-not-a-tty";
    std::ofstream(file) << "x";
    port.Init("file", 115200, {}, 8, {}, {}, 512, file);
    EXPECT_FALSE(port.Open());

    // A port held by another channel (even for root) is refused.
    Pty pty;
    CSerialPort first, second;
    first.Init("a", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    second.Init("b", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    ASSERT_TRUE(first.Open());
    EXPECT_FALSE(second.Open());
    first.Close();
    EXPECT_TRUE(second.Open());
}

TEST(Channel, UnplugDuringAWriteFailsInsteadOfHanging) {
    Pty pty;
    CSerialPort port;
    port.Init("p", 115200, {}, 8, {}, {}, 512, pty.slave_path);
    ASSERT_TRUE(port.Open());
    Bytes block(4 * 1024 * 1024, 0xAB);  // nobody reads: the write stalls until the unplug
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.unplug();
    });
    EXPECT_EQ(port.Write(block.data(), block.size()), -1);
    unplug.join();
}

TEST(Channel, DevicePortNameIsFolderSafe) {
    CSerialPort port;
    port.Init("../we ird/port", 115200);
    EXPECT_EQ(port.DevicePortName(), ".._we_ird_port");
    EXPECT_EQ(port.DevicePath(), "/dev/../we ird/port");
}
