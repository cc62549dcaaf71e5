// Finding the unit at start-up and from the "COM Port" menu, with COM1 and COM2 on pseudo-terminals
// played by the unit simulator (or left silent), plus the status lights and the backspace filter.
#include "app/main_window.h"
#include "app_test_support.h"
#include "lights/status_light.h"
#include "lights/status_light_controller.h"
#include "script/serial_link.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"
#include "support/pty.h"
#include "terminal/widget/terminal_widget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace brimwell;
using namespace brimwell::testing;
using brimwell::test::PtyPair;

namespace {

constexpr double kTimeScale = 20.0;

// COM1 and COM2 on pseudo-terminals where nobody answers.
struct SilentPorts {
    SilentPorts() {
        com1.bindCom(1);
        com2.bindCom(2);
    }
    const brimwell::test::NoAnswerFloor nobodyAnswers;
    PtyPair com1{PtyPair::Slave::held}, com2{PtyPair::Slave::held};
};

// A bare unit on a pseudo-terminal: answers "#" to every carriage return and keeps what it heard.
class PromptingUnit {
  public:
    PromptingUnit() {
        thread_ = std::thread([this] {
            while (!stop_) {
                const std::string got = pty_.readSome(20);
                if (got.empty()) continue;
                std::lock_guard lock(mutex_);
                heard_ += got;
                for (char c : got)
                    if (c == '\r') pty_.write("#");
            }
        });
    }
    ~PromptingUnit() {
        stop_ = true;
        thread_.join();
    }
    void bindCom(unsigned n) const { pty_.bindCom(n); }
    void send(const std::string& bytes) const { pty_.write(bytes); }
    std::string heard() {
        std::lock_guard lock(mutex_);
        return heard_;
    }
    void forget() {
        std::lock_guard lock(mutex_);
        heard_.clear();
    }

  private:
    PtyPair pty_{PtyPair::Slave::held};
    std::thread thread_;
    std::mutex mutex_;
    std::string heard_;
    std::atomic<bool> stop_{false};
};

class FormProbe : public ::testing::Test {
  protected:
    void SetUp() override { serial::Clock::setScale(kTimeScale); }

    app::MainWindow& start(const std::string& settings = {}) {
        if (!settings.empty()) dir.write("LoaderDefault.ini", settings);
        form = std::make_unique<app::MainWindow>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        form->show();
        EXPECT_TRUE(pumpUntil([&] { return form->startupFinished(); }, 30000));
        return *form;
    }
    // The window started with `unit` on COM1 and nothing on COM2.
    app::MainWindow& startWithOnlyCom1(const PromptingUnit& unit) {
        unit.bindCom(1);
        mapCom(2, dir.file("absent"));
        return start();
    }
    std::string link(const char* name) const { return dir.file(name); }

    TempDir dir;
    TempDir store;
    ScriptedDialogs dialogs;
    std::unique_ptr<app::MainWindow> form;
};

} // namespace

TEST_F(FormProbe, StartUpFindsTheUnitOnCom1) {
    UnitSim sim(link("com1"), store.path());
    PtyPair silent{PtyPair::Slave::held};
    mapCom(1, link("com1"));
    silent.bindCom(2);
    app::MainWindow& f = start();
    EXPECT_EQ(f.statusText(), "Established communication on COM 1");
    EXPECT_EQ(f.comNumberLabel->text(), "1");
    EXPECT_EQ(f.comBaudLabel->text(), "38400");
    EXPECT_EQ(f.lastGoodCom, 1);
    EXPECT_TRUE(f.serialPort->isOpen());
    EXPECT_TRUE(f.comCheckBox->isChecked());
    EXPECT_FALSE(f.comCheckBox->isEnabled());
    EXPECT_TRUE(f.pickButton->isEnabled());
    EXPECT_TRUE(f.lightController->monitoring());
    EXPECT_TRUE(f.ctsLight->lit()) << "CTS";
    EXPECT_TRUE(f.dcdLight->lit()) << "DCD";
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join(" | ").toStdString();
}

TEST_F(FormProbe, StartUpFindsTheUnitOnCom2WhenOnlyCom2Answers) {
    PtyPair silent{PtyPair::Slave::held};
    silent.bindCom(1);
    UnitSim sim(link("com2"), store.path());
    mapCom(2, link("com2"));
    app::MainWindow& f = start();
    EXPECT_EQ(f.statusText(), "Established communication on COM 2");
    EXPECT_EQ(f.comNumberLabel->text(), "2");
    EXPECT_EQ(f.lastGoodCom, 2);
    EXPECT_EQ(f.serialPort->comNumber(), 2);
    EXPECT_TRUE(f.serialPort->isOpen());
    // Silent COM1 heard two carriage returns, one per prompt tried.
    EXPECT_EQ(silent.read(500, 2), "\r\r");
}

TEST_F(FormProbe, StartUpFindsAUnitAlreadyInLoaderMode) {
    UnitSim sim(link("com1"), store.path(), {"--start-in-loader"});
    mapCom(1, link("com1"));
    mapCom(2, dir.file("absent"));
    app::MainWindow& f = start();
    EXPECT_EQ(f.statusText(), "Established communication on COM 1");
    EXPECT_EQ(f.engine().expectedPrompt(), '>') << "the first wait for # failed, the second for > answered";
}

TEST_F(FormProbe, NoUnitOnEitherPortFallsBackToNothing) {
    const SilentPorts silent;
    app::MainWindow& f = start();
    EXPECT_EQ(f.statusText(),
              "Unable to open Hardware through COM ports. Select new COM port before proceeding");
    EXPECT_FALSE(f.pickButton->isEnabled());
    EXPECT_FALSE(f.serialPort->isOpen()) << "a port without an answer is closed again";
    EXPECT_FALSE(f.comCheckBox->isChecked());
    EXPECT_TRUE(f.lightController->monitorOnOpen()) << "monitoring waits for the port to open";
}

TEST_F(FormProbe, NoUnitWithAConfiguredPortOpensItWithoutACheck) {
    const SilentPorts silent;
    app::MainWindow& f = start("; port\n[Serial]\nPort=COM2\n");
    EXPECT_EQ(f.defaultComPort, 2);
    EXPECT_EQ(f.statusText(),
              "Error opening Hardware via COM ports. Select new COM port/check RS232 connection "
              "before proceeding");
    EXPECT_TRUE(f.serialPort->isOpen());
    EXPECT_EQ(f.serialPort->comNumber(), 2);
    EXPECT_EQ(f.comNumberLabel->text(), "2");
    EXPECT_TRUE(f.lightController->monitoring());
}

TEST_F(FormProbe, ComMenusSearchNoneAndBaud) {
    UnitSim sim1(link("com1"), store.path());
    UnitSim sim2(link("com2"), store.path());
    mapCom(1, link("com1"));
    mapCom(2, link("com2"));
    app::MainWindow& f = start();
    ASSERT_EQ(f.statusText(), "Established communication on COM 1");

    f.com2Menu->trigger();
    EXPECT_EQ(f.statusText(), "Established communication on COM 2");
    EXPECT_EQ(f.comNumberLabel->text(), "2");
    EXPECT_EQ(f.lastGoodCom, 2);
    EXPECT_TRUE(f.lightController->monitoring()) << "monitoring follows the port change";

    f.com1Menu->trigger();
    EXPECT_EQ(f.statusText(), "Established communication on COM 1");
    EXPECT_EQ(f.comNumberLabel->text(), "1");

    f.noneMenu->trigger();
    EXPECT_EQ(f.statusText(), "Note: Last successful COM port used is: 1");
    EXPECT_FALSE(f.serialPort->isOpen());
    EXPECT_EQ(f.comNumberLabel->text(), "None");
    EXPECT_FALSE(f.pickButton->isEnabled());

    f.searchAllMenu->trigger();
    EXPECT_EQ(f.statusText(), "Established communication on COM 1");
    EXPECT_TRUE(f.pickButton->isEnabled());
    EXPECT_TRUE(f.lightController->monitoring());

    for (QAction* a : f.baudMenu->actions()) {
        if (a->text() != "9600") continue;
        a->trigger();
    }
    EXPECT_EQ(f.serialPort->baud(), 9600);
    EXPECT_EQ(f.comBaudLabel->text(), "9600");
    EXPECT_TRUE(f.serialPort->isOpen()) << "a new rate needs no new probe";
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join(" | ").toStdString();
}

TEST_F(FormProbe, SearchWithNothingAnsweringEndsInTheFallback) {
    const SilentPorts silent;
    app::MainWindow& f = start();
    f.enableButtons();
    f.searchAllMenu->trigger();
    EXPECT_EQ(f.statusText(),
              "Unable to open Hardware through COM ports. Select new COM port before proceeding");
    EXPECT_FALSE(f.pickButton->isEnabled());
}

TEST_F(FormProbe, LightsFollowTrafficOnTheWindowsPort) {
    PromptingUnit unit;
    app::MainWindow& f = startWithOnlyCom1(unit);
    ASSERT_TRUE(f.serialPort->isOpen());
    ASSERT_TRUE(f.lightController->monitoring());
    lights::StatusLight* rxd = f.rxdLight;
    lights::StatusLight* txd = f.txdLight;
    EXPECT_FALSE(rxd->lit());
    EXPECT_FALSE(txd->lit());
    unit.forget();

    unit.send("banner text\r\n");
    ASSERT_TRUE(pumpUntil([&] { return rxd->lit(); }, 3000));
    // The terminal pane reads what arrives, so the input empties and the next tick puts RXD out.
    ASSERT_TRUE(pumpUntil([&] { return !rxd->lit(); }, 3000));

    f.serialPort->putString("ver");
    ASSERT_TRUE(pumpUntil([&] { return txd->lit(); }, 3000));
    ASSERT_TRUE(pumpUntil([&] { return unit.heard() == "ver"; }, 3000)) << unit.heard();
    ASSERT_TRUE(pumpUntil([&] { return !txd->lit(); }, 3000));

    // A port change closes and reopens underneath the lights; they keep working.
    PromptingUnit second;
    second.bindCom(2);
    f.com2Menu->trigger();
    ASSERT_EQ(f.statusText(), "Established communication on COM 2");
    ASSERT_TRUE(f.lightController->monitoring());
    second.send("more");
    ASSERT_TRUE(pumpUntil([&] { return rxd->lit(); }, 3000));
    ASSERT_TRUE(pumpUntil([&] { return !rxd->lit(); }, 3000));
}

TEST_F(FormProbe, BackspaceOnAnOpenPortSendsBackspaceBlankBackspace) {
    PromptingUnit unit;
    app::MainWindow& f = startWithOnlyCom1(unit);
    ASSERT_TRUE(f.serialPort->isOpen());
    unit.forget();
    EXPECT_TRUE(f.onTerminalKeyPress('\b'));
    ASSERT_TRUE(pumpUntil([&] { return unit.heard() == "\b \b"; }, 3000)) << unit.heard();

    // Typed into the pane, backspace goes through the same filter instead of the pane's DEL.
    unit.forget();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, QStringLiteral("\b"));
    QCoreApplication::sendEvent(f.terminalPane->viewport(), &press);
    ASSERT_TRUE(pumpUntil([&] { return unit.heard() == "\b \b"; }, 3000)) << unit.heard();
    EXPECT_FALSE(f.onTerminalKeyPress('x')) << "other keys are the pane's";
}

namespace {
// The real serial link, except that flushing the input fails as a broken port would.
class BrokenFlushLink : public script::SerialLink {
  public:
    using script::SerialLink::SerialLink;
    bool flushInBuffer() override { return false; }
    std::string lastError() const override { return "device gone"; }
};
} // namespace

TEST_F(FormProbe, AnErrorDuringThePromptCheckSaysThePortIsNotResponding) {
    PromptingUnit unit;
    app::MainWindow& f = startWithOnlyCom1(unit);
    ASSERT_EQ(f.statusText(), "Established communication on COM 1");
    f.useSerialLink(std::make_unique<BrokenFlushLink>(*f.serialPort));
    dialogs.messages.clear();
    f.com1Menu->trigger();
    EXPECT_EQ(
        dialogs.messages,
        QStringList({"Note: COM Port #1 is not responding.",
                     "Error! Cannot establish communication using COM 1. Please check RS232 connection"}));
    EXPECT_TRUE(f.serialPort->isOpen()) << "the port stays as it was";
    EXPECT_EQ(f.lastGoodCom, 1);
}
