// Serial port operations for the script engine.
#include "app/port_link.h"

#include "serial/component/com_port.h"

#include <algorithm>

namespace brimwell {

template <typename F>
bool PortLink::guarded(F&& f) {
    try {
        f();
        lastError_.clear();
        return true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        return false;
    }
}

bool PortLink::isOpen() const { return port_.Open(); }

bool PortLink::FlushInBuffer() {
    return guarded([&] { port_.FlushInBuffer(); });
}

bool PortLink::FlushOutBuffer() {
    return guarded([&] { port_.FlushOutBuffer(); });
}

int PortLink::GetOutBuffFree() { return port_.GetOutBuffFree(); }

int PortLink::GetOutBuffUsed() { return port_.GetOutBuffUsed(); }

bool PortLink::GetCTS() { return port_.GetCTS(); }

bool PortLink::PutString(const std::string& text) {
    return guarded([&] { port_.PutString(text); });
}

bool PortLink::PutBlock(const uint8_t* data, int length) {
    if (length < 0 || length > 0xFFFF) {
        lastError_ = "block too large for one write";
        return false;
    }
    return guarded([&] { port_.PutBlock(data, static_cast<uint16_t>(length)); });
}

int PortLink::GetBlock(uint8_t* buffer, int length) {
    int got = 0;
    guarded([&] {
        // Only what is waiting: asking for more would read nothing at all.
        const int waiting = port_.GetInBuffUsed();
        const int n = std::clamp(std::min(length, waiting), 0, 0xFFFF);
        if (n > 0) got = port_.GetBlock(buffer, static_cast<uint16_t>(n));
    });
    return got;
}

bool PortLink::WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    bool found = false;
    if (!guarded([&] { found = port_.WaitForString(text, timeoutTicks, yield, ignoreCase); })) return false;
    return found;
}

int32_t PortLink::Baud() const { return port_.Baud(); }

} // namespace brimwell
