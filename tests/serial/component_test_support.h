// Shared piece of the port component tests: a port component on a pty bound to a COM number (the
// waits that keep the application's events running are support/event_pump.h).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "serial/component/com_port.h"
#include "support/event_pump.h"
#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace brimwell::testing {

// A port component on its own pty, configured as the main window configures its port.
struct PortOnPty {
    explicit PortOnPty(unsigned comNumber) : com(comNumber) {
        pty.bindCom(com);
        port.setComNumber(uint16_t(com));
        port.setBaud(38400);
        port.setAutoOpen(false);
    }
    ~PortOnPty() { ::unsetenv(("BRIMWELL_COM" + std::to_string(com)).c_str()); }

    // Waits until |n| received bytes are in the port's input buffer.
    bool waitForInput(uint16_t n, int timeoutMs = 3000) {
        return pumpUntil([&] { return port.getInBuffUsed() >= n; }, timeoutMs);
    }
    std::string takeAll() {
        std::string out(port.getInBuffUsed(), '\0');
        if (!out.empty()) port.getBlock(out.data(), uint16_t(out.size()));
        return out;
    }

    unsigned com;
    test::PtyPair pty{test::PtyPair::Slave::held};
    serial::ComPort port;
};

} // namespace brimwell::testing
