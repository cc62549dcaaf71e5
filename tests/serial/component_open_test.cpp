// Opening, closing and reopening the port component: failures, triggers that survive, user
// notifications, the deferred close from inside a notification, and the loading rules.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QObject>
#include <string>
#include <vector>

#include "component_test_support.h"
#include "serial/component/port_message.h"
#include "serial/exception_report.h"
#include "serial/port_available.h"
#include "support/unprivileged.h"

namespace brimwell {
namespace {

using testing::PortOnPty;
using testing::pumpFor;
using testing::waitUntil;

TEST(ComPortOpen, OpenCloseReopenKeepsTriggers) {
    PortOnPty p(11);
    ASSERT_TRUE(p.pty.ok());
    TQuavComPort& port = p.port;
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);

    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_TRUE(port.Open());
    ASSERT_NE(port.CurrentDispatcher(), nullptr);

    const int32_t timer = port.AddTimerTrigger();
    const int32_t data = port.AddDataTrigger("READY", false);
    const int32_t status = port.AddStatusTrigger(stOutSent);
    EXPECT_GT(timer, 0);
    EXPECT_GT(data, 0);
    EXPECT_EQ(status & 7, stOutSent);
    port.SetAvailTriggerLength(3);

    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);

    port.SetOpen(true);
    ASSERT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(port.CurrentDispatcher()->AvailTriggerLength(), 3u);
    // The restored handles are live in the new dispatcher; an unknown one is refused.
    EXPECT_NO_THROW(port.SetStatusTrigger(status, 0, true));
    EXPECT_THROW(port.SetTimerTrigger(timer + 8 * 100, 1, true), EBadTriggerHandle);
    std::vector<uint16_t> fired;
    port.SetOnTriggerTimer([&](TQuavComPort* cp, uint16_t handle) {
        EXPECT_EQ(cp, &port);
        fired.push_back(handle);
    });
    port.SetTimerTrigger(timer, 2, true);
    EXPECT_TRUE(waitUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired.front(), uint16_t(timer));
    // The data trigger came back too: removing it works once, then it is gone.
    EXPECT_NO_THROW(port.RemoveTrigger(data));
    EXPECT_THROW(port.RemoveTrigger(data), EBadTriggerHandle);
}

TEST(ComPortOpen, OpenFailuresLeaveThePortClosed) {
    TQuavComPort port;
    port.SetAutoOpen(false);
    auto expectClosed = [&] {
        EXPECT_EQ(port.PortState(), psClosed);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    };

    ::setenv("BRIMWELL_COM12", "/dev/brimwell-missing", 1);
    port.SetComNumber(12);
    EXPECT_THROW(port.SetOpen(true), EBadId);
    expectClosed();
    ::unsetenv("BRIMWELL_COM12");

    port.SetComNumber(0);
    port.SetPromptForPort(false);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    expectClosed();

    // A prompt that is cancelled.
    port.SetPromptForPort(true);
    TQuavComPort::SetPromptForPortHook([](TQuavComPort*) { return 0u; });
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    expectClosed();

    // A prompt that chooses a port: ComNumber takes it and the port opens.
    testing::TestPty pty;
    pty.bindCom(13);
    TQuavComPort::SetPromptForPortHook([](TQuavComPort*) { return 13u; });
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(port.ComNumber(), 13);
    port.SetOpen(false);
    TQuavComPort::SetPromptForPortHook({});
    ::unsetenv("BRIMWELL_COM13");

    // Device layers other than the serial device are refused.
    port.SetComNumber(13);
    port.SetTapiMode(tmOn);
    EXPECT_THROW(port.SetOpen(true), ENullApi);
    expectClosed();
    port.SetTapiMode(tmAuto);
    port.SetActivationProcedure([](TQuavComPort*) { return std::unique_ptr<TQuavBaseDispatcher>(); });
    EXPECT_THROW(port.SetOpen(true), ENullApi);
    expectClosed();
}

TEST(ComPortOpen, PortHeldByAnotherComponentIsAvailableButCannotBeOpened) {
    PortOnPty first(14);
    first.port.SetOpen(true);
    ASSERT_EQ(first.port.PortState(), psOpen);
    EXPECT_TRUE(IsPortAvailable(14));

    TQuavComPort second;
    second.SetComNumber(14);
    try {
        second.SetOpen(true);
        ADD_FAILURE() << "second open succeeded";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ErrorCode(), secAlreadyOpen);
        EXPECT_STREQ(e.what(), "ie_Open - device already open");
    }
    EXPECT_EQ(second.PortState(), psClosed);

    // Once the first lets go, the second gets it.
    first.port.SetOpen(false);
    second.SetOpen(true);
    EXPECT_EQ(second.PortState(), psOpen);
}

TEST(ComPortOpen, PermissionDeniedNamesTheDevice) {
    testing::TestPty pty;
    ASSERT_TRUE(pty.ok());
    struct group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 20;
    ASSERT_EQ(::chown(pty.path().c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(pty.path().c_str(), 0660), 0);
    pty.bindCom(15);

    // An ordinary user outside the device's group.
    const brimwell::testing::ChildReport r = brimwell::testing::runAsNobody([](std::string& report) {
        try {
            TQuavComPort port;
            port.SetComNumber(15);
            port.SetOpen(true);
            report = "opened";
        } catch (const EPortAccessDenied& e) {
            report = std::string(e.what()) + "\n" + e.DevicePath() + "\n" + std::to_string(e.ErrorCode());
            return 0;
        } catch (const std::exception& e) {
            report = std::string("other: ") + e.what();
        }
        return 1;
    });
    const std::string& report = r.said;
    EXPECT_EQ(r.exitCode, 0) << report;
    EXPECT_NE(report.find("permission denied"), std::string::npos) << report;
    EXPECT_NE(report.find(pty.path()), std::string::npos) << report;
    EXPECT_NE(report.find("COM15"), std::string::npos) << report;
    if (dialout) {
        EXPECT_NE(report.find("'dialout'"), std::string::npos) << report;
    }
    EXPECT_NE(report.find("\n-2008"), std::string::npos) << report;
    // Still offered to the operator, who then gets the message above.
    EXPECT_TRUE(IsPortAvailable(15));
    ::unsetenv("BRIMWELL_COM15");
}

TEST(ComPortOpen, AutoOpen) {
    PortOnPty p(16);
    EXPECT_THROW(p.port.PutChar('x'), ECommNotOpen);
    EXPECT_THROW(p.port.GetChar(), ECommNotOpen);
    EXPECT_EQ(p.port.PortState(), psClosed);
    p.port.SetAutoOpen(true);
    p.port.PutChar('x');
    EXPECT_EQ(p.port.PortState(), psOpen);
    EXPECT_EQ(p.pty.receive(1), "x");
}

// A user window that records the port messages it is sent.
class RecordingWindow : public QObject {
  public:
    explicit RecordingWindow(std::vector<std::string>& log, std::string name)
        : log_(log), name_(std::move(name)) {}
    bool event(QEvent* e) override {
        if (e->type() != TQuavPortMessage::eventType()) return QObject::event(e);
        const auto* m = static_cast<TQuavPortMessage*>(e);
        log_.push_back(name_ + ":" + std::to_string(m->Msg - 0x7E00));
        return true;
    }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

TEST(ComPortOpen, UserNotificationsRunLastToFirst) {
    // Everything the callbacks touch outlives the port, whose destruction closes it.
    std::vector<std::string> log;
    RecordingWindow plainWindow(log, "win");
    RecordingWindow extWindow(log, "winEx");
    int keyA = 0, keyB = 0;
    PortOnPty p(17);
    p.port.RegisterUser(&plainWindow);
    p.port.RegisterUserCallback(
        &keyA, [&](TQuavComPort*, bool opening) { log.push_back(opening ? "A:open" : "A:closed"); });
    p.port.RegisterUserCallbackEx(&keyB, [&](TQuavComPort*, TQuavCallbackType t) {
        log.push_back(std::string("B:") + (t == ctOpen ? "open" : t == ctClosing ? "closing" : "closed"));
    });
    p.port.RegisterUserEx(&extWindow);
    p.port.SetOnPortOpen([&](TQuavComPort*) { log.push_back("OnPortOpen"); });
    p.port.SetOnPortClose([&](TQuavComPort*) { log.push_back("OnPortClose"); });

    p.port.SetOpen(true);
    p.port.SetOpen(false);
    const std::vector<std::string> expected = {
        "winEx:8",  "B:open",    "A:open",   "win:8", "OnPortOpen", // open
        "winEx:10", "B:closing",                                    // closing: extended entries only
        "winEx:9",  "B:closed",  "A:closed", "win:9", "OnPortClose"};
    EXPECT_EQ(log, expected);

    // Deregistration removes the matching entries only.
    log.clear();
    p.port.DeregisterUserCallbackEx(&keyB);
    p.port.DeregisterUser(&plainWindow);
    p.port.DeregisterUserCallback(&keyB); // not a plain callback key: nothing
    p.port.SetOpen(true);
    const std::vector<std::string> after = {"winEx:8", "A:open", "OnPortOpen"};
    EXPECT_EQ(log, after);
}

TEST(ComPortOpen, ClosingFromInsideANotificationIsDeferred) {
    std::vector<TPortState> statesInHandler;
    int closes = 0;
    std::string read;
    PortOnPty p(18);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    port.SetOnPortClose([&](TQuavComPort*) { ++closes; });
    port.SetOnTriggerAvail([&](TQuavComPort* cp, uint16_t count) {
        read.resize(count);
        cp->GetBlock(read.data(), count);
        cp->SetOpen(false);
        statesInHandler.push_back(cp->PortState());
        // While shutting down every operation is neutral.
        cp->PutChar('z');
        char buf[4];
        EXPECT_EQ(cp->GetBlock(buf, 4), 0);
        EXPECT_TRUE(cp->WaitForString("never", 100, true, false));
        EXPECT_FALSE(cp->CharReady());
        EXPECT_EQ(cp->AddTimerTrigger(), 0);
    });
    ASSERT_TRUE(p.pty.send("bye"));
    ASSERT_TRUE(waitUntil([&] { return port.PortState() == psClosed; }));
    EXPECT_EQ(read, "bye");
    ASSERT_EQ(statesInHandler.size(), 1u);
    EXPECT_EQ(statesInHandler[0], psShuttingDown);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.CurrentDispatcher(), nullptr);
    EXPECT_EQ(p.pty.receive(1, 200), ""); // the 'z' put while shutting down went nowhere

    // The port opens again normally afterwards.
    port.SetOnTriggerAvail({});
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
}

TEST(ComPortOpen, ReopenRequestedDuringADeferredCloseIsCarriedOut) {
    PortOnPty p(19);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    int opens = 0;
    port.SetOnPortOpen([&](TQuavComPort*) { ++opens; });
    port.SetOnTriggerAvail([&](TQuavComPort* cp, uint16_t) {
        cp->SetOnTriggerAvail({});
        cp->SetOpen(false);
        cp->SetOpen(true);
    });
    ASSERT_TRUE(p.pty.send("x"));
    ASSERT_TRUE(waitUntil([&] { return opens == 1; }));
    EXPECT_EQ(port.PortState(), psOpen);
    ASSERT_TRUE(p.pty.send("after"));
    EXPECT_TRUE(p.waitForInput(5));
    EXPECT_EQ(p.takeAll(), "after");
}

TEST(ComPortOpen, ChangingComNumberWhileOpenMovesThePort) {
    PortOnPty p(20);
    testing::TestPty other;
    other.bindCom(21);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    const int32_t timer = port.AddTimerTrigger();
    port.SetTracing(tlOn);
    port.SetComNumber(21);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(port.ComNumber(), 21);
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_NO_THROW(port.SetTimerTrigger(timer, 1, true));
    port.PutString("moved");
    EXPECT_EQ(other.receive(5), "moved");
    EXPECT_EQ(p.pty.receive(1, 100), "");
    port.SetTracing(tlOff); // the close would write the trace into the working directory
    ::unsetenv("BRIMWELL_COM21");
}

TEST(ComPortOpen, LoadingStoresAndOpensWhenLoaded) {
    testing::TestPty pty;
    pty.bindCom(22);
    TQuavComPort port;
    port.BeginLoading();
    // The main window's stored configuration, in its order.
    port.SetComNumber(22);
    port.SetBaud(38400);
    port.SetAutoOpen(false);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(2000);
    port.SetBufferResume(409);
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.BufferFull(), 2000);
    EXPECT_EQ(port.BufferResume(), 409);
    port.EndLoading();
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_TRUE(port.Open());

    // An open that fails after loading is reported, not thrown, and leaves Open False.
    std::vector<std::string> reported;
    SetExceptionReporter(
        [&](const std::string&, std::exception_ptr e) { reported.push_back(ExceptionText(e)); });
    TQuavComPort failing;
    failing.BeginLoading();
    ::setenv("BRIMWELL_COM23", "/dev/brimwell-missing", 1);
    failing.SetComNumber(23);
    failing.SetOpen(true);
    failing.EndLoading();
    EXPECT_FALSE(failing.Open());
    EXPECT_EQ(failing.PortState(), psClosed);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "ie_BadId - Specified comport doesn't exist");
    SetExceptionReporter({});
    ::unsetenv("BRIMWELL_COM23");
    ::unsetenv("BRIMWELL_COM22");
}

TEST(ComPortOpen, DestroyingAnOpenPortClosesIt) {
    testing::TestPty pty;
    pty.bindCom(24);
    {
        TQuavComPort port;
        port.SetComNumber(24);
        port.SetOpen(true);
        ASSERT_EQ(port.PortState(), psOpen);
    }
    // The device is free again.
    TQuavComPort again;
    again.SetComNumber(24);
    again.SetOpen(true);
    EXPECT_EQ(again.PortState(), psOpen);
    ::unsetenv("BRIMWELL_COM24");
}

} // namespace
} // namespace brimwell
