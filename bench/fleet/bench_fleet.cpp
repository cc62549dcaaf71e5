// Eight units at once: "brimwell run" with eight --port brings eight brimwell-unit-sim units pacing
// 115200 baud into loader mode and flashes a 1 MiB file (`_LP 0`) into each. Each unit's time is its data
// phase as the tool saw it (load command sent to the prompt after the last block), read from the run record.
// Prints:
//   BENCH fleet8_aggregate_ratio      all bytes / the longest data phase / (8 x 11520) (target >= 0.95)
//   BENCH fleet8_cpu_pct_per_unit     a unit process's CPU time over its run, mean of the eight
//                                     (percent of one core; target < 3)
// and then runs bench_network for rfc2217_paced_115200_ratio.
#include "support/sim_process.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace brimwell::testing;

namespace {

constexpr int kUnits = 8;
constexpr size_t kFileSize = 1 << 20;
constexpr double kLineBytesPerSecond = 11520.0; // 115200 baud, 10 bits a byte
constexpr auto kRunLimit = std::chrono::seconds(600);

int fail(const std::string& why) {
    std::fprintf(stderr, "bench_fleet: %s\n", why.c_str());
    return 1;
}

double secondsBetween(const QJsonObject& unit) {
    const auto at = [&](const char* key) {
        return QDateTime::fromString(unit[key].toString(), Qt::ISODateWithMs);
    };
    return at("started").msecsTo(at("ended")) / 1000.0;
}

} // namespace

int main() {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    TempDir dir;
    const auto data = patternBytes(kFileSize, 2025);
    writeFile(dir.file("image.bin"), data);
    writeText(dir.file("fleet.sld"),
              "_TC \"LOADR^M\"\n_LP 0\n_LF " + dir.file("image.bin") + "\n_LA 80000000\n_LV 1.0\n_LD\n");
    writeText(dir.file("empty.ini"), "");

    std::vector<SimUnit> sims(kUnits);
    std::vector<std::string> args{
        "run",      dir.file("fleet.sld"),  "--settings", dir.file("empty.ini"), "--baud", "115200",
        "--report", dir.file("report.json")};
    for (int i = 0; i < kUnits; ++i) {
        if (!sims[i].start(dir, {"--quiet", "--baud", "115200"}, "unit" + std::to_string(i)))
            return fail("simulator " + std::to_string(i) + " did not start");
        args.insert(args.end(), {"--port", sims[i].device});
    }
    ChildProcess run;
    if (!run.start(binDir() + "/brimwell", args, {"BRIMWELL_TIME_SCALE"}))
        return fail("cannot start brimwell");
    const int code = run.wait(kRunLimit);
    const std::vector<uint8_t> bytes = readFile(dir.file("report.json"));
    const QJsonArray units =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
            .object()["units"]
            .toArray();
    if (code != 0 || units.size() != kUnits) {
        std::string said;
        for (const auto& l : run.lines())
            said += l + "\n";
        return fail("the run ended with " + std::to_string(code) + ":\n" + said + run.stderrText());
    }

    double longest = 0, cpuPct = 0, maxCpuPct = 0;
    for (int i = 0; i < kUnits; ++i) {
        const QJsonObject unit = units[i].toObject();
        const auto got = sims[i].process.waitForLine("RECEIVED ", std::chrono::seconds(5));
        if (!got || field(*got, "checksum") != field(*got, "announced") ||
            field(*got, "size") != std::to_string(kFileSize))
            return fail("unit " + std::to_string(i) + " did not receive the whole image");
        const double phase = unit["files"][0]["data_phase_seconds"].toDouble();
        const double pct = 100.0 * unit["cpu_seconds"].toDouble() / secondsBetween(unit);
        std::printf("# unit %d: data phase %.3f s, %.2f%% CPU over %.1f s\n", i, phase, pct,
                    secondsBetween(unit));
        longest = std::max(longest, phase);
        cpuPct += pct / kUnits;
        maxCpuPct = std::max(maxCpuPct, pct);
    }
    std::printf("# %d x %zu bytes at 115200 baud: longest data phase %.3f s; busiest unit %.2f%% CPU\n",
                kUnits, kFileSize, longest, maxCpuPct);
    std::printf("BENCH fleet8_aggregate_ratio %.4f ratio\n",
                kUnits * static_cast<double>(kFileSize) / longest / (kUnits * kLineBytesPerSecond));
    std::printf("BENCH fleet8_cpu_pct_per_unit %.3f percent\n", cpuPct);
    std::fflush(stdout);

    // The figure through a serial server, measured by its own benchmark in the same run.
    const std::string network = std::string(BRIMWELL_BUILD_DIR_DEFAULT) + "/bench/bench_network";
    return std::system(network.c_str()) == 0 ? 0 : 1;
}
