// Qt key codes to virtual-key codes.
#include "terminal/widget/key_mapping.h"

#include <QKeyEvent>

namespace brimwell::terminal {

TranslatedKey translateKey(const QKeyEvent& event) {
    TranslatedKey t;
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (mods & Qt::ShiftModifier) t.shift |= kModShift;
    if (mods & Qt::AltModifier) t.shift |= kModAlt;
    if (mods & Qt::ControlModifier) t.shift |= kModCtrl;
    t.keypad = (mods & Qt::KeypadModifier) != 0;

    const int k = event.key();
    if (k >= Qt::Key_A && k <= Qt::Key_Z) {
        t.key = 'A' + (k - Qt::Key_A);
        return t;
    }
    if (k >= Qt::Key_0 && k <= Qt::Key_9) {
        t.key = t.keypad ? vk::kNumpad0 + (k - Qt::Key_0) : '0' + (k - Qt::Key_0);
        return t;
    }
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24) {
        t.key = vk::kF1 + (k - Qt::Key_F1);
        return t;
    }
    switch (k) {
    case Qt::Key_Shift:
        t.key = vk::kShift;
        t.modifierOnly = true;
        break;
    case Qt::Key_Control:
        t.key = vk::kControl;
        t.modifierOnly = true;
        break;
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
        t.key = vk::kMenu;
        t.modifierOnly = true;
        break;
    case Qt::Key_Meta:
        t.modifierOnly = true;
        break;
    case Qt::Key_Backspace:
        t.key = vk::kBack;
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        t.key = vk::kTab;
        break;
    case Qt::Key_Clear:
        t.key = vk::kClear;
        break;
    case Qt::Key_Return:
        t.key = vk::kReturn;
        break;
    case Qt::Key_Enter:
        t.key = vk::kReturn;
        break;
    case Qt::Key_Pause:
        t.key = vk::kPause;
        break;
    case Qt::Key_CapsLock:
        t.key = vk::kCapital;
        break;
    case Qt::Key_Escape:
        t.key = vk::kEscape;
        break;
    case Qt::Key_Space:
        t.key = vk::kSpace;
        break;
    case Qt::Key_PageUp:
        t.key = vk::kPrior;
        break;
    case Qt::Key_PageDown:
        t.key = vk::kNext;
        break;
    case Qt::Key_End:
        t.key = vk::kEnd;
        break;
    case Qt::Key_Home:
        t.key = vk::kHome;
        break;
    case Qt::Key_Left:
        t.key = vk::kLeft;
        break;
    case Qt::Key_Up:
        t.key = vk::kUp;
        break;
    case Qt::Key_Right:
        t.key = vk::kRight;
        break;
    case Qt::Key_Down:
        t.key = vk::kDown;
        break;
    case Qt::Key_Select:
        t.key = vk::kSelect;
        break;
    case Qt::Key_Print:
        t.key = vk::kSnapshot;
        break;
    case Qt::Key_Execute:
        t.key = vk::kExecute;
        break;
    case Qt::Key_Insert:
        t.key = vk::kInsert;
        break;
    case Qt::Key_Delete:
        t.key = vk::kDelete;
        break;
    case Qt::Key_Help:
        t.key = vk::kHelp;
        break;
    case Qt::Key_NumLock:
        t.key = vk::kNumLock;
        break;
    case Qt::Key_ScrollLock:
        t.key = vk::kScroll;
        break;
    case Qt::Key_Asterisk:
        t.key = t.keypad ? vk::kMultiply : '8';
        break;
    case Qt::Key_Plus:
        t.key = t.keypad ? vk::kAdd : 0xBB;
        break;
    case Qt::Key_Minus:
        t.key = t.keypad ? vk::kSubtract : 0xBD;
        break;
    case Qt::Key_Period:
        t.key = t.keypad ? vk::kDecimal : 0xBE;
        break;
    case Qt::Key_Slash:
        t.key = t.keypad ? vk::kDivide : 0xBF;
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
        case vk::kClear:
            code = vk::kNumpad0 + 5;
            break;
        case vk::kPrior:
            code = vk::kNumpad0 + 9;
            break;
        case vk::kNext:
            code = vk::kNumpad0 + 3;
            break;
        case vk::kEnd:
            code = vk::kNumpad0 + 1;
            break;
        case vk::kHome:
            code = vk::kNumpad0 + 7;
            break;
        case vk::kLeft:
            code = vk::kNumpad0 + 4;
            break;
        case vk::kUp:
            code = vk::kNumpad0 + 8;
            break;
        case vk::kRight:
            code = vk::kNumpad0 + 6;
            break;
        case vk::kDown:
            code = vk::kNumpad0 + 2;
            break;
        case vk::kInsert:
            code = vk::kNumpad0;
            break;
        case vk::kDelete:
            code = vk::kDecimal;
            break;
        case vk::kReturn:
            code = vk::kExecute;
            break;
        default:
            break;
        }
    }
    if (autoRepeat && code != 0) code |= vk::kRepeatFlag;
    return code;
}

} // namespace brimwell::terminal
