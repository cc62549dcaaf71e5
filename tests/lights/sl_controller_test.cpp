// The status-light controller over a real port on a pseudo-terminal: monitoring on a closed port,
// RXD and TXD flashing on traffic, the replaced handler still called, and monitoring surviving a
// close and reopen.
#include "lights/pty_pair.h"
#include "lights/sl_controller.h"
#include "lights/status_light.h"
#include "serial/component/com_port.h"
#include "support/event_pump.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

using namespace brimwell;
using brimwell::testing::PtyPair;
using brimwell::testing::pumpFor;
using brimwell::testing::pumpUntil;

namespace {

struct Rig {
    PtyPair pty;
    PtyPair other;
    serial::ComPort port;
    TQuavStatusLight cts, dcd, rxd, txd;
    TQuavSLController controller{nullptr, &port};
    int availCalls = 0;
    uint16_t lastCount = 0;
    bool readInHandler = false;
    std::function<void()> inHandler; // runs inside the port's own handler, once

    Rig() {
        pty.mapTo(41);
        other.mapTo(42);
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
        TLightSet set;
        set.CTSLight = &cts;
        set.DCDLight = &dcd;
        set.RXDLight = &rxd;
        set.TXDLight = &txd;
        controller.SetLights(set);
        controller.loaded();
    }
    ~Rig() {
        controller.SetMonitoring(false);
        port.setOpen(false);
    }
};

} // namespace

TEST(StatusLightController, MonitoringAskedWhileClosedStartsAtOpenAndShowsModemLines) {
    Rig r;
    r.controller.SetMonitoring(true);
    EXPECT_FALSE(r.controller.Monitoring());
    EXPECT_TRUE(r.controller.MonitorOnOpen());
    EXPECT_FALSE(r.cts.Lit());
    EXPECT_FALSE(r.dcd.Lit());

    r.port.setOpen(true);
    EXPECT_TRUE(r.controller.Monitoring());
    EXPECT_FALSE(r.controller.MonitorOnOpen());
    // A pseudo-terminal reports its handshake lines as tied high.
    EXPECT_TRUE(r.cts.Lit());
    EXPECT_TRUE(r.dcd.Lit());
    EXPECT_FALSE(r.rxd.Lit());
    EXPECT_EQ(r.controller.ModemMask(), 0x90);
    EXPECT_NE(r.controller.ModemTrigger(), 0);
    EXPECT_NE(r.controller.RXDOffTimer(), 0);
    EXPECT_NE(r.controller.TXDTrigger(), 0);
    EXPECT_NE(r.controller.TXDOffTimer(), 0);
}

TEST(StatusLightController, ReceivedBytesLightRxdUntilATickFindsTheInputEmpty) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);
    ASSERT_TRUE(r.controller.Monitoring());

    // Nobody reads: the bytes stay waiting and RXD stays lit across several ticks.
    r.pty.write("hello");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.Lit(); }));
    EXPECT_GE(r.availCalls, 1) << "the replaced data-available handler still runs";
    EXPECT_EQ(r.lastCount, 5);
    pumpFor(300);
    EXPECT_TRUE(r.rxd.Lit());
    EXPECT_EQ(r.rxd.LitColor(), QColor(255, 0, 0));

    // Read them: the next tick finds the input empty and RXD goes out.
    r.readInHandler = true;
    r.pty.write("!");
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.Lit(); }));
    EXPECT_EQ(r.port.getInBuffUsed(), 0);
}

TEST(StatusLightController, AWriteLightsTxdUntilTheOutputHasGone) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);
    EXPECT_FALSE(r.txd.Lit());
    r.port.putString("LOADR\r");
    ASSERT_TRUE(pumpUntil([&] { return r.txd.Lit(); }));
    EXPECT_EQ(r.pty.read(1000, 6), "LOADR\r");
    ASSERT_TRUE(pumpUntil([&] { return !r.txd.Lit(); }));
}

TEST(StatusLightController, MonitoringSurvivesAPortChangeAndAClose) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);

    // A new port number closes and reopens the port underneath the controller.
    r.port.setComNumber(42);
    ASSERT_TRUE(r.port.isOpen());
    EXPECT_TRUE(r.controller.Monitoring());
    r.other.write("x");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.Lit(); }));
    EXPECT_GE(r.availCalls, 1);

    // A plain close puts the port's own handler back; the next open monitors again.
    r.port.setOpen(false);
    EXPECT_FALSE(r.controller.Monitoring());
    EXPECT_TRUE(r.controller.MonitorOnOpen());
    EXPECT_FALSE(r.rxd.Lit());
    r.port.setOpen(true);
    EXPECT_TRUE(r.controller.Monitoring());
    r.readInHandler = true;
    const int before = r.availCalls;
    r.other.write("yz");
    ASSERT_TRUE(pumpUntil([&] { return r.availCalls > before; }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.Lit(); }));
}

// A port change from inside a notification: the close waits for the notification to end and the
// port reads as open meanwhile. Monitoring asked for then starts on the port that opens after it.
TEST(StatusLightController, MonitoringAskedDuringADeferredCloseStartsOnTheReopenedPort) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);
    r.readInHandler = true;
    r.inHandler = [&] {
        r.port.setComNumber(42);
        r.controller.SetMonitoring(true);
    };
    r.pty.write("a");
    ASSERT_TRUE(
        pumpUntil([&] { return r.port.comNumber() == 42 && r.port.portState() == serial::PortState::Open; }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.Lit(); }));
    r.other.write("b");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.Lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.Lit(); })) << "the RXD timer runs on the new port";
}

TEST(StatusLightController, ManyReopensKeepTheLightsWorking) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);
    r.readInHandler = true;
    for (int i = 0; i < 60; ++i) {
        r.port.setOpen(false);
        r.port.setOpen(true);
        ASSERT_TRUE(r.controller.Monitoring()) << "reopen " << i;
    }
    r.pty.write("z");
    ASSERT_TRUE(pumpUntil([&] { return r.rxd.Lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.rxd.Lit(); }));
    r.port.putString("q");
    ASSERT_TRUE(pumpUntil([&] { return r.txd.Lit(); }));
    ASSERT_TRUE(pumpUntil([&] { return !r.txd.Lit(); }));
}

TEST(StatusLightController, SwitchingOnTwiceKeepsTheOriginalHandlerAndOffPutsItBack) {
    Rig r;
    r.port.setOpen(true);
    r.controller.SetMonitoring(true);
    r.controller.SetMonitoring(true);
    r.controller.SetMonitoring(false);
    EXPECT_FALSE(r.controller.Monitoring());
    EXPECT_FALSE(r.cts.Lit()) << "lights go out when monitoring ends";

    // With monitoring off, the port's own handler gets the data and RXD stays dark.
    r.readInHandler = true;
    r.pty.write("abc");
    ASSERT_TRUE(pumpUntil([&] { return r.availCalls > 0; }));
    EXPECT_FALSE(r.rxd.Lit());
}

TEST(StatusLightController, MonitoringWithoutAPortIsAnError) {
    TQuavSLController controller;
    try {
        controller.SetMonitoring(true);
        FAIL() << "expected EPortNotAssigned";
    } catch (const serial::PortNotAssignedError& e) {
        EXPECT_EQ(e.errorCode(), -1005);
    }
}

TEST(StatusLightController, RemovedLightsAndPortAreForgotten) {
    Rig r;
    r.controller.Notification(&r.rxd, TOperation::opRemove);
    EXPECT_FALSE(r.controller.GetHaveRXDLight());
    EXPECT_TRUE(r.controller.GetHaveTXDLight());
    r.controller.Notification(&r.port, TOperation::opRemove);
    EXPECT_EQ(r.controller.comPort(), nullptr);
    r.controller.Notification(&r.port, TOperation::opInsert);
    EXPECT_EQ(r.controller.comPort(), &r.port);
}
