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

constexpr terminal::Color kColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                        0x800000, 0x800080, 0x808000, 0xC0C0C0};

std::string colourName(const char* prefix, terminal::Color c) {
    for (int i = 0; i < 8; ++i)
        if (kColors[i] == c) return std::string(prefix) + std::to_string(i);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%s#%06X", prefix, unsigned(c));
    return hex;
}

// The names of a cell's look that differ from the default, in the fixed order.
std::string attrNames(terminal::TerminalBuffer& b, terminal::CharAttrs a, terminal::Color fore,
                      terminal::Color back) {
    std::string s;
    auto add = [&s](const std::string& n) { s += (s.empty() ? "" : " ") + n; };
    if (a & terminal::kAttrBold) add("bold");
    if (a & terminal::kAttrUnderline) add("underline");
    if (a & terminal::kAttrBlink) add("blink");
    if (a & terminal::kAttrReverse) add("reverse");
    if (a & terminal::kAttrInvisible) add("invisible");
    if (fore != b.defForeColor()) add(colourName("fg=", fore));
    if (back != b.defBackColor()) add(colourName("bg=", back));
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

    std::unique_ptr<terminal::TerminalEmulator> emu;
    terminal::Vt100Emulator* vt = nullptr;
    if (o.tty) {
        emu = std::make_unique<terminal::TtyEmulator>();
    } else {
        auto v = std::make_unique<terminal::Vt100Emulator>();
        vt = v.get();
        emu = std::move(v);
    }
    terminal::TerminalBuffer& b = *emu->buffer();
    if (o.rows > b.svRowCount()) b.setSvRowCount(o.rows);
    b.setRowCount(o.rows);
    b.setColCount(o.cols);
    emu->processBlock(data.data(), int(data.size()), terminal::CharSource::Port);

    std::string out;
    dump::appendRows(out, b.rowCount(), b.colCount(), [&](int r, int c) {
        const auto ch = std::uint8_t(b.getLineCharPtr(r + 1)[c]);
        return o.tty ? terminal::cp437ToUnicode(ch)
                     : terminal::vt100CellToUnicode(b.getLineCharSetPtr(r + 1)[c], ch);
    });
    out += "cursor " + std::to_string(b.absCursorRow()) + "," + std::to_string(b.absCursorCol()) + "\n";
    dump::appendAttrRuns(out, b.rowCount(), b.colCount(), [&](int r, int c) {
        return attrNames(b, terminal::CharAttrs(b.getLineAttrPtr(r + 1)[c] & ~terminal::kAttrSelected),
                         b.getLineForeColorPtr(r + 1)[c], b.getLineBackColorPtr(r + 1)[c]);
    });
    if (vt) {
        static const char* const kLine[] = {"", "dht", "dhb", "dwl"};
        for (int r = 1; r <= b.rowCount(); ++r)
            if (vt->lineAttr(r) != terminal::kLineNormal)
                out += "line " + std::to_string(r) + " " + kLine[vt->lineAttr(r)] + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
