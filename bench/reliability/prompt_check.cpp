// How fast "brimwell run" knows its verdict once the unit has given it, at real time (as shipped)
// against the unit simulator, each the median of three runs of a 20 KB image:
//   refusal_to_exit_s        a corrupted data byte (the unit refuses the checksum) -> exit, target 15 s
//   dropped_byte_to_exit_s   a dropped data byte (the image comes up short) -> exit, target 15 s
//   second_stop_to_exit_ms   the second Ctrl+C during the prompt check -> exit, target 500 ms
// and, at a time scale of 20, that a unit hung after the image still ends the run by the prompt
// check's eleven attempts (hung_unit_prompt_attempts).
#include "support/line_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace brimwell::testing;

namespace {

constexpr int kRuns = 3;
constexpr size_t kImageBytes = 20000;
const std::string kNoPrompt =
    "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.";

struct Figure {
    const char* name;
    const char* unit;
    double target; // in `unit`
    LineFlash flash;
    std::string expected; // in the output of every run
};

} // namespace

int main() {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    const std::string size = std::to_string(kImageBytes);
    // Real time and the default wait of 3.6 s after the upload, as an operator has them.
    auto realTime = [](std::vector<std::string> simArgs, LineLoss moment) {
        LineFlash f{std::nullopt, 38400, std::move(simArgs), kImageBytes, moment, 1};
        f.postUploadSeconds = 0;
        return f;
    };
    const Figure figures[] = {
        {"refusal_to_exit_s", "s", 15, realTime({"--corrupt-at", "12345"}, LineLoss::SimFault),
         kNoPrompt + " The unit's last answer: \"LOAD ERROR: checksum mismatch\""},
        {"dropped_byte_to_exit_s", "s", 15, realTime({"--drop-at", "12345"}, LineLoss::SimFault), kNoPrompt},
        {"second_stop_to_exit_ms", "ms", 500, realTime({"--hang-after", size}, LineLoss::SecondStop),
         "Stopping now: no more waiting for the unit's prompt."},
    };
    int status = 0;
    for (const Figure& f : figures) {
        std::vector<double> values;
        for (int i = 0; i < kRuns; ++i) {
            const LineFlashResult r = runLineFlash(f.flash);
            if (r.exitCode != 1 || !r.lossToExit || r.output.find(f.expected) == std::string::npos) {
                std::fprintf(stderr, "%s run %d: exit %d, not ended as expected\n%s", f.name, i + 1,
                             r.exitCode, r.output.c_str());
                break;
            }
            const double ms = static_cast<double>(r.lossToExit->count());
            values.push_back(std::string(f.unit) == "s" ? ms / 1000 : ms);
            std::fprintf(stderr, "%s run %d: %.2f %s\n", f.name, i + 1, values.back(), f.unit);
        }
        if (values.size() != kRuns) {
            status = 1;
            continue;
        }
        std::sort(values.begin(), values.end());
        std::fprintf(stderr, "%s: median of %d runs; target at most %.0f %s\n", f.name, kRuns, f.target,
                     f.unit);
        std::printf("BENCH %s %.2f %s\n", f.name, values[kRuns / 2], f.unit);
        std::fflush(stdout);
        if (values[kRuns / 2] > f.target) status = 1;
    }
    // A unit that took the image and then hangs answers nothing: every attempt runs.
    LineFlash hung{std::nullopt, 38400, {"--hang-after", size}, kImageBytes, LineLoss::None, 20};
    const LineFlashResult r = runLineFlash(hung);
    int attempts = 0;
    for (int n = 1; n <= 11; ++n)
        if (r.output.find("(attempt " + std::to_string(n) + " of 11)") != std::string::npos) attempts = n;
    std::fprintf(stderr, "hung unit: exit %d after %d prompt attempts\n", r.exitCode, attempts);
    std::printf("BENCH hung_unit_prompt_attempts %d attempts\n", attempts);
    if (r.exitCode != 1 || attempts != 11 || r.output.find(kNoPrompt) == std::string::npos) status = 1;
    return status;
}
