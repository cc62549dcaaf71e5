// Byte operations of the port component over a real pseudo-terminal: puts, gets and peeks with
// their -3006/-3007 failures, flushes, neutral values of a closed port, and avail notifications.
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "component_test_support.h"

namespace brimwell::serial {
namespace {

using testing::PortOnPty;
using testing::pumpFor;
using testing::pumpUntil;

TEST(ComPortIo, PutsReachThePeer) {
    PortOnPty p(31);
    p.port.setOpen(true);
    p.port.putChar('A');
    p.port.putString("BCD");
    const char block[] = {'E', '\0', 'F'};
    EXPECT_EQ(p.port.putBlock(block, 3), 0);
    EXPECT_EQ(p.pty.read(7), std::string("ABCDE\0F", 7));
    p.port.putString(""); // nothing, no failure
    EXPECT_EQ(p.pty.read(1, 100), "");
}

TEST(ComPortIo, GetAndPeekTakeExactlyWhatWaits) {
    PortOnPty p(32);
    ComPort& port = p.port;
    port.setOpen(true);
    ASSERT_TRUE(p.pty.write("0123456789"));
    ASSERT_TRUE(p.waitForInput(10));
    EXPECT_TRUE(port.charReady());
    EXPECT_EQ(port.getInBuffUsed(), 10);
    EXPECT_EQ(port.getInBuffFree(), 8192 - 10);

    char buf[16] = {};
    EXPECT_EQ(port.peekBlock(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(port.peekChar(5), '4');
    EXPECT_EQ(port.getInBuffUsed(), 10); // peeking consumed nothing

    // More than waits: BufferIsEmptyError with its code, and nothing read.
    try {
        port.getBlock(buf, 11);
        ADD_FAILURE() << "no exception";
    } catch (const BufferIsEmptyError& e) {
        EXPECT_EQ(e.errorCode(), -3007);
        EXPECT_STREQ(e.what(), "Buffer is empty");
    }
    EXPECT_THROW(port.peekBlock(buf, 11), BufferIsEmptyError);
    EXPECT_THROW(port.peekChar(11), BufferIsEmptyError);
    EXPECT_EQ(port.getInBuffUsed(), 10);

    EXPECT_EQ(port.getChar(), '0');
    EXPECT_EQ(port.getBlock(buf, 9), 9);
    EXPECT_EQ(std::string(buf, 9), "123456789");
    EXPECT_FALSE(port.charReady());
    EXPECT_THROW(port.getChar(), BufferIsEmptyError);
}

TEST(ComPortIo, OutputBufferTooSmallSendsNothing) {
    PortOnPty p(33);
    ComPort& port = p.port;
    port.setOutSize(1000);
    port.setOpen(true);
    // The peer reads nothing, so the pty fills and the output buffer stays where it is.
    std::string block(100, 'a');
    std::size_t sent = 0;
    for (int round = 0; round < 100000; ++round) {
        const uint16_t room = port.getOutBuffFree();
        if (room <= 9) {
            pumpFor(50);
            if (port.getOutBuffFree() == room) break;
            continue;
        }
        const uint16_t n = uint16_t(std::min<std::size_t>(room - 9, block.size()));
        block.assign(n, char('a' + round % 26));
        port.putBlock(block.data(), n);
        sent += n;
    }
    ASSERT_EQ(port.getOutBuffFree(), 9);
    const std::string ten(10, 'X');
    try {
        port.putString(ten);
        ADD_FAILURE() << "no exception";
    } catch (const OutputBufferTooSmallError& e) {
        EXPECT_EQ(e.errorCode(), -3006);
        EXPECT_STREQ(e.what(), "Output buffer too small for block");
    }
    EXPECT_THROW(port.putBlock(ten.data(), 10), OutputBufferTooSmallError);
    EXPECT_EQ(port.getOutBuffFree(), 9);
    // Exactly the free space fits and marks the buffer full.
    port.putString("YYYYYYYYY");
    EXPECT_EQ(port.getOutBuffFree(), 0);
    EXPECT_EQ(port.getOutBuffUsed(), 1000);
    EXPECT_THROW(port.putChar('X'), OutputBufferTooSmallError);

    // The peer now drains everything: every accepted byte, none of the refused ones.
    const std::string got = p.pty.read(sent + 9, 5000);
    EXPECT_EQ(got.size(), sent + 9);
    EXPECT_EQ(got.find('X'), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 9), "YYYYYYYYY");
    EXPECT_TRUE(pumpUntil([&] { return port.getOutBuffUsed() == 0; }));
}

TEST(ComPortIo, FlushBothDirections) {
    PortOnPty p(34);
    ComPort& port = p.port;
    port.setOpen(true);
    ASSERT_TRUE(p.pty.write("stale input"));
    ASSERT_TRUE(p.waitForInput(11));
    port.flushInBuffer();
    EXPECT_EQ(port.getInBuffUsed(), 0);
    EXPECT_FALSE(port.charReady());
    ASSERT_TRUE(p.pty.write("fresh"));
    ASSERT_TRUE(p.waitForInput(5));
    EXPECT_EQ(p.takeAll(), "fresh");

    // Fill the output side while the peer does not read, then throw the rest away.
    const std::string chunk(1000, 'o');
    for (int i = 0; i < 200 && port.getOutBuffFree() >= 1000; ++i) {
        port.putString(chunk);
        pumpFor(2);
    }
    EXPECT_GT(port.getOutBuffUsed(), 0);
    port.flushOutBuffer();
    EXPECT_EQ(port.getOutBuffUsed(), 0);
    EXPECT_EQ(port.getOutBuffFree(), 4096);
}

TEST(ComPortIo, ClosedPortGivesNeutralValues) {
    ComPort port;
    EXPECT_EQ(port.getOutBuffFree(), 4096);
    EXPECT_EQ(port.getOutBuffUsed(), 0);
    EXPECT_EQ(port.getInBuffUsed(), 0);
    EXPECT_EQ(port.getInBuffFree(), 8192);
    EXPECT_FALSE(port.getCts());
    EXPECT_FALSE(port.getDsr());
    EXPECT_FALSE(port.getDcd());
    EXPECT_FALSE(port.getRi());
    EXPECT_FALSE(port.getDeltaCts());
    EXPECT_EQ(port.getLineError(), 0);
    EXPECT_FALSE(port.getLineBreak());
    port.setOutSize(2000);
    EXPECT_EQ(port.getOutBuffFree(), 2000);
    // Trigger removal on a closed port does nothing.
    EXPECT_NO_THROW(port.removeTrigger(8));
}

TEST(ComPortIo, OpenPtyReadsHandshakeLinesAsOn) {
    PortOnPty p(35);
    p.port.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts});
    p.port.setOpen(true);
    EXPECT_TRUE(p.port.getCts());
    EXPECT_TRUE(p.port.getDsr());
    EXPECT_TRUE(p.port.getDcd());
    EXPECT_EQ(p.port.getFlowState(), FlowControlState::On);
}

TEST(ComPortIo, AvailNotificationsReachTheHandlerOnTheUiThread) {
    PortOnPty p(36);
    ComPort& port = p.port;
    std::string received;
    std::vector<std::string> order;
    const auto uiThread = std::this_thread::get_id();
    port.setOnTrigger([&](ComPort*, uint16_t msg, uint16_t wParam, uint16_t data) {
        EXPECT_EQ(std::this_thread::get_id(), uiThread);
        EXPECT_EQ(msg, 0x7E01);
        EXPECT_EQ(wParam, data);
        order.push_back("trigger");
    });
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t count) {
        EXPECT_EQ(std::this_thread::get_id(), uiThread);
        order.push_back("avail");
        std::string chunk(count, '\0');
        EXPECT_EQ(cp->getBlock(chunk.data(), count), count);
        received += chunk;
    });
    port.setOpen(true);
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += char('0' + i % 10);
    ASSERT_TRUE(p.pty.write(sent));
    ASSERT_TRUE(pumpUntil([&] { return received.size() >= sent.size(); }));
    EXPECT_EQ(received, sent);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], "trigger");
    EXPECT_EQ(order[1], "avail");
    EXPECT_EQ(port.getInBuffUsed(), 0);
}

TEST(ComPortIo, HandlersAssignedWhileOpenSwitchNotificationsOnAndOff) {
    PortOnPty p(37);
    ComPort& port = p.port;
    port.setOpen(true);
    // Nobody listens: bytes wait in the input buffer.
    ASSERT_TRUE(p.pty.write("abc"));
    ASSERT_TRUE(p.waitForInput(3));
    pumpFor(120);
    EXPECT_EQ(port.getInBuffUsed(), 3);

    int calls = 0;
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t count) {
        ++calls;
        std::string s(count, '\0');
        cp->getBlock(s.data(), count);
    });
    ASSERT_TRUE(p.pty.write("d"));
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }));
    EXPECT_TRUE(pumpUntil([&] { return port.getInBuffUsed() == 0; }));

    port.setOnTriggerAvail({});
    const int before = calls;
    ASSERT_TRUE(p.pty.write("efg"));
    ASSERT_TRUE(p.waitForInput(3));
    pumpFor(120);
    EXPECT_EQ(calls, before);
    EXPECT_EQ(p.takeAll(), "efg");
}

TEST(ComPortIo, StatusTriggersRaiseTheirKindEvents) {
    PortOnPty p(38);
    ComPort& port = p.port;
    std::vector<std::string> events;
    port.setOnTriggerStatus(
        [&](ComPort*, uint16_t handle) { events.push_back("status" + std::to_string(handle & 7)); });
    port.setOnTriggerOutbuffFree([&](ComPort*) { events.push_back("free"); });
    port.setOnTriggerOutbuffUsed([&](ComPort*) { events.push_back("used"); });
    port.setOnTriggerOutSent([&](ComPort*) { events.push_back("sent"); });
    port.setOpen(true);

    const int32_t sent = port.addStatusTrigger(kStatusOutSent);
    port.setStatusTrigger(sent, 0, true);
    port.putString("ping");
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status5");
    EXPECT_EQ(events[1], "sent");

    events.clear();
    const int32_t used = port.addStatusTrigger(kStatusOutBuffUsed);
    port.setStatusTrigger(used, 0, true);
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status4");
    EXPECT_EQ(events[1], "used");

    events.clear();
    const int32_t free = port.addStatusTrigger(kStatusOutBuffFree);
    port.setStatusTrigger(free, 100, true);
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "status3");
    EXPECT_EQ(events[1], "free");

    EXPECT_THROW(port.addStatusTrigger(6), BadArgumentError);
    EXPECT_THROW(port.setStatusTrigger(sent + 800, 0, true), BadTriggerHandleError);
}

TEST(ComPortIo, DataTriggersRaiseOnTriggerData) {
    PortOnPty p(39);
    ComPort& port = p.port;
    std::vector<uint16_t> matched;
    port.setOnTriggerData([&](ComPort*, uint16_t handle) { matched.push_back(handle); });
    port.setOpen(true);
    const int32_t handle = port.addDataTrigger("ready", true);
    EXPECT_THROW(port.addDataTrigger(std::string(22, 'x'), false), TriggerTooLongError);
    ASSERT_TRUE(p.pty.write("unit READY\r\n"));
    ASSERT_TRUE(pumpUntil([&] { return !matched.empty(); }));
    EXPECT_EQ(matched.front(), uint16_t(handle));
}

// A consumer registered with the dispatcher to be called on the main thread.
class SyncConsumer : public TriggerEventHandler {
  public:
    void handleTrigger(const TriggerMessage& message) override {
        threads.push_back(std::this_thread::get_id());
        if (message.msg == kTriggerAvail) announced += message.wParam;
    }
    std::vector<std::thread::id> threads;
    uint32_t announced = 0;
};

TEST(ComPortIo, SynchronisedHandlersRunOnTheMainThread) {
    PortOnPty p(40);
    ComPort& port = p.port;
    port.setOpen(true);
    SyncConsumer consumer;
    ASSERT_GE(port.currentDispatcher()->registerSyncEventTriggerHandler(&consumer), 0);
    ASSERT_TRUE(p.pty.write("12345"));
    ASSERT_TRUE(pumpUntil([&] { return consumer.announced >= 5; }));
    for (const auto& id : consumer.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    port.currentDispatcher()->deregisterEventTriggerHandler(&consumer);
}

// A consumer on the dispatcher thread that reads at most 40 bytes of every announcement.
class PartialReader : public TriggerEventHandler {
  public:
    explicit PartialReader(Dispatcher* d) : d_(d) {}
    void handleTrigger(const TriggerMessage& message) override {
        if (message.msg != kTriggerAvail) return;
        std::string chunk(std::min<uint32_t>(40, message.wParam), '\0');
        if (d_->getBlock(chunk.data(), uint32_t(chunk.size())) < 0) chunk = "failed";
        std::lock_guard<std::mutex> g(mutex);
        chunks.push_back(chunk);
    }
    std::mutex mutex;
    std::vector<std::string> chunks;

  private:
    Dispatcher* d_;
};

TEST(ComPortIo, EveryConsumerOfAnAnnouncementSeesTheSameBytes) {
    PortOnPty p(28);
    ComPort& port = p.port;
    std::vector<std::string> blocks;
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t count) {
        std::string block(count, '\0');
        cp->getBlock(block.data(), count);
        blocks.push_back(block);
    });
    port.setOpen(true);
    PartialReader partial(port.currentDispatcher());
    ASSERT_GE(port.currentDispatcher()->registerEventTriggerHandler(&partial), 0);
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += char('A' + i % 26);
    ASSERT_TRUE(p.pty.write(sent));
    std::string all;
    ASSERT_TRUE(pumpUntil([&] {
        all.clear();
        for (const auto& b : blocks)
            all += b;
        return all.size() >= sent.size();
    }));
    port.currentDispatcher()->deregisterEventTriggerHandler(&partial);
    EXPECT_EQ(all, sent);
    EXPECT_EQ(port.getInBuffUsed(), 0); // the busiest consumer took everything
    std::lock_guard<std::mutex> g(partial.mutex);
    ASSERT_EQ(partial.chunks.size(), blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(blocks[i].substr(0, partial.chunks[i].size()), partial.chunks[i]);
}

TEST(ComPortIo, TimerTriggerOf18TicksFiresAfterAboutASecond) {
    PortOnPty p(29);
    ComPort& port = p.port;
    int fired = 0;
    port.setOnTriggerTimer([&](ComPort*, uint16_t) { ++fired; });
    port.setOpen(true);
    const int32_t timer = port.addTimerTrigger();
    const auto start = std::chrono::steady_clock::now();
    port.setTimerTrigger(timer, 18, true);
    ASSERT_TRUE(pumpUntil([&] { return fired > 0; }, 15000));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 18 * 55 - 60);
    EXPECT_LE(ms, 10 * 18 * 55); // late only when the machine is busy, never by ten times
    // One-shot: it does not fire again until re-armed.
    testing::pumpFor(300);
    EXPECT_EQ(fired, 1);
}

} // namespace
} // namespace brimwell::serial
