// Fuzz target: the VT100 parser and emulator with their buffer fed whatever a unit's console might
// send, in chunks of fuzzed sizes on fuzzed screen sizes, with keys, painting and blinking in between.
// It must never crash, read past a table, let a sequence grow without bound or leave the cursor off
// the screen.
#include "emulator_fakes.h"
#include "terminal/vt100_emulator.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

using namespace brimwell;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    test::FakeTerminal term;
    TQuavVT100Emulator emu;
    emu.teSetTerminal(&term);
    term.hasPort = term.portOpen = term.primary = true;
    term.originCol = 1 + data[4] % 3;
    emu.DisplayUpperASCII = data[4] & 0x80;
    TQuavTerminalBuffer* buf = emu.Buffer();
    const size_t chunk = test::applyFuzzHeader(*buf, data);
    data += 5;
    size -= 5;

    for (size_t at = 0; at < size; at += chunk) {
        const int n = static_cast<int>(size - at < chunk ? size - at : chunk);
        emu.ProcessBlock(reinterpret_cast<const char*>(data + at), n, csPort);
        if (!test::cursorOnScreen(*buf)) std::abort();
        if (emu.Parser().tpGetSequence().size() > TQuavVT100Parser::kMaxSequence) std::abort();
        const unsigned step = unsigned(at / chunk);
        if (step % 8 == 0) emu.LazyPaint();
        if (step % 8 == 4) emu.BlinkPaint(step % 16 == 4);
        if (step % 8 == 6) {
            int key = data[at] | (data[at] & 0x40 ? 0x8000 : 0);
            emu.KeyDown(key, data[at] & 7);
        }
    }
    emu.Paint();
    char key = size > 0 ? static_cast<char>(data[0]) : 'x';
    emu.KeyPress(key);

    // The same bytes one at a time take the parser's slow path throughout: the screen must agree.
    test::FakeTerminal term2;
    TQuavVT100Emulator single;
    single.teSetTerminal(&term2);
    single.DisplayUpperASCII = emu.DisplayUpperASCII;
    TQuavTerminalBuffer* b2 = single.Buffer();
    b2->tbSetSVRowCount(buf->SVRowCount());
    b2->tbSetRowCount(buf->RowCount());
    b2->tbSetColCount(buf->ColCount());
    for (size_t at = 0; at < size; ++at)
        single.ProcessBlock(reinterpret_cast<const char*>(data + at), 1, csPort);
    if (b2->AbsCursorRow() != buf->AbsCursorRow() || b2->AbsCursorCol() != buf->AbsCursorCol()) std::abort();
    for (int r = 1; r <= buf->RowCount(); ++r)
        for (int c = 0; c < buf->ColCount(); ++c)
            if (b2->GetLineCharPtr(r)[c] != buf->GetLineCharPtr(r)[c] ||
                b2->GetLineAttrPtr(r)[c] != buf->GetLineAttrPtr(r)[c] ||
                b2->GetLineForeColorPtr(r)[c] != buf->GetLineForeColorPtr(r)[c])
                std::abort();
    return 0;
}
