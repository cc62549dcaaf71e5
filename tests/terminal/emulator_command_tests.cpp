// The generic command interpreter: parameters (named, positional, defaults, bad text) and what each
// command does to the buffer, as scripts; then the commands that talk to the terminal.
#include "tests/terminal/emulator_fakes.h"
#include "tests/terminal/emulator_script.h"

#include <gtest/gtest.h>

namespace brimwell {
namespace {

TEST(EmuCommandParams, NamedThenPositionalThenDefault) {
    TQuavEmuCommandParams p;
    p.AddIntegerArg(7);
    p.AddNamedIntegerArg("Col", 9);
    p.AddStringArg("x");
    EXPECT_EQ(p.GetIntegerValue("Col", 0, 1), 9);   // the name wins over the position
    EXPECT_EQ(p.GetIntegerValue("Row", 0, 1), 7);   // no such name: position 0
    EXPECT_EQ(p.GetIntegerValue("", 1, 1), 9);      // an empty name finds nothing
    EXPECT_EQ(p.GetIntegerValue("Row", 5, 42), 42); // neither
    EXPECT_EQ(p.GetIntegerValue("Row", 2, 42), 42); // "x" is not a number
    EXPECT_EQ(p.GetStringValue("Row", 2, "d"), "x");
    EXPECT_EQ(p.GetStringValue("col", 9, "d"), "d"); // names compare exactly
}

TEST(EmuCommandParams, StoredTexts) {
    TQuavEmuCommandParams p;
    p.AddBooleanArg(true);
    p.AddBooleanArg(false);
    p.AddIntegerArg(-12);
    p.AddTColorArg(0xC0C0C0);
    EXPECT_EQ(p[0].value, "TRUE");
    EXPECT_EQ(p[1].value, "FALSE");
    EXPECT_EQ(p[2].value, "-12");
    EXPECT_EQ(p[3].value, "12632256");
    EXPECT_EQ(p.GetTColorValue("", 3, 0), 0xC0C0C0u);
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
        TQuavEmuCommandParams p;
        p.AddStringArg(c.text);
        EXPECT_EQ(p.GetBooleanValue("", 0, c.def), c.want) << '"' << c.text << '"';
    }
}

TEST(EmuCommandList, ClearKeepsNothingVisible) {
    TQuavEmuCommandList list;
    list.AddCommand(ecCursorPos).Params.AddIntegerArg(3);
    list.AddCommand(ecBell);
    EXPECT_EQ(list.Count(), 2);
    list.clear();
    EXPECT_EQ(list.Count(), 0);
    auto& again = list.AddCommand(ecCR);
    EXPECT_EQ(again.Command, ecCR);
    EXPECT_EQ(again.Params.Count(), 0); // parameters of the earlier use are gone
}

using test::ScriptCase;

class CommandScript : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(CommandScript, Runs) {
    EXPECT_EQ(test::runScriptCase<TQuavTTYEmulator>(GetParam()), "");
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
    TQuavTTYEmulator emu;
    emu.teSetTerminal(&t);
    TQuavEmuCommandParams p;
    p.AddTColorArg(0xFF);
    emu.teProcessCommand(ecBackColor, &p);
    EXPECT_EQ(t.color, 0xFFu);
    p.AddBooleanArg(false);
    emu.teProcessCommand(ecForeColor, &p); // not persistent
    EXPECT_EQ(t.fontColor, clSilver);
    EXPECT_EQ(emu.Buffer()->ForeColor(), 0xFFu);
    emu.teProcessCommand(ecColor); // defaults, persistent
    EXPECT_EQ(t.color, clBlack);
    EXPECT_EQ(t.fontColor, clSilver);
}

TEST(EmulatorCommands, DeviceReportsOnlyFromThePrimaryTerminalOfAPort) {
    struct Case {
        TQuavEmuCommand command;
        const char* type; // nullptr: no parameter
        bool hasPort, primary;
        const char* want;
    };
    for (const Case& c : {
             Case{ecDeviceAttributesReport, nullptr, true, true, "\033[?1;0c"},
             Case{ecDeviceAttributesReport, "52", true, true, "\033/Z"},
             Case{ecDeviceAttributesReport, "7", true, true, ""},
             Case{ecDeviceAttributesReport, nullptr, true, false, ""},
             Case{ecDeviceAttributesReport, nullptr, false, true, ""},
             Case{ecDeviceStatusReport, nullptr, true, true, "\033[0n"},
             Case{ecDeviceStatusReport, "6", true, true, "\033[3;12R"},
             Case{ecDeviceStatusReport, "Type=6", true, true, "\033[3;12R"},
             Case{ecDeviceStatusReport, "9", true, true, ""},
             Case{ecDeviceStatusReport, "6", true, false, ""},
         }) {
        test::FakeTerminal t;
        TQuavTTYEmulator emu;
        t.hasPort = c.hasPort;
        t.primary = c.primary;
        emu.teSetTerminal(&t);
        emu.Buffer()->SetCursorPosition(3, 12);
        TQuavEmuCommandParams p;
        if (c.type) {
            std::string s = c.type;
            if (s.starts_with("Type="))
                p.AddNamedStringArg("Type", s.substr(5));
            else
                p.AddStringArg(s);
        }
        emu.teProcessCommand(c.command, &p);
        EXPECT_EQ(t.sent, c.want) << c.command << " " << (c.type ? c.type : "-") << " " << c.hasPort
                                  << c.primary;
    }
}

TEST(EmulatorCommands, BellBeepsThroughTheTerminal) {
    test::FakeTerminal t;
    TQuavTTYEmulator emu;
    emu.teProcessCommand(ecBell); // no terminal: nothing to beep with, nothing breaks
    emu.teSetTerminal(&t);
    emu.ProcessBlock("\a\a", 2, csPort);
    EXPECT_EQ(t.beeps, 2);
}

TEST(EmulatorCommands, ExecuteTerminalCommandsRepaintsOnce) {
    test::FakeTerminal t; // outlives the emulator, as a terminal outlives what it links
    TQuavTTYEmulator emu;
    emu.teSetTerminal(&t);
    TQuavEmuCommandList list;
    list.AddCommand(ecWriteString).Params.AddStringArg("ok");
    list.AddCommand(ecCR);
    emu.ExecuteTerminalCommands(list);
    EXPECT_EQ(std::string(emu.Buffer()->GetLineCharPtr(1), 2), "ok");
    EXPECT_EQ(emu.Buffer()->tbGetCol(), 1);
    EXPECT_EQ(t.repaints, 1);
}

} // namespace
} // namespace brimwell
