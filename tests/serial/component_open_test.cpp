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

namespace brimwell::serial {
namespace {

using testing::PortOnPty;
using testing::pumpFor;
using testing::pumpUntil;

TEST(ComPortOpen, OpenCloseReopenKeepsTriggers) {
    PortOnPty p(11);
    ASSERT_TRUE(p.pty.ok());
    ComPort& port = p.port;
    EXPECT_EQ(port.portState(), PortState::Closed);
    EXPECT_EQ(port.currentDispatcher(), nullptr);

    port.setOpen(true);
    EXPECT_EQ(port.portState(), PortState::Open);
    EXPECT_TRUE(port.isOpen());
    ASSERT_NE(port.currentDispatcher(), nullptr);

    const int32_t timer = port.addTimerTrigger();
    const int32_t data = port.addDataTrigger("READY", false);
    const int32_t status = port.addStatusTrigger(kStatusOutSent);
    EXPECT_GT(timer, 0);
    EXPECT_GT(data, 0);
    EXPECT_EQ(status & 7, kStatusOutSent);
    port.setAvailTriggerLength(3);

    port.setOpen(false);
    EXPECT_EQ(port.portState(), PortState::Closed);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.currentDispatcher(), nullptr);

    port.setOpen(true);
    ASSERT_EQ(port.portState(), PortState::Open);
    EXPECT_EQ(port.currentDispatcher()->availTriggerLength(), 3u);
    // The restored handles are live in the new dispatcher; an unknown one is refused.
    EXPECT_NO_THROW(port.setStatusTrigger(status, 0, true));
    EXPECT_THROW(port.setTimerTrigger(timer + 8 * 100, 1, true), BadTriggerHandleError);
    std::vector<uint16_t> fired;
    port.setOnTriggerTimer([&](ComPort* cp, uint16_t handle) {
        EXPECT_EQ(cp, &port);
        fired.push_back(handle);
    });
    port.setTimerTrigger(timer, 2, true);
    EXPECT_TRUE(pumpUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired.front(), uint16_t(timer));
    // The data trigger came back too: removing it works once, then it is gone.
    EXPECT_NO_THROW(port.removeTrigger(data));
    EXPECT_THROW(port.removeTrigger(data), BadTriggerHandleError);
}

TEST(ComPortOpen, OpenFailuresLeaveThePortClosed) {
    ComPort port;
    port.setAutoOpen(false);
    auto expectClosed = [&] {
        EXPECT_EQ(port.portState(), PortState::Closed);
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(port.currentDispatcher(), nullptr);
    };

    ::setenv("BRIMWELL_COM12", "/dev/brimwell-missing", 1);
    port.setComNumber(12);
    EXPECT_THROW(port.setOpen(true), BadIdError);
    expectClosed();
    ::unsetenv("BRIMWELL_COM12");

    port.setComNumber(0);
    port.setPromptForPort(false);
    EXPECT_THROW(port.setOpen(true), NoPortSelectedError);
    expectClosed();

    // A prompt that is cancelled.
    port.setPromptForPort(true);
    ComPort::setPromptForPortHook([](ComPort*) { return 0u; });
    EXPECT_THROW(port.setOpen(true), NoPortSelectedError);
    expectClosed();

    // A prompt that chooses a port: comNumber takes it and the port opens.
    test::PtyPair pty{test::PtyPair::Slave::held};
    pty.bindCom(13);
    ComPort::setPromptForPortHook([](ComPort*) { return 13u; });
    port.setOpen(true);
    EXPECT_EQ(port.portState(), PortState::Open);
    EXPECT_EQ(port.comNumber(), 13);
    port.setOpen(false);
    ComPort::setPromptForPortHook({});
    ::unsetenv("BRIMWELL_COM13");

    // Device layers other than the serial device are refused.
    port.setComNumber(13);
    port.setTapiMode(TapiMode::On);
    EXPECT_THROW(port.setOpen(true), NullApiError);
    expectClosed();
    port.setTapiMode(TapiMode::Auto);
    port.setActivationProcedure([](ComPort*) { return std::unique_ptr<Dispatcher>(); });
    EXPECT_THROW(port.setOpen(true), NullApiError);
    expectClosed();
}

TEST(ComPortOpen, PortHeldByAnotherComponentIsAvailableButCannotBeOpened) {
    PortOnPty first(14);
    first.port.setOpen(true);
    ASSERT_EQ(first.port.portState(), PortState::Open);
    EXPECT_TRUE(isPortAvailable(14));

    ComPort second;
    second.setComNumber(14);
    try {
        second.setOpen(true);
        ADD_FAILURE() << "second open succeeded";
    } catch (const AlreadyOpenError& e) {
        EXPECT_EQ(e.errorCode(), result::kAlreadyOpen);
        EXPECT_STREQ(e.what(), "ie_Open - device already open");
    }
    EXPECT_EQ(second.portState(), PortState::Closed);

    // Once the first lets go, the second gets it.
    first.port.setOpen(false);
    second.setOpen(true);
    EXPECT_EQ(second.portState(), PortState::Open);
}

TEST(ComPortOpen, PermissionDeniedNamesTheDevice) {
    test::PtyPair pty{test::PtyPair::Slave::held};
    ASSERT_TRUE(pty.ok());
    struct group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 20;
    ASSERT_EQ(::chown(pty.slavePath().c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0660), 0);
    pty.bindCom(15);

    // An ordinary user outside the device's group.
    const brimwell::testing::ChildReport r = brimwell::testing::runAsNobody([](std::string& report) {
        try {
            ComPort port;
            port.setComNumber(15);
            port.setOpen(true);
            report = "opened";
        } catch (const PortAccessDeniedError& e) {
            report = std::string(e.what()) + "\n" + e.devicePath() + "\n" + std::to_string(e.errorCode());
            return 0;
        } catch (const std::exception& e) {
            report = std::string("other: ") + e.what();
        }
        return 1;
    });
    const std::string& report = r.said;
    EXPECT_EQ(r.exitCode, 0) << report;
    EXPECT_NE(report.find("permission denied"), std::string::npos) << report;
    EXPECT_NE(report.find(pty.slavePath()), std::string::npos) << report;
    EXPECT_NE(report.find("COM15"), std::string::npos) << report;
    if (dialout) {
        EXPECT_NE(report.find("'dialout'"), std::string::npos) << report;
    }
    EXPECT_NE(report.find("\n-2008"), std::string::npos) << report;
    // Still offered to the operator, who then gets the message above.
    EXPECT_TRUE(isPortAvailable(15));
    ::unsetenv("BRIMWELL_COM15");
}

TEST(ComPortOpen, AutoOpen) {
    PortOnPty p(16);
    EXPECT_THROW(p.port.putChar('x'), CommNotOpenError);
    EXPECT_THROW(p.port.getChar(), CommNotOpenError);
    EXPECT_EQ(p.port.portState(), PortState::Closed);
    p.port.setAutoOpen(true);
    p.port.putChar('x');
    EXPECT_EQ(p.port.portState(), PortState::Open);
    EXPECT_EQ(p.pty.read(1), "x");
}

// A user window that records the port messages it is sent.
class RecordingWindow : public QObject {
  public:
    explicit RecordingWindow(std::vector<std::string>& log, std::string name)
        : log_(log), name_(std::move(name)) {}
    bool event(QEvent* e) override {
        if (e->type() != PortMessage::eventType()) return QObject::event(e);
        const auto* m = static_cast<PortMessage*>(e);
        log_.push_back(name_ + ":" + std::to_string(m->msg - 0x7E00));
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
    p.port.registerUser(&plainWindow);
    p.port.registerUserCallback(
        &keyA, [&](ComPort*, bool opening) { log.push_back(opening ? "A:open" : "A:closed"); });
    p.port.registerUserCallbackEx(&keyB, [&](ComPort*, CallbackType t) {
        log.push_back(std::string("B:") + (t == CallbackType::Open      ? "open"
                                           : t == CallbackType::Closing ? "closing"
                                                                        : "closed"));
    });
    p.port.registerUserEx(&extWindow);
    p.port.setOnPortOpen([&](ComPort*) { log.push_back("OnPortOpen"); });
    p.port.setOnPortClose([&](ComPort*) { log.push_back("OnPortClose"); });

    p.port.setOpen(true);
    p.port.setOpen(false);
    const std::vector<std::string> expected = {
        "winEx:8",  "B:open",    "A:open",   "win:8", "OnPortOpen", // open
        "winEx:10", "B:closing",                                    // closing: extended entries only
        "winEx:9",  "B:closed",  "A:closed", "win:9", "OnPortClose"};
    EXPECT_EQ(log, expected);

    // Deregistration removes the matching entries only.
    log.clear();
    p.port.deregisterUserCallbackEx(&keyB);
    p.port.deregisterUser(&plainWindow);
    p.port.deregisterUserCallback(&keyB); // not a plain callback key: nothing
    p.port.setOpen(true);
    const std::vector<std::string> after = {"winEx:8", "A:open", "OnPortOpen"};
    EXPECT_EQ(log, after);
}

TEST(ComPortOpen, ClosingFromInsideANotificationIsDeferred) {
    std::vector<PortState> statesInHandler;
    int closes = 0;
    std::string read;
    PortOnPty p(18);
    ComPort& port = p.port;
    port.setOpen(true);
    port.setOnPortClose([&](ComPort*) { ++closes; });
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t count) {
        read.resize(count);
        cp->getBlock(read.data(), count);
        cp->setOpen(false);
        statesInHandler.push_back(cp->portState());
        // While shutting down every operation is neutral.
        cp->putChar('z');
        char buf[4];
        EXPECT_EQ(cp->getBlock(buf, 4), 0);
        EXPECT_TRUE(cp->waitForString("never", 100, true, false));
        EXPECT_FALSE(cp->charReady());
        EXPECT_EQ(cp->addTimerTrigger(), 0);
    });
    ASSERT_TRUE(p.pty.write("bye"));
    ASSERT_TRUE(pumpUntil([&] { return port.portState() == PortState::Closed; }));
    EXPECT_EQ(read, "bye");
    ASSERT_EQ(statesInHandler.size(), 1u);
    EXPECT_EQ(statesInHandler[0], PortState::ShuttingDown);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.currentDispatcher(), nullptr);
    EXPECT_EQ(p.pty.read(1, 200), ""); // the 'z' put while shutting down went nowhere

    // The port opens again normally afterwards.
    port.setOnTriggerAvail({});
    port.setOpen(true);
    EXPECT_EQ(port.portState(), PortState::Open);
}

TEST(ComPortOpen, ReopenRequestedDuringADeferredCloseIsCarriedOut) {
    PortOnPty p(19);
    ComPort& port = p.port;
    port.setOpen(true);
    int opens = 0;
    port.setOnPortOpen([&](ComPort*) { ++opens; });
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t) {
        cp->setOnTriggerAvail({});
        cp->setOpen(false);
        cp->setOpen(true);
    });
    ASSERT_TRUE(p.pty.write("x"));
    ASSERT_TRUE(pumpUntil([&] { return opens == 1; }));
    EXPECT_EQ(port.portState(), PortState::Open);
    ASSERT_TRUE(p.pty.write("after"));
    EXPECT_TRUE(p.waitForInput(5));
    EXPECT_EQ(p.takeAll(), "after");
}

TEST(ComPortOpen, ChangingComNumberWhileOpenMovesThePort) {
    PortOnPty p(20);
    test::PtyPair other{test::PtyPair::Slave::held};
    other.bindCom(21);
    ComPort& port = p.port;
    port.setOpen(true);
    const int32_t timer = port.addTimerTrigger();
    port.setTracing(TraceLogState::On);
    port.setComNumber(21);
    EXPECT_EQ(port.portState(), PortState::Open);
    EXPECT_EQ(port.comNumber(), 21);
    EXPECT_EQ(port.tracing(), TraceLogState::On);
    EXPECT_NO_THROW(port.setTimerTrigger(timer, 1, true));
    port.putString("moved");
    EXPECT_EQ(other.read(5), "moved");
    EXPECT_EQ(p.pty.read(1, 100), "");
    port.setTracing(TraceLogState::Off); // the close would write the trace into the working directory
    ::unsetenv("BRIMWELL_COM21");
}

TEST(ComPortOpen, LoadingStoresAndOpensWhenLoaded) {
    test::PtyPair pty{test::PtyPair::Slave::held};
    pty.bindCom(22);
    ComPort port;
    port.beginLoading();
    // The main window's stored configuration, in its order.
    port.setComNumber(22);
    port.setBaud(38400);
    port.setAutoOpen(false);
    port.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts});
    port.setBufferFull(2000);
    port.setBufferResume(409);
    port.setOpen(true);
    EXPECT_EQ(port.portState(), PortState::Closed);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.bufferFull(), 2000);
    EXPECT_EQ(port.bufferResume(), 409);
    port.endLoading();
    EXPECT_EQ(port.portState(), PortState::Open);
    EXPECT_TRUE(port.isOpen());

    // An open that fails after loading is reported, not thrown, and leaves Open False.
    std::vector<std::string> reported;
    setExceptionReporter(
        [&](const std::string&, std::exception_ptr e) { reported.push_back(exceptionText(e)); });
    ComPort failing;
    failing.beginLoading();
    ::setenv("BRIMWELL_COM23", "/dev/brimwell-missing", 1);
    failing.setComNumber(23);
    failing.setOpen(true);
    failing.endLoading();
    EXPECT_FALSE(failing.isOpen());
    EXPECT_EQ(failing.portState(), PortState::Closed);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "ie_BadId - Specified comport doesn't exist");
    setExceptionReporter({});
    ::unsetenv("BRIMWELL_COM23");
    ::unsetenv("BRIMWELL_COM22");
}

TEST(ComPortOpen, DestroyingAnOpenPortClosesIt) {
    test::PtyPair pty{test::PtyPair::Slave::held};
    pty.bindCom(24);
    {
        ComPort port;
        port.setComNumber(24);
        port.setOpen(true);
        ASSERT_EQ(port.portState(), PortState::Open);
    }
    // The device is free again.
    ComPort again;
    again.setComNumber(24);
    again.setOpen(true);
    EXPECT_EQ(again.portState(), PortState::Open);
    ::unsetenv("BRIMWELL_COM24");
}

} // namespace
} // namespace brimwell::serial
