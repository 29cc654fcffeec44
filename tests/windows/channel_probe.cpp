// The serial channel on its own under Windows (run under wine by serial_wine_test.sh):
//   channel_probe rounds PORT N     N writer-information round trips; prints the times
//   channel_probe cycles PORT N     N opens and closes; each close ends the thread in 100 ms
//   channel_probe lost PORT         waits for the writer to go away; the loss comes once
//   channel_probe bad PORT          the open must fail at once (no such port, or held)
// Exit code 0 when every check held; each failure prints one line.
#include "core/kelvra_at_api.h"
#include "host/serial/serial_port.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using kelvra::serial::CSerialPort;
using Clock = std::chrono::steady_clock;

namespace {

CSerialPort g_port;
kelvra_at_object g_object{};
std::atomic<int> g_lost{0};

bool write_frame(uint8_t *frame, uint32_t, uint32_t) {
    const uint32_t length = at_get_le32(frame + 4);
    return g_port.Write(frame, length) == static_cast<int>(length);
}

void connect(const std::string &name) {
    g_port.Init(name);
    g_port.DataReady.connect([](std::string &) {
        std::vector<uint8_t> bytes;
        const int n = g_port.ReadAll(bytes);
        if (n > 0) kelvra_at_datain(&g_object, bytes.data(), static_cast<uint32_t>(n));
    });
    g_port.PortLost.connect([](std::string &) { g_lost.fetch_add(1); });
    kelvra_at_init(&g_object, false, write_frame, nullptr);
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int fail(const char *what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

int rounds(int n) {
    if (!g_port.Open()) return fail("open");
    if (std::getenv("KVAT_PROBE_TRACE")) std::printf("opened\n");
    std::vector<double> times;
    for (int i = 0; i < n; ++i) {
        const auto start = Clock::now();
        if (kelvra_at_get_writerinfo(&g_object, 1000) == nullptr) return fail("no answer");
        times.push_back(ms_since(start));
    }
    if (std::getenv("KVAT_PROBE_TRACE")) std::printf("closing\n");
    g_port.Close();
    std::sort(times.begin(), times.end());
    std::printf("%d round trips: median %.3f ms, 90th percentile %.3f ms, slowest %.3f ms\n", n,
                times[times.size() / 2], times[times.size() * 9 / 10], times.back());
    return g_lost.load() == 0 ? 0 : fail("a loss was reported");
}

int cycles(int n) {
    double slowest = 0;
    for (int i = 0; i < n; ++i) {
        if (!g_port.Open()) return fail("open");
        if (kelvra_at_get_writerinfo(&g_object, 1000) == nullptr) return fail("no answer");
        // Closing while the event thread waits for the next port event.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto start = Clock::now();
        g_port.Close();
        slowest = std::max(slowest, ms_since(start));
        if (g_port.IsOpen()) return fail("still open after Close");
    }
    std::printf("%d opens and closes, slowest close %.1f ms\n", n, slowest);
    if (slowest >= 100) return fail("a close took 100 ms or more");
    return g_lost.load() == 0 ? 0 : fail("a close was reported as a loss");
}

int lost() {
    if (!g_port.Open()) return fail("open");
    if (kelvra_at_get_writerinfo(&g_object, 1000) == nullptr) return fail("no answer");
    std::printf("ready\n");
    std::fflush(stdout);
    const auto start = Clock::now();
    while (g_lost.load() == 0 && ms_since(start) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (g_lost.load() == 0) return fail("the loss was not reported");
    std::printf("loss reported %.0f ms after ready\n", ms_since(start));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a second report would come now
    const int count = g_lost.load();
    g_port.Close();
    if (count != 1 || g_lost.load() != 1) return fail("the loss was reported more than once");
    if (g_port.Write(reinterpret_cast<const uint8_t *>("x"), 1) != -1) return fail("write after close");
    return 0;
}

int bad() {
    const auto start = Clock::now();
    const bool opened = g_port.Open();
    const double took = ms_since(start);
    std::printf("open %s in %.1f ms\n", opened ? "succeeded" : "failed", took);
    if (opened) return fail("the open succeeded");
    std::vector<uint8_t> bytes;
    if (g_port.ReadAll(bytes) != -1 || g_port.Write(reinterpret_cast<const uint8_t *>("x"), 1) != -1) {
        return fail("read or write on a port that is not open");
    }
    return took < 2000 ? 0 : fail("the open took 2 s or more");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: channel_probe rounds|cycles|lost|bad PORT [N]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line reaches the log, also when killed
    const std::string mode = argv[1];
    const int n = argc > 3 ? std::atoi(argv[3]) : 1;
    connect(argv[2]);
    if (mode == "rounds") return rounds(n);
    if (mode == "cycles") return cycles(n);
    if (mode == "lost") return lost();
    if (mode == "bad") return bad();
    return 2;
}
