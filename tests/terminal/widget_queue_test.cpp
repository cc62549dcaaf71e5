// The terminal's intake queue and capture file: growth, order, failure texts and the capture modes.
#include "terminal/widget/ansi_codec.h"
#include "terminal/widget/byte_queue.h"
#include "terminal/widget/capture_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brimwell {
namespace {

std::string held(const terminal::ByteQueue& q) {
    return std::string(reinterpret_cast<const char*>(q.peek(q.count())), size_t(q.count()));
}

struct GrowthCase {
    const char* name;
    std::vector<int> puts; // sizes put one after the other
    int removeFirst;       // bytes removed before the last put
    int expectCapacity;
};

class QueueGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(QueueGrowth, CapacityDoublesAndRoundsToSixtyFour) {
    const GrowthCase& c = GetParam();
    terminal::ByteQueue q;
    std::string sent;
    char next = 'a';
    for (size_t i = 0; i < c.puts.size(); ++i) {
        if (i + 1 == c.puts.size() && c.removeFirst > 0) {
            q.remove(c.removeFirst);
            sent.erase(0, size_t(c.removeFirst));
        }
        std::string chunk(size_t(c.puts[i]), next);
        next = next == 'z' ? 'a' : char(next + 1);
        q.put(chunk.data(), int(chunk.size()));
        sent += chunk;
    }
    EXPECT_EQ(q.capacity(), c.expectCapacity);
    EXPECT_EQ(q.count(), int(sent.size()));
    EXPECT_EQ(held(q), sent) << "held bytes must survive every move of the block";
}

INSTANTIATE_TEST_SUITE_P(Rules, QueueGrowth,
                         ::testing::Values(GrowthCase{"fits_initial", {10, 54}, 0, 64},
                                           GrowthCase{"one_over_doubles", {64, 1}, 0, 128},
                                           GrowthCase{"several_doublings", {70, 200}, 0, 512},
                                           GrowthCase{"large_single", {5000}, 0, 8192},
                                           GrowthCase{"room_after_remove", {60, 40}, 50, 64},
                                           GrowthCase{"many_small", {7, 7, 7, 7, 7, 7, 7, 7, 7, 7}, 0, 128}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ByteQueue, RemoveKeepsOrderAndMovesRestToFront) {
    terminal::ByteQueue q;
    q.put("hello world", 11);
    q.remove(6);
    EXPECT_EQ(held(q), "world");
    q.put("!", 1);
    EXPECT_EQ(held(q), "world!");
    q.remove(6);
    EXPECT_EQ(q.count(), 0);
}

TEST(ByteQueue, ReserveCommitAppendsWhereReserved) {
    terminal::ByteQueue q;
    q.put("ab", 2);
    uint8_t* at = q.reserve(300);
    for (int i = 0; i < 300; ++i)
        at[i] = uint8_t('0' + i % 10);
    q.commit(300);
    ASSERT_EQ(q.count(), 302);
    const std::string s = held(q);
    EXPECT_EQ(s.substr(0, 5), "ab012");
    EXPECT_EQ(s.back(), '9');
}

TEST(ByteQueue, CommitBeyondReserveIsRefusedAndCountsNothing) {
    terminal::ByteQueue q;
    q.reserve(10);
    EXPECT_THROW(q.commit(11), terminal::ByteQueueError);
    EXPECT_EQ(q.count(), 0);
    q.reserve(10);
    q.commit(4);
    EXPECT_THROW(q.commit(1), terminal::ByteQueueError) << "a second commit has nothing reserved";
    EXPECT_EQ(q.count(), 4);
}

TEST(ByteQueue, ShortReadsFailWithCounts) {
    terminal::ByteQueue q;
    q.put("abc", 3);
    try {
        q.peek(5);
        FAIL() << "Peek of 5 with 3 held must fail";
    } catch (const terminal::ByteQueueError& e) {
        EXPECT_STREQ(e.what(), "Not enough data in queue (3 bytes) to satisfy read request (5 bytes)");
    }
    EXPECT_THROW(q.remove(4), terminal::ByteQueueError);
    EXPECT_EQ(held(q), "abc") << "a failed removal removes nothing";
    q.clear();
    EXPECT_EQ(q.count(), 0);
    EXPECT_THROW(q.peek(1), terminal::ByteQueueError);
}

// --- bytes and characters ------------------------------------------------------------------------

struct CodecCase {
    int byte;         // -1: the character has no byte
    char16_t unicode; // the character
    bool drawn;       // whether the byte shows a glyph
};

TEST(AnsiCodec, BytesAndCharactersBothWays) {
    const CodecCase cases[] = {
        {'A', u'A', true},     {0xE9, 0x00E9, true},  {0x80, 0x20AC, true},  {0x85, 0x2026, true},
        {0x9F, 0x0178, true},  {0x81, 0x0081, false}, {0x1B, 0x001B, false}, {0x7F, 0x007F, false},
        {0x00, 0x0000, false}, {0xA0, 0x00A0, true},  {-1, 0x0085, false},   {-1, 0x4E2D, false},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte " << c.byte << " char U+" << std::hex << int(c.unicode));
        EXPECT_EQ(terminal::charToAnsi(QChar(c.unicode)), c.byte);
        if (c.byte < 0) continue;
        EXPECT_EQ(terminal::ansiToChar(uchar(c.byte)).unicode(), c.unicode);
        EXPECT_EQ(!terminal::ansiGlyphChar(uchar(c.byte)).isNull(), c.drawn);
    }
    const std::string all = [] {
        std::string s;
        for (int b = 0; b < 256; ++b)
            s += char(b);
        return s;
    }();
    EXPECT_EQ(terminal::stringToAnsi(terminal::ansiToString(all)), all)
        << "every byte survives the clipboard";
}

// --- capture file -------------------------------------------------------------------------------

class CaptureFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("brimwell-capture-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }
    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void write(const std::string& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }
    static void put(terminal::CaptureFile& c, const std::string& s) {
        c.write(reinterpret_cast<const uint8_t*>(s.data()), int(s.size()));
    }

    std::filesystem::path dir_;
};

TEST_F(CaptureFileTest, OnTruncatesAppendContinues) {
    const std::string f = path("cap.bin");
    write(f, "old;");
    {
        terminal::CaptureFile c;
        c.setFileName(f);
        c.setMode(terminal::CaptureMode::Append);
        EXPECT_EQ(c.mode(), terminal::CaptureMode::On) << "append opens and then counts as on";
        put(c, "more");
    }
    EXPECT_EQ(read(f), "old;more");
    {
        terminal::CaptureFile c;
        c.setFileName(f);
        c.setMode(terminal::CaptureMode::On);
        put(c, "new");
    }
    EXPECT_EQ(read(f), "new");
}

TEST_F(CaptureFileTest, AppendWhileOnChangesNothing) {
    const std::string f = path("cap.bin");
    terminal::CaptureFile c;
    c.setFileName(f);
    c.setMode(terminal::CaptureMode::On);
    put(c, "A");
    c.setMode(terminal::CaptureMode::Append);
    put(c, "B");
    EXPECT_EQ(c.mode(), terminal::CaptureMode::On);
    EXPECT_EQ(read(f), "AB");
}

TEST_F(CaptureFileTest, NewNameWhileAppendingStartsEmptyFile) {
    const std::string first = path("one.cap"), second = path("two.cap");
    write(first, "kept");
    write(second, "stale");
    terminal::CaptureFile c;
    c.setFileName(first);
    c.setMode(terminal::CaptureMode::Append);
    put(c, "+1");
    c.setFileName(second);
    put(c, "fresh");
    EXPECT_EQ(read(first), "kept+1");
    EXPECT_EQ(read(second), "fresh");
    EXPECT_EQ(c.mode(), terminal::CaptureMode::On);
}

TEST_F(CaptureFileTest, NameChangeWhileOffOnlyStores) {
    terminal::CaptureFile c;
    c.setFileName(path("x.cap"));
    EXPECT_FALSE(std::filesystem::exists(path("x.cap")));
    EXPECT_FALSE(c.isOpen());
    put(c, "ignored");
    EXPECT_FALSE(std::filesystem::exists(path("x.cap")));
}

TEST_F(CaptureFileTest, OffStopsCopying) {
    const std::string f = path("cap.bin");
    terminal::CaptureFile c;
    c.setFileName(f);
    c.setMode(terminal::CaptureMode::On);
    put(c, "in");
    c.setMode(terminal::CaptureMode::Off);
    put(c, "out");
    EXPECT_FALSE(c.isOpen());
    EXPECT_EQ(read(f), "in");
}

TEST_F(CaptureFileTest, AppendToMissingFileFailsAndKeepsRequestedMode) {
    terminal::CaptureFile c;
    c.setFileName(path("missing.cap"));
    try {
        c.setMode(terminal::CaptureMode::Append);
        FAIL() << "appending to a missing file must fail";
    } catch (const terminal::CaptureError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.cap"), std::string::npos) << e.what();
    }
    EXPECT_EQ(c.mode(), terminal::CaptureMode::Append);
    EXPECT_FALSE(c.isOpen());
    c.setMode(terminal::CaptureMode::On);
    EXPECT_TRUE(c.isOpen()) << "setting the mode again retries";
}

TEST_F(CaptureFileTest, EmptyNameFallsBackToDefault) {
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    {
        terminal::CaptureFile c;
        c.setFileName("");
        c.setMode(terminal::CaptureMode::On);
        EXPECT_EQ(c.fileName(), "QUAVTERM.CAP");
        put(c, "z");
    }
    EXPECT_EQ(read((dir_ / "QUAVTERM.CAP").string()), "z");
    std::filesystem::current_path(cwd);
}

} // namespace
} // namespace brimwell
