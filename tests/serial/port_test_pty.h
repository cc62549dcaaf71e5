// A pseudo-terminal pair for the component tests: the component opens the slave path (through a
// COM number pointed at it with BRIMWELL_COMn), the test plays the far end on the master.
#pragma once

#include "support/pty.h"

// The tests that use this pair also open and configure the slave side themselves.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace brimwell::testing {

class TestPty {
  public:
    // The slave side stays held, so the master never sees a hang-up between the component's
    // closes and reopens.
    TestPty() { held_ = pair_.ok() && pair_.holdSlave(); }

    bool ok() const { return held_; }
    const std::string& path() const { return pair_.slavePath(); }
    int master() const { return pair_.master(); }

    // Points COMn at this pty.
    void bindCom(unsigned n) const { pair_.bindCom(n); }

    bool send(const std::string& bytes) const { return pair_.write(bytes); }

    // Reads until |count| bytes came or |timeoutMs| passed; returns what came.
    std::string receive(std::size_t count, int timeoutMs = 3000) const {
        return pair_.read(count, timeoutMs);
    }

  private:
    // The pair's reads and writes touch only the line, not what a TestPty is.
    mutable test::PtyPair pair_;
    bool held_ = false;
};

} // namespace brimwell::testing
