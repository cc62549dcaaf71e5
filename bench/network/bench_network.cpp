// Upload throughput through a serial server: a 1 MiB file sent to brimwell-unit-sim pacing
// 115200 baud behind ser2net's RFC 2217 port, by the tool's serial stack (the RFC 2217 device
// layer chosen by the port name) in the tool's 2000-byte blocks, each followed by the wait for an
// empty output buffer and CTS. The time runs from sending the load command to receiving the unit's
// prompt after the last block, as the port sees them. Prints:
//   BENCH rfc2217_paced_115200_ratio  bytes / that time / 11520 (target >= 0.95)
#include "serial/device_layers.h"
#include "serial/thread_engine.h"
#include "support/ser2net_server.h"
#include "support/sim_process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr size_t kBlockBytes = 2000;
constexpr double kLineBytesPerSecond = 11520.0; // 115200 baud, 10 bits a byte
// The socket and the server buffer most of the file: the prompt comes about 91 s after the start.
constexpr auto kPromptLimit = std::chrono::seconds(300);
using Clock = std::chrono::steady_clock;

// Reads what the port received until `until` passed or the text holds `c` after `from`.
bool waitForChar(serial::Dispatcher& port, std::string& seen, size_t from, char c, Clock::time_point until) {
    char buf[4096];
    while (Clock::now() < until) {
        const uint32_t n = std::min<uint32_t>(port.inBuffUsed(), sizeof buf);
        if (n > 0 && port.getBlock(buf, n) >= 0) seen.append(buf, n);
        if (seen.find(c, from) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

} // namespace

int main() {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    TempDir dir;
    SimUnit sim;
    if (!sim.start(dir, {"--quiet", "--baud", "115200", "--start-in-loader"})) {
        std::fprintf(stderr, "bench_network: the simulator did not start\n");
        return 1;
    }
    test::Ser2netServer server;
    if (!server.start(sim.device, test::Ser2netServer::Mode::Rfc2217, dir.path(), "115200n81")) {
        std::fprintf(stderr, "bench_network: ser2net did not start\n");
        return 1;
    }
    auto port = std::make_unique<serial::ThreadEngine>(serial::makeDeviceLayer(server.url()));
    if (port->initPort(server.url(), 115200, serial::kParityNone, 8, 1, 8192, 8192,
                       serial::kOpenDtrOn | serial::kOpenRtsOn) != 0) {
        std::fprintf(stderr, "bench_network: cannot open %s\n", server.url().c_str());
        return 1;
    }
    const auto data = patternBytes(kFileSize, 2024);
    unsigned sum = 0;
    for (uint8_t b : data)
        sum += b;
    char command[128];
    std::snprintf(command, sizeof command, "LF 80000000 %zu %x 1.0\r", data.size(), sum % 65536u);

    std::string seen;
    const Clock::time_point start = Clock::now();
    port->putString(command);
    for (size_t at = 0; at < data.size(); at += kBlockBytes) {
        const auto n = static_cast<uint32_t>(std::min(kBlockBytes, data.size() - at));
        while (port->outBuffFree() < n)
            port->waitOutputEmpty(1000);
        port->putBlock(data.data() + at, n);
        port->waitOutputEmpty(10'000'000);
        while (!port->checkCts())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t afterData = seen.size();
    const bool prompt = waitForChar(*port, seen, afterData, '>', Clock::now() + kPromptLimit);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto stored = sim.process.waitForLine("RECEIVED ", std::chrono::seconds(5));
    port->donePort();
    if (!prompt || !stored || field(*stored, "size") != std::to_string(kFileSize) ||
        field(*stored, "checksum") != field(*stored, "announced")) {
        std::string said;
        for (const auto& l : sim.process.lines())
            said += l + "\n";
        std::fprintf(
            stderr, "bench_network: the upload did not complete after %.1f s (prompt %s); the unit said:\n%s",
            seconds, prompt ? "seen" : "not seen", said.c_str());
        return 1;
    }
    std::printf("# %zu bytes through ser2net (rfc2217) at 115200 baud: %.3f s (%.1f bytes/s)\n", kFileSize,
                seconds, kFileSize / seconds);
    std::printf("BENCH rfc2217_paced_115200_ratio %.4f ratio\n", kFileSize / seconds / kLineBytesPerSecond);
    return 0;
}
