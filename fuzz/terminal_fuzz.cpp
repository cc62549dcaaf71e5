// Fuzz target: the teletype emulator and its buffer fed whatever a unit might send, in chunks of
// fuzzed sizes, on fuzzed screen and scrollback sizes, with painting in between. Every byte the
// unit sends reaches this code, so it must never crash or leave the cursor off the grid.
#include "emulator_fakes.h"
#include "terminal/terminal_emulator.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

using namespace brimwell;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    test::FakeTerminal term;
    terminal::TtyEmulator emu;
    emu.setTerminal(&term);
    term.hasPortValue = term.portOpenValue = true;
    terminal::TerminalBuffer* buf = emu.buffer();
    const size_t chunk = test::applyFuzzHeader(*buf, data);
    data += 4;
    size -= 4;

    for (size_t at = 0; at < size; at += chunk) {
        const int n = static_cast<int>(size - at < chunk ? size - at : chunk);
        emu.processBlock(reinterpret_cast<const char*>(data + at), n, terminal::CharSource::Port);
        if (!test::cursorOnScreen(*buf)) std::abort();
        if ((at / chunk) % 8 == 0) emu.lazyPaint();
    }
    emu.paint();
    char key = size > 0 ? static_cast<char>(data[0]) : 'x';
    emu.keyPress(key);
    return 0;
}
