// Qt key codes to virtual-key codes.
#include "terminal/widget/key_mapping.h"

#include <QKeyEvent>

namespace brimwell {

TranslatedKey translateKey(const QKeyEvent& event) {
    TranslatedKey t;
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (mods & Qt::ShiftModifier) t.shift |= ssShift;
    if (mods & Qt::AltModifier) t.shift |= ssAlt;
    if (mods & Qt::ControlModifier) t.shift |= ssCtrl;
    t.keypad = (mods & Qt::KeypadModifier) != 0;

    const int k = event.key();
    if (k >= Qt::Key_A && k <= Qt::Key_Z) {
        t.key = 'A' + (k - Qt::Key_A);
        return t;
    }
    if (k >= Qt::Key_0 && k <= Qt::Key_9) {
        t.key = t.keypad ? vk::Numpad0 + (k - Qt::Key_0) : '0' + (k - Qt::Key_0);
        return t;
    }
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24) {
        t.key = vk::F1 + (k - Qt::Key_F1);
        return t;
    }
    switch (k) {
    case Qt::Key_Shift:
        t.key = vk::Shift;
        t.modifierOnly = true;
        break;
    case Qt::Key_Control:
        t.key = vk::Control;
        t.modifierOnly = true;
        break;
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
        t.key = vk::Menu;
        t.modifierOnly = true;
        break;
    case Qt::Key_Meta:
        t.modifierOnly = true;
        break;
    case Qt::Key_Backspace:
        t.key = vk::Back;
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        t.key = vk::Tab;
        break;
    case Qt::Key_Clear:
        t.key = vk::clear;
        break;
    case Qt::Key_Return:
        t.key = vk::Return;
        break;
    case Qt::Key_Enter:
        t.key = vk::Return;
        break;
    case Qt::Key_Pause:
        t.key = vk::Pause;
        break;
    case Qt::Key_CapsLock:
        t.key = vk::Capital;
        break;
    case Qt::Key_Escape:
        t.key = vk::Escape;
        break;
    case Qt::Key_Space:
        t.key = vk::Space;
        break;
    case Qt::Key_PageUp:
        t.key = vk::Prior;
        break;
    case Qt::Key_PageDown:
        t.key = vk::Next;
        break;
    case Qt::Key_End:
        t.key = vk::End;
        break;
    case Qt::Key_Home:
        t.key = vk::Home;
        break;
    case Qt::Key_Left:
        t.key = vk::Left;
        break;
    case Qt::Key_Up:
        t.key = vk::Up;
        break;
    case Qt::Key_Right:
        t.key = vk::Right;
        break;
    case Qt::Key_Down:
        t.key = vk::Down;
        break;
    case Qt::Key_Select:
        t.key = vk::Select;
        break;
    case Qt::Key_Print:
        t.key = vk::Snapshot;
        break;
    case Qt::Key_Execute:
        t.key = vk::Execute;
        break;
    case Qt::Key_Insert:
        t.key = vk::Insert;
        break;
    case Qt::Key_Delete:
        t.key = vk::Delete;
        break;
    case Qt::Key_Help:
        t.key = vk::Help;
        break;
    case Qt::Key_NumLock:
        t.key = vk::NumLock;
        break;
    case Qt::Key_ScrollLock:
        t.key = vk::Scroll;
        break;
    case Qt::Key_Asterisk:
        t.key = t.keypad ? vk::Multiply : '8';
        break;
    case Qt::Key_Plus:
        t.key = t.keypad ? vk::add : 0xBB;
        break;
    case Qt::Key_Minus:
        t.key = t.keypad ? vk::Subtract : 0xBD;
        break;
    case Qt::Key_Period:
        t.key = t.keypad ? vk::Decimal : 0xBE;
        break;
    case Qt::Key_Slash:
        t.key = t.keypad ? vk::Divide : 0xBF;
        break;
    case Qt::Key_Comma:
        t.key = 0xBC;
        break;
    case Qt::Key_Semicolon:
    case Qt::Key_Colon:
        t.key = 0xBA;
        break;
    case Qt::Key_Equal:
        t.key = 0xBB;
        break;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde:
        t.key = 0xC0;
        break;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft:
        t.key = 0xDB;
        break;
    case Qt::Key_Backslash:
    case Qt::Key_Bar:
        t.key = 0xDC;
        break;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight:
        t.key = 0xDD;
        break;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl:
        t.key = 0xDE;
        break;
    default:
        t.key = 0;
        break;
    }
    return t;
}

int applyKeypadRules(const TranslatedKey& key, bool autoRepeat) {
    int code = key.key;
    if (key.keypad) {
        switch (code) {
        case vk::clear:
            code = vk::Numpad0 + 5;
            break;
        case vk::Prior:
            code = vk::Numpad0 + 9;
            break;
        case vk::Next:
            code = vk::Numpad0 + 3;
            break;
        case vk::End:
            code = vk::Numpad0 + 1;
            break;
        case vk::Home:
            code = vk::Numpad0 + 7;
            break;
        case vk::Left:
            code = vk::Numpad0 + 4;
            break;
        case vk::Up:
            code = vk::Numpad0 + 8;
            break;
        case vk::Right:
            code = vk::Numpad0 + 6;
            break;
        case vk::Down:
            code = vk::Numpad0 + 2;
            break;
        case vk::Insert:
            code = vk::Numpad0;
            break;
        case vk::Delete:
            code = vk::Decimal;
            break;
        case vk::Return:
            code = vk::Execute;
            break;
        default:
            break;
        }
    }
    if (autoRepeat && code != 0) code |= vk::RepeatFlag;
    return code;
}

} // namespace brimwell
