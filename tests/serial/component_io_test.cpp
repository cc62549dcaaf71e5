// Byte operations of the port component over a real pseudo-terminal: puts, gets and peeks with
// their -3006/-3007 failures, flushes, neutral values of a closed port, and avail notifications.
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "component_test_support.h"

namespace brimwell {
namespace {

using testing::PortOnPty;
using testing::pumpFor;
using testing::waitUntil;

TEST(ComPortIo, PutsReachThePeer) {
    PortOnPty p(31);
    p.port.SetOpen(true);
    p.port.PutChar('A');
    p.port.PutString("BCD");
    const char block[] = {'E', '\0', 'F'};
    EXPECT_EQ(p.port.PutBlock(block, 3), 0);
    EXPECT_EQ(p.pty.receive(7), std::string("ABCDE\0F", 7));
    p.port.PutString(""); // nothing, no failure
    EXPECT_EQ(p.pty.receive(1, 100), "");
}

TEST(ComPortIo, GetAndPeekTakeExactlyWhatWaits) {
    PortOnPty p(32);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    ASSERT_TRUE(p.pty.send("0123456789"));
    ASSERT_TRUE(p.waitForInput(10));
    EXPECT_TRUE(port.CharReady());
    EXPECT_EQ(port.GetInBuffUsed(), 10);
    EXPECT_EQ(port.GetInBuffFree(), 8192 - 10);

    char buf[16] = {};
    EXPECT_EQ(port.PeekBlock(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(port.PeekChar(5), '4');
    EXPECT_EQ(port.GetInBuffUsed(), 10); // peeking consumed nothing

    // More than waits: EBufferIsEmpty with its code, and nothing read.
    try {
        port.GetBlock(buf, 11);
        ADD_FAILURE() << "no exception";
    } catch (const EBufferIsEmpty& e) {
        EXPECT_EQ(e.ErrorCode(), -3007);
        EXPECT_STREQ(e.what(), "Buffer is empty");
    }
    EXPECT_THROW(port.PeekBlock(buf, 11), EBufferIsEmpty);
    EXPECT_THROW(port.PeekChar(11), EBufferIsEmpty);
    EXPECT_EQ(port.GetInBuffUsed(), 10);

    EXPECT_EQ(port.GetChar(), '0');
    EXPECT_EQ(port.GetBlock(buf, 9), 9);
    EXPECT_EQ(std::string(buf, 9), "123456789");
    EXPECT_FALSE(port.CharReady());
    EXPECT_THROW(port.GetChar(), EBufferIsEmpty);
}

TEST(ComPortIo, OutputBufferTooSmallSendsNothing) {
    PortOnPty p(33);
    TQuavComPort& port = p.port;
    port.SetOutSize(1000);
    port.SetOpen(true);
    // The peer reads nothing, so the pty fills and the output buffer stays where it is.
    std::string block(100, 'a');
    std::size_t sent = 0;
    for (int round = 0; round < 100000; ++round) {
        const uint16_t room = port.GetOutBuffFree();
        if (room <= 9) {
            pumpFor(50);
            if (port.GetOutBuffFree() == room) break;
            continue;
        }
        const uint16_t n = uint16_t(std::min<std::size_t>(room - 9, block.size()));
        block.assign(n, char('a' + round % 26));
        port.PutBlock(block.data(), n);
        sent += n;
    }
    ASSERT_EQ(port.GetOutBuffFree(), 9);
    const std::string ten(10, 'X');
    try {
        port.PutString(ten);
        ADD_FAILURE() << "no exception";
    } catch (const EOutputBufferTooSmall& e) {
        EXPECT_EQ(e.ErrorCode(), -3006);
        EXPECT_STREQ(e.what(), "Output buffer too small for block");
    }
    EXPECT_THROW(port.PutBlock(ten.data(), 10), EOutputBufferTooSmall);
    EXPECT_EQ(port.GetOutBuffFree(), 9);
    // Exactly the free space fits and marks the buffer full.
    port.PutString("YYYYYYYYY");
    EXPECT_EQ(port.GetOutBuffFree(), 0);
    EXPECT_EQ(port.GetOutBuffUsed(), 1000);
    EXPECT_THROW(port.PutChar('X'), EOutputBufferTooSmall);

    // The peer now drains everything: every accepted byte, none of the refused ones.
    const std::string got = p.pty.receive(sent + 9, 5000);
    EXPECT_EQ(got.size(), sent + 9);
    EXPECT_EQ(got.find('X'), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 9), "YYYYYYYYY");
    EXPECT_TRUE(waitUntil([&] { return port.GetOutBuffUsed() == 0; }));
}

TEST(ComPortIo, FlushBothDirections) {
    PortOnPty p(34);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    ASSERT_TRUE(p.pty.send("stale input"));
    ASSERT_TRUE(p.waitForInput(11));
    port.FlushInBuffer();
    EXPECT_EQ(port.GetInBuffUsed(), 0);
    EXPECT_FALSE(port.CharReady());
    ASSERT_TRUE(p.pty.send("fresh"));
    ASSERT_TRUE(p.waitForInput(5));
    EXPECT_EQ(p.takeAll(), "fresh");

    // Fill the output side while the peer does not read, then throw the rest away.
    const std::string chunk(1000, 'o');
    for (int i = 0; i < 200 && port.GetOutBuffFree() >= 1000; ++i) {
        port.PutString(chunk);
        pumpFor(2);
    }
    EXPECT_GT(port.GetOutBuffUsed(), 0);
    port.FlushOutBuffer();
    EXPECT_EQ(port.GetOutBuffUsed(), 0);
    EXPECT_EQ(port.GetOutBuffFree(), 4096);
}

TEST(ComPortIo, ClosedPortGivesNeutralValues) {
    TQuavComPort port;
    EXPECT_EQ(port.GetOutBuffFree(), 4096);
    EXPECT_EQ(port.GetOutBuffUsed(), 0);
    EXPECT_EQ(port.GetInBuffUsed(), 0);
    EXPECT_EQ(port.GetInBuffFree(), 8192);
    EXPECT_FALSE(port.GetCTS());
    EXPECT_FALSE(port.GetDSR());
    EXPECT_FALSE(port.GetDCD());
    EXPECT_FALSE(port.GetRI());
    EXPECT_FALSE(port.GetDeltaCTS());
    EXPECT_EQ(port.GetLineError(), 0);
    EXPECT_FALSE(port.GetLineBreak());
    port.SetOutSize(2000);
    EXPECT_EQ(port.GetOutBuffFree(), 2000);
    // Trigger removal on a closed port does nothing.
    EXPECT_NO_THROW(port.RemoveTrigger(8));
}

TEST(ComPortIo, OpenPtyReadsHandshakeLinesAsOn) {
    PortOnPty p(35);
    p.port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    p.port.SetOpen(true);
    EXPECT_TRUE(p.port.GetCTS());
    EXPECT_TRUE(p.port.GetDSR());
    EXPECT_TRUE(p.port.GetDCD());
    EXPECT_EQ(p.port.GetFlowState(), fcOn);
}

TEST(ComPortIo, AvailNotificationsReachTheHandlerOnTheUiThread) {
    PortOnPty p(36);
    TQuavComPort& port = p.port;
    std::string received;
    std::vector<std::string> order;
    const auto uiThread = std::this_thread::get_id();
    port.SetOnTrigger([&](TQuavComPort*, uint16_t msg, uint16_t wParam, uint16_t data) {
        EXPECT_EQ(std::this_thread::get_id(), uiThread);
        EXPECT_EQ(msg, 0x7E01);
        EXPECT_EQ(wParam, data);
        order.push_back("trigger");
    });
    port.SetOnTriggerAvail([&](TQuavComPort* cp, uint16_t count) {
        EXPECT_EQ(std::this_thread::get_id(), uiThread);
        order.push_back("avail");
        std::string chunk(count, '\0');
        EXPECT_EQ(cp->GetBlock(chunk.data(), count), count);
        received += chunk;
    });
    port.SetOpen(true);
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += char('0' + i % 10);
    ASSERT_TRUE(p.pty.send(sent));
    ASSERT_TRUE(waitUntil([&] { return received.size() >= sent.size(); }));
    EXPECT_EQ(received, sent);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], "trigger");
    EXPECT_EQ(order[1], "avail");
    EXPECT_EQ(port.GetInBuffUsed(), 0);
}

TEST(ComPortIo, HandlersAssignedWhileOpenSwitchNotificationsOnAndOff) {
    PortOnPty p(37);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    // Nobody listens: bytes wait in the input buffer.
    ASSERT_TRUE(p.pty.send("abc"));
    ASSERT_TRUE(p.waitForInput(3));
    pumpFor(120);
    EXPECT_EQ(port.GetInBuffUsed(), 3);

    int calls = 0;
    port.SetOnTriggerAvail([&](TQuavComPort* cp, uint16_t count) {
        ++calls;
        std::string s(count, '\0');
        cp->GetBlock(s.data(), count);
    });
    ASSERT_TRUE(p.pty.send("d"));
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }));
    EXPECT_TRUE(waitUntil([&] { return port.GetInBuffUsed() == 0; }));

    port.SetOnTriggerAvail({});
    const int before = calls;
    ASSERT_TRUE(p.pty.send("efg"));
    ASSERT_TRUE(p.waitForInput(3));
    pumpFor(120);
    EXPECT_EQ(calls, before);
    EXPECT_EQ(p.takeAll(), "efg");
}

TEST(ComPortIo, StatusTriggersRaiseTheirKindEvents) {
    PortOnPty p(38);
    TQuavComPort& port = p.port;
    std::vector<std::string> events;
    port.SetOnTriggerStatus(
        [&](TQuavComPort*, uint16_t handle) { events.push_back("status" + std::to_string(handle & 7)); });
    port.SetOnTriggerOutbuffFree([&](TQuavComPort*) { events.push_back("free"); });
    port.SetOnTriggerOutbuffUsed([&](TQuavComPort*) { events.push_back("used"); });
    port.SetOnTriggerOutSent([&](TQuavComPort*) { events.push_back("sent"); });
    port.SetOpen(true);

    const int32_t sent = port.AddStatusTrigger(stOutSent);
    port.SetStatusTrigger(sent, 0, true);
    port.PutString("ping");
    ASSERT_TRUE(waitUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status5");
    EXPECT_EQ(events[1], "sent");

    events.clear();
    const int32_t used = port.AddStatusTrigger(stOutBuffUsed);
    port.SetStatusTrigger(used, 0, true);
    ASSERT_TRUE(waitUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status4");
    EXPECT_EQ(events[1], "used");

    events.clear();
    const int32_t free = port.AddStatusTrigger(stOutBuffFree);
    port.SetStatusTrigger(free, 100, true);
    ASSERT_TRUE(waitUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status3");
    EXPECT_EQ(events[1], "free");

    EXPECT_THROW(port.AddStatusTrigger(6), EBadArgument);
    EXPECT_THROW(port.SetStatusTrigger(sent + 800, 0, true), EBadTriggerHandle);
}

TEST(ComPortIo, DataTriggersRaiseOnTriggerData) {
    PortOnPty p(39);
    TQuavComPort& port = p.port;
    std::vector<uint16_t> matched;
    port.SetOnTriggerData([&](TQuavComPort*, uint16_t handle) { matched.push_back(handle); });
    port.SetOpen(true);
    const int32_t handle = port.AddDataTrigger("ready", true);
    EXPECT_THROW(port.AddDataTrigger(std::string(22, 'x'), false), ETriggerTooLong);
    ASSERT_TRUE(p.pty.send("unit READY\r\n"));
    ASSERT_TRUE(waitUntil([&] { return !matched.empty(); }));
    EXPECT_EQ(matched.front(), uint16_t(handle));
}

// A consumer registered with the dispatcher to be called on the main thread.
class SyncConsumer : public TQuavTriggerEventHandler {
  public:
    void HandleTrigger(const TTriggerMessage& message) override {
        threads.push_back(std::this_thread::get_id());
        if (message.Msg == kTriggerAvail) announced += message.WParam;
    }
    std::vector<std::thread::id> threads;
    uint32_t announced = 0;
};

TEST(ComPortIo, SynchronisedHandlersRunOnTheMainThread) {
    PortOnPty p(40);
    TQuavComPort& port = p.port;
    port.SetOpen(true);
    SyncConsumer consumer;
    ASSERT_GE(port.CurrentDispatcher()->RegisterSyncEventTriggerHandler(&consumer), 0);
    ASSERT_TRUE(p.pty.send("12345"));
    ASSERT_TRUE(waitUntil([&] { return consumer.announced >= 5; }));
    for (const auto& id : consumer.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    port.CurrentDispatcher()->DeregisterEventTriggerHandler(&consumer);
}

// A consumer on the dispatcher thread that reads at most 40 bytes of every announcement.
class PartialReader : public TQuavTriggerEventHandler {
  public:
    explicit PartialReader(TQuavBaseDispatcher* d) : d_(d) {}
    void HandleTrigger(const TTriggerMessage& message) override {
        if (message.Msg != kTriggerAvail) return;
        std::string chunk(std::min<uint32_t>(40, message.WParam), '\0');
        if (d_->GetBlock(chunk.data(), uint32_t(chunk.size())) < 0) chunk = "failed";
        std::lock_guard<std::mutex> g(mutex);
        chunks.push_back(chunk);
    }
    std::mutex mutex;
    std::vector<std::string> chunks;

  private:
    TQuavBaseDispatcher* d_;
};

TEST(ComPortIo, EveryConsumerOfAnAnnouncementSeesTheSameBytes) {
    PortOnPty p(28);
    TQuavComPort& port = p.port;
    std::vector<std::string> blocks;
    port.SetOnTriggerAvail([&](TQuavComPort* cp, uint16_t count) {
        std::string block(count, '\0');
        cp->GetBlock(block.data(), count);
        blocks.push_back(block);
    });
    port.SetOpen(true);
    PartialReader partial(port.CurrentDispatcher());
    ASSERT_GE(port.CurrentDispatcher()->RegisterEventTriggerHandler(&partial), 0);
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += char('A' + i % 26);
    ASSERT_TRUE(p.pty.send(sent));
    std::string all;
    ASSERT_TRUE(waitUntil([&] {
        all.clear();
        for (const auto& b : blocks)
            all += b;
        return all.size() >= sent.size();
    }));
    port.CurrentDispatcher()->DeregisterEventTriggerHandler(&partial);
    EXPECT_EQ(all, sent);
    EXPECT_EQ(port.GetInBuffUsed(), 0); // the busiest consumer took everything
    std::lock_guard<std::mutex> g(partial.mutex);
    ASSERT_EQ(partial.chunks.size(), blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(blocks[i].substr(0, partial.chunks[i].size()), partial.chunks[i]);
}

TEST(ComPortIo, TimerTriggerOf18TicksFiresAfterAboutASecond) {
    PortOnPty p(29);
    TQuavComPort& port = p.port;
    int fired = 0;
    port.SetOnTriggerTimer([&](TQuavComPort*, uint16_t) { ++fired; });
    port.SetOpen(true);
    const int32_t timer = port.AddTimerTrigger();
    const auto start = std::chrono::steady_clock::now();
    port.SetTimerTrigger(timer, 18, true);
    ASSERT_TRUE(waitUntil([&] { return fired > 0; }, 15000));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 18 * 55 - 60);
    EXPECT_LE(ms, 10 * 18 * 55); // late only when the machine is busy, never by ten times
    // One-shot: it does not fire again until re-armed.
    testing::pumpFor(300);
    EXPECT_EQ(fired, 1);
}

} // namespace
} // namespace brimwell
