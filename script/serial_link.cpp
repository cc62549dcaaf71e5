// SerialLink: the script engine's calls on the serial port component, exceptions turned into
// failed results with their message kept for the operator.
#include "script/serial_link.h"

#include "script/script_engine.h"
#include "serial/component/com_port.h"
#include "serial/port_names.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace brimwell::script {

template <typename F, typename R> R SerialLink::guarded(F&& call, R failed) {
    try {
        return call();
    } catch (const std::exception& e) {
        lastError_ = e.what();
    } catch (...) {
        lastError_ = "unknown serial port error";
    }
    return failed;
}

bool SerialLink::isOpen() const {
    return port_.Open();
}

bool SerialLink::FlushInBuffer() {
    return guarded(
        [&] {
            port_.FlushInBuffer();
            return true;
        },
        false);
}

bool SerialLink::FlushOutBuffer() {
    return guarded(
        [&] {
            port_.FlushOutBuffer();
            return true;
        },
        false);
}

int SerialLink::GetOutBuffFree() {
    return guarded([&] { return static_cast<int>(port_.GetOutBuffFree()); }, 0);
}

int SerialLink::GetOutBuffUsed() {
    // A port that fails here cannot drain: report it as still full so the drain wait gives up.
    return guarded([&] { return static_cast<int>(port_.GetOutBuffUsed()); }, 1);
}

bool SerialLink::GetCTS() {
    return guarded([&] { return port_.GetCTS(); }, false);
}

bool SerialLink::WaitOutBuffEmpty(int64_t maxMicros) {
    const auto micros = static_cast<uint32_t>(std::clamp<int64_t>(maxMicros, 0, UINT32_MAX));
    return guarded([&] { return port_.WaitOutBuffEmpty(micros); }, false);
}

bool SerialLink::PutString(const std::string& text) {
    return guarded(
        [&] {
            port_.PutString(text);
            return true;
        },
        false);
}

bool SerialLink::PutBlock(const uint8_t* data, int length) {
    if (length < 0 || length > 0xFFFF) return false;
    if (length == 0) return true;
    return guarded(
        [&] {
            port_.PutBlock(data, static_cast<uint16_t>(length));
            return true;
        },
        false);
}

int SerialLink::GetBlock(uint8_t* buffer, int length) {
    return guarded(
        [&] {
            // The component copies exactly the count asked for; never ask for more than waits.
            const int waiting = static_cast<int>(port_.GetInBuffUsed());
            const int n = std::min({length, waiting, 0xFFFF});
            return n > 0 ? static_cast<int>(port_.GetBlock(buffer, static_cast<uint16_t>(n))) : 0;
        },
        0);
}

// Stops reach the link through the event loop, which does not run between the engine's call here
// and its wait: a hold begun here always ends in that wait.
void SerialLink::PrepareWait() {
    if (abandoned_) return;
    guarded(
        [&] {
            port_.PrepareWait();
            return true;
        },
        false);
}

bool SerialLink::skipWait() {
    lastWaitAbandoned_ = abandoned_;
    if (abandoned_) reasonBeforeAbandon_ = lastError_;
    return abandoned_;
}

bool SerialLink::WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    if (skipWait()) return false;
    const bool found =
        guarded([&] { return port_.WaitForString(text, timeoutTicks, yield, ignoreCase); }, false);
    return found && !abandoned_;
}

int SerialLink::WaitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                                   char separator) {
    if (skipWait()) return 0;
    const int found = guarded(
        [&] { return port_.WaitForMultiString(text, timeoutTicks, yield, ignoreCase, separator); }, 0);
    return abandoned_ ? 0 : found;
}

void SerialLink::abandonWaits(bool abandon) {
    abandoned_ = abandon;
    if (abandon) {
        lastWaitAbandoned_ = true;
        reasonBeforeAbandon_ = lastError_;
        port_.AbandonWait();
    }
}

std::string SerialLink::lastError() const {
    if (lastWaitAbandoned_ && lastError_ == reasonBeforeAbandon_) return "the operator stopped waiting";
    return lastError_;
}

std::string SerialLink::label() const {
    return portLabel(port_.ComNumber(), port_.DevicePath());
}

int SerialLink::DriverQueueAhead() {
    return guarded([&] { return static_cast<int>(port_.DriverQueueAhead()); }, 0);
}

std::string SerialLink::failure() const {
    return port_.PortErrorText();
}

int32_t SerialLink::Baud() const {
    return port_.Baud();
}

void installCaptureHandler(TQuavComPort& port, ScriptEngine& engine) {
    port.SetOnTriggerAvail(
        [&engine](TQuavComPort*, uint16_t count) { engine.QuavComPort1TriggerAvail(count); });
    port.SetOnWaitChar([&engine](TQuavComPort*, char c) { engine.QuavComPort1WaitChar(c); });
    port.SetOnWaitPass([&engine](TQuavComPort*) { engine.QuavComPort1WaitPass(); });
}

} // namespace brimwell::script
