// Modem-line changes, line errors and driver hold states, which a pseudo-terminal cannot produce:
// a port on a real pseudo-terminal whose device reports chosen line levels, error bits and hold
// states on top of what the tty says.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "core_test_util.h"

namespace brimwell::test {
namespace {

using std::chrono::milliseconds;

class LineDrivenDevice : public PassCountingDevice {
  public:
    std::atomic<uint8_t> levels{serial::kModemCtsOn | serial::kModemDsrOn | serial::kModemDcdOn};
    std::atomic<uint32_t> errors{0};
    std::atomic<serial::LineHolds> hold{};
    // The output lines as they were set, in order ("DTR on", "RTS off", ...).
    std::vector<std::string> lineChanges() {
        std::lock_guard<std::mutex> g(changeLock_);
        return changes_;
    }

    bool setDtr(bool on) override {
        record(on ? "DTR on" : "DTR off");
        return serial::TermiosDevice::setDtr(on);
    }
    bool setRts(bool on) override {
        record(on ? "RTS on" : "RTS off");
        return serial::TermiosDevice::setRts(on);
    }
    serial::LineStatus lineStatus() override {
        serial::LineStatus status = serial::TermiosDevice::lineStatus();
        const serial::LineHolds held = hold.load();
        status.holds.cts |= held.cts;
        status.holds.dsr |= held.dsr;
        status.holds.xoff |= held.xoff;
        status.holds.xoffSent |= held.xoffSent;
        status.errors = serial::LineErrors::fromBits(status.errors.bits() | errors.exchange(0));
        return status;
    }

  protected:
    serial::ModemLines lines() override { return serial::ModemLines::fromLevels(levels.load()); }

  private:
    void record(const char* change) {
        std::lock_guard<std::mutex> g(changeLock_);
        changes_.push_back(change);
    }
    std::mutex changeLock_;
    std::vector<std::string> changes_;
};

// A port over a line-driven device, and that device.
struct LineDrivenPort {
    LineDrivenPort() : line(new LineDrivenDevice), port(std::unique_ptr<LineDrivenDevice>(line)) {}
    LineDrivenDevice* line;
    serial::ThreadEngine port;
};

class LinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        auto driven = std::make_unique<LineDrivenDevice>();
        line = driven.get();
        port = std::make_unique<serial::ThreadEngine>(std::move(driven));
        raw = port.get();
        ASSERT_EQ(port->initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                 serial::kOpenDtrOn | serial::kOpenRtsOn),
                  0);
    }
    // The dispatcher has acted on a change of the lines or errors (the change bits, the status triggers).
    void settle() const { ASSERT_TRUE(line->settle()); }

    PtyPair pty;
    std::unique_ptr<serial::ThreadEngine> port;
    serial::ThreadEngine* raw = nullptr;
    LineDrivenDevice* line = nullptr;
};

TEST_F(LinesTest, LineChangesSetChangeBitsUntilRead) {
    EXPECT_EQ(raw->getModemStatus(), serial::kModemCtsOn | serial::kModemDsrOn | serial::kModemDcdOn);
    line->levels = serial::kModemDsrOn; // CTS and DCD drop
    settle();
    EXPECT_FALSE(raw->checkCts());
    EXPECT_TRUE(raw->checkDeltaDcd());
    EXPECT_FALSE(raw->checkDeltaCts()) << "CheckCTS cleared the CTS change bit";
    EXPECT_FALSE(raw->checkDeltaDcd());
    EXPECT_FALSE(raw->checkDeltaDsr());

    line->levels = serial::kModemDsrOn | serial::kModemRingOn;
    settle();
    EXPECT_TRUE(raw->checkRi());
    EXPECT_FALSE(raw->checkDeltaRi()) << "the ring bit marks the end of a ring";
    line->levels = serial::kModemDsrOn;
    settle();
    EXPECT_EQ(raw->getModemStatus(), serial::kModemDsrOn | serial::kModemRingEnded);
    EXPECT_EQ(raw->getModemStatus(), serial::kModemDsrOn) << "GetModemStatus clears every change bit";
}

TEST_F(LinesTest, ModemStatusTriggerFiresOnAMaskedChangeOnce) {
    Consumer c;
    const StopPortOnExit stop{port};
    ASSERT_EQ(raw->registerEventTriggerHandler(&c), 0);
    const int32_t h = raw->addStatusTrigger(serial::kStatusModem);
    ASSERT_EQ(raw->setStatusTrigger(h, serial::kModemCtsOn, true), 0);
    line->levels = serial::kModemCtsOn | serial::kModemDcdOn; // DSR is not in the mask
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    line->levels = serial::kModemDcdOn;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(h));
    line->levels = serial::kModemCtsOn | serial::kModemDcdOn;
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 1u) << "one-shot until re-armed";
    ASSERT_EQ(raw->setStatusTrigger(h, serial::kModemCtsOn, true), 0);
    line->levels = serial::kModemDcdOn;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 2));
}

TEST(OpenLinesTest, OpeningSetsTheRequestedLevelsOfLinesNotLeftToTheDriver) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    {
        LineDrivenPort driven;
        ASSERT_EQ(driven.port.initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                       serial::kOpenDtrOn),
                  0);
        const std::vector<std::string> opened = driven.line->lineChanges();
        ASSERT_GE(opened.size(), 2u);
        EXPECT_EQ(opened[0], "DTR on");
        EXPECT_EQ(opened[1], "RTS off");
    }
    LineDrivenPort automatic;
    ASSERT_EQ(automatic.port.initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                      serial::kOpenDtrAutomatic | serial::kOpenRtsAutomatic |
                                          serial::kOpenDtrOn | serial::kOpenRtsOn),
              0);
    EXPECT_TRUE(automatic.line->lineChanges().empty());
    EXPECT_EQ(automatic.port.setDtr(false), 1);
    EXPECT_TRUE(automatic.line->lineChanges().empty());
}

struct ErrorCase {
    uint32_t bits;
    uint16_t first, second;
};

class LineErrorTest : public LinesTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(LineErrorTest, HighestPriorityErrorFirstBreakStaysUntilChecked) {
    line->errors = GetParam().bits;
    settle();
    EXPECT_EQ(raw->getLineError(), GetParam().first);
    EXPECT_EQ(raw->getLineError(), GetParam().second);
    const bool brk = GetParam().bits & serial::kLineErrorBreak;
    EXPECT_EQ(raw->checkLineBreak(), brk);
    EXPECT_FALSE(raw->checkLineBreak());
    EXPECT_EQ(raw->getLineError(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bits, LineErrorTest,
    ::testing::Values(ErrorCase{serial::kLineErrorRxOver, 1, 0}, ErrorCase{serial::kLineErrorOverrun, 2, 0},
                      ErrorCase{serial::kLineErrorParity, 3, 0}, ErrorCase{serial::kLineErrorFrame, 4, 0},
                      ErrorCase{serial::kLineErrorBreak, 9, 9},
                      ErrorCase{serial::kLineErrorParity | serial::kLineErrorOverrun, 2, 0},
                      ErrorCase{serial::kLineErrorFrame | serial::kLineErrorBreak, 4, 9}));

TEST_F(LinesTest, WritesDoNotHideLineErrors) {
    line->errors = serial::kLineErrorFrame;
    settle();
    ASSERT_EQ(raw->putString("x"), 0);
    EXPECT_EQ(raw->getLineError(), 4);
}

TEST_F(LinesTest, LineStatusTriggerFiresOnSelectedErrors) {
    Consumer c;
    const StopPortOnExit stop{port};
    ASSERT_EQ(raw->registerEventTriggerHandler(&c), 0);
    const int32_t h = raw->addStatusTrigger(serial::kStatusLine);
    ASSERT_EQ(raw->setStatusTrigger(h, 4 /* framing */, true), 0);
    line->errors = serial::kLineErrorOverrun;
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    line->errors = serial::kLineErrorFrame;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(h));
    EXPECT_EQ(raw->getLineError(), 2) << "the overrun seen earlier is still pending";
}

TEST_F(LinesTest, HardwareFlowReportsACtsHold) {
    ASSERT_EQ(raw->hwFlowOptions(3686, 409, serial::kHwFlowUseRts | serial::kHwFlowRequireCts), 0);
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    line->hold = serial::LineHolds{.cts = true};
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::CtsHold));
    line->hold = serial::LineHolds{.dsr = true}; // DSR flow is off: not a reason to hold
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    ASSERT_EQ(raw->hwFlowOptions(3686, 409, serial::kHwFlowUseDtr | serial::kHwFlowRequireDsr), 0);
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::DsrHold));
}

struct SoftHoldCase {
    serial::LineHolds hold;
    int32_t state;
};

class SoftFlowTest : public LinesTest, public ::testing::WithParamInterface<SoftHoldCase> {};

TEST_P(SoftFlowTest, StateFollowsTheXoffFlags) {
    ASSERT_EQ(raw->swFlowEnable(3072, 1024, serial::kSwFlowReceive | serial::kSwFlowTransmit), 0);
    line->hold = GetParam().hold;
    EXPECT_EQ(raw->swFlowState(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Holds, SoftFlowTest,
    ::testing::Values(
        SoftHoldCase{{}, serial::flowStateResult(serial::FlowControlState::On)},
        SoftHoldCase{{.xoffSent = true}, serial::flowStateResult(serial::FlowControlState::XInHold)},
        SoftHoldCase{{.xoff = true}, serial::flowStateResult(serial::FlowControlState::XOutHold)},
        SoftHoldCase{{.xoff = true, .xoffSent = true},
                     serial::flowStateResult(serial::FlowControlState::XBothHold)}));

// A line that goes away: the far end closes (a killed simulator) or the tty is hung up, as an
// unplugged USB adapter does. Either is a port error within a generous 1 s, the com thread ends, and every
// further byte operation fails at once.
struct LossCase {
    const char* name;
    void (*lose)(PtyPair& pty);
};

class DeviceLossTest : public ::testing::TestWithParam<LossCase> {};

TEST_P(DeviceLossTest, IsAPortErrorAndEveryFurtherOperationFailsAtOnce) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    std::atomic<int> told{0};
    std::atomic<int32_t> toldCode{0};
    p.port->setPortErrorHandler([&](int32_t code) {
        ++told;
        toldCode = code;
    });
    ASSERT_EQ(p.port->putString("before"), 0);
    ASSERT_EQ(p.pty.read(6, 3000), "before");
    GetParam().lose(p.pty);
    ASSERT_TRUE(waitUntil([&] { return p.port->portError() != 0; }, 1000));
    EXPECT_EQ(p.port->portError(), serial::result::kCommNotOpen);
    EXPECT_EQ(p.port->portFailure().kind, serial::PortErrorKind::Lost);
    EXPECT_TRUE(waitUntil([&] { return told.load() == 1; }, 1000));
    EXPECT_EQ(toldCode.load(), serial::result::kCommNotOpen);
    // The com thread is gone; the dispatcher and output threads only idle until the close.
    EXPECT_TRUE(waitUntil([&] { return p.port->runningThreads() == 2; }, 1000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.port->putString("after"), serial::result::kCommNotOpen);
    EXPECT_FALSE(p.port->waitOutputEmpty(5'000'000));
    EXPECT_EQ(p.port->flushOutBuffer(), serial::result::kCommNotOpen);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(told.load(), 1);
    p.port->donePort();
    EXPECT_EQ(p.port->runningThreads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DeviceLossTest,
    ::testing::Values(LossCase{"FarEndClosed", [](PtyPair& pty) { pty.closeMaster(); }},
                      LossCase{"HungUp", [](PtyPair& pty) { EXPECT_TRUE(hangUpTty(pty.slavePath())); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brimwell::test
