// The status-light controller over a real port on a pseudo-terminal: monitoring on a closed port,
// RXD and TXD flashing on traffic, the replaced handler still called, and monitoring surviving a
// close and reopen.
#include "lights/status_light.h"
#include "lights/status_light_controller.h"
#include "serial/component/com_port.h"
#include "support/event_pump.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace brimwell;
using brimwell::test::PtyPair;
using brimwell::testing::pumpFor;
using brimwell::testing::pumpUntil;

namespace {

struct Rig {
    PtyPair pty{PtyPair::Slave::held};
    PtyPair other{PtyPair::Slave::held};
    serial::ComPort port;
    lights::StatusLight cts, dcd, rxd, txd;
    lights::StatusLightController controller{nullptr, &port};
    int availCalls = 0;
    uint16_t lastCount = 0;
    bool readInHandler = false;
    std::function<void()> inHandler; // runs inside the port's own handler, once

    Rig() {
        EXPECT_TRUE(pty.ok() && other.ok()) << "no pseudo-terminal";
        pty.bindCom(41);
        other.bindCom(42);
        port.setComNumber(41);
        port.setBaud(38400);
        port.setAutoOpen(false);
        port.setOnTriggerAvail([this](serial::ComPort* cp, uint16_t n) {
            ++availCalls;
            lastCount = n;
            if (readInHandler) {
                char buf[256];
                cp->getBlock(buf, n);
            }
            if (inHandler) std::exchange(inHandler, nullptr)();
        });
        lights::LightSet set;
        set.ctsLight = &cts;
        set.dcdLight = &dcd;
        set.rxdLight = &rxd;
        set.txdLight = &txd;
        controller.setLights(set);
        controller.loaded();
    }
    ~Rig() {
        controller.setMonitoring(false);
        port.setOpen(false);
    }
};

} // namespace

TEST(StatusLightController, MonitoringAskedWhileClosedStartsAtOpenAndShowsModemLines) {
    Rig r;
    r.controller.setMonitoring(true);
    EXPECT_FALSE(r.controller.monitoring());
    EXPECT_TRUE(r.controller.monitorOnOpen());
    EXPECT_FALSE(r.cts.lit());
    EXPECT_FALSE(r.dcd.lit());

    r.port.setOpen(true);
    EXPECT_TRUE(r.controller.monitoring());
    EXPECT_FALSE(r.controller.monitorOnOpen());
    // A pseudo-terminal reports its handshake lines as tied high.
    EXPECT_TRUE(r.cts.lit());
    EXPECT_TRUE(r.dcd.lit());
    EXPECT_FALSE(r.rxd.lit());
    EXPECT_EQ(r.controller.modemMask(), 0x90);
    EXPECT_NE(r.controller.modemTrigger(), 0);
    EXPECT_NE(r.controller.rxdOffTimer(), 0);
    EXPECT_NE(r.controller.txdTrigger(), 0);
    EXPECT_NE(r.controller.txdOffTimer(), 0);
}

TEST(StatusLightController, ReceivedBytesLightRxdUntilATickFindsTheInputEmpty) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);
    ASSERT_TRUE(r.controller.monitoring());

    // Nobody reads: the bytes stay waiting and RXD stays lit across several ticks.
    ASSERT_TRUE(r.pty.write("hello"));
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.lit(); }));
    EXPECT_GE(r.availCalls, 1) << "the replaced data-available handler still runs";
    EXPECT_EQ(r.lastCount, 5);
    pumpFor(300);
    EXPECT_TRUE(r.rxd.lit());
    EXPECT_EQ(r.rxd.litColor(), QColor(255, 0, 0));

    // Read them: the next tick finds the input empty and RXD goes out.
    r.readInHandler = true;
    ASSERT_TRUE(r.pty.write("!"));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.lit(); }));
    EXPECT_EQ(r.port.getInBuffUsed(), 0);
}

TEST(StatusLightController, AWriteLightsTxdUntilTheOutputHasGone) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);
    EXPECT_FALSE(r.txd.lit());
    r.port.putString("LOADR\r");
    ASSERT_TRUE(pumpUntil([&] { return r.txd.lit(); }));
    EXPECT_EQ(r.pty.readSome(1000, 6), "LOADR\r");
    ASSERT_TRUE(pumpUntil([&] { return !r.txd.lit(); }));
}

TEST(StatusLightController, MonitoringSurvivesAPortChangeAndAClose) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);

    // A new port number closes and reopens the port underneath the controller.
    r.port.setComNumber(42);
    ASSERT_TRUE(r.port.isOpen());
    EXPECT_TRUE(r.controller.monitoring());
    r.other.write("x");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.lit(); }));
    EXPECT_GE(r.availCalls, 1);

    // A plain close puts the port's own handler back; the next open monitors again.
    r.port.setOpen(false);
    EXPECT_FALSE(r.controller.monitoring());
    EXPECT_TRUE(r.controller.monitorOnOpen());
    EXPECT_FALSE(r.rxd.lit());
    r.port.setOpen(true);
    EXPECT_TRUE(r.controller.monitoring());
    r.readInHandler = true;
    const int before = r.availCalls;
    r.other.write("yz");
    ASSERT_TRUE(pumpUntil([&] { return r.availCalls > before; }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.lit(); }));
}

// A port change from inside a notification: the close waits for the notification to end and the
// port reads as open meanwhile. Monitoring asked for then starts on the port that opens after it.
TEST(StatusLightController, MonitoringAskedDuringADeferredCloseStartsOnTheReopenedPort) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);
    r.readInHandler = true;
    r.inHandler = [&] {
        r.port.setComNumber(42);
        r.controller.setMonitoring(true);
    };
    ASSERT_TRUE(r.pty.write("a"));
    ASSERT_TRUE(
        pumpUntil([&] { return r.port.comNumber() == 42 && r.port.portState() == serial::PortState::Open; }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.lit(); }));
    r.other.write("b");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.lit(); })) << "the RXD timer runs on the new port";
}

TEST(StatusLightController, ManyReopensKeepTheLightsWorking) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);
    r.readInHandler = true;
    for (int i = 0; i < 60; ++i) {
        r.port.setOpen(false);
        r.port.setOpen(true);
        ASSERT_TRUE(r.controller.monitoring()) << "reopen " << i;
    }
    ASSERT_TRUE(r.pty.write("z"));
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.lit(); }));
    r.port.putString("q");
    ASSERT_TRUE(pumpUntil([&] { return r.txd.lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.txd.lit(); }));
}

TEST(StatusLightController, SwitchingOnTwiceKeepsTheOriginalHandlerAndOffPutsItBack) {
    Rig r;
    r.port.setOpen(true);
    r.controller.setMonitoring(true);
    r.controller.setMonitoring(true);
    r.controller.setMonitoring(false);
    EXPECT_FALSE(r.controller.monitoring());
    EXPECT_FALSE(r.cts.lit()) << "lights go out when monitoring ends";

    // With monitoring off, the port's own handler gets the data and RXD stays dark.
    r.readInHandler = true;
    ASSERT_TRUE(r.pty.write("abc"));
    ASSERT_TRUE(pumpUntil([&] { return r.availCalls > 0; }));
    EXPECT_FALSE(r.rxd.lit());
}

TEST(StatusLightController, MonitoringWithoutAPortIsAnError) {
    lights::StatusLightController controller;
    try {
        controller.setMonitoring(true);
        FAIL() << "expected EPortNotAssigned";
    } catch (const serial::PortNotAssignedError& e) {
        EXPECT_EQ(e.errorCode(), -1005);
    }
}

TEST(StatusLightController, RemovedLightsAndPortAreForgotten) {
    Rig r;
    r.controller.notification(&r.rxd, lights::Operation::Remove);
    EXPECT_FALSE(r.controller.hasRxdLight());
    EXPECT_TRUE(r.controller.hasTxdLight());
    r.controller.notification(&r.port, lights::Operation::Remove);
    EXPECT_EQ(r.controller.comPort(), nullptr);
    r.controller.notification(&r.port, lights::Operation::Insert);
    EXPECT_EQ(r.controller.comPort(), &r.port);
}
