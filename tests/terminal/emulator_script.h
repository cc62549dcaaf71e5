// A small script language for buffer and emulator tests: push bytes, run operations, then assert rows,
// cells and the cursor. One line per step:
//
//   push "AB\r\nC"            bytes through the teletype's processBlock (escapes \r \n \t \b \e \xNN \\ \")
//   pushrep 80 "ab"           the text repeated; pushlines 1 250 pushes "L1\r\n" .. "L250\r\n"
//   do eraseScreen            a buffer operation, with integer arguments: do setScrollRegion 3 10
//   set rowCount 16           a buffer property (see kSetters); get rowCount 16 asserts one
//   cmd EmuCommand::CursorPos Row=3 7   an emulator command; NAME=VALUE is a named parameter, else positional
//   raises "text" set colCount 1    the step must raise TerminalBufferError with exactly that message
//   rows 1 "AB" 2 "C"         absolute rows' text, trailing spaces ignored
//   cursor 2,3                Row,Col as the buffer reports them; wrap 0|1 the pending-wrap flag
//   attr 1,2 0x01   fore 1,2 0xC0C0C0   back 1,2 0   cell attribute byte / colours (absolute row)
//   invalid 1,1,80,24 | invalid none    the pending union of changed cells, taken
#pragma once

#include "terminal/terminal_emulator.h"

#include <string>

namespace brimwell::test {

// Runs `script` against `emu`; returns an empty string on success, else the first failure with its
// line number.
std::string runEmulatorScript(terminal::TerminalEmulator& emu, const std::string& script);

// One row of a table of scripts: the test's name and its script.
struct ScriptCase {
    const char* name;
    const char* script;
};

// Runs a row's script against a fresh emulator E; returns what runEmulatorScript returns.
template <class E> std::string runScriptCase(const ScriptCase& row) {
    E emu;
    return runEmulatorScript(emu, row.script);
}

// Decodes the escapes of a quoted script string (without the quotes).
std::string unescape(const std::string& s);

} // namespace brimwell::test
