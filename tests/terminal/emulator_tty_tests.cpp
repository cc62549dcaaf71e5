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
    void SetUp() override { emu.setTerminal(&t); }
    std::string row(int r) {
        std::string s(emu.buffer()->getLineCharPtr(r), 80);
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }
    FakeTerminal t;
    terminal::TtyEmulator emu;
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
        terminal::TtyEmulator e;
        e.setTerminal(&term);
        term.hasPortValue = c.hasPort;
        term.portOpenValue = c.open;
        term.halfDuplexValue = c.halfDuplex;
        char key = c.key;
        e.keyPress(key);
        EXPECT_EQ(term.sent, c.sent) << int(c.key) << c.hasPort << c.open << c.halfDuplex;
        EXPECT_EQ(key, c.keyAfter);
        std::string shown(e.buffer()->getLineCharPtr(1), 1);
        EXPECT_EQ(shown == " " ? "" : shown, c.shown);
    }
}

TEST_F(TTYWithTerminal, KeyDownSendsNothing) {
    t.hasPortValue = t.portOpenValue = true;
    int key = 0x25; // cursor left
    emu.keyDown(key, terminal::kModShift);
    EXPECT_EQ(key, 0x25);
    EXPECT_EQ(t.sent, "");
}

TEST(TTYEmulator, KeysWithoutATerminalAreDropped) {
    terminal::TtyEmulator emu;
    char key = '\b';
    emu.keyPress(key);
    EXPECT_EQ(key, '\x7f');
    EXPECT_FALSE(emu.buffer()->hasDisplayChanged() && emu.buffer()->getLineCharPtr(1)[0] != ' ');
}

TEST_F(TTYWithTerminal, ProcessCharHookReplacesTextAndAddsCommands) {
    std::vector<std::pair<int, terminal::CharSource>> seen;
    emu.onProcessChar = [&](terminal::TerminalEmulator* sender, std::uint8_t ch, std::string& text,
                            terminal::EmuCommandList& commands, terminal::CharSource source) {
        EXPECT_EQ(sender, &emu);
        EXPECT_EQ(text, std::string(1, static_cast<char>(ch)));
        EXPECT_EQ(commands.count(), 0); // emptied for every byte
        seen.emplace_back(ch, source);
        if (ch == 'x') text.clear();
        if (ch == 'u') text = "UU\tV";
        if (ch == '!') {
            commands.addCommand(terminal::EmuCommand::CursorPos).params.addIntegerArg(3);
            commands.addCommand(terminal::EmuCommand::AddBold);
        }
    };
    const char data[] = "axu!b\x1b";
    emu.processBlock(data, 6, terminal::CharSource::WriteChar);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], std::make_pair(int('a'), terminal::CharSource::WriteChar));
    EXPECT_EQ(row(1), "aUU     V");
    EXPECT_EQ(row(3), "!b"); // commands ran before the text; the ESC was ignored
    EXPECT_EQ(emu.buffer()->getLineAttrPtr(3)[0], terminal::kAttrBold);
}

TEST_F(TTYWithTerminal, CursorHandlerAsksForUpdatesAndFollows) {
    t.follow = true;
    emu.processBlock("ab", 2, terminal::CharSource::Port);
    EXPECT_EQ(t.cursorEvents, (std::vector<std::pair<int, int>>{{1, 2}, {1, 3}}));
    EXPECT_EQ(t.followed, t.cursorEvents);
    EXPECT_EQ(t.needsUpdate, 2); // one per move
    t.lazy = true;
    t.follow = false;
    t.needsUpdate = 0;
    emu.processBlock("c", 1, terminal::CharSource::Port);
    EXPECT_EQ(t.needsUpdate, 0); // lazy display repaints from the terminal's timer instead
    EXPECT_EQ(t.followed.size(), 2u);
}

TEST_F(TTYWithTerminal, HiddenScrollBarsFollowTheCursorBeyondTheView) {
    t.hideScrollbarsValue = true;
    t.fullRowsValue = 10;
    t.fullColsValue = 40;
    emu.buffer()->setCursorPosition(5, 5);
    EXPECT_EQ(t.scrollBarUpdates, 0);
    emu.buffer()->setCursorPosition(12, 5);
    EXPECT_TRUE(t.beyondRows);
    EXPECT_FALSE(t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 1);
    emu.buffer()->setCursorPosition(13, 50);
    EXPECT_TRUE(t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 2);
    emu.buffer()->setCursorPosition(13, 51);
    EXPECT_EQ(t.scrollBarUpdates, 2);
    emu.buffer()->setCursorPosition(1, 1); // row first, then column: two changes
    EXPECT_FALSE(t.beyondRows || t.beyondCols);
    EXPECT_EQ(t.scrollBarUpdates, 4);
}

TEST_F(TTYWithTerminal, NeedsUpdateAfterChangesOrMoves) {
    EXPECT_TRUE(emu.needsUpdate()); // construction invalidated the screen
    terminal::TermRect r;
    emu.buffer()->getInvalidRect(r);
    emu.buffer()->hasCursorMoved();
    EXPECT_FALSE(emu.needsUpdate());
    emu.buffer()->setCursorCol(5);
    EXPECT_TRUE(emu.needsUpdate()); // the move, read and cleared
    EXPECT_FALSE(emu.needsUpdate());
    emu.processBlock("z", 1, terminal::CharSource::Port);
    EXPECT_TRUE(emu.needsUpdate());
    EXPECT_TRUE(emu.needsUpdate()); // pending cells stay until painted
}

TEST_F(TTYWithTerminal, ClearVersusClearAll) {
    EXPECT_EQ(test::runEmulatorScript(emu, "push \"a\\r\\nbc\""), "");
    emu.clear();
    EXPECT_EQ(row(-22), "bc");
    EXPECT_EQ(emu.buffer()->cursorRow(), 2);
    EXPECT_EQ(emu.buffer()->cursorCol(), 3);
    emu.clearAll();
    EXPECT_EQ(row(-22), "");
    EXPECT_EQ(emu.buffer()->cursorRow(), 1);
    EXPECT_EQ(emu.buffer()->cursorCol(), 1);
}

TEST(EmulatorLinks, OneEmulatorPerTerminalBothWays) {
    FakeTerminal t1, t2;
    auto e1 = std::make_unique<terminal::TtyEmulator>();
    terminal::TtyEmulator e2;
    e1->setTerminal(&t1);
    EXPECT_EQ(e1->terminal(), &t1);
    EXPECT_EQ(t1.emulator, e1.get());
    e2.setTerminal(&t1); // takes the terminal away from e1
    EXPECT_EQ(e1->terminal(), nullptr);
    EXPECT_EQ(e2.terminal(), &t1);
    EXPECT_EQ(t1.emulator, &e2);
    t2.setEmulator(e1.get()); // the terminal's side links too
    EXPECT_EQ(e1->terminal(), &t2);
    e1->setTerminal(&t1); // moves: t2 loses it, e2 loses t1
    EXPECT_EQ(t2.emulator, nullptr);
    EXPECT_EQ(e2.terminal(), nullptr);
    EXPECT_EQ(t1.emulator, e1.get());
    e1.reset(); // destroying a linked emulator unlinks it
    EXPECT_EQ(t1.emulator, nullptr);
}

TEST(EmulatorLinks, InternalEmulatorOnlyRecordsItsTerminal) {
    FakeTerminal t;
    {
        terminal::TtyEmulator internal;
        internal.setInternal(true);
        internal.setTerminal(&t);
        EXPECT_EQ(internal.terminal(), &t);
        EXPECT_TRUE(t.emulatorsSet.empty());
    }
    EXPECT_TRUE(t.emulatorsSet.empty()); // nor is it unlinked when it goes
}

TEST(EmulatorLinks, RemovedTerminalIsForgottenAndANewOneTaken) {
    FakeTerminal t1, t2;
    terminal::TtyEmulator e;
    e.setTerminal(&t1);
    e.terminalAdded(&t2); // already linked: ignored
    EXPECT_EQ(e.terminal(), &t1);
    e.terminalRemoved(&t2);
    EXPECT_EQ(e.terminal(), &t1);
    e.terminalRemoved(&t1);
    EXPECT_EQ(e.terminal(), nullptr);
    e.terminalAdded(&t2);
    EXPECT_EQ(e.terminal(), &t2);
}

} // namespace
} // namespace brimwell
