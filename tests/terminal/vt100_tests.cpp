// The VT100 emulator's parts that no screen shows: parser results, replies and who may send them,
// keys in every cursor and keypad mode, the mapping files, blinking and double-width painting, and
// the selection and view rules the window shares.
#include "terminal/selection.h"
#include "terminal/viewport.h"
#include "terminal/vt100_emulator.h"
#include "tests/terminal/emulator_fakes.h"
#include "tests/terminal/emulator_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace brimwell {
namespace {

using test::FakeTerminal;

TEST(VT100Parser, StatesArgumentsAndValidation) {
    struct Case {
        std::string in;
        terminal::ParserResult last;
        terminal::Vt100Command command;
        char final;
        std::vector<int> args;
        bool vt52 = false;
    };
    const std::string huge = "\x1b[" + std::string(300, '1') + "m";
    for (const Case& c : std::vector<Case>{
             {"a", terminal::ParserResult::Char, terminal::Vt100Command::None, 0, {}},
             {"\xC4", terminal::ParserResult::EightBitChar, terminal::Vt100Command::None, 0, {}},
             {"\x1b[", terminal::ParserResult::Pending, terminal::Vt100Command::None, 0, {}},
             {"\x1b[5;3H", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'H', {5, 3}},
             {"\x1b[H", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'H', {1, 1}},
             {"\x1b[;7f", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'f', {1, 7}},
             {"\x1b[?1;7h", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'h', {-2, 1, 7}},
             {"\x1b[m", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'm', {0}},
             {"\x1b[1;;4m", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'm', {1, 0, 4}},
             {"\x1b[n", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'n', {-1}},
             {"\x1b[1;2J", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}}, // too many
                                                                                               // arguments
             {"\x1b[>c",
              terminal::ParserResult::None,
              terminal::Vt100Command::None,
              0,
              {}}, // a marker the terminal does not know
             {"\x1b[1?c", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}}, // "?" not right
                                                                                              // after "["
             {"\x1b[1s", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}},  // s takes none
             {"\x1b[2 q", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}}, // intermediate
                                                                                              // byte
             {"\x1b[61\"p", terminal::ParserResult::Complete, terminal::Vt100Command::FullReset, 0, {}},
             {huge, terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}}, // collected bytes
                                                                                        // stay bounded
             {"\x1b[5\x07",
              terminal::ParserResult::Complete,
              terminal::Vt100Command::Bell,
              0,
              {}}, // a control byte completes inside a sequence
             {"\x1b[5\x07m", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'm', {5}},
             {"\x1b[2\x18J",
              terminal::ParserResult::Complete,
              terminal::Vt100Command::CSI,
              'J',
              {2}}, // CAN leaves the sequence alone
             {"\x1b[2\x1b[3J", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'J', {3}},
             {"\x0c", terminal::ParserResult::Complete, terminal::Vt100Command::FormFeed, 0, {2}},
             {"\x1b#6", terminal::ParserResult::Complete, terminal::Vt100Command::DblWidth, 0, {}},
             {"\x1b(0", terminal::ParserResult::Complete, terminal::Vt100Command::DesignateG0, 0, {'0'}},
             {"\x1b)B", terminal::ParserResult::Complete, terminal::Vt100Command::DesignateG1, 0, {'B'}},
             {"\x1b(%5", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}},
             {"\x1b*0", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}},
             {"\x1b<", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}},
             {"\x1b"
              "2",
              terminal::ParserResult::Complete,
              terminal::Vt100Command::None,
              0,
              {}},
             {"\x1bY%(", terminal::ParserResult::Complete, terminal::Vt100Command::CSI, 'H', {6, 9}, true},
             {"\x1bY%", terminal::ParserResult::Pending, terminal::Vt100Command::None, 0, {}, true},
             {"\x1b<", terminal::ParserResult::Complete, terminal::Vt100Command::EnterANSI, 0, {}, true},
             {"\x1bZ", terminal::ParserResult::Complete, terminal::Vt100Command::Identify52, 0, {}, true},
             {"\x1b[", terminal::ParserResult::None, terminal::Vt100Command::None, 0, {}, true},
         }) {
        terminal::Vt100Parser p;
        p.setVt52(c.vt52);
        terminal::ParserResult r = terminal::ParserResult::None;
        for (char ch : c.in)
            r = p.processChar(std::uint8_t(ch));
        SCOPED_TRACE(testing::PrintToString(c.in));
        EXPECT_EQ(r, c.last);
        EXPECT_LE(p.sequenceText().size(), terminal::Vt100Parser::kMaxSequence);
        if (r != terminal::ParserResult::Complete) continue;
        EXPECT_EQ(p.command(), c.command);
        if (c.command == terminal::Vt100Command::CSI) {
            EXPECT_EQ(p.finalByte(), std::uint8_t(c.final));
        }
        if (!c.args.empty()) {
            EXPECT_EQ(p.arguments(), c.args);
        }
    }
}

struct VT100WithTerminal : ::testing::Test {
    void SetUp() override {
        emu.setTerminal(&t);
        t.hasPortValue = t.portOpenValue = t.primary = true;
    }
    void push(const std::string& s) { emu.processBlock(s.data(), int(s.size()), terminal::CharSource::Port); }
    FakeTerminal t;
    terminal::Vt100Emulator emu;
};

TEST_F(VT100WithTerminal, RepliesOnlyFromThePortsPrimaryTerminal) {
    struct Case {
        const char* in;
        const char* reply;
    };
    for (bool primary : {true, false}) {
        for (const Case& c :
             {Case{"\x1b[c", "\x1b[?1;0c"}, Case{"\x1b[0c", "\x1b[?1;0c"}, Case{"\x1bZ", "\x1b[?1;0c"},
              Case{"\x1b[1c", ""}, Case{"\x1b[5n", "\x1b[0n"}, Case{"\x1b[3;7H\x1b[6n", "\x1b[3;7R"},
              Case{"\x1b[4n", ""}, Case{"\x1b[x", "\x1b[2;1;1;112;112;1;0x"},
              Case{"\x1b[1x", "\x1b[3;1;1;112;112;1;0x"}, Case{"\x1b[2x", "\x1b[3;1;1;112;112;1;0x"},
              Case{"\x05", "QUAVterm"}, Case{"\x1b[?2l\x1bZ\x1b<", "\x1b/Z"}}) {
            t.sent.clear();
            t.primary = primary;
            push(c.in);
            EXPECT_EQ(t.sent, primary ? c.reply : "") << testing::PrintToString(c.in);
        }
    }
}

TEST_F(VT100WithTerminal, KeysInEveryCursorAndKeypadMode) {
    struct Case {
        const char* modes;
        int key;
        terminal::ShiftState shift;
        const char* sent; // nullptr: the key is left to the normal path
    };
    for (const Case& c : {
             Case{"", 0x26, 0, "\x1b[A"},
             Case{"\x1b[?1h", 0x26, 0, "\x1bOA"},
             Case{"\x1b[?2l", 0x25, 0,
                  "\x1b"
                  "D"},
             Case{"\x1b[?1h\x1b[?2l", 0x28, 0,
                  "\x1b"
                  "B"},
             Case{"", 0x65, 0, "5"},
             Case{"\x1b=", 0x65, 0, "\x1bOu"},
             Case{"\x1b[?2l", 0x65, 0, "5"},
             Case{"\x1b[?2l\x1b=", 0x65, 0, "\x1b?u"},
             Case{"\x1b[?999h", 0x6B, 0, "\x1bOm"},
             Case{"\x1b=", 0x6E, terminal::kModCtrl, "\x1bOl"},
             Case{"", 0x70, 0, "\x1bOP"},
             Case{"\x1b[?2l", 0x73, 0, "\x1bS"},
             Case{"\x1b=", 0x2B, 0, "\x1bOM"},
             Case{"", 0x2B, 0, "\r"},
             Case{"\x1b[20h", 0x2B, 0, "\r\n"},
             Case{"", 0x08, 0, "\x7f"},
             Case{"", 0x08, terminal::kModShift, "\b"},
             Case{"", 0x0D, terminal::kModShift, "\n"},
             Case{"", 0x20, terminal::kModCtrl, std::string_view("\0", 1).data()},
             Case{"", 0x41, 0, nullptr},
             Case{"", 0x26, terminal::kModAlt, nullptr},
             Case{"", 0x26 | 0x8000, 0, "\x1b[A"},
             Case{"\x1b[?8l", 0x26 | 0x8000, 0, ""},
         }) {
        terminal::Vt100Emulator e;
        FakeTerminal term;
        e.setTerminal(&term);
        term.hasPortValue = term.portOpenValue = true;
        e.processBlock(c.modes, int(std::strlen(c.modes)), terminal::CharSource::Port);
        int key = c.key;
        e.keyDown(key, c.shift);
        SCOPED_TRACE(testing::PrintToString(c.modes) + " key " + std::to_string(c.key));
        if (!c.sent) {
            EXPECT_EQ(key, c.key);
            EXPECT_EQ(term.sent, "");
            continue;
        }
        EXPECT_EQ(key, 0);
        EXPECT_EQ(term.sent, c.key == 0x20 ? std::string(1, '\0') : std::string(c.sent));
    }
}

TEST(VT100Mappings, ResourcesBinaryFormAndTextForm) {
    terminal::KeyboardMapping keys;
    terminal::CharSetMapping sets;
    ASSERT_TRUE(keys.loadFromRes("QVVT100KEYMAP"));
    ASSERT_TRUE(sets.loadFromRes("QVVT100CHARSET"));
    EXPECT_EQ(keys.count(), 221);
    EXPECT_EQ(sets.count(), 603);
    EXPECT_FALSE(keys.loadFromRes("NOSUCH"));
    EXPECT_EQ(keys.count(), 0);

    const std::string bin = sets.storeToBin();
    terminal::CharSetMapping again;
    ASSERT_TRUE(again.loadFromBin(bin));
    EXPECT_EQ(again.storeToBin(), bin);
    for (const std::string& broken :
         {bin.substr(1), bin.substr(0, bin.size() - 1), bin.substr(0, bin.size() / 2), bin.substr(0, 8)}) {
        EXPECT_FALSE(again.loadFromBin(broken));
        EXPECT_EQ(again.count(), 0);
    }

    ASSERT_TRUE(sets.loadFromText(
        "* comment\nnot indented x x F \\x41\n"
        " 'my set' a c \"Odd Font\" \\x41\n \"my set\" \\x62 \\x62 F z\n x \\x3 \\x3 F A\n"));
    std::string font;
    std::uint8_t glyph = 0;
    EXPECT_EQ(sets.count(), 3); // b is already mapped: its range is refused whole; \x3 is malformed
    EXPECT_TRUE(sets.get("my set", 'c', font, glyph));
    EXPECT_EQ(font, "Odd Font");
    EXPECT_EQ(glyph, 'C');
    sets.generateDrawScript("my set", "xab");
    std::string text;
    ASSERT_TRUE(sets.getNextDrawCommand(font, text));
    EXPECT_EQ(font + "|" + text, "<Default>|x");
    ASSERT_TRUE(sets.getNextDrawCommand(font, text));
    EXPECT_EQ(font + "|" + text, "Odd Font|AB");
    EXPECT_FALSE(sets.getNextDrawCommand(font, text));

    ASSERT_TRUE(keys.loadFromText("* c\nK1   some value  \nK1 again\n"));
    EXPECT_EQ(keys.get("K1"), "some value");
    EXPECT_EQ(keys.count(), 1);
    EXPECT_FALSE(keys.add(std::string(64, 'k'), "v"));
}

TEST_F(VT100WithTerminal, BlinkAndDoubleWidthPainting) {
    push("ab\x1b[5mBL\x1b[m\r\n\x1b#6wide");
    ASSERT_EQ(emu.blinkSegments().size(), 1u);
    EXPECT_EQ(emu.blinkSegments()[0].firstCol, 3);
    emu.blinkPaint(false);
    ASSERT_EQ(t.recording.fills.size(), 1u);
    EXPECT_EQ(t.recording.fills[0].first, (terminal::TermRect{16, 0, 32, 16}));
    struct View {
        int originCol;
        const char* first; // the row's text from the first cell drawn
        int left;
    };
    for (const View& v : {View{1, "wide", 0}, View{2, "wide", -8}, View{3, "ide ", 0}}) {
        t.recording.clear();
        t.originColValue = v.originCol;
        emu.paint();
        // Cells of the double-width row are twice as wide, from the cell under the left edge.
        const auto it =
            std::find_if(t.recording.texts.begin(), t.recording.texts.end(), [&](const test::DrawnText& d) {
                return d.text.rfind(v.first, 0) == 0 && d.advance == 16;
            });
        ASSERT_NE(it, t.recording.texts.end()) << v.originCol;
        EXPECT_EQ(it->cell.left, v.left) << v.originCol;
    }
    push("\x1b[2J");
    EXPECT_FALSE(emu.hasBlinkingText());
}

TEST_F(VT100WithTerminal, ScreenModesAndTheByteHook) {
    struct Case {
        const char* in;
        bool reverse, cols132, app, vt52;
    };
    for (const Case& c :
         {Case{"\x1b[?5h", true, false, false, false}, Case{"\x1b[?3h", false, true, false, false},
          Case{"\x1b[?3;5h\x1b[?1h\x1b[?2l", true, true, true, true},
          Case{"\x1b[?3;5h\x1b[?1h\x1b[?2l\x1b<\x1b"
               "c",
               false, false, false, false}}) {
        terminal::Vt100Emulator e; // without a terminal the emulator sets the buffer's columns itself
        e.processBlock(c.in, int(std::strlen(c.in)), terminal::CharSource::Port);
        SCOPED_TRACE(testing::PrintToString(c.in));
        EXPECT_EQ(e.reverseScreen(), c.reverse);
        EXPECT_EQ(e.buffer()->colCount(), c.cols132 ? 132 : 80);
        EXPECT_EQ(e.cursorKeyApplication(), c.app);
        EXPECT_EQ(!e.ansiMode(), c.vt52);
    }
    // Reverse screen exchanges the colours of every cell when painted.
    push("\x1b[?5hR");
    t.recording.clear();
    emu.paint();
    ASSERT_FALSE(t.recording.texts.empty());
    EXPECT_EQ(t.recording.texts.front().text[0], 'R');
    EXPECT_EQ(t.recording.texts.front().back, terminal::kSilver);
    // The per-byte hook may replace a byte by a whole sequence and add commands before it.
    emu.onProcessChar = [](terminal::TerminalEmulator*, std::uint8_t ch, std::string& text,
                           terminal::EmuCommandList& cmds, terminal::CharSource) {
        if (ch == '!') text = "\x1b[3;4H*";
        if (ch == '#') cmds.addCommand(terminal::EmuCommand::Home);
    };
    push("!#");
    EXPECT_EQ(std::string(emu.buffer()->getLineCharPtr(3), 4), "   *");
    EXPECT_EQ(emu.buffer()->getLineCharPtr(1)[0], '#');
}

// Screens the cursor and writing leave, as scripts (see emulator_script.h).
class VT100Screens : public ::testing::TestWithParam<test::ScriptCase> {};

TEST_P(VT100Screens, Run) {
    EXPECT_EQ(test::runScriptCase<terminal::Vt100Emulator>(GetParam()), "");
}

const test::ScriptCase kVT100Screens[] = {
    // A double-width or double-height row shows half the line: the cursor stops at its last
    // position, where a character waits to wrap as in the last column of a normal row.
    {"DoubleSizeRowsHoldTheCursorToTheirLastPosition", R"(
push "\e#6\t\t\t\t\t\t\t\t"
cursor 1,40
push "\e[9C\e[?3h\e#3\e[1;99H"
cursor 1,66
push "\e[?3l\e[3;38H\e#6abcd"
rows 3 "                                     abc" 4 "d"
)"},
    // Stops every 8 columns across the 132-column line; those of columns beyond 80 are kept while
    // the line is 80 wide, and clearing all clears them too.
    {"TabStopsAcrossThe132ColumnLine", R"(
push "\e[?3h\r\t\t\t\t\t\t\t\t\t\t\t"
cursor 1,89
push "\e[3g\e[?3l\e[?3h\r\t"
cursor 1,132
)"},
};
INSTANTIATE_TEST_SUITE_P(emulator, VT100Screens, ::testing::ValuesIn(kVT100Screens),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalSelection, RangeMarksAndText) {
    terminal::TerminalBuffer b;
    b.writeString("hello world");
    terminal::Selection s;
    int changed = 0;
    s.begin(7, 1);
    s.dragTo(b, 3, 2, [&](int) { ++changed; });
    EXPECT_EQ((std::vector<int>{s.startCol, s.startRow, s.endCol, s.endRow}), (std::vector<int>{7, 1, 3, 2}));
    EXPECT_EQ(s.text(b).substr(0, 7), "world  ");
    EXPECT_TRUE(b.getLineAttrPtr(2)[2] & terminal::kAttrSelected);
    s.drop(&b, [&](int) { ++changed; });
    EXPECT_FALSE(b.getLineAttrPtr(1)[7] & terminal::kAttrSelected);
    EXPECT_EQ(changed, 4);
}

TEST(TerminalViewport, ExtentBarsOriginAndFollowing) {
    terminal::Viewport v;
    v.setBuffer(80, 24, 200);
    v.computeExtent(400, 200, 8, 16); // 50 columns, 12.5 rows
    EXPECT_EQ((std::vector<int>{v.visibleCols, v.fullCols, v.visibleRows, v.fullRows}),
              (std::vector<int>{50, 50, 13, 12}));
    EXPECT_TRUE(v.hBarNeeded() && v.vBarNeeded());
    EXPECT_TRUE(v.setOrigin(99, -5));
    EXPECT_EQ(v.originCol, 31);
    EXPECT_EQ(v.originRow, 1);
    v.scrollback = true;
    EXPECT_EQ(v.lowestOriginRow(), -175);
    int col = 0, row = 0;
    v.followTarget(20, 10, col, row);
    EXPECT_EQ(col, 10);
    EXPECT_EQ(row, 8);
}

} // namespace
} // namespace brimwell
