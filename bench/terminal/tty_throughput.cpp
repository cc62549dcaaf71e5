// Throughput of the teletype emulator with its buffer (ProcessBlock) on three kinds of received data,
// measured against libvterm's screen fed the very same bytes in the same blocks. Prints
// "BENCH tty_<stream>_ratio <ours / libvterm> ratio" (above 1: ours is faster) and the raw rates.
#include "terminal/terminal_emulator.h"

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

double oursRate(const std::string& data, std::string& lastRow) {
    std::unique_ptr<brimwell::TQuavTTYEmulator> emu;
    double rate = bestRate(
        data,
        [&](const char* p, std::size_t n) { emu->ProcessBlock(p, static_cast<int>(n), brimwell::csPort); },
        [&] { emu = std::make_unique<brimwell::TQuavTTYEmulator>(); });
    const char* row = emu->Buffer()->GetLineCharPtr(emu->Buffer()->tbGetRow());
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
    Stream streams[] = {{"dense", denseText()}, {"scroll", shortLines()}, {"ctrl", controlText()}};
    for (const Stream& s : streams) {
        std::string lastRow;
        double ours = oursRate(s.data, lastRow);
        double ref = vtermRate(s.data);
        std::printf("BENCH tty_%s_mbps %.1f MB/s\n", s.name, ours / 1e6);
        std::printf("BENCH vterm_%s_mbps %.1f MB/s\n", s.name, ref / 1e6);
        std::printf("BENCH tty_%s_ratio %.2f ratio\n", s.name, ours / ref);
        std::fflush(stdout);
    }
#ifdef BRIMWELL_BENCH_WIDGET
    runWidgetBenchmarks();
#endif
    return 0;
}
