// The engine's roads to the unit: the serial port (LinkMode 1) and the PCI board link (LinkMode 0).
// Both are narrow views of what the engine calls; adapters map them onto the real components.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

namespace brimwell::script {

// Values of LinkMode.
inline constexpr int32_t kLinkNone = -1;
inline constexpr int32_t kLinkPci = 0;
inline constexpr int32_t kLinkSerial = 1;

// The serial port component as the engine uses it. Names follow the component's operations.
// Implementations never throw: a failing port operation reports false (or 0) and keeps its reason
// in lastError(), so that the engine can tell the operator what was being attempted.
class UnitLink {
  public:
    virtual ~UnitLink() = default;

    // The port's open state.
    virtual bool isOpen() const = 0;

    virtual bool flushInBuffer() = 0;
    virtual bool flushOutBuffer() = 0;
    // Free room in the output buffer, and bytes still waiting there (16-bit counts).
    virtual int getOutBuffFree() = 0;
    virtual int getOutBuffUsed() = 0;
    virtual bool getCts() = 0;
    // Waits until the output buffer is empty, for at most maxMicros real microseconds; true when it
    // is known to be empty. A link that cannot be woken by its output simply sleeps the time.
    virtual bool waitOutBuffEmpty(int64_t maxMicros) {
        if (maxMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(maxMicros));
        return false;
    }

    virtual bool putString(const std::string& text) = 0;
    virtual bool putBlock(const uint8_t* data, int length) = 0;
    // Copies up to `length` received bytes into `buffer`; returns how many were copied.
    virtual int getBlock(uint8_t* buffer, int length) = 0;

    // True when `text` arrived within `timeoutTicks` ticks of 55 ms. Consumes what it examines.
    // With `yield` the wait lets pending events run (the UI thread stays alive).
    virtual bool waitForString(const std::string& text, int32_t timeoutTicks, bool yield,
                               bool ignoreCase) = 0;
    // The same for alternatives separated by `separator`: the 1-based index of the one that
    // arrived first, 0 when none did.
    virtual int waitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                                   char separator) = 0;
    // The operator gave up on the unit: the wait in progress and every later one end at once,
    // finding nothing, until the waits are let run again (abandon false).
    virtual void abandonWaits(bool abandon) { (void)abandon; }
    // Called just before sending what the next waitForString waits for: from now until that wait
    // ends, what arrives is kept for the wait, not announced to other readers of the port (the
    // terminal pane), however early the unit answers.
    virtual void prepareWait() {}

    // What the driver may hold ahead of bytes put now (its transmit queue, or its size where it
    // cannot tell): the block drain waits allow for that much draining first.
    virtual int driverQueueAhead() { return kDefaultQueueAhead; }
    static constexpr int kDefaultQueueAhead = 8192;

    // The port's current line rate in bits per second (for sizing the block waits).
    virtual int32_t baud() const = 0;

    // Why the last failing call failed, in words fit for a message ("" when unknown).
    virtual std::string lastError() const { return {}; }
    // The port as the operator named it, for status texts ("" when it has no name).
    virtual std::string label() const { return {}; }

    // "" while the device works; once it is lost or has refused a write for good, the message
    // that tells the operator so. Nothing sent or awaited on such a link can succeed.
    virtual std::string failure() const { return {}; }
};

// The PCI board link. Every call names the board (selectedBoard).
class BoardLink {
  public:
    virtual ~BoardLink() = default;

    // Offers each character up to 51 times, 500 ms apart, while the board is busy; a character
    // refused 51 times drops the rest of the text and makes the call false.
    virtual bool board_put_string(int board, const std::string& text) = 0;
    // A byte when one is waiting, nothing otherwise.
    virtual std::optional<uint8_t> board_get_char(int board) = 0;
    // Writes 3 to the board's status address.
    virtual void board_end_exchange(int board) = 0;
    // True when the board took the byte, false when it answered busy.
    virtual bool board_put_char(int board, uint8_t byte) = 0;
    // "" while the board can be reached; once its driver connection is lost, the message that
    // tells the operator so. Nothing sent or awaited on such a board can succeed.
    virtual std::string failure(int board) const {
        (void)board;
        return {};
    }
};

} // namespace brimwell::script
