// The generic command interpreter: parameters (named, positional, defaults, bad text) and what each
// command does to the buffer, as scripts; then the commands that talk to the terminal.
#include "tests/terminal/emulator_fakes.h"
#include "tests/terminal/emulator_script.h"

#include <gtest/gtest.h>

namespace brimwell {
namespace {

TEST(EmuCommandParams, NamedThenPositionalThenDefault) {
    terminal::EmuCommandParams p;
    p.addIntegerArg(7);
    p.addNamedIntegerArg("Col", 9);
    p.addStringArg("x");
    EXPECT_EQ(p.getIntegerValue("Col", 0, 1), 9);   // the name wins over the position
    EXPECT_EQ(p.getIntegerValue("Row", 0, 1), 7);   // no such name: position 0
    EXPECT_EQ(p.getIntegerValue("", 1, 1), 9);      // an empty name finds nothing
    EXPECT_EQ(p.getIntegerValue("Row", 5, 42), 42); // neither
    EXPECT_EQ(p.getIntegerValue("Row", 2, 42), 42); // "x" is not a number
    EXPECT_EQ(p.getStringValue("Row", 2, "d"), "x");
    EXPECT_EQ(p.getStringValue("col", 9, "d"), "d"); // names compare exactly
}

TEST(EmuCommandParams, StoredTexts) {
    terminal::EmuCommandParams p;
    p.addBooleanArg(true);
    p.addBooleanArg(false);
    p.addIntegerArg(-12);
    p.addTColorArg(0xC0C0C0);
    EXPECT_EQ(p[0].value, "TRUE");
    EXPECT_EQ(p[1].value, "FALSE");
    EXPECT_EQ(p[2].value, "-12");
    EXPECT_EQ(p[3].value, "12632256");
    EXPECT_EQ(p.getTColorValue("", 3, 0), 0xC0C0C0u);
}

TEST(EmuCommandParams, BooleanTexts) {
    struct Case {
        const char* text;
        bool def;
        bool want;
    };
    for (const Case& c : {Case{"t", false, true}, Case{"TRUE", false, true}, Case{"1", false, true},
                          Case{"On", false, true}, Case{"yes", false, true}, Case{"f", true, false},
                          Case{"False", true, false}, Case{"0", true, false}, Case{"OFF", true, false},
                          Case{"no", true, false}, Case{"maybe", true, true}, Case{"maybe", false, false},
                          Case{"", true, true}, Case{"2", false, false}}) {
        terminal::EmuCommandParams p;
        p.addStringArg(c.text);
        EXPECT_EQ(p.getBooleanValue("", 0, c.def), c.want) << '"' << c.text << '"';
    }
}

TEST(EmuCommandList, ClearKeepsNothingVisible) {
    terminal::EmuCommandList list;
    list.addCommand(terminal::EmuCommand::CursorPos).params.addIntegerArg(3);
    list.addCommand(terminal::EmuCommand::Bell);
    EXPECT_EQ(list.count(), 2);
    list.clear();
    EXPECT_EQ(list.count(), 0);
    auto& again = list.addCommand(terminal::EmuCommand::CR);
    EXPECT_EQ(again.command, terminal::EmuCommand::CR);
    EXPECT_EQ(again.params.count(), 0); // parameters of the earlier use are gone
}

using test::ScriptCase;

class CommandScript : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(CommandScript, Runs) {
    EXPECT_EQ(test::runScriptCase<terminal::TtyEmulator>(GetParam()), "");
}

const ScriptCase kCommands[] = {
    {"CursorMovesWithDefaults", R"(
cmd ecCursorPos 5 10
cursor 5,10
cmd ecCursorPos Col=3 Row=4
cursor 4,3
cmd ecCursorPos
cursor 1,1
cmd ecCursorDown
cmd ecCursorRight
cursor 2,2
cmd ecCursorUp
cmd ecCursorLeft
cursor 1,1
cmd ecCursorUp Scroll=yes
cursor 1,1
cmd ecCursorEOL
cursor 1,80
cmd ecCursorRight Wrap=1 Scroll=0
cursor 2,1
cmd ecCursorBottom
cursor 24,1
cmd ecCursorTop
cursor 1,1
cmd ecCursorPos 3 3
cmd ecCursorPos abc x
cursor 1,1
)"},
    {"ControlCommands", R"(
push "abc"
cmd ecBackspace
cmd ecCR
cursor 1,1
cmd ecTabHorz
cursor 1,9
cmd ecBackTabHorz
cursor 1,1
cmd ecLF
cursor 2,1
push "xy"
cmd ecNEL
cursor 3,1
cmd ecNewLineMode
push "ab"
cmd ecNEL
cursor 4,1
cmd ecNoNewLineMode
)"},
    {"EditingCommands", R"(
push "0123456789"
cmd ecCursorPos 1 3
cmd ecInsertChars 2
rows 1 "01  23456789"
cmd ecDeleteChars Count=3
rows 1 "013456789"
cmd ecEraseChars
rows 1 "01 456789"
cmd ecEraseToEOL
rows 1 "01"
cmd ecInsertLines
rows 1 "" 2 "01"
cmd ecDeleteLines
rows 1 "01"
cmd ecEraseLine
rows 1 ""
)"},
    {"EraseCommands", R"(
pushlines 1 3
cmd ecCursorPos 2 2
cmd ecEraseFromBOL
rows 2 "" 1 "L1"
cmd ecEraseToEOW
rows 2 "" 3 ""
cmd ecEraseFromBOW
rows 1 ""
push "z"
cmd ecEraseScreen
rows -23 "" -22 " z"
cursor 2,3
cmd ecEraseAll
rows -22 ""
cursor 1,1
)"},
    {"ClearAndHome", R"(
push "abc\r\ndef"
cmd ecClearAndHome
cursor 1,1
rows 1 "" -23 "abc"
cmd ecCursorPos 4 4
cmd ecHome
cursor 1,1
)"},
    {"TabStopCommands", R"(
cmd ecClearAllHorzTabStops
cmd ecCursorPos 1 4
cmd ecSetHorzTabStop
cmd ecCursorPos 1 1
cmd ecTabHorz
cursor 1,4
cmd ecClearHorzTabStop
cmd ecCursorPos 1 1
cmd ecTabHorz
cursor 1,80
cmd ecCursorPos 7 1
cmd ecSetVertTabStop
cmd ecCursorPos 1 1
cmd ecTabVert
cursor 7,1
cmd ecClearVertTabStop
cmd ecBackTabVert
cursor 1,1
cmd ecSetVertTabStop
cmd ecClearAllVertTabStops
cmd ecCursorPos 5 1
cmd ecBackTabVert
cursor 1,1
)"},
    {"RegionCommands", R"(
cmd ecSetScrollRegion 4 8
get UseScrollRegion 1
cursor 4,1
cmd ecNoScrollRegion
get UseScrollRegion 0
cursor 1,1
cmd ecScrollRegion
get OriginRow 4
cmd ecNoAbsAddress
cursor 1,1
get UseAbsAddress 0
cmd ecAbsAddress
cursor 4,1
cmd ecSetScrollRegion Bottom=24 Top=1
get UseScrollRegion 0
)"},
    {"ModeCommands", R"(
cmd ecNoAutoWrap
get UseAutoWrap 0
cmd ecAutoWrap
get UseAutoWrap 1
cmd ecNoAutoWrapDelay
get UseAutoWrapDelay 0
cmd ecAutoWrapDelay
get UseAutoWrapDelay 1
cmd ecInsertMode
get UseInsertMode 1
cmd ecNoInsertMode
get UseInsertMode 0
)"},
    {"AttributeCommands", R"(
cmd ecSetCharAttr Underline=1 Bold=TRUE
get CharAttrs 0x03
cmd ecSetCharAttr f t f t
get CharAttrs 0x0A
cmd ecSetCharAttr
get CharAttrs 0
cmd ecAddBold
cmd ecAddReverse
get CharAttrs 0x11
cmd ecInvertBold
get CharAttrs 0x10
cmd ecUnderlineOnly
get CharAttrs 0x02
cmd ecRemoveUnderline
cmd ecAddStrikethrough
cmd ecInvertBlink
get CharAttrs 0x0C
cmd ecStrikethroughOnly
cmd ecInvertStrikethrough
cmd ecBlinkOnly
cmd ecRemoveBlink
cmd ecAddUnderLine
cmd ecInvertUnderline
cmd ecRemoveStrikethrough
cmd ecAddBlink
cmd ecBoldOnly
get CharAttrs 0x01
cmd ecRemoveBold
cmd ecReverseOnly
cmd ecInvertReverse
cmd ecRemoveReverse
cmd ecAddInvisible
get CharAttrs 0x20
cmd ecInvisibleOnly
cmd ecInvertInvisible
cmd ecRemoveInvisible
get CharAttrs 0
cmd ecAddSelected
cmd ecAddBold
get CharAttrs 0x41
cmd ecRemoveAllAttrIgnoreSelect
get CharAttrs 0x40
cmd ecRemoveSelected
get CharAttrs 0
cmd ecAddBold
cmd ecSelectedOnly
get CharAttrs 0x40
cmd ecInvertSelected
get CharAttrs 0
cmd ecAddBold
cmd ecRemoveAllAttrIgnoreSelect
get CharAttrs 0
cmd ecAddBold
cmd ecRemoveAllAttr
get CharAttrs 0
cmd ecAddBold
push "B"
attr 1,1 0x01
)"},
    {"ColourCommandsSetCurrentColours", R"(
cmd ecBackColor 255 0
cmd ecForeColor Color=65280 Persistent=false
push "x"
back 1,1 0xFF
fore 1,1 0xFF00
cmd ecColor
get ForeColor 0xC0C0C0
get BackColor 0
cmd ecColor Back=16711680 Fore=255
get ForeColor 0xFF
get BackColor 0xFF0000
cmd ecBackColor
get BackColor 0
cmd ecForeColor
get ForeColor 0xC0C0C0
)"},
    {"SaveAndRestoreCursor", R"(
cmd ecCursorPos 5 6
cmd ecAddBold
cmd ecBackColor 255
cmd ecSaveCursorPos
cmd ecCursorPos 9 9
cmd ecRemoveAllAttr
cmd ecColor
cmd ecRestoreCursorPos
cursor 5,6
get CharAttrs 1
get BackColor 255
get ForeColor 0xC0C0C0
)"},
    {"WriteStringResetAndAlignment", R"(
cmd ecWriteString "hi there"
rows 1 "hi there"
cmd ecWriteString
rows 1 "hi there"
cmd ecDECALN
rows 1 "EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE" 24 "EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE" -23 "hi there"
get DefAnsiChar 32
cmd ecEraseLine
rows 1 ""
cmd ecForeColor 255
cmd ecReset
get ForeColor 0xC0C0C0
rows 2 ""
cmd ecNone
cmd ecAnswerback
cursor 1,1
)"},
};
INSTANTIATE_TEST_SUITE_P(Commands, CommandScript, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EmulatorCommands, PersistentColoursReachTheTerminal) {
    test::FakeTerminal t; // outlives the emulator, as a terminal outlives what it links
    terminal::TtyEmulator emu;
    emu.setTerminal(&t);
    terminal::EmuCommandParams p;
    p.addTColorArg(0xFF);
    emu.processCommand(terminal::EmuCommand::BackColor, &p);
    EXPECT_EQ(t.colorValue, 0xFFu);
    p.addBooleanArg(false);
    emu.processCommand(terminal::EmuCommand::ForeColor, &p); // not persistent
    EXPECT_EQ(t.fontColorValue, terminal::kSilver);
    EXPECT_EQ(emu.buffer()->foreColor(), 0xFFu);
    emu.processCommand(terminal::EmuCommand::Color); // defaults, persistent
    EXPECT_EQ(t.colorValue, terminal::kBlack);
    EXPECT_EQ(t.fontColorValue, terminal::kSilver);
}

TEST(EmulatorCommands, DeviceReportsOnlyFromThePrimaryTerminalOfAPort) {
    struct Case {
        terminal::EmuCommand command;
        const char* type; // nullptr: no parameter
        bool hasPort, primary;
        const char* want;
    };
    for (const Case& c : {
             Case{terminal::EmuCommand::DeviceAttributesReport, nullptr, true, true, "\033[?1;0c"},
             Case{terminal::EmuCommand::DeviceAttributesReport, "52", true, true, "\033/Z"},
             Case{terminal::EmuCommand::DeviceAttributesReport, "7", true, true, ""},
             Case{terminal::EmuCommand::DeviceAttributesReport, nullptr, true, false, ""},
             Case{terminal::EmuCommand::DeviceAttributesReport, nullptr, false, true, ""},
             Case{terminal::EmuCommand::DeviceStatusReport, nullptr, true, true, "\033[0n"},
             Case{terminal::EmuCommand::DeviceStatusReport, "6", true, true, "\033[3;12R"},
             Case{terminal::EmuCommand::DeviceStatusReport, "Type=6", true, true, "\033[3;12R"},
             Case{terminal::EmuCommand::DeviceStatusReport, "9", true, true, ""},
             Case{terminal::EmuCommand::DeviceStatusReport, "6", true, false, ""},
         }) {
        test::FakeTerminal t;
        terminal::TtyEmulator emu;
        t.hasPortValue = c.hasPort;
        t.primary = c.primary;
        emu.setTerminal(&t);
        emu.buffer()->setCursorPosition(3, 12);
        terminal::EmuCommandParams p;
        if (c.type) {
            std::string s = c.type;
            if (s.starts_with("Type="))
                p.addNamedStringArg("Type", s.substr(5));
            else
                p.addStringArg(s);
        }
        emu.processCommand(c.command, &p);
        EXPECT_EQ(t.sent, c.want) << static_cast<int>(c.command) << " " << (c.type ? c.type : "-") << " "
                                  << c.hasPort << c.primary;
    }
}

TEST(EmulatorCommands, BellBeepsThroughTheTerminal) {
    test::FakeTerminal t;
    terminal::TtyEmulator emu;
    emu.processCommand(terminal::EmuCommand::Bell); // no terminal: nothing to beep with, nothing breaks
    emu.setTerminal(&t);
    emu.processBlock("\a\a", 2, terminal::CharSource::Port);
    EXPECT_EQ(t.beeps, 2);
}

TEST(EmulatorCommands, ExecuteTerminalCommandsRepaintsOnce) {
    test::FakeTerminal t; // outlives the emulator, as a terminal outlives what it links
    terminal::TtyEmulator emu;
    emu.setTerminal(&t);
    terminal::EmuCommandList list;
    list.addCommand(terminal::EmuCommand::WriteString).params.addStringArg("ok");
    list.addCommand(terminal::EmuCommand::CR);
    emu.executeTerminalCommands(list);
    EXPECT_EQ(std::string(emu.buffer()->getLineCharPtr(1), 2), "ok");
    EXPECT_EQ(emu.buffer()->cursorCol(), 1);
    EXPECT_EQ(t.repaints, 1);
}

} // namespace
} // namespace brimwell
