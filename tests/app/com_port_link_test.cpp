// The engine's serial link over a real port on a pseudo-terminal: waits given up after a second
// Stop or Ctrl+C (the one in progress too), and a transmit flush that keeps bytes already handed to
// the driver.
#include "script/serial_link.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"
#include "support/event_pump.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <chrono>
#include <thread>

using namespace brimwell;

namespace {

constexpr uint16_t kComNumber = 45;

struct LinkOnPty {
    test::PtyPair pty;
    serial::ComPort port;
    script::SerialLink link{port};

    LinkOnPty() {
        if (!pty.ok() || !pty.holdSlave()) return;
        pty.bindCom(kComNumber);
        port.setAutoOpen(false);
        port.setComNumber(kComNumber);
        port.setOpen(true);
    }
    ~LinkOnPty() { port.setOpen(false); }
};

TEST(ComPortLink, WaitsEndAtOnceOnceAbandoned) {
    serial::Clock::setScale(1.0);
    LinkOnPty r;
    ASSERT_TRUE(r.port.isOpen());
    ASSERT_TRUE(r.pty.write(">"));
    EXPECT_TRUE(r.link.waitForString(">", 18, false, false)) << "a prompt that came is found";
    EXPECT_EQ(r.link.lastError(), "");

    r.link.abandonWaits(true);
    ASSERT_TRUE(r.pty.write(">"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.link.waitForString(">", 365, false, false)) << "abandoned waits find nothing";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000))
        << "an abandoned wait does not run out its ticks";
    EXPECT_EQ(r.link.lastError(), "the operator stopped waiting");
}

TEST(ComPortLink, TheWaitInProgressEndsWhenAbandoned) {
    serial::Clock::setScale(1.0);
    LinkOnPty r;
    ASSERT_TRUE(r.port.isOpen());
    QTimer::singleShot(200, [&] { r.link.abandonWaits(true); }); // the second Stop, from the event loop
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.link.waitForString(">", 365, true, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000))
        << "a 20 s wait ends once the operator gave up";
    r.link.abandonWaits(false);
    ASSERT_TRUE(r.pty.write("#"));
    EXPECT_EQ(r.link.waitForMultiString(">|#", 18, true, false, '|'), 2) << "waits run again";
}

TEST(ComPortLink, AbandonedWaitNoLongerExplainsALaterPortFailure) {
    LinkOnPty r;
    ASSERT_TRUE(r.port.isOpen());
    r.link.abandonWaits(true);
    EXPECT_FALSE(r.link.waitForString(">", 1, false, false));
    r.port.setOpen(false);
    // A closed port refuses a block with the component's own reason.
    EXPECT_FALSE(r.link.putBlock(reinterpret_cast<const uint8_t*>("x"), 1));
    EXPECT_NE(r.link.lastError(), "the operator stopped waiting");
    EXPECT_FALSE(r.link.lastError().empty());
}

TEST(ComPortLink, FlushOfAnEmptyOutputBufferKeepsWhatTheDriverHolds) {
    LinkOnPty r;
    ASSERT_TRUE(r.port.isOpen());
    ASSERT_TRUE(r.link.putString("LOADR\r"));
    ASSERT_TRUE(brimwell::testing::waitUntil([&] { return r.link.getOutBuffUsed() == 0; }));
    // The far end has not read yet: the bytes wait in the pseudo-terminal's queue.
    EXPECT_TRUE(r.link.flushOutBuffer());
    EXPECT_EQ(r.pty.read(6, 2000), "LOADR\r");
}

} // namespace
