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

} // namespace
} // namespace brimwell::test
