// Upload throughput of the whole tool: a 1 MiB data file flashed with "brimwell run" into
// brimwell-unit-sim over a pseudo-terminal. The data phase runs from the first to the last data
// byte as the simulator receives them (its report gives both times); the protocol's fixed waits
// lie outside it. Prints:
//   BENCH upload_unpaced_ratio       plain write of the same 2000-byte blocks into the simulator /
//                                    upload data-phase time (target >= 0.8)
//   BENCH upload_unpaced_vs_single_write_ratio  one 1 MiB write into a bare pty / upload (reference)
//   BENCH upload_paced_115200_ratio  achieved bytes/s at 115200 baud / 11520 (target >= 0.97)
//   BENCH upload_paced_921600_data_ratio  the same at 921600 baud, a USB adapter's rate, / 92160
//                                    (target >= 0.99)
// "bench_upload --unpaced-only" leaves out the paced runs (about 100 s).
#include "support/sim_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace brimwell::testing;

namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr int kBaselineRuns = 5;
constexpr int kUploadRuns = 3;
constexpr size_t kBlockBytes = 2000; // the tool's upload block
constexpr int kBitsPerByte = 10;     // start, 8 data bits, stop

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// First-to-last byte time of a plain write of `data` into a raw pty, read on the other side.
double plainPtyWriteSeconds(const std::vector<uint8_t>& data) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    int64_t first = 0, last = 0;
    std::thread reader([&] {
        std::vector<uint8_t> buf(1 << 16);
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(master, buf.data(), buf.size());
            if (n <= 0) break;
            const int64_t t = nowNs();
            if (got == 0) first = t;
            got += static_cast<size_t>(n);
            last = t;
        }
    });
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::write(slave, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    reader.join();
    ::close(slave);
    ::close(master);
    return double(last - first) / 1e9;
}

// The same bytes written by a plain program straight into the simulator, in the tool's 2000-byte
// blocks, after the same load command: the data phase as the simulator's clock sees it, with its
// reading and checking included. This is what the tool's own work is measured against; the single
// large write above lets the kernel move the bytes in 64 KiB pieces that no block protocol can
// match, and is reported for reference only.
double plainBlocksIntoSimulatorSeconds(const TempDir& dir, const std::vector<uint8_t>& data) {
    SimUnit sim;
    if (!sim.start(dir, {"--quiet"}, "plain")) return -1;
    const int fd = ::open(sim.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    // The unit echoes commands; a reader keeps that side drained and finds the loader prompt.
    std::atomic<bool> prompt{false}, stop{false};
    std::thread echo([&] {
        char buf[256];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '>') prompt = true;
        }
    });
    auto put = [&](const uint8_t* bytes, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(fd, bytes + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
        }
        return true;
    };
    auto putText = [&](const std::string& text) {
        return put(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    double seconds = -1;
    unsigned sum = 0;
    for (uint8_t b : data)
        sum += b;
    char command[128];
    std::snprintf(command, sizeof command, "LF 80000000 %zu %x 1.0\r", data.size(), sum % 65536u);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool ok = putText("LOADR\r");
    while (ok && !prompt && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ok && prompt && putText(command)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (size_t at = 0; ok && at < data.size(); at += kBlockBytes)
            ok = put(data.data() + at, std::min(kBlockBytes, data.size() - at));
        const auto line = sim.process.waitForLine("RECEIVED ", std::chrono::seconds(10));
        if (ok && line && field(*line, "size") == std::to_string(data.size()))
            seconds =
                double(std::stoll(field(*line, "last_ns")) - std::stoll(field(*line, "first_ns"))) / 1e9;
    }
    stop = true;
    echo.join();
    ::close(fd);
    return seconds;
}

struct Upload {
    bool ok = false;
    double seconds = 0;
    std::string why;
};

Upload flash(const TempDir& dir, const std::string& dataFile, long baud) {
    Upload result;
    SimUnit sim;
    std::vector<std::string> simArgs{"--quiet"};
    if (baud > 0) simArgs.insert(simArgs.end(), {"--baud", std::to_string(baud)});
    if (!sim.start(dir, simArgs, "unit" + std::to_string(baud))) {
        result.why = "the simulator did not start";
        return result;
    }
    const std::string script = dir.file("bench.sld");
    writeText(script, "_TC \"LOADR^M\"\n_LP 1\n_LF " + dataFile + "\n_LA 80000000\n_LV 1.0\n_LD\n");
    writeText(dir.file("empty.ini"), "");
    std::vector<std::string> args{"run", script, "--port", sim.device, "--settings", dir.file("empty.ini")};
    if (baud > 0) args.insert(args.end(), {"--baud", std::to_string(baud)});
    ChildProcess run;
    // The shipped program runs at real time; so does the benchmark.
    if (!run.start(binDir() + "/brimwell", args, {"BRIMWELL_TIME_SCALE=1"})) {
        result.why = "brimwell did not start";
        return result;
    }
    const int code = run.wait(std::chrono::seconds(600));
    auto line = sim.process.waitForLine("RECEIVED ", std::chrono::seconds(5));
    if (code != 0 || !line) {
        result.why = "run exit " + std::to_string(code) + ": " + run.stderrText();
        // What did reach the unit, for the record: a failed load is reported after its data timeout.
        if (const auto failed = sim.process.waitForLine("LOAD-ERROR ", std::chrono::seconds(5))) {
            const double span =
                double(std::stoll(field(*failed, "last_ns")) - std::stoll(field(*failed, "first_ns"))) / 1e9;
            result.why += "the unit got " + field(*failed, "received") + " bytes";
            if (span > 0)
                result.why +=
                    " at " + std::to_string(std::stoll(field(*failed, "received")) / span) + " bytes/s";
        }
        return result;
    }
    if (field(*line, "size") != std::to_string(kFileSize)) {
        result.why = "simulator reported " + *line;
        return result;
    }
    result.seconds = double(std::stoll(field(*line, "last_ns")) - std::stoll(field(*line, "first_ns"))) / 1e9;
    result.ok = result.seconds > 0;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const bool unpacedOnly = argc > 1 && std::string(argv[1]) == "--unpaced-only";
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    TempDir dir;
    const auto data = patternBytes(kFileSize, 2024);
    const std::string dataFile = dir.file("image.bin");
    writeFile(dataFile, data);

    // Each side is taken as the best of a few runs, so that a moment of load from elsewhere on
    // the machine hits neither alone.
    double single = 1e9, plain = 1e9;
    for (int i = 0; i < kBaselineRuns; ++i) {
        single = std::min(single, plainPtyWriteSeconds(data));
        const double blocks = plainBlocksIntoSimulatorSeconds(dir, data);
        if (blocks > 0) plain = std::min(plain, blocks);
    }
    if (plain >= 1e9) {
        std::fprintf(stderr, "bench_upload: the plain block write into the simulator failed\n");
        return 1;
    }
    std::printf("# plain pty write of %zu bytes in one call: %.6f s (best of %d)\n", kFileSize, single,
                kBaselineRuns);
    std::printf("# plain write of %zu bytes in %zu-byte blocks into the simulator: %.6f s (best of %d)\n",
                kFileSize, kBlockBytes, plain, kBaselineRuns);

    Upload unpaced;
    for (int i = 0; i < kUploadRuns; ++i) {
        const Upload run = flash(dir, dataFile, 0);
        if (!run.ok) {
            std::fprintf(stderr, "bench_upload: unpaced upload failed: %s\n", run.why.c_str());
            return 1;
        }
        if (!unpaced.ok || run.seconds < unpaced.seconds) unpaced = run;
    }
    std::printf("# unpaced upload data phase: %.6f s (%.0f bytes/s, best of %d)\n", unpaced.seconds,
                kFileSize / unpaced.seconds, kUploadRuns);
    std::printf("BENCH upload_unpaced_ratio %.4f ratio\n", plain / unpaced.seconds);
    std::printf("BENCH upload_unpaced_vs_single_write_ratio %.4f ratio\n", single / unpaced.seconds);
    std::fflush(stdout);

    if (unpacedOnly) return 0;
    for (const auto& [baud, name] : {std::pair{115200L, "upload_paced_115200_ratio"},
                                     std::pair{921600L, "upload_paced_921600_data_ratio"}}) {
        const Upload paced = flash(dir, dataFile, baud);
        if (!paced.ok) {
            std::fprintf(stderr, "bench_upload: paced upload at %ld baud failed: %s\n", baud,
                         paced.why.c_str());
            return 1;
        }
        const double rate = kFileSize / paced.seconds;
        std::printf("# paced upload data phase at %ld baud: %.3f s (%.1f bytes/s)\n", baud, paced.seconds,
                    rate);
        std::printf("BENCH %s %.4f ratio\n", name, rate * kBitsPerByte / baud);
        std::fflush(stdout);
    }
    return 0;
}
