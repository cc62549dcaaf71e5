// Emulator commands: the numbered operations an emulator (or an OnProcessChar handler) asks of the
// buffer, and the lists of them with their named or positional text parameters.
#pragma once

#include "terminal/terminal_types.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell {

enum TQuavEmuCommand : int {
    ecNone = 0,
    ecBell,
    ecBackspace,
    ecTabHorz,
    ecLF,
    ecCR,
    ecBackTabHorz,
    ecCursorDown,
    ecCursorLeft,
    ecCursorRight,
    ecCursorUp, // 10
    ecCursorPos,
    ecDeleteChars,
    ecDeleteLines,
    ecInsertChars,
    ecInsertLines,
    ecEraseAll,
    ecEraseChars,
    ecEraseFromBOW,
    ecEraseFromBOL,
    ecEraseLine, // 20
    ecEraseScreen,
    ecEraseToEOL,
    ecEraseToEOW,
    ecSetHorzTabStop,
    ecClearHorzTabStop,
    ecClearVertTabStop,
    ecClearAllHorzTabStops,
    ecSetVertTabStop,
    ecClearAllVertTabStops,
    ecSetScrollRegion, // 30
    ecTabVert,
    ecBackTabVert,
    ecBackColor,
    ecForeColor,
    ecAbsAddress,
    ecNoAbsAddress,
    ecAutoWrap,
    ecNoAutoWrap,
    ecAutoWrapDelay,
    ecNoAutoWrapDelay, // 40
    ecInsertMode,
    ecNoInsertMode,
    ecNewLineMode,
    ecNoNewLineMode,
    ecScrollRegion,
    ecNoScrollRegion,
    ecSetCharAttr,
    ecAddBold,
    ecBoldOnly,
    ecRemoveBold, // 50
    ecInvertBold,
    ecAddUnderLine,
    ecUnderlineOnly,
    ecRemoveUnderline,
    ecInvertUnderline,
    ecAddStrikethrough,
    ecStrikethroughOnly,
    ecRemoveStrikethrough,
    ecInvertStrikethrough,
    ecAddBlink, // 60
    ecBlinkOnly,
    ecRemoveBlink,
    ecInvertBlink,
    ecAddReverse,
    ecReverseOnly,
    ecRemoveReverse,
    ecInvertReverse,
    ecAddInvisible,
    ecInvisibleOnly,
    ecRemoveInvisible, // 70
    ecInvertInvisible,
    ecAddSelected,
    ecRemoveSelected,
    ecSelectedOnly,
    ecInvertSelected,
    ecRemoveAllAttr,
    ecRemoveAllAttrIgnoreSelect,
    ecClearAndHome,
    ecHome,
    ecCursorEOL, // 80
    ecCursorBOL,
    ecCursorTop,
    ecCursorBottom,
    ecWriteString,
    ecColor,
    ecSaveCursorPos,
    ecRestoreCursorPos,
    ecDeviceAttributesReport,
    ecNEL,
    ecReset, // 90
    ecAnswerback,
    ecDECALN,
    ecDeviceStatusReport,
};

inline constexpr int kEmuCommandCount = 94;

struct TQuavEmuCommandParamsItem {
    std::string Name;
    std::string value;
};

// Parameters of one command. Readers look for the first parameter of the given name, then at the
// given position; a missing or unconvertible value gives the default.
class TQuavEmuCommandParams {
  public:
    void AddBooleanArg(bool v) { AddNamedBooleanArg({}, v); }
    void AddIntegerArg(long long v) { AddNamedIntegerArg({}, v); }
    void AddStringArg(std::string_view v) { AddNamedStringArg({}, v); }
    void AddTColorArg(TColor v) { AddNamedTColorArg({}, v); }
    void AddNamedBooleanArg(std::string_view name, bool v);
    void AddNamedIntegerArg(std::string_view name, long long v);
    void AddNamedStringArg(std::string_view name, std::string_view v);
    void AddNamedTColorArg(std::string_view name, TColor v);

    // The parameter named `name`, else the one at `position`, else nullptr.
    const TQuavEmuCommandParamsItem* FindName(std::string_view name, int position) const;
    bool GetBooleanValue(std::string_view name, int position, bool def) const;
    long long GetIntegerValue(std::string_view name, int position, long long def) const;
    std::string GetStringValue(std::string_view name, int position, std::string_view def) const;
    TColor GetTColorValue(std::string_view name, int position, TColor def) const;

    int Count() const { return static_cast<int>(items_.size()); }
    const TQuavEmuCommandParamsItem& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }
    void clear() { items_.clear(); }

  private:
    std::vector<TQuavEmuCommandParamsItem> items_;
};

struct TQuavEmuCommandListItem {
    TQuavEmuCommand Command = ecNone;
    TQuavEmuCommandParams Params;
};

// An ordered list of commands. Emulators keep one and reuse it for every byte; Clear keeps the
// storage of the items already made.
class TQuavEmuCommandList {
  public:
    TQuavEmuCommandListItem& AddCommand(TQuavEmuCommand command);
    int Count() const { return count_; }
    TQuavEmuCommandListItem& operator[](int i) { return items_[static_cast<std::size_t>(i)]; }
    const TQuavEmuCommandListItem& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }
    void clear() { count_ = 0; }

  private:
    std::vector<TQuavEmuCommandListItem> items_;
    int count_ = 0;
};

} // namespace brimwell
