// Behaviour of the terminal buffer through the teletype emulator, as short scripts: bytes in, then
// rows, cells, cursor and changed area out. Each case starts from a fresh 80 x 24 buffer with 200 rows.
#include "tests/terminal/emulator_script.h"

#include <gtest/gtest.h>

namespace brimwell {
namespace {

using test::ScriptCase;

class BufferScript : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(BufferScript, Runs) {
    EXPECT_EQ(test::runScriptCase<terminal::TtyEmulator>(GetParam()), "");
}

const ScriptCase kWriting[] = {
    {"TextThenCrLfOnTwoRows", R"(
push "AB\r\nC"
rows 1 "AB" 2 "C"
cursor 2,2
)"},
    {"EightyCharsThenCrLfLeavesNoEmptyLine", R"(
pushrep 8 "0123456789"
cursor 1,80
wrap 1
char 1,80 "9"
push "\r\n"
wrap 0
cursor 2,1
push "X"
rows 2 "X" 3 ""
)"},
    {"EightyFirstCharWrapsFirst", R"(
pushrep 8 "0123456789"
push "Y"
char 1,80 "9"
rows 2 "Y"
cursor 2,2
)"},
    {"WrapAtBottomRowScrollsIntoScrollback", R"(
do SetCursorPosition 24 1
pushrep 8 "0123456789"
push "Z"
rows 23 "01234567890123456789012345678901234567890123456789012345678901234567890123456789" 24 "Z"
cursor 24,2
)"},
    {"WithoutAutoWrapTheLastColumnIsOverwritten", R"(
set UseAutoWrap 0
pushrep 8 "0123456789"
push "AB"
char 1,80 "B"
rows 2 ""
cursor 1,80
)"},
    {"WithoutWrapDelayTheLastColumnWrapsAtOnce", R"(
set UseAutoWrapDelay 0
pushrep 8 "0123456789"
cursor 2,1
wrap 0
)"},
    {"CursorMoveCancelsPendingWrap", R"(
pushrep 8 "0123456789"
wrap 1
do DoBackspace
wrap 0
push "Q"
char 1,79 "Q"
cursor 1,80
wrap 0
push "R"
wrap 1
do DoBackHorzTab
wrap 1
cursor 1,73
)"},
    {"BackspaceAtColumnOneDoesNothing", R"(
push "\b\bX"
rows 1 "X"
cursor 1,2
)"},
    {"BackspaceNeverErases", R"(
push "AB\b"
rows 1 "AB"
cursor 1,2
push "C"
rows 1 "AC"
)"},
    {"NewLineModeMakesLfReturnToo", R"(
set UseNewLineMode 1
push "AB\nC"
rows 1 "AB" 2 "C"
)"},
    {"LineFeedKeepsTheColumn", R"(
push "AB\nC"
rows 1 "AB" 2 "  C"
)"},
    {"InsertModePushesTheLastCharacterOff", R"(
pushrep 8 "0123456789"
push "\r"
do SetCursorPosition 1 5
invalid 1,1,80,24
set UseInsertMode 1
push "Z"
char 1,4 "3"
char 1,5 "Z"
char 1,6 "4"
char 1,80 "8"
rows 2 ""
invalid 5,1,80,1
)"},
    {"UnmappedControlBytesAreIgnored", R"(
push "\e[2J"
rows 1 "[2J"
push "\r\na\x00b\x0bc\x0cd\x1b\x7f"
char 2,5 0x7F
push "\xe9"
char 2,6 0xE9
cursor 2,7
)"},
    {"BellChangesNothingOnScreen", R"(
push "A\aB"
rows 1 "AB"
cursor 1,3
)"},
    {"CharacterCellsTakeTheCurrentValues", R"(
set ForeColor 0x00FF00
set BackColor 0x0000FF
set CharAttrs 0x03
set CharSet 2
push "A"
fore 1,1 0x00FF00
back 1,1 0x0000FF
attr 1,1 0x03
fore 1,2 0xC0C0C0
back 1,2 0
)"},
};
INSTANTIATE_TEST_SUITE_P(Writing, BufferScript, ::testing::ValuesIn(kWriting),
                         [](const auto& info) { return std::string(info.param.name); });

const ScriptCase kScrolling[] = {
    {"ScrollbackHolds184RowsUnderA16RowScreen", R"(
set RowCount 16
pushlines 1 250
cursor 16,1
rows 16 "" 15 "L250" 1 "L236" 0 "L235" -183 "L52"
get OriginRow 1
)"},
    {"RegionScrollsOnlyItsRows", R"(
pushlines 1 12
do SetScrollRegion 5 10
get UseScrollRegion 1
cursor 5,1
do SetCursorPosition 10 1
push "\n"
rows 4 "L4" 5 "L6" 9 "L10" 10 "" 11 "L11" 0 ""
cursor 10,1
)"},
    {"RegionTopScrollsDownOnCursorUp", R"(
pushlines 1 12
do SetScrollRegion 5 10
do MoveCursorUp 1
rows 4 "L4" 5 "" 6 "L5" 10 "L9" 11 "L11"
)"},
    {"WholeScreenRegionLeavesRegionOffAndHomes", R"(
do SetCursorPosition 5 7
do SetScrollRegion 1 24
get UseScrollRegion 0
cursor 1,1
do SetScrollRegion 3 8
do SetCursorPosition 5 7
do SetScrollRegion 24 1
get UseScrollRegion 0
cursor 1,1
)"},
    {"RelativeAddressingCountsFromTheRegion", R"(
do SetScrollRegion 5 10
set UseAbsAddress 0
cursor 1,1
do SetCursorPosition 2 3
push "R"
set UseAbsAddress 1
char 6,3 "R"
get OriginRow 5
)"},
    {"InsertAndDeleteLinesStayInTheRegion", R"(
pushlines 1 12
do SetScrollRegion 3 8
do SetCursorPosition 4 1
do InsertLines 2
rows 3 "L3" 4 "" 5 "" 6 "L4" 8 "L6" 9 "L9"
do DeleteLines 3
rows 4 "L5" 5 "L6" 6 "" 8 "" 9 "L9"
)"},
    {"CursorLeftWrapsToThePreviousRow", R"(
do SetCursorPosition 3 1
do MoveCursorLeft 0 0
cursor 3,1
do MoveCursorLeft 1 0
cursor 2,80
do MoveCursorRight 1 0
cursor 3,1
)"},
    {"CursorLeftAtTheTopScrollsDown", R"(
push "top"
do SetCursorPosition 1 1
do MoveCursorLeft 1 1
rows 1 "" 2 "top"
cursor 1,80
)"},
    {"RowsAboveTheScreenAreScrollback", R"(
push "a"
set Row 0
cursor 0,2
push "b"
rows 0 " b"
set Row -500
cursor -175,3
)"},
};
INSTANTIATE_TEST_SUITE_P(Scrolling, BufferScript, ::testing::ValuesIn(kScrolling),
                         [](const auto& info) { return std::string(info.param.name); });

const ScriptCase kTabs[] = {
    {"TabFromColumn73GoesToColumn80", R"(
do SetCursorPosition 1 73
push "\t"
cursor 1,80
do SetCursorPosition 1 77
push "\t"
cursor 1,80
)"},
    {"TabStopsEveryEighthColumn", R"(
push "\t"
cursor 1,9
push "ab\t"
cursor 1,17
do DoBackHorzTab
cursor 1,9
do DoBackHorzTab
cursor 1,1
)"},
    {"SetAndClearTabStops", R"(
do SetCursorPosition 1 5
do SetHorzTabStop
do SetCursorPosition 1 1
push "\t"
cursor 1,5
do SetCursorPosition 1 9
do ClearHorzTabStop
do SetCursorPosition 1 5
push "\t"
cursor 1,17
do ClearAllHorzTabStops
do SetCursorPosition 1 1
push "\t"
cursor 1,80
)"},
    {"VerticalTabStops", R"(
do DoVertTab
cursor 24,1
do SetCursorPosition 6 3
do SetVertTabStop
do SetCursorPosition 2 3
do DoVertTab
cursor 6,3
do DoVertTab
cursor 24,3
do DoBackVertTab
cursor 6,3
do ClearAllVertTabStops
do DoBackVertTab
cursor 1,3
)"},
};
INSTANTIATE_TEST_SUITE_P(Tabs, BufferScript, ::testing::ValuesIn(kTabs),
                         [](const auto& info) { return std::string(info.param.name); });

const ScriptCase kErasing[] = {
    {"EraseScreenMovesTheScreenIntoScrollback", R"(
set RowCount 16
push "one\r\ntwo"
do EraseScreen
cursor 2,4
rows 1 "" 2 "" -15 "one" -14 "two"
push "X"
rows 2 "   X"
)"},
    {"EraseAllClearsScrollbackAndHomes", R"(
set RowCount 16
invalid 1,1,80,24
pushlines 1 40
push "two"
invalid 1,1,80,16
do EraseAll
cursor 1,1
rows 1 "" 16 "" -15 "" -183 ""
invalid 1,1,80,16
)"},
    // Below what the screen shows, never over it; the bottom row scrolls up.
    {"FreshLineStartsBelowTheTextShown", R"(
do StartFreshLine
cursor 1,1
push "old\r\n\r\n"
do SetCursorPosition 1 2
do StartFreshLine
cursor 2,1
do SetCursorPosition 24 9
do StartFreshLine
cursor 24,1
rows 1 "" 23 ""
)"},
    {"EraseWithinARow", R"(
push "0123456789"
do SetCursorPosition 1 4
do EraseToEOL
rows 1 "012"
push "\r0123456789"
do SetCursorPosition 1 4
do EraseFromBOL
rows 1 "    456789"
do EraseLine
rows 1 ""
)"},
    {"EraseCharsContinuesOnFollowingRows", R"(
pushrep 3 "0123456789012345678901234567890123456789012345678901234567890123456789012345678\r\n"
do SetCursorPosition 1 76
do EraseChars 10
rows 1 "012345678901234567890123456789012345678901234567890123456789012345678901234" 2 "     56789012345678901234567890123456789012345678901234567890123456789012345678"
)"},
    {"EraseCharsStopsAtTheRegionBottom", R"(
do SetCursorPosition 24 1
push "abc"
do SetCursorPosition 24 1
do EraseChars 1000
rows 24 ""
cursor 24,1
)"},
    {"EraseToAndFromTheEndOfTheWindow", R"(
pushlines 1 6
do SetCursorPosition 3 2
do EraseToEOW
rows 2 "L2" 3 "L" 4 "" 6 ""
do SetCursorPosition 2 1
do EraseFromBOW
rows 1 "" 2 " 2" 3 "L"
)"},
    {"InsertAndDeleteCharacters", R"(
push "0123456789"
do SetCursorPosition 1 3
do InsertChars 2
rows 1 "01  23456789"
do DeleteChars 4
rows 1 "01456789"
do DeleteChars 500
rows 1 "01"
invalid 1,1,80,24
)"},
    {"ErasedCellsTakeTheCurrentColours", R"(
push "abc"
set BackColor 0x0000FF
do EraseLine
back 1,1 0x0000FF
back 2,1 0
do InsertLines 1
back 2,5 0x0000FF
)"},
    {"DefaultBackgroundReplacedFromBlackToBlue", R"(
push "A"
set BackColor 0x0000FF
push "B"
set BackColor 0
push "C"
set DefBackColor 0xFF0000
back 1,1 0xFF0000
back 1,2 0x0000FF
back 1,3 0xFF0000
back 20,40 0xFF0000
back -150,3 0xFF0000
get BackColor 0
)"},
    {"DefAnsiCharFillsErasedCells", R"(
set DefAnsiChar 46
push "ab"
do EraseLine
rows 1 "................................................................................"
)"},
    {"ResetRestoresDefaults", R"(
set ForeColor 0xFF
set CharAttrs 1
set UseInsertMode 1
do SetScrollRegion 3 5
push "x"
do Reset
get ForeColor 0xC0C0C0
get CharAttrs 0
get UseInsertMode 0
get UseScrollRegion 0
cursor 1,1
rows 3 ""
)"},
};
INSTANTIATE_TEST_SUITE_P(Erasing, BufferScript, ::testing::ValuesIn(kErasing),
                         [](const auto& info) { return std::string(info.param.name); });

const ScriptCase kDimensions[] = {
    {"TooLargeRowCountIsIgnored", R"(
set RowCount 250
get RowCount 24
set RowCount 200
get RowCount 200
)"},
    {"TooSmallCountsRaiseAndChangeNothing", R"(
raises "TQuavTerminalBuffer.tbSetColCount: new count too small" set ColCount 1
get ColCount 80
raises "TQuavTerminalBuffer.tbSetRowCount: new count too small" set RowCount 1
get RowCount 24
raises "TQuavTerminalBuffer.tbSetSVRowCount: new count too small" set SVRowCount 0
get SVRowCount 200
)"},
    {"ColCountKeepsRowStartsAndHomes", R"(
push "0123456789\r\nabc"
set ColCount 5
rows 1 "01234" 2 "abc"
cursor 1,1
set ColCount 12
rows 1 "01234"
push "\t\t"
cursor 1,12
)"},
    {"RowCountMovesTheScreenNotTheText", R"(
pushlines 1 3
set RowCount 16
rows -7 "L1"
cursor 1,1
set RowCount 30
rows 7 "L1"
cursor 15,1
)"},
    {"SVRowCountKeepsTheNewestRows", R"(
set RowCount 16
pushlines 1 100
set SVRowCount 20
rows 15 "L100" -3 "L82"
cursor 16,1
get RowCount 16
set SVRowCount 10
get RowCount 10
rows 9 "L100" 1 "L92"
cursor 10,1
)"},
};
INSTANTIATE_TEST_SUITE_P(Dimensions, BufferScript, ::testing::ValuesIn(kDimensions),
                         [](const auto& info) { return std::string(info.param.name); });

const ScriptCase kChangeTracking[] = {
    {"ChangedCellsMergeIntoOneUnion", R"(
invalid 1,1,80,24
invalid none
push "AB"
invalid 1,1,2,1
do SetCursorPosition 5 10
push "C"
do SetCursorPosition 3 4
push "D"
invalid 4,3,10,5
invalid none
)"},
    {"ScrollingInvalidatesTheScreen", R"(
invalid 1,1,80,24
do SetCursorPosition 24 1
push "\n"
invalid 1,1,80,24
do SetScrollRegion 3 6
invalid none
do SetCursorPosition 6 1
push "\n"
invalid 1,3,80,6
)"},
};
INSTANTIATE_TEST_SUITE_P(ChangeTracking, BufferScript, ::testing::ValuesIn(kChangeTracking),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brimwell
