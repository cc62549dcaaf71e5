// A pseudo-terminal pair for tests: the test holds the master side and plays the far end of the
// line; the slave path is what the serial port opens (through BRIMWELL_COMn).
#pragma once

#include "support/pty.h"

// The tests that use this pair also open and configure the slave side themselves.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace brimwell::testing {

class PtyPair {
  public:
    // The slave side stays held, so the master never sees a hang-up between the port's opens.
    PtyPair() {
        if (!pair_.ok() || !pair_.holdSlave()) throw std::runtime_error("cannot create a pseudo-terminal");
    }

    const std::string& slavePath() const { return pair_.slavePath(); }
    int master() const { return pair_.master(); }

    // Points COMn at this pair's slave.
    void mapTo(int comNumber) const { pair_.bindCom(static_cast<unsigned>(comNumber)); }

    void write(const std::string& bytes) const {
        if (!pair_.write(bytes)) throw std::runtime_error("write to pseudo-terminal failed");
    }

    // What arrives within `ms` milliseconds: returns once `atLeast` bytes are in, with whatever
    // else had already arrived by then.
    std::string read(int ms, size_t atLeast = 1) const {
        std::string out = pair_.read(atLeast, ms);
        if (out.size() >= atLeast) out += pair_.readUntilQuiet(0);
        return out;
    }

  private:
    // The pair's reads and writes touch only the line, not what a PtyPair is.
    mutable test::PtyPair pair_;
};

} // namespace brimwell::testing
