// Reading and writing through a dispatcher on a pseudo-terminal: the input ring and its edge
// cases, the output ring, flushes of both directions, and bulk transfers kept intact.
#include <gtest/gtest.h>

#include <chrono>

#include "core_test_util.h"

namespace brimwell::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class IoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(p.openResult, 0);
        // No notifications: bytes wait in the ring until the test reads them.
        p.port->changeLengthTrigger(0);
    }
    serial::ThreadEngine& port() { return *p.port; }
    PortOnPty p;
};

TEST_F(IoTest, BlockReadsWithTooFewBytesReadNothing) {
    ASSERT_TRUE(p.pty.write("abcdefghi"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 9; }));

    char buf[16] = {};
    EXPECT_EQ(port().getBlock(buf, 10), serial::result::kBufferIsEmpty);
    EXPECT_EQ(port().peekBlock(buf, 10), serial::result::kBufferIsEmpty);
    EXPECT_EQ(port().inBuffUsed(), 9u);
    EXPECT_EQ(port().inBuffFree(), serial::kInputBufferSize - 9);

    EXPECT_EQ(port().peekBlock(buf, 9), 9);
    EXPECT_EQ(std::string(buf, 9), "abcdefghi");
    EXPECT_EQ(port().inBuffUsed(), 9u);

    uint8_t c = 0;
    EXPECT_EQ(port().peekChar(c, 3), 0);
    EXPECT_EQ(c, 'c');
    EXPECT_EQ(port().peekChar(c, 10), serial::result::kBufferIsEmpty);
    EXPECT_EQ(port().getChar(c), 0);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(port().getBlock(buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "bcdefghi");
    EXPECT_FALSE(port().charReady());
    EXPECT_EQ(port().getChar(c), serial::result::kBufferIsEmpty);
    EXPECT_EQ(port().getBlock(buf, 0), 0);
}

TEST_F(IoTest, FullInputRingStopsReceivingUntilRead) {
    const std::string data = patternBytes(serial::kInputBufferSize + 808);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == serial::kInputBufferSize; }));
    EXPECT_EQ(port().inBuffFree(), 0u);
    EXPECT_TRUE(port().charReady());
    // Receiving has stopped: the rest waits in the driver, not overwriting unread bytes.
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(port().inBuffUsed(), serial::kInputBufferSize);

    std::string got(serial::kInputBufferSize, '\0');
    ASSERT_EQ(port().getBlock(got.data(), serial::kInputBufferSize),
              static_cast<int32_t>(serial::kInputBufferSize));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 808; }));
    std::string rest(808, '\0');
    ASSERT_EQ(port().getBlock(rest.data(), 808), 808);
    EXPECT_EQ(got + rest, data);
}

TEST_F(IoTest, BulkTransferBothWaysArrivesIntact) {
    PtyPeer peer(p.pty);
    const std::string out = patternBytes(200000, 3);
    const std::string in = patternBytes(200000, 4);
    peer.send(in);

    std::string got;
    size_t put = 0;
    const auto end = steady_clock::now() + std::chrono::seconds(30);
    char buf[3000];
    while ((put < out.size() || got.size() < in.size()) && steady_clock::now() < end) {
        if (put < out.size()) {
            const uint32_t n = std::min<uint32_t>(2000, static_cast<uint32_t>(out.size() - put));
            if (port().outBuffFree() >= n && port().putBlock(out.data() + put, n) == 0) put += n;
        }
        const uint32_t avail = std::min<uint32_t>(port().inBuffUsed(), sizeof buf);
        if (avail > 0) {
            ASSERT_EQ(port().getBlock(buf, avail), static_cast<int32_t>(avail));
            got.append(buf, avail);
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    ASSERT_TRUE(peer.waitReceived(out.size(), 10000));
    EXPECT_EQ(peer.received(), out);
    EXPECT_EQ(got, in);
}

TEST_F(IoTest, PutLargerThanFreeSpaceWritesNothing) {
    PortOnPty small(100);
    ASSERT_EQ(small.openResult, 0);
    PtyPeer peer(small.pty);
    const std::string big = patternBytes(101);
    EXPECT_EQ(small.port->putBlock(big.data(), 101), serial::result::kOutputBufferTooSmall);
    EXPECT_EQ(small.port->putString(std::string(101, 'x')), serial::result::kOutputBufferTooSmall);
    EXPECT_EQ(small.port->putBlock(big.data(), 0), 0);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(peer.receivedCount(), 0u);
    EXPECT_EQ(small.port->putBlock(big.data(), 100), 0);
    ASSERT_TRUE(peer.waitReceived(100, 3000));
    EXPECT_EQ(peer.received(), big.substr(0, 100));
}

TEST_F(IoTest, PutOfExactlyTheFreeSpaceFillsTheRing) {
    PtyPeer peer(p.pty);
    peer.setReading(false);
    std::string sent = backUpOutput(port());
    const uint32_t freeSpace = port().outBuffFree();
    ASSERT_LT(freeSpace, 1000u);
    if (freeSpace > 0) {
        const std::string extra = patternBytes(freeSpace + 1, 99);
        EXPECT_EQ(port().putBlock(extra.data(), freeSpace + 1), serial::result::kOutputBufferTooSmall);
        EXPECT_EQ(port().outBuffFree(), freeSpace);
        EXPECT_EQ(port().putBlock(extra.data(), freeSpace), 0);
        sent += extra.substr(0, freeSpace);
    }
    EXPECT_EQ(port().outBuffUsed(), 4096u);
    EXPECT_EQ(port().outBuffFree(), 0u);
    EXPECT_EQ(port().putChar('!'), serial::result::kOutputBufferTooSmall);

    peer.setReading(true);
    ASSERT_TRUE(peer.waitReceived(sent.size(), 10000));
    EXPECT_EQ(peer.received(), sent);
    EXPECT_TRUE(waitUntil([&] { return port().outBuffUsed() == 0; }));
}

TEST_F(IoTest, TransmitFlushAbortsAPendingWrite) {
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(port());
    ASSERT_GT(port().outBuffUsed(), 0u);

    const auto start = steady_clock::now();
    EXPECT_EQ(port().flushOutBuffer(), 0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(serial::kFlushAbortTimeoutMs));
    EXPECT_EQ(port().outBuffUsed(), 0u);
    EXPECT_EQ(port().outBuffFree(), 4096u);

    // What was still in the output ring is dropped; what the pseudo-terminal had already carried
    // to the far end arrives intact, as a prefix of what was sent.
    peer.setReading(true);
    std::this_thread::sleep_for(milliseconds(300));
    const std::string got = peer.received();
    EXPECT_LT(got.size(), sent.size());
    EXPECT_EQ(got, sent.substr(0, got.size()));

    // The port goes on working after the flush.
    const size_t before = got.size();
    EXPECT_EQ(port().putString("after"), 0);
    ASSERT_TRUE(peer.waitReceived(before + 5, 3000));
    EXPECT_EQ(peer.received().substr(before), "after");
}

TEST_F(IoTest, TransmitFlushSparesBytesTheFarEndHasNotReadYet) {
    // The ring is empty once a pseudo-terminal has taken the bytes; a flush then has nothing of
    // ours to discard and must not purge the far end's unread input.
    PtyPeer peer(p.pty);
    peer.setReading(false);
    ASSERT_EQ(port().putString("LF 80000000 4 1a 1.08\r"), 0);
    ASSERT_TRUE(waitUntil([&] { return port().outBuffUsed() == 0; }));
    EXPECT_EQ(port().flushOutBuffer(), 0);
    peer.setReading(true);
    ASSERT_TRUE(peer.waitReceived(22, 3000));
    EXPECT_EQ(peer.received(), "LF 80000000 4 1a 1.08\r");
}

TEST_F(IoTest, ReceiveFlushDiscardsWaitingBytes) {
    ASSERT_TRUE(p.pty.write(std::string(50, 'q')));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 50; }));
    EXPECT_EQ(port().flushInBuffer(), 0);
    EXPECT_EQ(port().inBuffUsed(), 0u);
    EXPECT_FALSE(port().charReady());
    ASSERT_TRUE(p.pty.write("Z"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 1; }));
    uint8_t c = 0;
    EXPECT_EQ(port().getChar(c), 0);
    EXPECT_EQ(c, 'Z');
}

TEST_F(IoTest, ClosedPortRefusesWrites) {
    port().donePort();
    EXPECT_FALSE(port().isOpen());
    EXPECT_EQ(port().putChar('x'), serial::result::kCommNotOpen);
    uint8_t c;
    EXPECT_EQ(port().getChar(c), serial::result::kBufferIsEmpty);
}

} // namespace
} // namespace brimwell::test
