// The reference screen: libvterm fed the same bytes, printed in brimwell-vtreplay's format, so the
// conformance test compares the two outputs line by line.
//   vterm-dump [--rows R] [--cols C] FILE     (FILE "-" is standard input)
// The terminal's palette draws colour 7 as its default text colour and colour 0 as its default
// background, so those two indices print as the defaults here.
#include "terminal/vt100_glyphs.h"

#include <vterm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

std::string look(const VTermScreenCell& c) {
    std::string s;
    auto add = [&s](const std::string& n) { s += (s.empty() ? "" : " ") + n; };
    if (c.attrs.bold) add("bold");
    if (c.attrs.underline) add("underline");
    if (c.attrs.blink) add("blink");
    if (c.attrs.reverse) add("reverse");
    if (VTERM_COLOR_IS_INDEXED(&c.fg) && !VTERM_COLOR_IS_DEFAULT_FG(&c.fg) && c.fg.indexed.idx != 7)
        add("fg=" + std::to_string(c.fg.indexed.idx));
    if (VTERM_COLOR_IS_INDEXED(&c.bg) && !VTERM_COLOR_IS_DEFAULT_BG(&c.bg) && c.bg.indexed.idx != 0)
        add("bg=" + std::to_string(c.bg.indexed.idx));
    return s;
}

} // namespace

int main(int argc, char** argv) {
    int rows = 24, cols = 80;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rows") && i + 1 < argc)
            rows = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--cols") && i + 1 < argc)
            cols = std::atoi(argv[++i]);
        else
            file = argv[i];
    }
    if (!file) return 2;
    std::string data;
    if (!std::strcmp(file, "-")) {
        data.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(file, std::ios::binary);
        data.assign(std::istreambuf_iterator<char>(in), {});
    }
    VTerm* vt = vterm_new(rows, cols);
    vterm_set_utf8(vt, 0);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    vterm_input_write(vt, data.data(), data.size());

    std::string out;
    VTermScreenCell cell;
    for (int r = 0; r < rows; ++r) {
        std::string line;
        std::size_t keep = 0;
        for (int c = 0; c < cols; ++c) {
            vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
            const char32_t u = cell.chars[0] ? char32_t(cell.chars[0]) : U' ';
            brimwell::AppendUtf8(line, u);
            if (u != U' ') keep = line.size();
        }
        line.resize(keep);
        out += std::to_string(r + 1) + "|" + line + "\n";
    }
    VTermPos cursor;
    vterm_state_get_cursorpos(vterm_obtain_state(vt), &cursor);
    out += "cursor " + std::to_string(cursor.row + 1) + "," + std::to_string(cursor.col + 1) + "\n";
    for (int r = 0; r < rows; ++r) {
        int start = 0;
        std::string run;
        for (int c = 0; c <= cols; ++c) {
            std::string names;
            if (c < cols) {
                vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
                names = look(cell);
            }
            if (c > 0 && names != run && !run.empty())
                out += "attr " + std::to_string(r + 1) + "," + std::to_string(start + 1) + "-" +
                       std::to_string(c) + " " + run + "\n";
            if (c == 0 || names != run) start = c;
            run = names;
        }
    }
    for (int r = 0; r < rows; ++r) {
        const VTermLineInfo* info = vterm_state_get_lineinfo(vterm_obtain_state(vt), r);
        if (!info || !info->doublewidth) continue;
        const char* kind = info->doubleheight == 1 ? "dht" : info->doubleheight == 2 ? "dhb" : "dwl";
        out += "line " + std::to_string(r + 1) + " " + kind + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    vterm_free(vt);
    return 0;
}
