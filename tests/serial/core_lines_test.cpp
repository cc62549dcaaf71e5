// Modem-line changes, line errors and driver hold states, which a pseudo-terminal cannot produce:
// a port on a real pseudo-terminal whose device layer reports chosen line levels, error bits and
// hold flags on top of what the device says.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "core_test_util.h"

namespace brimwell::test {
namespace {

using std::chrono::milliseconds;

class LineDrivenPort : public PassCountingPort {
  public:
    ~LineDrivenPort() override {
        // Stop the threads while this object's overrides still exist.
        shutdownForDestroy();
    }
    std::atomic<uint8_t> lines{serial::kModemCtsOn | serial::kModemDsrOn | serial::kModemDcdOn};
    std::atomic<uint32_t> errors{0};
    std::atomic<uint32_t> hold{0};
    std::vector<int> escapes() {
        std::lock_guard<std::mutex> g(escapeLock_);
        return escapes_;
    }

  protected:
    int32_t escapeComFunction(int function) override {
        {
            std::lock_guard<std::mutex> g(escapeLock_);
            escapes_.push_back(function);
        }
        return serial::TermiosDispatcher::escapeComFunction(function);
    }
    uint8_t modemLines() override { return lines.load(); }
    uint32_t readComError(serial::ComStatus& status) override {
        const uint32_t e = serial::TermiosDispatcher::readComError(status);
        status.holdFlags |= hold.load();
        return e | errors.exchange(0);
    }

  private:
    std::mutex escapeLock_;
    std::vector<int> escapes_;
};

class LinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        auto driven = std::make_unique<LineDrivenPort>();
        raw = driven.get();
        port = std::move(driven);
        ASSERT_EQ(port->initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                 serial::kOpenDtrOn | serial::kOpenRtsOn),
                  0);
    }
    // The dispatcher has acted on a change of the lines or errors (the change bits, the status triggers).
    void settle() const { ASSERT_TRUE(raw->settle()); }

    PtyPair pty;
    std::unique_ptr<serial::TermiosDispatcher> port;
    LineDrivenPort* raw = nullptr;
};

TEST_F(LinesTest, LineChangesSetChangeBitsUntilRead) {
    EXPECT_EQ(raw->getModemStatus(), serial::kModemCtsOn | serial::kModemDsrOn | serial::kModemDcdOn);
    raw->lines = serial::kModemDsrOn; // CTS and DCD drop
    settle();
    EXPECT_FALSE(raw->checkCts());
    EXPECT_TRUE(raw->checkDeltaDcd());
    EXPECT_FALSE(raw->checkDeltaCts()) << "CheckCTS cleared the CTS change bit";
    EXPECT_FALSE(raw->checkDeltaDcd());
    EXPECT_FALSE(raw->checkDeltaDsr());

    raw->lines = serial::kModemDsrOn | serial::kModemRingOn;
    settle();
    EXPECT_TRUE(raw->checkRi());
    EXPECT_FALSE(raw->checkDeltaRi()) << "the ring bit marks the end of a ring";
    raw->lines = serial::kModemDsrOn;
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
    raw->lines = serial::kModemCtsOn | serial::kModemDcdOn; // DSR is not in the mask
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    raw->lines = serial::kModemDcdOn;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(h));
    raw->lines = serial::kModemCtsOn | serial::kModemDcdOn;
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 1u) << "one-shot until re-armed";
    ASSERT_EQ(raw->setStatusTrigger(h, serial::kModemCtsOn, true), 0);
    raw->lines = serial::kModemDcdOn;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 2));
}

TEST(OpenLinesTest, OpeningSetsTheRequestedLevelsOfLinesNotLeftToTheDriver) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    {
        LineDrivenPort port;
        ASSERT_EQ(
            port.initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096, serial::kOpenDtrOn),
            0);
        const std::vector<int> opened = port.escapes();
        ASSERT_GE(opened.size(), 2u);
        EXPECT_EQ(opened[0], serial::kSetDtr);
        EXPECT_EQ(opened[1], serial::kClrRts);
    }
    LineDrivenPort automatic;
    ASSERT_EQ(automatic.initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                 serial::kOpenDtrAutomatic | serial::kOpenRtsAutomatic | serial::kOpenDtrOn |
                                     serial::kOpenRtsOn),
              0);
    EXPECT_TRUE(automatic.escapes().empty());
    EXPECT_EQ(automatic.setDtr(false), 1);
    EXPECT_TRUE(automatic.escapes().empty());
}

struct ErrorCase {
    uint32_t bits;
    uint16_t first, second;
};

class LineErrorTest : public LinesTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(LineErrorTest, HighestPriorityErrorFirstBreakStaysUntilChecked) {
    raw->errors = GetParam().bits;
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
    raw->errors = serial::kLineErrorFrame;
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
    raw->errors = serial::kLineErrorOverrun;
    settle();
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    raw->errors = serial::kLineErrorFrame;
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(h));
    EXPECT_EQ(raw->getLineError(), 2) << "the overrun seen earlier is still pending";
}

TEST_F(LinesTest, HardwareFlowReportsACtsHold) {
    ASSERT_EQ(raw->hwFlowOptions(3686, 409, serial::kHwFlowUseRts | serial::kHwFlowRequireCts), 0);
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    raw->hold = serial::kHoldCts;
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::CtsHold));
    raw->hold = serial::kHoldDsr; // DSR flow is off: not a reason to hold
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    ASSERT_EQ(raw->hwFlowOptions(3686, 409, serial::kHwFlowUseDtr | serial::kHwFlowRequireDsr), 0);
    EXPECT_EQ(raw->hwFlowState(), serial::flowStateResult(serial::FlowControlState::DsrHold));
}

struct SoftHoldCase {
    uint32_t hold;
    int32_t state;
};

class SoftFlowTest : public LinesTest, public ::testing::WithParamInterface<SoftHoldCase> {};

TEST_P(SoftFlowTest, StateFollowsTheXoffFlags) {
    ASSERT_EQ(raw->swFlowEnable(3072, 1024, serial::kSwFlowReceive | serial::kSwFlowTransmit), 0);
    raw->hold = GetParam().hold;
    EXPECT_EQ(raw->swFlowState(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Holds, SoftFlowTest,
    ::testing::Values(
        SoftHoldCase{0, serial::flowStateResult(serial::FlowControlState::On)},
        SoftHoldCase{serial::kHoldXoffSent, serial::flowStateResult(serial::FlowControlState::XInHold)},
        SoftHoldCase{serial::kHoldXoff, serial::flowStateResult(serial::FlowControlState::XOutHold)},
        SoftHoldCase{serial::kHoldXoffSent | serial::kHoldXoff,
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
