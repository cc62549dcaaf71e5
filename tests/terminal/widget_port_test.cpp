// The terminal widget on a real port component over a pseudo-terminal: attaching with the port's
// open and close, bytes from the far end shown (also while the application reads them too), keys
// sent to the far end, and a 1 MiB stream shown and captured without a byte lost or doubled.
#include "terminal/widget/terminal_widget.h"
#include "widget_support.h"

#include "serial/component/com_port.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace brimwell {
namespace {

using test::PtyPair;
using testing::pumpFor;
using testing::pumpUntil;
using widgettest::PtyStreamer;
using widgettest::receivePumping;

std::string pad(std::string s, size_t width = 80) {
    s.resize(width, ' ');
    return s;
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

class TerminalOnPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << "no pseudo-terminal";
        line.bindCom(kCom);
        port.setComNumber(kCom);
        port.setAutoOpen(false);
        port.setBaud(115200);
        term = std::make_unique<terminal::TerminalWidget>();
        QFont f(QStringLiteral("DejaVu Sans Mono"));
        f.setPixelSize(12);
        term->setFont(f);
        term->resize(700, 400);
        term->setComPort(&port);
        term->show();
        pumpFor(30);
    }
    void TearDown() override {
        term.reset();
        if (port.isOpen()) port.setOpen(false);
        pumpFor(10);
    }
    void openPort() {
        port.setOpen(true);
        ASSERT_TRUE(pumpUntil([&] { return term->attached(); }, 3000)) << "the terminal did not attach";
    }
    void typeKey(int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent ev(QEvent::KeyPress, key, mods, text);
        QCoreApplication::sendEvent(term.get(), &ev);
        pumpFor(5);
    }
    void sendMouse(QEvent::Type type, int row, int col) {
        const QPoint p((col - term->originCol()) * term->charWidth() + 2,
                       (row - term->originRow()) * term->charHeight() + 2);
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent ev(type, QPointF(p), QPointF(term->viewport()->mapToGlobal(p)), Qt::LeftButton, held,
                       Qt::NoModifier);
        QCoreApplication::sendEvent(term->viewport(), &ev);
    }

    static constexpr unsigned kCom = 37;
    PtyPair line{PtyPair::Slave::held};
    serial::ComPort port;
    std::unique_ptr<terminal::TerminalWidget> term;
};

TEST_F(TerminalOnPort, AttachesWhenTheApplicationOpensThePort) {
    EXPECT_FALSE(term->attached());
    EXPECT_TRUE(term->attachPending()) << "a closed port that does not open itself leaves attach pending";
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.primaryTerminal(), static_cast<void*>(static_cast<terminal::TerminalWidget*>(term.get())));
    openPort();
    EXPECT_FALSE(term->attachPending());
    ASSERT_TRUE(line.write("hello\r\nworld"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(2), "world"); }, 3000)) << term->line(1);
    EXPECT_EQ(term->line(1), pad("hello"));
}

TEST_F(TerminalOnPort, ShowsEveryByteWhileTheApplicationReadsThemToo) {
    std::string appGot;
    port.setOnTriggerAvail([&](serial::ComPort* cp, uint16_t count) {
        std::string buf(count, '\0');
        cp->getBlock(buf.data(), count);
        appGot += buf;
    });
    openPort();
    const std::string sent = "first answer\r\nsecond answer\r\n";
    ASSERT_TRUE(line.write(sent));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(2), "second answer") && appGot == sent; }, 5000))
        << "terminal: " << term->line(2) << " application: " << appGot;
    EXPECT_EQ(term->line(1), pad("first answer"));
}

TEST_F(TerminalOnPort, ReopeningDetachesThenWritesFromRowOneAgain) {
    openPort();
    ASSERT_TRUE(line.write("aaa\r\nbbb\r\nccc"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(3), "ccc"); }, 3000));
    port.setOpen(false);
    pumpFor(20);
    EXPECT_FALSE(term->attached());
    EXPECT_TRUE(term->attachPending());
    openPort();
    EXPECT_EQ(term->buffer()->cursorRow(), 1) << "every open puts the cursor on row 1";
    EXPECT_EQ(term->buffer()->cursorCol(), 4) << "column unchanged";
    ASSERT_TRUE(line.write("NEW"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(1), "aaaNEW"); }, 3000)) << term->line(1);
}

TEST_F(TerminalOnPort, InactiveTerminalShowsNothing) {
    openPort();
    term->setActive(false);
    EXPECT_FALSE(term->attached());
    ASSERT_TRUE(line.write("unseen"));
    pumpFor(300);
    EXPECT_EQ(term->line(1), pad(""));
    term->setActive(true);
    ASSERT_TRUE(pumpUntil([&] { return term->attached(); }, 3000));
    ASSERT_TRUE(line.write("|seen"));
    ASSERT_TRUE(pumpUntil([&] { return term->line(1).find("|seen") != std::string::npos; }, 3000))
        << term->line(1);
}

TEST_F(TerminalOnPort, TypedKeysGoToThePort) {
    openPort();
    typeKey(Qt::Key_X, QStringLiteral("x"));
    typeKey(Qt::Key_Backspace, QStringLiteral("\b"));
    typeKey(Qt::Key_C, QStringLiteral("\x03"), Qt::ControlModifier);
    typeKey(Qt::Key_Escape, QStringLiteral("\x1b"));
    typeKey(0, QString(QChar(0x20AC)));
    typeKey(0, QString(QChar(0x4E2D)));
    EXPECT_EQ(receivePumping(line, 5, 3000), std::string("x\x7f\x03\x1b\x80", 5)) << "the euro sign is 0x80";
    EXPECT_EQ(receivePumping(line, 1, 200), "") << "no byte for U+4E2D";
    EXPECT_EQ(term->line(1), pad("")) << "no local echo without HalfDuplex";

    // With a selection made, Ctrl+C copies it and sends nothing.
    ASSERT_TRUE(line.write("copy me"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(1), "copy me"); }, 3000));
    sendMouse(QEvent::MouseButtonPress, 1, 1);
    sendMouse(QEvent::MouseMove, 1, 4);
    sendMouse(QEvent::MouseButtonRelease, 1, 4);
    QGuiApplication::clipboard()->clear();
    typeKey(Qt::Key_C, QStringLiteral("\x03"), Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "copy\r\n");
    typeKey(Qt::Key_Insert, QString(), Qt::ControlModifier);
    typeKey(Qt::Key_Z, QStringLiteral("z"));
    EXPECT_EQ(receivePumping(line, 1, 2000), "z") << "Ctrl+C and Ctrl+Insert were consumed";
}

TEST_F(TerminalOnPort, PasteToPortSendsTheClipboard) {
    openPort();
    term->setPasteToPort(true);
    QGuiApplication::clipboard()->setText(QStringLiteral("LOADR\r"));
    term->pasteFromClipboard();
    EXPECT_EQ(receivePumping(line, 6, 3000), "LOADR\r");
    term->setPasteToScreen(true);
    QGuiApplication::clipboard()->setText(QStringLiteral("ab"));
    term->pasteFromClipboard();
    EXPECT_EQ(receivePumping(line, 2, 3000), "ab");
    pumpFor(20);
    EXPECT_EQ(term->line(1), pad("ab")) << "both: each character written and sent";
}

TEST_F(TerminalOnPort, AutoOpenPortIsOpenedByTheAttachStep) {
    term->setComPort(nullptr);
    port.setAutoOpen(true);
    term->setComPort(&port);
    ASSERT_TRUE(pumpUntil([&] { return term->attached(); }, 3000));
    EXPECT_TRUE(port.isOpen());
    ASSERT_TRUE(line.write("auto"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(1), "auto"); }, 3000)) << term->line(1);
}

TEST_F(TerminalOnPort, BytesConsumedByWaitForStringAreNotShown) {
    openPort();
    port.prepareWait(); // nothing is announced between here and the wait
    ASSERT_TRUE(line.write("xxOK"));
    EXPECT_TRUE(port.waitForString("OK", 36, true, false));
    ASSERT_TRUE(line.write("rest"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(1), "rest"); }, 3000)) << term->line(1);
    EXPECT_EQ(term->line(1), pad("rest"));
}

TEST_F(TerminalOnPort, TerminalGoingAwayMidStreamLeavesThePortWorking) {
    openPort();
    std::atomic<bool> stop{false};
    std::atomic<int> linesSent{0};
    // A far end that keeps the dispatcher delivering blocks while the terminal goes away.
    std::thread far([&] {
        for (int i = 0; !stop; ++i) {
            line.write("streaming line " + std::to_string(i) + "\r\n");
            linesSent = i + 1;
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return linesSent > 2000; }, 10000));
    term.reset();
    std::string got;
    port.setOnTriggerAvail([&](serial::ComPort* cp, uint16_t count) {
        std::string buf(count, '\0');
        cp->getBlock(buf.data(), count);
        got += buf;
    });
    pumpFor(100);
    stop = true;
    far.join();
    ASSERT_TRUE(line.write("after\r\n"));
    pumpUntil([&] { return got.find("after\r\n") != std::string::npos; }, 5000);
    EXPECT_NE(got.find("after\r\n"), std::string::npos) << "the port still delivers; got " << got.size();
}

TEST_F(TerminalOnPort, PortDestroyedWhileOpenIsForgotten) {
    auto own = std::make_unique<serial::ComPort>();
    own->setComNumber(kCom);
    own->setAutoOpen(false);
    term->setComPort(own.get());
    own->setOpen(true);
    ASSERT_TRUE(pumpUntil([&] { return term->attached(); }, 3000));
    own.reset();
    EXPECT_EQ(term->comPort(), nullptr);
    EXPECT_FALSE(term->active());
    EXPECT_FALSE(term->attached());
}

std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One mebibyte of numbered lines from the far end: the capture holds exactly what was sent and the
// buffer's last rows hold the last lines.
TEST_F(TerminalOnPort, MebibyteStreamIsShownOnceAndCapturedWhole) {
    // As the main window places it: repaint after every block.
    term->setRows(16);
    term->setUseLazyDisplay(false);
    term->setLazyByteDelay(4);
    term->setLazyTimeDelay(50);
    const std::string cap =
        (std::filesystem::temp_directory_path() / ("brimwell-mib-" + std::to_string(::getpid()) + ".cap"))
            .string();
    term->setCaptureFile(cap);
    term->setCapture(terminal::CaptureMode::On);
    openPort();

    std::string data;
    std::vector<std::string> lines;
    for (int i = 0; data.size() < (size_t(1) << 20); ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%07d the quick brown fox jumps over the lazy dog", i);
        lines.emplace_back(text);
        data += text;
        data += "\r\n";
    }
    PtyStreamer streamer(line, data);
    const bool complete = pumpUntil(
        [&] { return std::filesystem::exists(cap) && std::filesystem::file_size(cap) >= data.size(); },
        120000);
    ASSERT_TRUE(streamer.finished() && streamer.succeeded()) << "the far end could not send everything";
    ASSERT_TRUE(complete) << "captured " << std::filesystem::file_size(cap) << " of " << data.size();
    pumpFor(200);
    const std::string captured = readFile(cap);
    ASSERT_EQ(captured.size(), data.size());
    EXPECT_TRUE(captured == data) << "the capture differs from what was sent";

    // The final CR LF leaves the bottom row empty; above it, every row kept holds one line.
    const terminal::TerminalBuffer* b = term->buffer();
    EXPECT_EQ(term->line(16), pad(""));
    const int kept = b->svRowCount() - 1;
    for (int k = 1; k <= kept; ++k) {
        const int row = 16 - k;
        ASSERT_EQ(term->line(row), pad(lines[lines.size() - size_t(k)])) << "row " << row;
    }
    term->setCapture(terminal::CaptureMode::Off);
    std::filesystem::remove(cap);
}

TEST_F(TerminalOnPort, VT100EmulationShowsDoubleWidthLineDrawingAndBlinkingText) {
    openPort();
    term->setUseLazyDisplay(false);
    term->writeString("kept");
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(1), "kept"); }, 3000));
    term->setEmulation(terminal::Emulation::VT100);
    EXPECT_TRUE(startsWith(term->line(1), "kept")) << "switching emulations keeps the contents";
    ASSERT_TRUE(line.write("\x1b[2;1H\x1b#6WIDE\x1b[3;1H\x1b(0lqqk\x1b(B \x1b[5mBLINK\x1b[m"));
    ASSERT_TRUE(pumpUntil([&] { return startsWith(term->line(3), "lqqk BLINK"); }, 3000)) << term->line(3);
    EXPECT_EQ(term->charSet(3, 2), 2);
    const int cw = term->charWidth(), ch = term->charHeight();
    auto lit = [&](const QImage& img, int x0, int x1, int y0, int y1) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (qGray(img.pixel(x, y)) > 96) return true;
        return false;
    };
    const QImage shot = term->viewport()->grab().toImage();
    // The row is drawn twice as wide: "WIDE" reaches past its fifth cell.
    EXPECT_TRUE(lit(shot, 6 * cw, 8 * cw, ch, 2 * ch));
    // A horizontal line crosses the whole cell of every q, edge to edge, so the lines join.
    for (int x : {cw + 0, 2 * cw - 1, 2 * cw, 3 * cw - 1})
        EXPECT_TRUE(lit(shot, x, x + 1, 2 * ch, 3 * ch)) << x;
    // The blinking word shows in one phase and not in the other.
    bool seenOn = false, seenOff = false;
    pumpUntil(
        [&] {
            const bool on = lit(term->viewport()->grab().toImage(), 5 * cw, 10 * cw, 2 * ch, 3 * ch);
            (on ? seenOn : seenOff) = true;
            return seenOn && seenOff;
        },
        5000);
    EXPECT_TRUE(seenOn && seenOff);
    typeKey(Qt::Key_Up, QString());
    EXPECT_EQ(receivePumping(line, 3, 3000), "\x1b[A");
}

} // namespace
} // namespace brimwell
