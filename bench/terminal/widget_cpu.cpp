// CPU the terminal widget spends showing a stream for 10 s: a real port component on a
// pseudo-terminal, the widget set up as the main window places it, and a far end that paces its
// bytes at the line's rate. Prints "BENCH widget_115200_cpu_pct <x> pct" for the teletype showing
// lines of text at 115200 baud and "BENCH vt100_widget_921600_cpu_pct <x> pct" for the VT100
// emulator showing a full-screen program's output at 921600 baud (percent of one core, the far
// end's own thread excluded).
#include "serial/component/com_port.h"
#include "terminal/widget/terminal_widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned kBenchCom = 49;
constexpr int kPaceMs = 10;

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void processFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

// Lines of unit output; every fourth is wider than the window, so the view also follows the
// cursor sideways.
std::string unitLines(size_t bytes) {
    std::string text;
    for (int i = 0; text.size() < bytes; ++i)
        text += "line " + std::to_string(i) + ": status ok, block 2000 bytes written, prompt >" +
                (i % 4 == 3 ? std::string(" checksum 0x1F3A version 2.31 load address 0x00400000 ok") : "") +
                "\r\n";
    return text;
}

// A unit's full-screen console: each frame homes, then rewrites every row at a cursor position in
// colours, with attributes, a line-drawing frame and erasing to the end of the line.
std::string consoleFrames(size_t bytes) {
    std::string text;
    for (int frame = 0; text.size() < bytes; ++frame) {
        text += "\x1b[H\x1b(0lqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqk\x1b(B";
        for (int row = 2; row <= 16; ++row) {
            text += "\x1b[" + std::to_string(row) + ";1H\x1b[3" + std::to_string((row + frame) % 8) + "m";
            text += (row % 3 == 0 ? "\x1b[1;7m" : "\x1b[4m");
            text += "task " + std::to_string(row) + " \x1b[0m cpu " + std::to_string((frame * row) % 100) +
                    "% mem " + std::to_string((frame + row * 7) % 1000) + "k\x1b[K";
        }
    }
    return text;
}

void runWidgetCpu(const char* name, int baud, bool vt100, std::string (*make)(size_t), int seconds) {
    using namespace brimwell;
    const int bytesPerSecond = baud / 10; // 8N1: ten bits a byte

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slave[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0) {
        std::fprintf(stderr, "widget benchmark: no pseudo-terminal\n");
        return;
    }
    const int holder = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(holder, &t);
    cfmakeraw(&t);
    tcsetattr(holder, TCSANOW, &t);
    setenv(("BRIMWELL_COM" + std::to_string(kBenchCom)).c_str(), slave, 1);

    {
        serial::ComPort port;
        port.setComNumber(kBenchCom);
        port.setAutoOpen(false);
        port.setBaud(baud);

        terminal::TerminalWidget term;
        QFont font(QStringLiteral("Courier New"));
        font.setPixelSize(12);
        term.setFont(font);
        term.setBlinkTime(250);
        term.setLazyByteDelay(4);
        term.setLazyTimeDelay(50);
        term.setRows(16);
        term.setUseLazyDisplay(false);
        term.setWantAllKeys(false);
        term.resize(497, 273);
        term.setComPort(&port);
        if (vt100) term.setEmulation(terminal::Emulation::VT100);
        term.show();
        port.setOpen(true);
        processFor(200);
        if (!term.attached()) {
            std::fprintf(stderr, "widget benchmark: the terminal did not attach to the port\n");
            close(holder);
            close(master);
            return;
        }

        const std::string text = make(size_t(bytesPerSecond) * size_t(seconds + 2));

        std::atomic<bool> stop{false};
        std::atomic<double> peerCpu{0.0};
        std::atomic<long> sent{0};
        const double cpuBefore = processCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        std::thread peer([&] {
            const auto start = std::chrono::steady_clock::now();
            size_t done = 0;
            while (!stop) {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const size_t due = std::min(text.size(), size_t(elapsed * bytesPerSecond));
                while (done < due) {
                    const ssize_t n = write(master, text.data() + done, due - done);
                    if (n <= 0) break;
                    done += size_t(n);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(kPaceMs));
            }
            sent = long(done);
            peerCpu = threadCpuSeconds();
        });
        processFor(seconds * 1000);
        stop = true;
        peer.join();
        const double cpu = processCpuSeconds() - cpuBefore - peerCpu;
        const double pct = 100.0 * cpu / (double(wall.elapsed()) / 1000.0);
        std::fprintf(stderr, "widget benchmark: %ld bytes in %.1f s, last row: %s\n", sent.load(),
                     double(wall.elapsed()) / 1000.0, term.line(term.buffer()->absCursorRow() - 1).c_str());
        std::printf("BENCH %s %.2f pct\n", name, pct);
        std::fflush(stdout);
        port.setOpen(false);
    }
    close(holder);
    close(master);
}

void runWidgetBenchmarks() {
    if (!QCoreApplication::instance()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "bench_terminal";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv); // lives until the process ends
    }
    int seconds = 10;
    if (const char* s = std::getenv("BRIMWELL_BENCH_SECONDS")) seconds = std::max(1, std::atoi(s));
    runWidgetCpu("widget_115200_cpu_pct", 115200, false, unitLines, seconds);
    runWidgetCpu("vt100_widget_921600_cpu_pct", 921600, true, consoleFrames, seconds);
}
