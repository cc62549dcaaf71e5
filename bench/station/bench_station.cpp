// "brimwell station" at work, at real time. Two parts (bench/station/run runs both):
//   bench_station plug      under umockdev-wrapper: USB adapters are plugged into the emulated
//                           machine one at a time (a udev "add" event each) while the station
//                           watches; each time from the event to the first byte the adapter's
//                           line carries (the unit's run sending its loader command).
//     BENCH station_plug_to_first_byte_ms   median of 9 (target < 500)
//   bench_station sixteen   16 simulated units pacing 115200 baud, their lines present as the
//                           station starts (--once), each flashed with 256 KiB (`_LP 0`).
//     BENCH station16_aggregate_ratio       all bytes / the longest data phase / (16 x 11520)
//                                           (target >= 0.95)
//     BENCH station16_cpu_pct_per_unit      CPU time of the station and its 16 unit processes over
//                                           the units' run time, percent of one core (target < 2)
//     BENCH station_rss_mb_per_unit         resident memory of the station and its unit processes
//                                           while all 16 flash, over 16 (target < 20)
#include "support/testbed.h" // before Qt's headers

#include "support/recorded_runs.h"
#include "support/station_run.h"

#include <QDateTime>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace brimwell::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPlugs = 9;
constexpr int kUnits = 16;
constexpr size_t kFileSize = 256 * 1024;
constexpr double kLineBytesPerSecond = 11520.0; // 115200 baud, 10 bits a byte

int fail(const std::string& why) {
    std::fprintf(stderr, "bench_station: %s\n", why.c_str());
    return 1;
}

std::string scriptFor(const TempDir& dir, size_t size) {
    writeFile(dir.file("image.bin"), patternBytes(size, 2026));
    writeText(dir.file("empty.ini"), "");
    writeText(dir.file("station.sld"),
              "_TC \"LOADR^M\"\n_LP 0\n_LF " + dir.file("image.bin") + "\n_LA 80000000\n_LV 1.0\n_LD\n");
    return dir.file("station.sld");
}

// The station at real time (no time scale), recording into the benchmark's own store.
bool startStation(StationRun& station, const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {scriptFor(dir, args.back() == "--once" ? kFileSize : 4096), "--settings",
                               dir.file("empty.ini"), "--records", "sqlite:" + dir.file("records.sqlite")});
    return station.start(dir, args, {"BRIMWELL_TIME_SCALE"});
}

int plugToFirstByte() {
    TempDir dir;
    Testbed bed;
    if (!bed.add(emulatedMachinePorts(1))) return fail("the emulated machine could not be made");
    StationRun station;
    if (!startStation(station, dir, {"--match", "usb:0403:6001"}) || !station.says("records go to"))
        return fail("the station did not start:\n" + station.output());
    std::vector<double> ms;
    for (int n = 0; n < kPlugs; ++n) {
        const auto plugged = Clock::now();
        bed.plug(n, "BW" + std::to_string(1000 + n));
        // Until the run opens the line, its far end reads as hung up: looked at every millisecond.
        const int line = bed.farEnd("/dev/ttyUSB" + std::to_string(n));
        for (pollfd p{line, POLLIN, 0}; !(p.revents & POLLIN);
             std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            if (::poll(&p, 1, 0) < 0 || Clock::now() - plugged > std::chrono::seconds(10))
                return fail("no byte on adapter " + std::to_string(n));
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - plugged).count());
        char first[8] = {};
        const bool read = ::read(line, first, 1) == 1;
        std::printf("# adapter %d: first byte (%s) %.1f ms after it appeared\n", n,
                    read && first[0] >= ' ' ? first : "?", ms.back());
        // The unit never answers; its run waits on, idle, until the station is stopped.
        bed.unplug(n);
    }
    station.process.signal(SIGTERM);
    station.process.wait(std::chrono::seconds(60));
    std::sort(ms.begin(), ms.end());
    std::printf("BENCH station_plug_to_first_byte_ms %.1f ms\n", ms[ms.size() / 2]);
    return 0;
}

// Kilobytes of one /proc/PID/status field.
long statusKb(int pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// The processes whose parent is `pid`.
std::vector<int> children(int pid) {
    std::vector<int> found;
    DIR* proc = ::opendir("/proc");
    for (dirent* e; proc && (e = ::readdir(proc));) {
        const int child = std::atoi(e->d_name);
        if (child > 0 && statusKb(child, "PPid:") == pid) found.push_back(child);
    }
    if (proc) ::closedir(proc);
    return found;
}

double cpuSecondsOfChildren() {
    rusage r{};
    ::getrusage(RUSAGE_CHILDREN, &r);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(r.ru_utime) + s(r.ru_stime);
}

int sixteenUnits() {
    TempDir dir;
    ::mkdir(dir.file("lines").c_str(), 0755);
    std::vector<SimUnit> sims(kUnits);
    for (int i = 0; i < kUnits; ++i)
        if (!sims[i].start(dir, {"--quiet", "--baud", "115200"}, "lines/unit" + std::to_string(i)))
            return fail("simulator " + std::to_string(i) + " did not start");
    const double cpuBefore = cpuSecondsOfChildren();
    StationRun station;
    if (!startStation(station, dir, {"--match", dir.file("lines/*"), "--once"}))
        return fail("the station did not start");
    // Memory once every unit is in its data phase.
    if (!station.says("flashing", kUnits)) return fail("not every unit was flashed:\n" + station.output());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long rssKb = statusKb(station.process.pid(), "VmRSS:");
    const std::vector<int> units = children(station.process.pid());
    for (const int unit : units)
        rssKb += statusKb(unit, "VmRSS:");
    const int code = station.process.wait(std::chrono::seconds(600));
    const double cpu = cpuSecondsOfChildren() - cpuBefore;
    const QJsonArray runs = RecordedUnits::records("sqlite:" + dir.file("records.sqlite"));
    if (code != 0 || runs.size() != kUnits)
        return fail("the station ended with " + std::to_string(code) + " and " + std::to_string(runs.size()) +
                    " runs:\n" + station.output());

    double longest = 0, runSeconds = 0;
    for (const QJsonValue& run : runs) {
        const auto at = [&](const char* key) {
            return QDateTime::fromString(run[key].toString(), Qt::ISODateWithMs);
        };
        longest = std::max(longest, run["files"][0]["data_phase_seconds"].toDouble());
        runSeconds += at("started").msecsTo(at("ended")) / 1000.0;
        if (run["files"][0]["bytes_sent"].toInteger() != static_cast<qint64>(kFileSize))
            return fail("a unit was not sent the whole image");
    }
    std::printf("# %d x %zu bytes at 115200 baud: longest data phase %.3f s; %.1f s of CPU (station and "
                "units) over %.1f s of unit runs; %zu unit processes sampled, %ld KiB resident in all\n",
                kUnits, kFileSize, longest, cpu, runSeconds, units.size(), rssKb);
    std::printf("BENCH station16_aggregate_ratio %.4f ratio\n",
                kUnits * static_cast<double>(kFileSize) / longest / (kUnits * kLineBytesPerSecond));
    std::printf("BENCH station16_cpu_pct_per_unit %.3f percent\n", 100.0 * cpu / runSeconds);
    std::printf("BENCH station_rss_mb_per_unit %.2f MiB\n", rssKb / 1024.0 / kUnits);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    const std::string part = argc > 1 ? argv[1] : "";
    if (part == "plug") return plugToFirstByte();
    if (part == "sixteen") return sixteenUnits();
    return fail("usage: bench_station plug|sixteen (plug under umockdev-wrapper)");
}
