// brimwell-vtreplay: feeds a captured byte stream through an emulator without a window and prints
// the screen, the cursor, the attribute runs and the line attributes, one item per line.
//   brimwell-vtreplay [--rows R] [--cols C] [--tty] FILE      (FILE "-" is standard input)
#include "terminal/terminal_emulator.h"
#include "terminal/vt100_emulator.h"
#include "tools/vtreplay/screen_dump.h"

#include <cstdio>
#include <memory>
#include <string>

using namespace brimwell;

namespace {

constexpr TColor kColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                               0x800000, 0x800080, 0x808000, 0xC0C0C0};

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
    dump::Options o;
    if (!dump::parseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: brimwell-vtreplay [--rows R] [--cols C] [--tty] FILE\n");
        return 2;
    }
    std::string data;
    if (!dump::readInput(o.file, data)) {
        std::fprintf(stderr, "brimwell-vtreplay: cannot read %s\n", o.file);
        return 1;
    }

    std::unique_ptr<TQuavTerminalEmulator> emu;
    TQuavVT100Emulator* vt = nullptr;
    if (o.tty) {
        emu = std::make_unique<TQuavTTYEmulator>();
    } else {
        auto v = std::make_unique<TQuavVT100Emulator>();
        vt = v.get();
        emu = std::move(v);
    }
    TQuavTerminalBuffer& b = *emu->Buffer();
    if (o.rows > b.SVRowCount()) b.tbSetSVRowCount(o.rows);
    b.tbSetRowCount(o.rows);
    b.tbSetColCount(o.cols);
    emu->ProcessBlock(data.data(), int(data.size()), csPort);

    std::string out;
    dump::appendRows(out, b.RowCount(), b.ColCount(), [&](int r, int c) {
        const auto ch = std::uint8_t(b.GetLineCharPtr(r + 1)[c]);
        return o.tty ? Cp437ToUnicode(ch) : Vt100CellToUnicode(b.GetLineCharSetPtr(r + 1)[c], ch);
    });
    out += "cursor " + std::to_string(b.AbsCursorRow()) + "," + std::to_string(b.AbsCursorCol()) + "\n";
    dump::appendAttrRuns(out, b.RowCount(), b.ColCount(), [&](int r, int c) {
        return attrNames(b, TQuavTerminalCharAttrs(b.GetLineAttrPtr(r + 1)[c] & ~tcaSelected),
                         b.GetLineForeColorPtr(r + 1)[c], b.GetLineBackColorPtr(r + 1)[c]);
    });
    if (vt) {
        static const char* const kLine[] = {"", "dht", "dhb", "dwl"};
        for (int r = 1; r <= b.RowCount(); ++r)
            if (vt->LineAttr(r) != ltNormal)
                out += "line " + std::to_string(r) + " " + kLine[vt->LineAttr(r)] + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
