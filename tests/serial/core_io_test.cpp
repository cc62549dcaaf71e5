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
        p.port->ChangeLengthTrigger(0);
    }
    TQuavTermiosDispatcher& port() { return *p.port; }
    PortOnPty p;
};

TEST_F(IoTest, BlockReadsWithTooFewBytesReadNothing) {
    ASSERT_TRUE(p.pty.write("abcdefghi"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 9; }));

    char buf[16] = {};
    EXPECT_EQ(port().GetBlock(buf, 10), secBufferIsEmpty);
    EXPECT_EQ(port().PeekBlock(buf, 10), secBufferIsEmpty);
    EXPECT_EQ(port().InBuffUsed(), 9u);
    EXPECT_EQ(port().InBuffFree(), kInputBufferSize - 9);

    EXPECT_EQ(port().PeekBlock(buf, 9), 9);
    EXPECT_EQ(std::string(buf, 9), "abcdefghi");
    EXPECT_EQ(port().InBuffUsed(), 9u);

    uint8_t c = 0;
    EXPECT_EQ(port().PeekChar(c, 3), 0);
    EXPECT_EQ(c, 'c');
    EXPECT_EQ(port().PeekChar(c, 10), secBufferIsEmpty);
    EXPECT_EQ(port().GetChar(c), 0);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(port().GetBlock(buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "bcdefghi");
    EXPECT_FALSE(port().CharReady());
    EXPECT_EQ(port().GetChar(c), secBufferIsEmpty);
    EXPECT_EQ(port().GetBlock(buf, 0), 0);
}

TEST_F(IoTest, FullInputRingStopsReceivingUntilRead) {
    const std::string data = patternBytes(kInputBufferSize + 808);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == kInputBufferSize; }));
    EXPECT_EQ(port().InBuffFree(), 0u);
    EXPECT_TRUE(port().CharReady());
    // Receiving has stopped: the rest waits in the driver, not overwriting unread bytes.
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(port().InBuffUsed(), kInputBufferSize);

    std::string got(kInputBufferSize, '\0');
    ASSERT_EQ(port().GetBlock(got.data(), kInputBufferSize), static_cast<int32_t>(kInputBufferSize));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 808; }));
    std::string rest(808, '\0');
    ASSERT_EQ(port().GetBlock(rest.data(), 808), 808);
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
            if (port().OutBuffFree() >= n && port().PutBlock(out.data() + put, n) == 0) put += n;
        }
        const uint32_t avail = std::min<uint32_t>(port().InBuffUsed(), sizeof buf);
        if (avail > 0) {
            ASSERT_EQ(port().GetBlock(buf, avail), static_cast<int32_t>(avail));
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
    EXPECT_EQ(small.port->PutBlock(big.data(), 101), secOutputBufferTooSmall);
    EXPECT_EQ(small.port->PutString(std::string(101, 'x')), secOutputBufferTooSmall);
    EXPECT_EQ(small.port->PutBlock(big.data(), 0), 0);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(peer.receivedCount(), 0u);
    EXPECT_EQ(small.port->PutBlock(big.data(), 100), 0);
    ASSERT_TRUE(peer.waitReceived(100, 3000));
    EXPECT_EQ(peer.received(), big.substr(0, 100));
}

TEST_F(IoTest, PutOfExactlyTheFreeSpaceFillsTheRing) {
    PtyPeer peer(p.pty);
    peer.setReading(false);
    std::string sent = backUpOutput(port());
    const uint32_t freeSpace = port().OutBuffFree();
    ASSERT_LT(freeSpace, 1000u);
    if (freeSpace > 0) {
        const std::string extra = patternBytes(freeSpace + 1, 99);
        EXPECT_EQ(port().PutBlock(extra.data(), freeSpace + 1), secOutputBufferTooSmall);
        EXPECT_EQ(port().OutBuffFree(), freeSpace);
        EXPECT_EQ(port().PutBlock(extra.data(), freeSpace), 0);
        sent += extra.substr(0, freeSpace);
    }
    EXPECT_EQ(port().OutBuffUsed(), 4096u);
    EXPECT_EQ(port().OutBuffFree(), 0u);
    EXPECT_EQ(port().PutChar('!'), secOutputBufferTooSmall);

    peer.setReading(true);
    ASSERT_TRUE(peer.waitReceived(sent.size(), 10000));
    EXPECT_EQ(peer.received(), sent);
    EXPECT_TRUE(waitFor([&] { return port().OutBuffUsed() == 0; }));
}

TEST_F(IoTest, TransmitFlushAbortsAPendingWrite) {
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(port());
    ASSERT_GT(port().OutBuffUsed(), 0u);

    const auto start = steady_clock::now();
    EXPECT_EQ(port().FlushOutBuffer(), 0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(kFlushAbortTimeoutMs));
    EXPECT_EQ(port().OutBuffUsed(), 0u);
    EXPECT_EQ(port().OutBuffFree(), 4096u);

    // What was still in the output ring is dropped; what the pseudo-terminal had already carried
    // to the far end arrives intact, as a prefix of what was sent.
    peer.setReading(true);
    std::this_thread::sleep_for(milliseconds(300));
    const std::string got = peer.received();
    EXPECT_LT(got.size(), sent.size());
    EXPECT_EQ(got, sent.substr(0, got.size()));

    // The port goes on working after the flush.
    const size_t before = got.size();
    EXPECT_EQ(port().PutString("after"), 0);
    ASSERT_TRUE(peer.waitReceived(before + 5, 3000));
    EXPECT_EQ(peer.received().substr(before), "after");
}

TEST_F(IoTest, TransmitFlushSparesBytesTheFarEndHasNotReadYet) {
    // The ring is empty once a pseudo-terminal has taken the bytes; a flush then has nothing of
    // ours to discard and must not purge the far end's unread input.
    PtyPeer peer(p.pty);
    peer.setReading(false);
    ASSERT_EQ(port().PutString("LF 80000000 4 1a 1.08\r"), 0);
    ASSERT_TRUE(waitFor([&] { return port().OutBuffUsed() == 0; }));
    EXPECT_EQ(port().FlushOutBuffer(), 0);
    peer.setReading(true);
    ASSERT_TRUE(peer.waitReceived(22, 3000));
    EXPECT_EQ(peer.received(), "LF 80000000 4 1a 1.08\r");
}

TEST_F(IoTest, ReceiveFlushDiscardsWaitingBytes) {
    ASSERT_TRUE(p.pty.write(std::string(50, 'q')));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 50; }));
    EXPECT_EQ(port().FlushInBuffer(), 0);
    EXPECT_EQ(port().InBuffUsed(), 0u);
    EXPECT_FALSE(port().CharReady());
    ASSERT_TRUE(p.pty.write("Z"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 1; }));
    uint8_t c = 0;
    EXPECT_EQ(port().GetChar(c), 0);
    EXPECT_EQ(c, 'Z');
}

TEST_F(IoTest, ClosedPortRefusesWrites) {
    port().DonePort();
    EXPECT_FALSE(port().IsOpen());
    EXPECT_EQ(port().PutChar('x'), secCommNotOpen);
    uint8_t c;
    EXPECT_EQ(port().GetChar(c), secBufferIsEmpty);
}

} // namespace
} // namespace brimwell::test
