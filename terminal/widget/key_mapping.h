// Translation of Qt key events into the virtual-key codes and keypad rules that the emulators'
// keyDown expects, so that an emulator sees the same codes whatever toolkit delivers the key.
#pragma once

#include "terminal/terminal_emulator.h"

#include <cstdint>

class QKeyEvent;

namespace brimwell::terminal {

// Virtual-key codes as the emulators know them.
namespace vk {
inline constexpr int kBack = 0x08, kTab = 0x09, kClear = 0x0C, kReturn = 0x0D, kShift = 0x10, kControl = 0x11,
                     kMenu = 0x12, kPause = 0x13, kCapital = 0x14, kEscape = 0x1B, kSpace = 0x20,
                     kPrior = 0x21, kNext = 0x22, kEnd = 0x23, kHome = 0x24, kLeft = 0x25, kUp = 0x26,
                     kRight = 0x27, kDown = 0x28, kSelect = 0x29, kPrint = 0x2A, kExecute = 0x2B,
                     kSnapshot = 0x2C, kInsert = 0x2D, kDelete = 0x2E, kHelp = 0x2F, kNumpad0 = 0x60,
                     kMultiply = 0x6A, kAdd = 0x6B, kSeparator = 0x6C, kSubtract = 0x6D, kDecimal = 0x6E,
                     kDivide = 0x6F, kF1 = 0x70, kNumLock = 0x90, kScroll = 0x91;
inline constexpr int kKeyC = 'C';
// Added to the code of a key that was already down (auto-repeat).
inline constexpr int kRepeatFlag = 0x8000;
} // namespace vk

struct TranslatedKey {
    int key = 0; // virtual-key code, 0 when the key has none
    ShiftState shift = 0;
    bool keypad = false; // came from the numeric keypad (not an "extended" key)
    bool modifierOnly = false;
};

// The virtual-key code and modifiers of a key event, without the keypad or repeat rules.
TranslatedKey translateKey(const QKeyEvent& event);

// The rules applied before the emulator sees a key: keypad navigation keys become keypad digits
// (they only arrive as navigation keys while NumLock is off), keypad Enter becomes Execute, and a
// repeated key gets the repeat flag.
int applyKeypadRules(const TranslatedKey& key, bool autoRepeat);

} // namespace brimwell::terminal
