// Command-line options of brimwell-unit-sim: where it listens, how fast the line is, which faults it plays.
#pragma once

#include "tools/unit-sim/unit.h"

#include <string>

namespace brimwell::unitsim {

struct SimOptions {
    UnitOptions unit;
    bool pty = true;
    std::string link; // symlink to the pty's device, replaced if it exists
    int tcpPort = -1; // -1: no TCP; 0: any free port
    std::string tcpBind = "127.0.0.1";
    std::string storeDir; // empty: images are checked and reported but not written
    long baud = 0;        // 0: unpaced
    int bitsPerByte = 10; // start + 8 data + stop
    bool quiet = false;   // only the lines a program needs (device, stored images, errors)
};

// Fills `out` from argv; false with a message in `error` on a bad option. `help` is set for --help.
bool parseOptions(int argc, char** argv, SimOptions& out, std::string& error, bool& help);

const char* usageText();

} // namespace brimwell::unitsim
