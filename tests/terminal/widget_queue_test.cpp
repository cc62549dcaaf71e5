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

std::string held(const TQuavByteQueue& q) {
    return std::string(reinterpret_cast<const char*>(q.Peek(q.Count())), size_t(q.Count()));
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
    TQuavByteQueue q;
    std::string sent;
    char next = 'a';
    for (size_t i = 0; i < c.puts.size(); ++i) {
        if (i + 1 == c.puts.size() && c.removeFirst > 0) {
            q.remove(c.removeFirst);
            sent.erase(0, size_t(c.removeFirst));
        }
        std::string chunk(size_t(c.puts[i]), next);
        next = next == 'z' ? 'a' : char(next + 1);
        q.Put(chunk.data(), int(chunk.size()));
        sent += chunk;
    }
    EXPECT_EQ(q.capacity(), c.expectCapacity);
    EXPECT_EQ(q.Count(), int(sent.size()));
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
    TQuavByteQueue q;
    q.Put("hello world", 11);
    q.remove(6);
    EXPECT_EQ(held(q), "world");
    q.Put("!", 1);
    EXPECT_EQ(held(q), "world!");
    q.remove(6);
    EXPECT_EQ(q.Count(), 0);
}

TEST(ByteQueue, ReserveCommitAppendsWhereReserved) {
    TQuavByteQueue q;
    q.Put("ab", 2);
    uint8_t* at = q.Reserve(300);
    for (int i = 0; i < 300; ++i)
        at[i] = uint8_t('0' + i % 10);
    q.Commit(300);
    ASSERT_EQ(q.Count(), 302);
    const std::string s = held(q);
    EXPECT_EQ(s.substr(0, 5), "ab012");
    EXPECT_EQ(s.back(), '9');
}

TEST(ByteQueue, CommitBeyondReserveIsRefusedAndCountsNothing) {
    TQuavByteQueue q;
    q.Reserve(10);
    EXPECT_THROW(q.Commit(11), EQuavByteQueueError);
    EXPECT_EQ(q.Count(), 0);
    q.Reserve(10);
    q.Commit(4);
    EXPECT_THROW(q.Commit(1), EQuavByteQueueError) << "a second commit has nothing reserved";
    EXPECT_EQ(q.Count(), 4);
}

TEST(ByteQueue, ShortReadsFailWithCounts) {
    TQuavByteQueue q;
    q.Put("abc", 3);
    try {
        q.Peek(5);
        FAIL() << "Peek of 5 with 3 held must fail";
    } catch (const EQuavByteQueueError& e) {
        EXPECT_STREQ(e.what(), "Not enough data in queue (3 bytes) to satisfy read request (5 bytes)");
    }
    EXPECT_THROW(q.remove(4), EQuavByteQueueError);
    EXPECT_EQ(held(q), "abc") << "a failed removal removes nothing";
    q.clear();
    EXPECT_EQ(q.Count(), 0);
    EXPECT_THROW(q.Peek(1), EQuavByteQueueError);
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
        EXPECT_EQ(charToAnsi(QChar(c.unicode)), c.byte);
        if (c.byte < 0) continue;
        EXPECT_EQ(ansiToChar(uchar(c.byte)).unicode(), c.unicode);
        EXPECT_EQ(!ansiGlyphChar(uchar(c.byte)).isNull(), c.drawn);
    }
    const std::string all = [] {
        std::string s;
        for (int b = 0; b < 256; ++b)
            s += char(b);
        return s;
    }();
    EXPECT_EQ(stringToAnsi(ansiToString(all)), all) << "every byte survives the clipboard";
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
    static void put(TQuavCaptureFile& c, const std::string& s) {
        c.write(reinterpret_cast<const uint8_t*>(s.data()), int(s.size()));
    }

    std::filesystem::path dir_;
};

TEST_F(CaptureFileTest, OnTruncatesAppendContinues) {
    const std::string f = path("cap.bin");
    write(f, "old;");
    {
        TQuavCaptureFile c;
        c.SetFileName(f);
        c.SetMode(cmAppend);
        EXPECT_EQ(c.Mode(), cmOn) << "append opens and then counts as on";
        put(c, "more");
    }
    EXPECT_EQ(read(f), "old;more");
    {
        TQuavCaptureFile c;
        c.SetFileName(f);
        c.SetMode(cmOn);
        put(c, "new");
    }
    EXPECT_EQ(read(f), "new");
}

TEST_F(CaptureFileTest, AppendWhileOnChangesNothing) {
    const std::string f = path("cap.bin");
    TQuavCaptureFile c;
    c.SetFileName(f);
    c.SetMode(cmOn);
    put(c, "A");
    c.SetMode(cmAppend);
    put(c, "B");
    EXPECT_EQ(c.Mode(), cmOn);
    EXPECT_EQ(read(f), "AB");
}

TEST_F(CaptureFileTest, NewNameWhileAppendingStartsEmptyFile) {
    const std::string first = path("one.cap"), second = path("two.cap");
    write(first, "kept");
    write(second, "stale");
    TQuavCaptureFile c;
    c.SetFileName(first);
    c.SetMode(cmAppend);
    put(c, "+1");
    c.SetFileName(second);
    put(c, "fresh");
    EXPECT_EQ(read(first), "kept+1");
    EXPECT_EQ(read(second), "fresh");
    EXPECT_EQ(c.Mode(), cmOn);
}

TEST_F(CaptureFileTest, NameChangeWhileOffOnlyStores) {
    TQuavCaptureFile c;
    c.SetFileName(path("x.cap"));
    EXPECT_FALSE(std::filesystem::exists(path("x.cap")));
    EXPECT_FALSE(c.isOpen());
    put(c, "ignored");
    EXPECT_FALSE(std::filesystem::exists(path("x.cap")));
}

TEST_F(CaptureFileTest, OffStopsCopying) {
    const std::string f = path("cap.bin");
    TQuavCaptureFile c;
    c.SetFileName(f);
    c.SetMode(cmOn);
    put(c, "in");
    c.SetMode(cmOff);
    put(c, "out");
    EXPECT_FALSE(c.isOpen());
    EXPECT_EQ(read(f), "in");
}

TEST_F(CaptureFileTest, AppendToMissingFileFailsAndKeepsRequestedMode) {
    TQuavCaptureFile c;
    c.SetFileName(path("missing.cap"));
    try {
        c.SetMode(cmAppend);
        FAIL() << "appending to a missing file must fail";
    } catch (const EQuavCaptureError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.cap"), std::string::npos) << e.what();
    }
    EXPECT_EQ(c.Mode(), cmAppend);
    EXPECT_FALSE(c.isOpen());
    c.SetMode(cmOn);
    EXPECT_TRUE(c.isOpen()) << "setting the mode again retries";
}

TEST_F(CaptureFileTest, EmptyNameFallsBackToDefault) {
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    {
        TQuavCaptureFile c;
        c.SetFileName("");
        c.SetMode(cmOn);
        EXPECT_EQ(c.FileName(), "QUAVTERM.CAP");
        put(c, "z");
    }
    EXPECT_EQ(read((dir_ / "QUAVTERM.CAP").string()), "z");
    std::filesystem::current_path(cwd);
}

} // namespace
} // namespace brimwell
