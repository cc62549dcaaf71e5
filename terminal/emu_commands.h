// Emulator commands: the numbered operations an emulator (or an onProcessChar handler) asks of the
// buffer, and the lists of them with their named or positional text parameters.
#pragma once

#include "terminal/terminal_types.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::terminal {

enum class EmuCommand : int {
    None = 0,
    Bell,
    Backspace,
    TabHorz,
    LF,
    CR,
    BackTabHorz,
    CursorDown,
    CursorLeft,
    CursorRight,
    CursorUp, // 10
    CursorPos,
    DeleteChars,
    DeleteLines,
    InsertChars,
    InsertLines,
    EraseAll,
    EraseChars,
    EraseFromBOW,
    EraseFromBOL,
    EraseLine, // 20
    EraseScreen,
    EraseToEOL,
    EraseToEOW,
    SetHorzTabStop,
    ClearHorzTabStop,
    ClearVertTabStop,
    ClearAllHorzTabStops,
    SetVertTabStop,
    ClearAllVertTabStops,
    SetScrollRegion, // 30
    TabVert,
    BackTabVert,
    BackColor,
    ForeColor,
    AbsAddress,
    NoAbsAddress,
    AutoWrap,
    NoAutoWrap,
    AutoWrapDelay,
    NoAutoWrapDelay, // 40
    InsertMode,
    NoInsertMode,
    NewLineMode,
    NoNewLineMode,
    ScrollRegion,
    NoScrollRegion,
    SetCharAttr,
    AddBold,
    BoldOnly,
    RemoveBold, // 50
    InvertBold,
    AddUnderLine,
    UnderlineOnly,
    RemoveUnderline,
    InvertUnderline,
    AddStrikethrough,
    StrikethroughOnly,
    RemoveStrikethrough,
    InvertStrikethrough,
    AddBlink, // 60
    BlinkOnly,
    RemoveBlink,
    InvertBlink,
    AddReverse,
    ReverseOnly,
    RemoveReverse,
    InvertReverse,
    AddInvisible,
    InvisibleOnly,
    RemoveInvisible, // 70
    InvertInvisible,
    AddSelected,
    RemoveSelected,
    SelectedOnly,
    InvertSelected,
    RemoveAllAttr,
    RemoveAllAttrIgnoreSelect,
    ClearAndHome,
    Home,
    CursorEOL, // 80
    CursorBOL,
    CursorTop,
    CursorBottom,
    WriteString,
    Color,
    SaveCursorPos,
    RestoreCursorPos,
    DeviceAttributesReport,
    NEL,
    Reset, // 90
    Answerback,
    DECALN,
    DeviceStatusReport,
};

inline constexpr int kEmuCommandCount = 94;

struct EmuCommandParamsItem {
    std::string name;
    std::string value;
};

// Parameters of one command. Readers look for the first parameter of the given name, then at the
// given position; a missing or unconvertible value gives the default.
class EmuCommandParams {
  public:
    void addBooleanArg(bool v) { addNamedBooleanArg({}, v); }
    void addIntegerArg(long long v) { addNamedIntegerArg({}, v); }
    void addStringArg(std::string_view v) { addNamedStringArg({}, v); }
    void addTColorArg(Color v) { addNamedTColorArg({}, v); }
    void addNamedBooleanArg(std::string_view name, bool v);
    void addNamedIntegerArg(std::string_view name, long long v);
    void addNamedStringArg(std::string_view name, std::string_view v);
    void addNamedTColorArg(std::string_view name, Color v);

    // The parameter named `name`, else the one at `position`, else nullptr.
    const EmuCommandParamsItem* findName(std::string_view name, int position) const;
    bool getBooleanValue(std::string_view name, int position, bool def) const;
    long long getIntegerValue(std::string_view name, int position, long long def) const;
    std::string getStringValue(std::string_view name, int position, std::string_view def) const;
    Color getTColorValue(std::string_view name, int position, Color def) const;

    int count() const { return static_cast<int>(items_.size()); }
    const EmuCommandParamsItem& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }
    void clear() { items_.clear(); }

  private:
    std::vector<EmuCommandParamsItem> items_;
};

struct EmuCommandListItem {
    EmuCommand command = EmuCommand::None;
    EmuCommandParams params;
};

// An ordered list of commands. Emulators keep one and reuse it for every byte; Clear keeps the
// storage of the items already made.
class EmuCommandList {
  public:
    EmuCommandListItem& addCommand(EmuCommand command);
    int count() const { return count_; }
    EmuCommandListItem& operator[](int i) { return items_[static_cast<std::size_t>(i)]; }
    const EmuCommandListItem& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }
    void clear() { count_ = 0; }

  private:
    std::vector<EmuCommandListItem> items_;
    int count_ = 0;
};

} // namespace brimwell::terminal
