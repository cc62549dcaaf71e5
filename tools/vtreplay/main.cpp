// brimwell-vtreplay: feeds a captured byte stream through an emulator without a window and prints
// the screen, the cursor, the attribute runs and the line attributes, one item per line.
//   brimwell-vtreplay [--rows R] [--cols C] [--tty] FILE      (FILE "-" is standard input)
#include "terminal/terminal_emulator.h"
#include "terminal/vt100_emulator.h"
#include "terminal/vt100_glyphs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

using namespace brimwell;

namespace {

constexpr TColor kColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                               0x800000, 0x800080, 0x808000, 0xC0C0C0};

int usage() {
    std::fprintf(stderr, "usage: brimwell-vtreplay [--rows R] [--cols C] [--tty] FILE\n");
    return 2;
}

std::string colourName(const char* prefix, TColor c) {
    for (int i = 0; i < 8; ++i)
        if (kColors[i] == c) return std::string(prefix) + std::to_string(i);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%s#%06X", prefix, unsigned(c));
    return hex;
}

// The names of a cell's look that differ from the default, in the fixed order.
std::string attrNames(TQuavTerminalBuffer& b, TQuavTerminalCharAttrs a, TColor fore, TColor back) {
    std::string s;
    auto add = [&s](const std::string& n) { s += (s.empty() ? "" : " ") + n; };
    if (a & tcaBold) add("bold");
    if (a & tcaUnderline) add("underline");
    if (a & tcaBlink) add("blink");
    if (a & tcaReverse) add("reverse");
    if (a & tcaInvisible) add("invisible");
    if (fore != b.DefForeColor()) add(colourName("fg=", fore));
    if (back != b.DefBackColor()) add(colourName("bg=", back));
    return s;
}

} // namespace

int main(int argc, char** argv) {
    int rows = 24, cols = 80;
    bool tty = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rows") && i + 1 < argc)
            rows = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--cols") && i + 1 < argc)
            cols = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--tty"))
            tty = true;
        else if (!file)
            file = argv[i];
        else
            return usage();
    }
    if (!file || rows < 2 || cols < 2 || rows > 10000 || cols > 1000) return usage();

    std::string data;
    if (!std::strcmp(file, "-")) {
        data.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "brimwell-vtreplay: cannot read %s\n", file);
            return 1;
        }
        data.assign(std::istreambuf_iterator<char>(in), {});
    }

    std::unique_ptr<TQuavTerminalEmulator> emu;
    TQuavVT100Emulator* vt = nullptr;
    if (tty) {
        emu = std::make_unique<TQuavTTYEmulator>();
    } else {
        auto v = std::make_unique<TQuavVT100Emulator>();
        vt = v.get();
        emu = std::move(v);
    }
    TQuavTerminalBuffer& b = *emu->Buffer();
    if (rows > b.SVRowCount()) b.tbSetSVRowCount(rows);
    b.tbSetRowCount(rows);
    b.tbSetColCount(cols);
    emu->ProcessBlock(data.data(), int(data.size()), csPort);

    std::string out;
    for (int r = 1; r <= b.RowCount(); ++r) {
        const char* ch = b.GetLineCharPtr(r);
        const std::uint8_t* set = b.GetLineCharSetPtr(r);
        std::string line;
        std::size_t keep = 0;
        for (int c = 0; c < b.ColCount(); ++c) {
            const char32_t u = tty ? char32_t(Cp437ToUnicode(std::uint8_t(ch[c])))
                                   : Vt100CellToUnicode(set[c], std::uint8_t(ch[c]));
            AppendUtf8(line, u);
            if (u != U' ') keep = line.size();
        }
        line.resize(keep);
        out += std::to_string(r) + "|" + line + "\n";
    }
    out += "cursor " + std::to_string(b.AbsCursorRow()) + "," + std::to_string(b.AbsCursorCol()) + "\n";
    for (int r = 1; r <= b.RowCount(); ++r) {
        const TQuavTerminalCharAttrs* a = b.GetLineAttrPtr(r);
        const TColor* fore = b.GetLineForeColorPtr(r);
        const TColor* back = b.GetLineBackColorPtr(r);
        int start = 0;
        std::string run;
        for (int c = 0; c <= b.ColCount(); ++c) {
            const std::string names =
                c < b.ColCount() ? attrNames(b, TQuavTerminalCharAttrs(a[c] & ~tcaSelected), fore[c], back[c])
                                 : std::string();
            if (c > 0 && names != run && !run.empty())
                out += "attr " + std::to_string(r) + "," + std::to_string(start + 1) + "-" +
                       std::to_string(c) + " " + run + "\n";
            if (c == 0 || names != run) start = c;
            run = names;
        }
    }
    if (vt) {
        static const char* const kLine[] = {"", "dht", "dhb", "dwl"};
        for (int r = 1; r <= b.RowCount(); ++r)
            if (vt->LineAttr(r) != ltNormal)
                out += "line " + std::to_string(r) + " " + kLine[vt->LineAttr(r)] + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
