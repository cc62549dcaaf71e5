// Flashing over lines that behave like real ones: the simulator pacing every rate the settings
// accept, a UART-like paced line (driver queue, refused writes, unplugging) and lines that are lost
// in the middle of an upload, each of which must end the run within two seconds.
#include "support/line_run.h"

#include <gtest/gtest.h>

using namespace brimwell::testing;

namespace {

struct LineCase {
    std::string name;
    LineFlash flash;
    std::string expected; // empty: the run succeeds with a byte-identical image
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<LineCase> lineCases() {
    const std::string lost = " was lost.\n";
    std::vector<LineCase> cases = {
        // 4 KiB wait in the driver's queue (8.5 s at 4800 baud) when the prompt check flushes.
        {"QueueOf4KiBAt4800IsDelivered", {"", 4800, {}, 4400}, ""},
        {"RefusedTwiceThenTaken", {"refuse-at=3000&refusals=2", 38400, {}, 6000}, ""},
        {"RefusedForGood", {"refuse-at=3000", 38400, {}, 6000}, " failed: Device write error.\n"},
        // The loss rows run at real time: the exit must not wait for the engine's prompt attempts.
        // A line lost a second into the upload: a shorter run leaves a busy machine fewer chances
        // to stall the line for its whole drain limit before the loss.
        {"PacedLineClosed",
         {"", 115200, {"--disconnect-after", "12000"}, 40000, LineLoss::SimCloses, 1},
         lost},
        {"PacedLineUnplugged", {"unplug-at=12000", 115200, {}, 40000, LineLoss::Unplug, 1}, lost},
        {"PtyClosed",
         {std::nullopt, 38400, {"--disconnect-after", "50000"}, 300000, LineLoss::SimCloses, 1},
         lost},
        {"PtyHungUp", {std::nullopt, 115200, {"--baud", "115200"}, 300000, LineLoss::HangUp, 1}, lost},
    };
    // Each rate the settings accept, through the simulator's paced pty at real time: the host
    // cannot see into a pty's buffer, whose bytes may take longer than a fast clock's prompt
    // attempts. About 5 s on the line each; from 9600 baud up the image is larger than the pty's
    // buffer (10 to 14 KiB) and a block, so blocks wait behind a full buffer (at 9600, 21 s).
    // The rates of USB adapters run a shorter while: only that each is paced is asked of them.
    const std::pair<long, size_t> rates[] = {
        {1200, 600},    {2400, 1200},    {4800, 2400},    {9600, 20000},   {19200, 17000}, {38400, 20000},
        {57600, 28800}, {115200, 57600}, {230400, 57600}, {460800, 57600}, {921600, 57600}};
    for (const auto& [baud, size] : rates)
        cases.push_back({"SimulatorPacedAt" + std::to_string(baud),
                         {std::nullopt, baud, {"--baud", std::to_string(baud)}, size, LineLoss::None, 1},
                         ""});
    return cases;
}

class RealLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(RealLine, FlashesWholeOrEndsWithTheLinesFault) {
    const LineCase& c = GetParam();
    const LineFlashResult r = runLineFlash(c.flash);
    if (c.expected.empty()) {
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_TRUE(r.imageIdentical) << r.output;
        return;
    }
    EXPECT_EQ(r.exitCode, 1) << r.output;
    // The message, and the run's summary naming it as its failure.
    const size_t summary = r.output.find("Run failed: ");
    EXPECT_LT(r.output.find(c.expected), summary) << r.output;
    EXPECT_NE(r.output.find(c.expected, summary), std::string::npos) << r.output;
    EXPECT_FALSE(r.imageIdentical);
    if (c.flash.loss == LineLoss::None) return;
    ASSERT_TRUE(r.lossToExit.has_value()) << r.output;
    EXPECT_LT(r.lossToExit->count(), 2000) << r.output;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, RealLine, ::testing::ValuesIn(lineCases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
