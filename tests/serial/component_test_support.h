// Shared pieces of the port component tests: a pty bound to a COM number and waits that keep
// the application's events running.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "port_test_pty.h"
#include "serial/component/com_port.h"
#include "serial/component/pending_events.h"

namespace brimwell::testing {

// Runs pending events until |done| holds or |timeoutMs| passed; returns done().
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        serial::processPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Keeps events running for |ms| milliseconds.
inline void pumpFor(int ms) {
    waitUntil([] { return false; }, ms);
}

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
        return waitUntil([&] { return port.getInBuffUsed() >= n; }, timeoutMs);
    }
    std::string takeAll() {
        std::string out(port.getInBuffUsed(), '\0');
        if (!out.empty()) port.getBlock(out.data(), uint16_t(out.size()));
        return out;
    }

    unsigned com;
    TestPty pty;
    serial::ComPort port;
};

} // namespace brimwell::testing
