// Throughput of the teletype and VT100 emulators with their buffers (processBlock) on kinds of
// received data, measured against libvterm's screen fed the very same bytes in the same blocks. Prints
// "BENCH tty_<stream>_ratio" and "BENCH vt100_<stream>_ratio" <ours / libvterm> (above 1: ours is
// faster) and the raw rates.
#include "terminal/terminal_emulator.h"
#include "terminal/vt100_emulator.h"

#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#ifdef BRIMWELL_BENCH_WIDGET
void runWidgetBenchmarks();
#endif

namespace {

constexpr std::size_t kStreamBytes = 4u << 20; // per stream and run
constexpr std::size_t kBlockBytes = 4096;      // what one intake message typically hands over
constexpr int kRuns = 5;                       // the best run counts
constexpr int kRows = 24;
constexpr int kCols = 80;

// Printable ASCII without line ends: every 80th byte wraps and scrolls.
std::string denseText() {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    std::string s(kStreamBytes, ' ');
    for (char& c : s)
        c = static_cast<char>(printable(rng));
    return s;
}

// Short numbered lines ended by CR LF: mostly scrolling.
std::string shortLines() {
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> length(0, 24);
    std::string s;
    s.reserve(kStreamBytes + 64);
    for (unsigned n = 0; s.size() < kStreamBytes; ++n) {
        s += std::to_string(n);
        s += ':';
        s.append(static_cast<std::size_t>(length(rng)), 'x');
        s += "\r\n";
    }
    s.resize(kStreamBytes);
    return s;
}

// Words mixed with control bytes: tabs, backspaces, bells, CR, LF and bytes the teletype ignores.
std::string controlText() {
    std::mt19937 rng(3);
    static const char kControls[] = {'\t', '\b', '\a', '\r', '\n', '\0', '\x0e', '\x0f', '\x7f'};
    std::uniform_int_distribution<int> word(1, 8);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<int> control(0, sizeof kControls - 1);
    std::string s;
    s.reserve(kStreamBytes + 16);
    while (s.size() < kStreamBytes) {
        for (int i = word(rng); i > 0; --i)
            s += static_cast<char>(letter(rng));
        s += kControls[control(rng)];
        if (s.size() % 7 == 0) s += "\r\n";
    }
    s.resize(kStreamBytes);
    return s;
}

// A full-screen program's output: cursor moves, colours and attributes around short words, erasing
// to the end of lines, now and then a line-drawing frame.
std::string escapeText() {
    std::mt19937 rng(4);
    std::uniform_int_distribution<int> row(1, kRows), col(1, kCols - 10), colour(0, 7), word(1, 10),
        pick(0, 9);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string s;
    s.reserve(kStreamBytes + 64);
    while (s.size() < kStreamBytes) {
        s += "\x1b[" + std::to_string(row(rng)) + ";" + std::to_string(col(rng)) + "H";
        s += "\x1b[3" + std::to_string(colour(rng)) + ";4" + std::to_string(colour(rng)) + "m";
        if (pick(rng) < 3) s += "\x1b[1m";
        for (int i = word(rng); i > 0; --i)
            s += static_cast<char>(letter(rng));
        s += "\x1b[0m";
        if (pick(rng) == 0) s += "\x1b[K";
        if (pick(rng) == 1) s += "\x1b(0lqqqqk\x1b(B";
    }
    s.resize(kStreamBytes);
    return s;
}

// Bytes per second of the best of kRuns runs of feed(data) over the whole stream in blocks.
double bestRate(const std::string& data, const std::function<void(const char*, std::size_t)>& feed,
                const std::function<void()>& fresh) {
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        fresh();
        auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < data.size(); at += kBlockBytes)
            feed(data.data() + at, std::min(kBlockBytes, data.size() - at));
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, static_cast<double>(data.size()) / took.count());
    }
    return best;
}

template <typename emulator> double oursRate(const std::string& data, std::string& lastRow) {
    std::unique_ptr<emulator> emu;
    double rate = bestRate(
        data,
        [&](const char* p, std::size_t n) {
            emu->processBlock(p, static_cast<int>(n), brimwell::terminal::CharSource::Port);
        },
        [&] { emu = std::make_unique<emulator>(); });
    const char* row = emu->buffer()->getLineCharPtr(emu->buffer()->cursorRow());
    lastRow.assign(row, static_cast<std::size_t>(kCols));
    return rate;
}

double vtermRate(const std::string& data) {
    VTerm* vt = nullptr;
    double rate = bestRate(
        data, [&](const char* p, std::size_t n) { vterm_input_write(vt, p, n); },
        [&] {
            if (vt) vterm_free(vt);
            vt = vterm_new(kRows, kCols);
            vterm_set_utf8(vt, 0);
            VTermScreen* screen = vterm_obtain_screen(vt);
            vterm_screen_reset(screen, 1);
        });
    vterm_free(vt);
    return rate;
}

} // namespace

int main() {
    struct Stream {
        const char* name;
        std::string data;
    };
    Stream streams[] = {
        {"dense", denseText()}, {"scroll", shortLines()}, {"ctrl", controlText()}, {"csi", escapeText()}};
    for (const Stream& s : streams) {
        std::string lastRow;
        const bool csi = std::string(s.name) == "csi"; // escape sequences mean nothing to a teletype
        double tty = csi ? 0 : oursRate<brimwell::terminal::TtyEmulator>(s.data, lastRow);
        double vt100 = oursRate<brimwell::terminal::Vt100Emulator>(s.data, lastRow);
        double ref = vtermRate(s.data);
        std::printf("BENCH vterm_%s_mbps %.1f MB/s\n", s.name, ref / 1e6);
        if (!csi) {
            std::printf("BENCH tty_%s_mbps %.1f MB/s\n", s.name, tty / 1e6);
            std::printf("BENCH tty_%s_ratio %.2f ratio\n", s.name, tty / ref);
        }
        std::printf("BENCH vt100_%s_mbps %.1f MB/s\n", s.name, vt100 / 1e6);
        std::printf("BENCH vt100_%s_ratio %.2f ratio\n", s.name, vt100 / ref);
        std::fflush(stdout);
    }
#ifdef BRIMWELL_BENCH_WIDGET
    runWidgetBenchmarks();
#endif
    return 0;
}
