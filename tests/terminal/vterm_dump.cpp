// The reference screen: libvterm fed the same bytes, printed in brimwell-vtreplay's format, so the
// conformance test compares the two outputs line by line.
//   vterm-dump [--rows R] [--cols C] FILE     (FILE "-" is standard input)
// The terminal's palette draws colour 7 as its default text colour and colour 0 as its default
// background, so those two indices print as the defaults here. libvterm has no concealed text.
#include "tools/vtreplay/screen_dump.h"

#include <vterm.h>

#include <cstdio>
#include <string>

using namespace brimwell;

int main(int argc, char** argv) {
    dump::Options o;
    std::string data;
    if (!dump::parseOptions(argc, argv, o) || o.tty || !dump::readInput(o.file, data)) return 2;
    VTerm* vt = vterm_new(o.rows, o.cols);
    vterm_set_utf8(vt, 0);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    vterm_input_write(vt, data.data(), data.size());
    VTermState* state = vterm_obtain_state(vt);

    VTermScreenCell cell;
    auto at = [&](int r, int c) -> const VTermScreenCell& {
        vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
        return cell;
    };
    std::string out;
    dump::appendRows(out, o.rows, o.cols, [&](int r, int c) {
        const uint32_t ch = at(r, c).chars[0];
        return ch ? char32_t(ch) : U' ';
    });
    VTermPos cursor;
    vterm_state_get_cursorpos(state, &cursor);
    out += "cursor " + std::to_string(cursor.row + 1) + "," + std::to_string(cursor.col + 1) + "\n";
    dump::appendAttrRuns(out, o.rows, o.cols, [&](int r, int c) {
        const VTermScreenCell& k = at(r, c);
        std::string s;
        auto add = [&s](const std::string& n) { s += (s.empty() ? "" : " ") + n; };
        if (k.attrs.bold) add("bold");
        if (k.attrs.underline) add("underline");
        if (k.attrs.blink) add("blink");
        if (k.attrs.reverse) add("reverse");
        if (VTERM_COLOR_IS_INDEXED(&k.fg) && !VTERM_COLOR_IS_DEFAULT_FG(&k.fg) && k.fg.indexed.idx != 7)
            add("fg=" + std::to_string(k.fg.indexed.idx));
        if (VTERM_COLOR_IS_INDEXED(&k.bg) && !VTERM_COLOR_IS_DEFAULT_BG(&k.bg) && k.bg.indexed.idx != 0)
            add("bg=" + std::to_string(k.bg.indexed.idx));
        return s;
    });
    for (int r = 0; r < o.rows; ++r) {
        const VTermLineInfo* info = vterm_state_get_lineinfo(state, r);
        if (!info || !info->doublewidth) continue;
        const char* kind = info->doubleheight == 1 ? "dht" : info->doubleheight == 2 ? "dhb" : "dwl";
        out += "line " + std::to_string(r + 1) + " " + kind + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    vterm_free(vt);
    return 0;
}
