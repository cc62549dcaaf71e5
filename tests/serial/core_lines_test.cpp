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

class LineDrivenPort : public TQuavTermiosDispatcher {
  public:
    ~LineDrivenPort() override {
        // Stop the threads while this object's overrides still exist.
        ShutdownForDestroy();
    }
    std::atomic<uint8_t> lines{msCtsOn | msDsrOn | msDcdOn};
    std::atomic<uint32_t> errors{0};
    std::atomic<uint32_t> hold{0};
    std::vector<int> escapes() {
        std::lock_guard<std::mutex> g(escapeLock_);
        return escapes_;
    }

  protected:
    int32_t EscapeComFunction(int function) override {
        {
            std::lock_guard<std::mutex> g(escapeLock_);
            escapes_.push_back(function);
        }
        return TQuavTermiosDispatcher::EscapeComFunction(function);
    }
    uint8_t GetComModemStatus() override { return lines.load(); }
    uint32_t ReadComError(TComStat& status) override {
        const uint32_t e = TQuavTermiosDispatcher::ReadComError(status);
        status.HoldFlags |= hold.load();
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
        ASSERT_EQ(port->InitPort(pty.slavePath(), 38400, kParityNone, 8, 1, 4096, 4096, ofDtrOn | ofRtsOn),
                  0);
    }
    // The dispatcher's pass reads the lines at least every 50 ms.
    static void settle() { std::this_thread::sleep_for(milliseconds(150)); }

    PtyPair pty;
    std::unique_ptr<TQuavTermiosDispatcher> port;
    LineDrivenPort* raw = nullptr;
};

TEST_F(LinesTest, LineChangesSetChangeBitsUntilRead) {
    EXPECT_EQ(raw->GetModemStatus(), msCtsOn | msDsrOn | msDcdOn);
    raw->lines = msDsrOn; // CTS and DCD drop
    settle();
    EXPECT_FALSE(raw->CheckCTS());
    EXPECT_TRUE(raw->CheckDeltaDCD());
    EXPECT_FALSE(raw->CheckDeltaCTS()) << "CheckCTS cleared the CTS change bit";
    EXPECT_FALSE(raw->CheckDeltaDCD());
    EXPECT_FALSE(raw->CheckDeltaDSR());

    raw->lines = msDsrOn | msRingOn;
    settle();
    EXPECT_TRUE(raw->CheckRI());
    EXPECT_FALSE(raw->CheckDeltaRI()) << "the ring bit marks the end of a ring";
    raw->lines = msDsrOn;
    settle();
    EXPECT_EQ(raw->GetModemStatus(), msDsrOn | msRingEnded);
    EXPECT_EQ(raw->GetModemStatus(), msDsrOn) << "GetModemStatus clears every change bit";
}

TEST_F(LinesTest, ModemStatusTriggerFiresOnAMaskedChangeOnce) {
    Consumer c;
    const StopPortOnExit stop{port};
    ASSERT_EQ(raw->RegisterEventTriggerHandler(&c), 0);
    const int32_t h = raw->AddStatusTrigger(stModem);
    ASSERT_EQ(raw->SetStatusTrigger(h, msCtsOn, true), 0);
    raw->lines = msCtsOn | msDcdOn; // DSR is not in the mask
    settle();
    EXPECT_EQ(c.count(kTriggerStatus), 0u);
    raw->lines = msDcdOn;
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(h));
    raw->lines = msCtsOn | msDcdOn;
    settle();
    EXPECT_EQ(c.count(kTriggerStatus), 1u) << "one-shot until re-armed";
    ASSERT_EQ(raw->SetStatusTrigger(h, msCtsOn, true), 0);
    raw->lines = msDcdOn;
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 2));
}

TEST(OpenLinesTest, OpeningSetsTheRequestedLevelsOfLinesNotLeftToTheDriver) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    {
        LineDrivenPort port;
        ASSERT_EQ(port.InitPort(pty.slavePath(), 38400, kParityNone, 8, 1, 4096, 4096, ofDtrOn), 0);
        const std::vector<int> opened = port.escapes();
        ASSERT_GE(opened.size(), 2u);
        EXPECT_EQ(opened[0], kSetDtr);
        EXPECT_EQ(opened[1], kClrRts);
    }
    LineDrivenPort automatic;
    ASSERT_EQ(automatic.InitPort(pty.slavePath(), 38400, kParityNone, 8, 1, 4096, 4096,
                                 ofDtrAutomatic | ofRtsAutomatic | ofDtrOn | ofRtsOn),
              0);
    EXPECT_TRUE(automatic.escapes().empty());
    EXPECT_EQ(automatic.SetDtr(false), 1);
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
    EXPECT_EQ(raw->GetLineError(), GetParam().first);
    EXPECT_EQ(raw->GetLineError(), GetParam().second);
    const bool brk = GetParam().bits & ceBreak;
    EXPECT_EQ(raw->CheckLineBreak(), brk);
    EXPECT_FALSE(raw->CheckLineBreak());
    EXPECT_EQ(raw->GetLineError(), 0);
}

INSTANTIATE_TEST_SUITE_P(Bits, LineErrorTest,
                         ::testing::Values(ErrorCase{ceRxOver, 1, 0}, ErrorCase{ceOverrun, 2, 0},
                                           ErrorCase{ceRxParity, 3, 0}, ErrorCase{ceFrame, 4, 0},
                                           ErrorCase{ceBreak, 9, 9}, ErrorCase{ceRxParity | ceOverrun, 2, 0},
                                           ErrorCase{ceFrame | ceBreak, 4, 9}));

TEST_F(LinesTest, WritesDoNotHideLineErrors) {
    raw->errors = ceFrame;
    settle();
    ASSERT_EQ(raw->PutString("x"), 0);
    EXPECT_EQ(raw->GetLineError(), 4);
}

TEST_F(LinesTest, LineStatusTriggerFiresOnSelectedErrors) {
    Consumer c;
    const StopPortOnExit stop{port};
    ASSERT_EQ(raw->RegisterEventTriggerHandler(&c), 0);
    const int32_t h = raw->AddStatusTrigger(stLine);
    ASSERT_EQ(raw->SetStatusTrigger(h, 4 /* framing */, true), 0);
    raw->errors = ceOverrun;
    settle();
    EXPECT_EQ(c.count(kTriggerStatus), 0u);
    raw->errors = ceFrame;
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(h));
    EXPECT_EQ(raw->GetLineError(), 2) << "the overrun seen earlier is still pending";
}

TEST_F(LinesTest, HardwareFlowReportsACtsHold) {
    ASSERT_EQ(raw->HWFlowOptions(3686, 409, hfUseRts | hfRequireCts), 0);
    EXPECT_EQ(raw->HWFlowState(), fcOn + 1);
    raw->hold = csCtsHold;
    EXPECT_EQ(raw->HWFlowState(), fcCtsHold + 1);
    raw->hold = csDsrHold; // DSR flow is off: not a reason to hold
    EXPECT_EQ(raw->HWFlowState(), fcOn + 1);
    ASSERT_EQ(raw->HWFlowOptions(3686, 409, hfUseDtr | hfRequireDsr), 0);
    EXPECT_EQ(raw->HWFlowState(), fcDsrHold + 1);
}

struct SoftHoldCase {
    uint32_t hold;
    int32_t state;
};

class SoftFlowTest : public LinesTest, public ::testing::WithParamInterface<SoftHoldCase> {};

TEST_P(SoftFlowTest, StateFollowsTheXoffFlags) {
    ASSERT_EQ(raw->SWFlowEnable(3072, 1024, sfReceiveFlow | sfTransmitFlow), 0);
    raw->hold = GetParam().hold;
    EXPECT_EQ(raw->SWFlowState(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(Holds, SoftFlowTest,
                         ::testing::Values(SoftHoldCase{0, fcOn + 1}, SoftHoldCase{csXoffSent, fcXInHold + 1},
                                           SoftHoldCase{csXoffHold, fcXOutHold + 1},
                                           SoftHoldCase{csXoffSent | csXoffHold, fcXBothHold + 1}));

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
    p.port->SetPortErrorHandler([&](int32_t code) {
        ++told;
        toldCode = code;
    });
    ASSERT_EQ(p.port->PutString("before"), 0);
    ASSERT_EQ(p.pty.read(6, 3000), "before");
    GetParam().lose(p.pty);
    ASSERT_TRUE(waitFor([&] { return p.port->PortError() != 0; }, 1000));
    EXPECT_EQ(p.port->PortError(), secCommNotOpen);
    EXPECT_TRUE(waitFor([&] { return told.load() == 1; }, 1000));
    EXPECT_EQ(toldCode.load(), secCommNotOpen);
    // The com thread is gone; the dispatcher and output threads only idle until the close.
    EXPECT_TRUE(waitFor([&] { return p.port->RunningThreads() == 2; }, 1000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.port->PutString("after"), secCommNotOpen);
    EXPECT_FALSE(p.port->WaitOutputEmpty(5'000'000));
    EXPECT_EQ(p.port->FlushOutBuffer(), secCommNotOpen);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(told.load(), 1);
    p.port->DonePort();
    EXPECT_EQ(p.port->RunningThreads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DeviceLossTest,
    ::testing::Values(LossCase{"FarEndClosed", [](PtyPair& pty) { pty.closeMaster(); }},
                      LossCase{"HungUp", [](PtyPair& pty) { EXPECT_TRUE(hangUpTty(pty.slavePath())); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brimwell::test
