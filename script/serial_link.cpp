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
    return port_.isOpen();
}

bool SerialLink::flushInBuffer() {
    return guarded(
        [&] {
            port_.flushInBuffer();
            return true;
        },
        false);
}

bool SerialLink::flushOutBuffer() {
    return guarded(
        [&] {
            port_.flushOutBuffer();
            return true;
        },
        false);
}

int SerialLink::getOutBuffFree() {
    return guarded([&] { return static_cast<int>(port_.getOutBuffFree()); }, 0);
}

int SerialLink::getOutBuffUsed() {
    // A port that fails here cannot drain: report it as still full so the drain wait gives up.
    return guarded([&] { return static_cast<int>(port_.getOutBuffUsed()); }, 1);
}

bool SerialLink::getCts() {
    return guarded([&] { return port_.getCts(); }, false);
}

bool SerialLink::waitOutBuffEmpty(int64_t maxMicros) {
    const auto micros = static_cast<uint32_t>(std::clamp<int64_t>(maxMicros, 0, UINT32_MAX));
    return guarded([&] { return port_.waitOutBuffEmpty(micros); }, false);
}

bool SerialLink::putString(const std::string& text) {
    return guarded(
        [&] {
            port_.putString(text);
            return true;
        },
        false);
}

bool SerialLink::putBlock(const uint8_t* data, int length) {
    if (length < 0 || length > 0xFFFF) return false;
    if (length == 0) return true;
    return guarded(
        [&] {
            port_.putBlock(data, static_cast<uint16_t>(length));
            return true;
        },
        false);
}

int SerialLink::getBlock(uint8_t* buffer, int length) {
    return guarded(
        [&] {
            // The component copies exactly the count asked for; never ask for more than waits.
            const int waiting = static_cast<int>(port_.getInBuffUsed());
            const int n = std::min({length, waiting, 0xFFFF});
            return n > 0 ? static_cast<int>(port_.getBlock(buffer, static_cast<uint16_t>(n))) : 0;
        },
        0);
}

// Stops reach the link through the event loop, which does not run between the engine's call here
// and its wait: a hold begun here always ends in that wait.
void SerialLink::prepareWait() {
    if (abandoned_) return;
    guarded(
        [&] {
            port_.prepareWait();
            return true;
        },
        false);
}

bool SerialLink::skipWait() {
    lastWaitAbandoned_ = abandoned_;
    if (abandoned_) reasonBeforeAbandon_ = lastError_;
    return abandoned_;
}

bool SerialLink::waitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    if (skipWait()) return false;
    const bool found =
        guarded([&] { return port_.waitForString(text, timeoutTicks, yield, ignoreCase); }, false);
    return found && !abandoned_;
}

int SerialLink::waitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                                   char separator) {
    if (skipWait()) return 0;
    const int found = guarded(
        [&] { return port_.waitForMultiString(text, timeoutTicks, yield, ignoreCase, separator); }, 0);
    return abandoned_ ? 0 : found;
}

void SerialLink::abandonWaits(bool abandon) {
    abandoned_ = abandon;
    if (abandon) {
        lastWaitAbandoned_ = true;
        reasonBeforeAbandon_ = lastError_;
        port_.abandonWait();
    }
}

std::string SerialLink::lastError() const {
    if (lastWaitAbandoned_ && lastError_ == reasonBeforeAbandon_) return "the operator stopped waiting";
    return lastError_;
}

std::string SerialLink::label() const {
    return serial::portLabel(port_.comNumber(), port_.devicePath());
}

int SerialLink::driverQueueAhead() {
    return guarded([&] { return static_cast<int>(port_.driverQueueAhead()); }, 0);
}

std::string SerialLink::failure() const {
    return port_.portErrorText();
}

int32_t SerialLink::baud() const {
    return port_.baud();
}

void installCaptureHandler(serial::ComPort& port, ScriptEngine& engine) {
    port.setOnTriggerAvail([&engine](serial::ComPort*, uint16_t count) { engine.onDataAvailable(count); });
    port.setOnWaitChar([&engine](serial::ComPort*, char c) { engine.onWaitChar(c); });
    port.setOnWaitPass([&engine](serial::ComPort*) { engine.onWaitPass(); });
}

} // namespace brimwell::script
