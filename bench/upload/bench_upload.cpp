// Upload throughput of the whole tool: a 1 MiB data file flashed with "brimwell run" into
// brimwell-unit-sim over a pseudo-terminal. The data phase runs from the first to the last data
// byte as the simulator receives them (its report gives both times); the protocol's fixed waits
// lie outside it. Prints:
//   BENCH upload_unpaced_ratio       plain pty write time / upload data-phase time (target >= 0.8)
//   BENCH upload_paced_115200_ratio  achieved bytes/s at 115200 baud / 11520 (target >= 0.97)
#include "tools/sim_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace brimwell::testing;

namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr int kBaselineRuns = 5;
constexpr double kLineBytesPerSecond = 11520.0; // 115200 baud, 10 bits a byte

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

int main() {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    TempDir dir;
    const auto data = patternBytes(kFileSize, 2024);
    const std::string dataFile = dir.file("image.bin");
    writeFile(dataFile, data);

    double plain = 1e9;
    for (int i = 0; i < kBaselineRuns; ++i)
        plain = std::min(plain, plainPtyWriteSeconds(data));
    std::printf("# plain pty write of %zu bytes: %.6f s (best of %d)\n", kFileSize, plain, kBaselineRuns);

    const Upload unpaced = flash(dir, dataFile, 0);
    if (!unpaced.ok) {
        std::fprintf(stderr, "bench_upload: unpaced upload failed: %s\n", unpaced.why.c_str());
        return 1;
    }
    std::printf("# unpaced upload data phase: %.6f s (%.0f bytes/s)\n", unpaced.seconds,
                kFileSize / unpaced.seconds);
    std::printf("BENCH upload_unpaced_ratio %.4f ratio\n", plain / unpaced.seconds);
    std::fflush(stdout);

    const Upload paced = flash(dir, dataFile, 115200);
    if (!paced.ok) {
        std::fprintf(stderr, "bench_upload: paced upload failed: %s\n", paced.why.c_str());
        return 1;
    }
    const double rate = kFileSize / paced.seconds;
    std::printf("# paced upload data phase at 115200 baud: %.3f s (%.1f bytes/s)\n", paced.seconds, rate);
    std::printf("BENCH upload_paced_115200_ratio %.4f ratio\n", rate / kLineBytesPerSecond);
    return 0;
}
