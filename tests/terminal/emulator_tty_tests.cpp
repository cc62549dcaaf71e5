// The teletype emulator with a terminal: keys to the port, local echo, the per-byte hook, the cursor
// handler's duties, the need-update rule and linking emulators to terminals.
#include "tests/terminal/emulator_fakes.h"
#include "tests/terminal/emulator_script.h"

#include <gtest/gtest.h>

#include <memory>

namespace brimwell {
namespace {

using test::FakeTerminal;

class TTYWithTerminal : public ::testing::Test {
  protected:
    void SetUp() override { emu.teSetTerminal(&t); }
    std::string row(int r) {
        std::string s(emu.Buffer()->GetLineCharPtr(r), 80);
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }
    FakeTerminal t;
    TQuavTTYEmulator emu;
};

TEST_F(TTYWithTerminal, TypedKeysGoToAnOpenPort) {
    struct Case {
        bool hasPort, open, halfDuplex;
        char key;
        const char* sent;
        const char* shown;
        char keyAfter;
    };
    for (const Case& c :
         {Case{true, true, false, 'a', "a", "", 'a'}, Case{true, true, false, '\b', "\x7f", "", '\x7f'},
          Case{true, true, false, '\x03', "\x03", "", '\x03'}, Case{true, false, false, 'a', "", "", 'a'},
          Case{false, false, false, 'a', "", "", 'a'}, Case{true, false, true, 'q', "", "q", 'q'},
          Case{true, true, true, 'q', "q", "q", 'q'}}) {
        FakeTerminal term;
        TQuavTTYEmulator e;
        e.teSetTerminal(&term);
        term.hasPort = c.hasPort;
        term.portOpen = c.open;
        term.halfDuplex = c.halfDuplex;
        char key = c.key;
        e.KeyPress(key);
        EXPECT_EQ(term.sent, c.sent) << int(c.key) << c.hasPort << c.open << c.halfDuplex;
        EXPECT_EQ(key, c.keyAfter);
        std::string shown(e.Buffer()->GetLineCharPtr(1), 1);
        EXPECT_EQ(shown == " " ? "" : shown, c.shown);
    }
}

TEST_F(TTYWithTerminal, KeyDownSendsNothing) {
    t.hasPort = t.portOpen = true;
    int key = 0x25; // cursor left
    emu.KeyDown(key, ssShift);
    EXPECT_EQ(key, 0x25);
    EXPECT_EQ(t.sent, "");
}

TEST(TTYEmulator, KeysWithoutATerminalAreDropped) {
    TQuavTTYEmulator emu;
    char key = '\b';
    emu.KeyPress(key);
    EXPECT_EQ(key, '\x7f');
    EXPECT_FALSE(emu.Buffer()->HasDisplayChanged() && emu.Buffer()->GetLineCharPtr(1)[0] != ' ');
}

TEST_F(TTYWithTerminal, ProcessCharHookReplacesTextAndAddsCommands) {
    std::vector<std::pair<int, TQuavCharSource>> seen;
    emu.OnProcessChar = [&](TQuavTerminalEmulator* sender, std::uint8_t ch, std::string& text,
                            TQuavEmuCommandList& commands, TQuavCharSource source) {
        EXPECT_EQ(sender, &emu);
        EXPECT_EQ(text, std::string(1, static_cast<char>(ch)));
        EXPECT_EQ(commands.Count(), 0); // emptied for every byte
        seen.emplace_back(ch, source);
        if (ch == 'x') text.clear();
        if (ch == 'u') text = "UU\tV";
        if (ch == '!') {
            commands.AddCommand(ecCursorPos).Params.AddIntegerArg(3);
            commands.AddCommand(ecAddBold);
        }
    };
    const char data[] = "axu!b\x1b";
    emu.ProcessBlock(data, 6, csWriteChar);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], std::make_pair(int('a'), csWriteChar));
    EXPECT_EQ(row(1), "aUU     V");
    EXPECT_EQ(row(3), "!b"); // commands ran before the text; the ESC was ignored
    EXPECT_EQ(emu.Buffer()->GetLineAttrPtr(3)[0], tcaBold);
}

TEST_F(TTYWithTerminal, CursorHandlerAsksForUpdatesAndFollows) {
    t.follow = true;
    emu.ProcessBlock("ab", 2, csPort);
    EXPECT_EQ(t.cursorEvents, (std::vector<std::pair<int, int>>{{1, 2}, {1, 3}}));
    EXPECT_EQ(t.followed, t.cursorEvents);
    EXPECT_EQ(t.needsUpdate, 2); // one per move
    t.lazy = true;
    t.follow = false;
    t.needsUpdate = 0;
    emu.ProcessBlock("c", 1, csPort);
    EXPECT_EQ(t.needsUpdate, 0); // lazy display repaints from the terminal's timer instead
    EXPECT_EQ(t.followed.size(), 2u);
}

TEST_F(TTYWithTerminal, HiddenScrollBarsFollowTheCursorBeyondTheView) {
    t.hideScrollbars = true;
    t.fullRows = 10;
    t.fullCols = 40;
    emu.Buffer()->SetCursorPosition(5, 5);
    EXPECT_EQ(t.scrollBarUpdates, 0);
    emu.Buffer()->SetCursorPosition(12, 5);
    EXPECT_TRUE(t.beyondRows);
    EXPECT_FALSE(t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 1);
    emu.Buffer()->SetCursorPosition(13, 50);
    EXPECT_TRUE(t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 2);
    emu.Buffer()->SetCursorPosition(13, 51);
    EXPECT_EQ(t.scrollBarUpdates, 2);
    emu.Buffer()->SetCursorPosition(1, 1); // row first, then column: two changes
    EXPECT_FALSE(t.beyondRows || t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 4);
}

TEST_F(TTYWithTerminal, NeedsUpdateAfterChangesOrMoves) {
    EXPECT_TRUE(emu.teGetNeedsUpdate()); // construction invalidated the screen
    TQuavTermRect r;
    emu.Buffer()->GetInvalidRect(r);
    emu.Buffer()->HasCursorMoved();
    EXPECT_FALSE(emu.teGetNeedsUpdate());
    emu.Buffer()->tbSetCol(5);
    EXPECT_TRUE(emu.teGetNeedsUpdate()); // the move, read and cleared
    EXPECT_FALSE(emu.teGetNeedsUpdate());
    emu.ProcessBlock("z", 1, csPort);
    EXPECT_TRUE(emu.teGetNeedsUpdate());
    EXPECT_TRUE(emu.teGetNeedsUpdate()); // pending cells stay until painted
}

TEST_F(TTYWithTerminal, ClearVersusClearAll) {
    EXPECT_EQ(test::runEmulatorScript(emu, "push \"a\\r\\nbc\""), "");
    emu.teClear();
    EXPECT_EQ(row(-22), "bc");
    EXPECT_EQ(emu.Buffer()->tbGetRow(), 2);
    EXPECT_EQ(emu.Buffer()->tbGetCol(), 3);
    emu.teClearAll();
    EXPECT_EQ(row(-22), "");
    EXPECT_EQ(emu.Buffer()->tbGetRow(), 1);
    EXPECT_EQ(emu.Buffer()->tbGetCol(), 1);
}

TEST(EmulatorLinks, OneEmulatorPerTerminalBothWays) {
    FakeTerminal t1, t2;
    auto e1 = std::make_unique<TQuavTTYEmulator>();
    TQuavTTYEmulator e2;
    e1->teSetTerminal(&t1);
    EXPECT_EQ(e1->Terminal(), &t1);
    EXPECT_EQ(t1.emulator, e1.get());
    e2.teSetTerminal(&t1); // takes the terminal away from e1
    EXPECT_EQ(e1->Terminal(), nullptr);
    EXPECT_EQ(e2.Terminal(), &t1);
    EXPECT_EQ(t1.emulator, &e2);
    t2.SetEmulator(e1.get()); // the terminal's side links too
    EXPECT_EQ(e1->Terminal(), &t2);
    e1->teSetTerminal(&t1); // moves: t2 loses it, e2 loses t1
    EXPECT_EQ(t2.emulator, nullptr);
    EXPECT_EQ(e2.Terminal(), nullptr);
    EXPECT_EQ(t1.emulator, e1.get());
    e1.reset(); // destroying a linked emulator unlinks it
    EXPECT_EQ(t1.emulator, nullptr);
}

TEST(EmulatorLinks, InternalEmulatorOnlyRecordsItsTerminal) {
    FakeTerminal t;
    {
        TQuavTTYEmulator internal;
        internal.SetInternal(true);
        internal.teSetTerminal(&t);
        EXPECT_EQ(internal.Terminal(), &t);
        EXPECT_TRUE(t.emulatorsSet.empty());
    }
    EXPECT_TRUE(t.emulatorsSet.empty()); // nor is it unlinked when it goes
}

TEST(EmulatorLinks, RemovedTerminalIsForgottenAndANewOneTaken) {
    FakeTerminal t1, t2;
    TQuavTTYEmulator e;
    e.teSetTerminal(&t1);
    e.TerminalAdded(&t2); // already linked: ignored
    EXPECT_EQ(e.Terminal(), &t1);
    e.TerminalRemoved(&t2);
    EXPECT_EQ(e.Terminal(), &t1);
    e.TerminalRemoved(&t1);
    EXPECT_EQ(e.Terminal(), nullptr);
    e.TerminalAdded(&t2);
    EXPECT_EQ(e.Terminal(), &t2);
}

} // namespace
} // namespace brimwell
