// device_loss_to_exit_ms: the line closes after 50 KB of a 300 KB upload (the unit simulator drops
// its pseudo-terminal); the median over five runs of the time from the close until "brimwell run"
// has exited with its failure. The program runs at real time, as shipped.
#include "support/line_run.h"
#include "support/sim_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace brimwell::testing;

namespace {
constexpr int kRuns = 5;
constexpr long kTargetMs = 1000;
} // namespace

int main() {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    std::vector<long> ms;
    for (int i = 0; i < kRuns; ++i) {
        const LineFlashResult r = runLineFlash(
            {std::nullopt, 38400, {"--disconnect-after", "51200"}, 300 * 1024, LineLoss::SimCloses, 1});
        if (r.exitCode != 1 || !r.lossToExit || r.output.find(") was lost.\n") == std::string::npos) {
            std::fprintf(stderr, "run %d: exit %d, not ended by the lost line\n%s", i + 1, r.exitCode,
                         r.output.c_str());
            return 1;
        }
        ms.push_back(static_cast<long>(r.lossToExit->count()));
        std::fprintf(stderr, "run %d: %ld ms\n", i + 1, ms.back());
    }
    std::sort(ms.begin(), ms.end());
    std::fprintf(stderr, "median of %d runs; target under %ld ms\n", kRuns, kTargetMs);
    std::printf("BENCH device_loss_to_exit_ms %ld ms\n", ms[kRuns / 2]);
    return 0;
}
