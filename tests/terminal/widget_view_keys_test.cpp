// The terminal widget's key path and timers as an emulator sees them: virtual-key codes with the
// keypad and repeat rules, keys an emulator swallows, modifier keys, the blink timer, and the
// scroll-bar rules autoScrollback, hideScrollbars and borderStyle.
#include "terminal/widget/key_mapping.h"
#include "terminal/widget/terminal_widget.h"
#include "widget_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>

namespace brimwell {
namespace {

using testing::pumpFor;

// A teletype that records what the terminal hands it.
class RecordingEmulator : public terminal::TtyEmulator {
  public:
    void keyDown(int& key, terminal::ShiftState shift) override {
        keys.push_back(key);
        shifts.push_back(shift);
        if (key == swallow) key = 0;
    }
    bool hasBlinkingText() override { return blinking; }
    void blinkPaint(bool phaseOn) override { phases.push_back(phaseOn); }

    std::vector<int> keys;
    std::vector<terminal::ShiftState> shifts;
    std::vector<bool> phases;
    int swallow = -1;
    bool blinking = false;
};

class TerminalKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        term = widgettest::makeViewTerminal();
        fit(80, 24, 20);
        term->setEmulator(&emu);
        term->show();
        settle();
    }
    void TearDown() override { term.reset(); }

    void fit(int cols, int rows, int extra) { widgettest::fitCells(*term, cols, rows, extra); }
    static void settle() { widgettest::settle(); }
    void press(int key, Qt::KeyboardModifiers mods, const QString& text = QString(), bool repeat = false) {
        QKeyEvent ev(QEvent::KeyPress, key, mods, text, repeat);
        QCoreApplication::sendEvent(term.get(), &ev);
        settle();
    }

    RecordingEmulator emu; // outlives the terminal it is assigned to
    std::unique_ptr<terminal::TerminalWidget> term;
};

struct KeyCase {
    const char* name;
    int qtKey;
    Qt::KeyboardModifiers mods;
    bool repeat;
    int expectKey;
    terminal::ShiftState expectShift;
};

class TerminalKeyCodes : public TerminalKeys, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(TerminalKeyCodes, RawKeyDownHandsTheEmulatorTheVirtualKey) {
    const KeyCase& c = GetParam();
    press(c.qtKey, c.mods, QString(), c.repeat);
    ASSERT_EQ(emu.keys.size(), 1u) << "WantAllKeys: the raw path only";
    EXPECT_EQ(emu.keys[0], c.expectKey);
    EXPECT_EQ(emu.shifts[0], c.expectShift);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, TerminalKeyCodes,
    ::testing::Values(
        KeyCase{"home", Qt::Key_Home, Qt::NoModifier, false, terminal::vk::kHome, 0},
        KeyCase{"keypad_home_is_7", Qt::Key_Home, Qt::KeypadModifier, false, terminal::vk::kNumpad0 + 7, 0},
        KeyCase{"keypad_left_is_4", Qt::Key_Left, Qt::KeypadModifier, false, terminal::vk::kNumpad0 + 4, 0},
        KeyCase{"keypad_pgdn_is_3", Qt::Key_PageDown, Qt::KeypadModifier, false, terminal::vk::kNumpad0 + 3,
                0},
        KeyCase{"keypad_clear_is_5", Qt::Key_Clear, Qt::KeypadModifier, false, terminal::vk::kNumpad0 + 5, 0},
        KeyCase{"keypad_insert_is_0", Qt::Key_Insert, Qt::KeypadModifier, false, terminal::vk::kNumpad0, 0},
        KeyCase{"keypad_delete_is_point", Qt::Key_Delete, Qt::KeypadModifier, false, terminal::vk::kDecimal,
                0},
        KeyCase{"keypad_enter_is_execute", Qt::Key_Enter, Qt::KeypadModifier, false, terminal::vk::kExecute,
                0},
        KeyCase{"return", Qt::Key_Return, Qt::NoModifier, false, terminal::vk::kReturn, 0},
        KeyCase{"f1", Qt::Key_F1, Qt::NoModifier, false, terminal::vk::kF1, 0},
        KeyCase{"repeat_flag", Qt::Key_A, Qt::NoModifier, true, 'A' | terminal::vk::kRepeatFlag, 0},
        KeyCase{"ctrl_shift_a", Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier, false, 'A',
                terminal::kModCtrl | terminal::kModShift},
        KeyCase{"alt_up", Qt::Key_Up, Qt::AltModifier, false, terminal::vk::kUp, terminal::kModAlt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TerminalKeys, SwallowedKeyProducesNoCharacter) {
    term->setHalfDuplex(true);
    emu.swallow = 'A';
    press(Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    press(Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    EXPECT_EQ(term->line(1).substr(0, 2), "b ");
}

TEST_F(TerminalKeys, ModifierKeysAloneReachOnlyTheKeyDownPath) {
    int handlerKey = 0;
    term->onKeyDown = [&](int& key, terminal::ShiftState) { handlerKey = key; };
    press(Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_TRUE(emu.keys.empty()) << "WantAllKeys: a modifier alone goes nowhere";
    EXPECT_EQ(handlerKey, terminal::vk::kShift) << "OnKeyDown still sees it";
    term->setWantAllKeys(false);
    press(Qt::Key_Shift, Qt::ShiftModifier);
    ASSERT_EQ(emu.keys.size(), 1u);
    EXPECT_EQ(emu.keys[0], terminal::vk::kShift);
    press(Qt::Key_Up, Qt::NoModifier);
    EXPECT_EQ(emu.keys.size(), 2u) << "a key the raw path handed on is not handed on twice";
}

TEST_F(TerminalKeys, BlinkTimerCallsBlinkPaintWithAlternatingPhase) {
    term->setBlinkTime(250);
    pumpFor(500);
    EXPECT_TRUE(emu.phases.empty()) << "no blinking text, nothing painted";
    emu.blinking = true;
    pumpFor(1000);
    ASSERT_GE(emu.phases.size(), 2u);
    for (size_t i = 1; i < emu.phases.size(); ++i)
        EXPECT_NE(emu.phases[i], emu.phases[i - 1]);
    term->setBlinkTime(0);
    const size_t count = emu.phases.size();
    pumpFor(700);
    EXPECT_EQ(emu.phases.size(), count) << "BlinkTime 0 stops blinking";
}

TEST_F(TerminalKeys, AutoScrollbackSwitchesWithTheVerticalBar) {
    fit(80, 10, 3);
    ASSERT_TRUE(term->vertTooSmall());
    ASSERT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(term->scrollback());
    QScrollBar* vb = term->verticalScrollBar();
    vb->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_TRUE(term->scrollback()) << "scrolling above row 1 switches Scrollback on";
    EXPECT_EQ(term->originRow(), 0);
    term->setOriginRow(5);
    vb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_FALSE(term->scrollback()) << "scrolling down again switches it off";
    term->setAutoScrollback(false);
    term->setOriginRow(1);
    vb->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_FALSE(term->scrollback());
    EXPECT_EQ(term->originRow(), 1) << "without Scrollback the view stops at row 1";
}

TEST_F(TerminalKeys, HideScrollbarsShowsTheBarOnlyWhileTheCursorIsBeyond) {
    term->setHideScrollbars(true);
    fit(40, 24, 3);
    settle();
    ASSERT_TRUE(term->horzTooSmall());
    EXPECT_EQ(term->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    term->writeString(std::string(60, 'h'));
    settle();
    EXPECT_TRUE(term->cursorBeyondCols());
    EXPECT_EQ(term->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    term->writeString("\r");
    settle();
    EXPECT_EQ(term->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(TerminalKeys, BorderStyleNoneRemovesTheFrame) {
    EXPECT_NE(term->frameWidth(), 0);
    term->setBorderStyle(terminal::BorderStyle::None);
    settle();
    EXPECT_EQ(term->frameWidth(), 0);
    term->setBorderStyle(terminal::BorderStyle::Single);
    settle();
    EXPECT_NE(term->frameWidth(), 0);
}

} // namespace
} // namespace brimwell
