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
    terminal::Vt100Emulator emu;
    emu.setTerminal(&term);
    term.hasPortValue = term.portOpenValue = term.primary = true;
    term.originColValue = 1 + data[4] % 3;
    emu.displayUpperAscii = data[4] & 0x80;
    terminal::TerminalBuffer* buf = emu.buffer();
    const size_t chunk = test::applyFuzzHeader(*buf, data);
    data += 5;
    size -= 5;

    for (size_t at = 0; at < size; at += chunk) {
        const int n = static_cast<int>(size - at < chunk ? size - at : chunk);
        emu.processBlock(reinterpret_cast<const char*>(data + at), n, terminal::CharSource::Port);
        if (!test::cursorOnScreen(*buf)) std::abort();
        if (emu.parser().sequenceText().size() > terminal::Vt100Parser::kMaxSequence) std::abort();
        const unsigned step = unsigned(at / chunk);
        if (step % 8 == 0) emu.lazyPaint();
        if (step % 8 == 4) emu.blinkPaint(step % 16 == 4);
        if (step % 8 == 6) {
            int key = data[at] | (data[at] & 0x40 ? 0x8000 : 0);
            emu.keyDown(key, data[at] & 7);
        }
    }
    emu.paint();
    char key = size > 0 ? static_cast<char>(data[0]) : 'x';
    emu.keyPress(key);

    // The same bytes one at a time take the parser's slow path throughout: the screen must agree.
    test::FakeTerminal term2;
    terminal::Vt100Emulator single;
    single.setTerminal(&term2);
    single.displayUpperAscii = emu.displayUpperAscii;
    terminal::TerminalBuffer* b2 = single.buffer();
    b2->setSvRowCount(buf->svRowCount());
    b2->setRowCount(buf->rowCount());
    b2->setColCount(buf->colCount());
    for (size_t at = 0; at < size; ++at)
        single.processBlock(reinterpret_cast<const char*>(data + at), 1, terminal::CharSource::Port);
    if (b2->absCursorRow() != buf->absCursorRow() || b2->absCursorCol() != buf->absCursorCol()) std::abort();
    for (int r = 1; r <= buf->rowCount(); ++r)
        for (int c = 0; c < buf->colCount(); ++c)
            if (b2->getLineCharPtr(r)[c] != buf->getLineCharPtr(r)[c] ||
                b2->getLineAttrPtr(r)[c] != buf->getLineAttrPtr(r)[c] ||
                b2->getLineForeColorPtr(r)[c] != buf->getLineForeColorPtr(r)[c])
                std::abort();
    return 0;
}
