// Translation of Qt key events into the virtual-key codes and keypad rules that the emulators'
// KeyDown expects, so that an emulator sees the same codes whatever toolkit delivers the key.
#pragma once

#include "terminal/terminal_emulator.h"

#include <cstdint>

class QKeyEvent;

namespace brimwell {

// Virtual-key codes as the emulators know them.
namespace vk {
inline constexpr int Back = 0x08, Tab = 0x09, clear = 0x0C, Return = 0x0D, Shift = 0x10, Control = 0x11,
                     Menu = 0x12, Pause = 0x13, Capital = 0x14, Escape = 0x1B, Space = 0x20, Prior = 0x21,
                     Next = 0x22, End = 0x23, Home = 0x24, Left = 0x25, Up = 0x26, Right = 0x27, Down = 0x28,
                     Select = 0x29, Print = 0x2A, Execute = 0x2B, Snapshot = 0x2C, Insert = 0x2D,
                     Delete = 0x2E, Help = 0x2F, Numpad0 = 0x60, Multiply = 0x6A, add = 0x6B,
                     Separator = 0x6C, Subtract = 0x6D, Decimal = 0x6E, Divide = 0x6F, F1 = 0x70,
                     NumLock = 0x90, Scroll = 0x91;
inline constexpr int KeyC = 'C';
// Added to the code of a key that was already down (auto-repeat).
inline constexpr int RepeatFlag = 0x8000;
} // namespace vk

struct TranslatedKey {
    int key = 0; // virtual-key code, 0 when the key has none
    TQuavShiftState shift = 0;
    bool keypad = false; // came from the numeric keypad (not an "extended" key)
    bool modifierOnly = false;
};

// The virtual-key code and modifiers of a key event, without the keypad or repeat rules.
TranslatedKey translateKey(const QKeyEvent& event);

// The rules applied before the emulator sees a key: keypad navigation keys become keypad digits
// (they only arrive as navigation keys while NumLock is off), keypad Enter becomes Execute, and a
// repeated key gets the repeat flag.
int applyKeypadRules(const TranslatedKey& key, bool autoRepeat);

} // namespace brimwell
