// The serial port component's waits for a string: the matcher both waits share, and the one wait
// loop, which sleeps until the dispatcher reports new bytes while the window's messages go on
// being processed.
#include <algorithm>
#include <optional>
#include <vector>

#include "serial/component/com_notifier.h"
#include "serial/component/com_port.h"
#include "serial/component/pending_events.h"
#include "serial/event_timer.h"
#include "serial/time_base.h"

namespace brimwell::serial {
namespace {

// Longest sleep of a wait without news: a timer's expiry is seen at most this late (or one tick,
// when the clock runs faster than real time).
constexpr int64_t kWaitSliceMicros = 20000;

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// One step of the string matcher: the byte is compared with the m-th character after m grew by
// one; a mismatch restarts at 1 when the byte is the first character, else at 0.
bool matchStep(uint8_t& m, char c, std::string_view s, bool ignoreCase) {
    if (s.empty()) return false;
    const char first = ignoreCase ? upperAscii(s[0]) : s[0];
    if (ignoreCase) c = upperAscii(c);
    ++m;
    // The count is 8 bits wide; after it wraps (strings over 255 characters) the position no
    // longer names a character of s, so it counts as a mismatch instead of reading outside s.
    if (m >= 1 && m <= s.size()) {
        const char expected = ignoreCase ? upperAscii(s[m - 1]) : s[m - 1];
        if (c == expected) return m == s.size();
    }
    m = (c == first) ? 1 : 0;
    return false;
}

// Lets notifications reach the component's handlers again when a wait ends, however it ends.
class WaitEndGuard {
  public:
    explicit WaitEndGuard(ComNotifier* notifier) : notifier_(notifier) {}
    ~WaitEndGuard() { notifier_->endWait(); }
    WaitEndGuard(const WaitEndGuard&) = delete;
    WaitEndGuard& operator=(const WaitEndGuard&) = delete;

  private:
    ComNotifier* notifier_;
};

// Holds a port's dispatcher busy and listened to for new bytes for the length of a wait, and
// gives the busy flag back as the wait rules say, unless the dispatcher went away during the wait.
class WaitHold {
  public:
    WaitHold(Dispatcher* d, bool& prepared, bool& preparedBusy)
        : d_(d), prepared_(prepared), preparedBusy_(preparedBusy), previous_(d->setEventBusy(true)),
          inputFd_(d->beginInputWait()) {}
    ~WaitHold() {
        if (d_ != nullptr) {
            d_->endInputWait();
            if (prepared_ ? !preparedBusy_ : !previous_) d_->setEventBusy(false);
        }
        prepared_ = false;
        preparedBusy_ = false;
    }
    WaitHold(const WaitHold&) = delete;
    WaitHold& operator=(const WaitHold&) = delete;
    void forget() { d_ = nullptr; }
    int inputFd() const { return inputFd_; }

  private:
    Dispatcher* d_;
    bool& prepared_;
    bool& preparedBusy_;
    bool previous_;
    int inputFd_;
};

} // namespace

bool ComPort::checkForString(uint8_t& matchCount, char c, std::string_view s, bool ignoreCase) {
    if (state_ == PortState::ShuttingDown) return false;
    if (matchStep(matchCount, c, s, ignoreCase)) {
        matchCount = 0;
        return true;
    }
    return false;
}

void ComPort::prepareWait() {
    if (state_ == PortState::ShuttingDown) return;
    Dispatcher* d = requireDispatcher();
    waitPrepared_ = true;
    waitPreparedBusy_ = d->setEventBusy(true);
}

void ComPort::settleDelivery() {
    // The busy flag stops new notifications, not one already under way. One that waits for this
    // thread is taken back, so the wait below reads the bytes in the normal way rather than as a
    // consumer of that notification (which would leave them in place to be read twice).
    notifier_->withdrawPendingAndSettle(kWindowHandlerTimeoutMs);
}

ComPort::WaitEnd ComPort::waitForAlternatives(const std::vector<std::string_view>& alternatives,
                                              int32_t timeoutTicks, bool yield, bool ignoreCase,
                                              std::optional<AnswerTimer>& timer, int& found) {
    Dispatcher* d = requireDispatcher();
    WaitHold hold(d, waitPrepared_, waitPreparedBusy_);
    settleDelivery();
    const WaitEndGuard waitEnd(notifier_.get());
    DescriptorSleep sleeper(hold.inputFd());
    const int64_t sliceMicros = std::min(kWaitSliceMicros, Clock::realMicros(kTickMs));
    timer.emplace(timeoutTicks);
    waitAbandoned_ = false;
    std::vector<uint8_t> counts(alternatives.size(), 0);
    // Set once the limit is seen to have passed: how many of the bytes received by then are still
    // to be examined. A process kept from running past the limit has not yet looked at bytes the
    // peer sent in time; they count, and nothing received later does.
    std::optional<uint32_t> lateBytes;
    for (;;) {
        // At most one byte per pass; the signal is cleared before the look, so bytes that arrive
        // after it end the next sleep.
        d->clearInputSignal();
        uint8_t c = 0;
        const bool took = d->getChar(c) == 0;
        if (took) {
            timer->heard();
            if (lateBytes && *lateBytes > 0) --*lateBytes;
            if (auto h = onWaitChar_) h(this, char(c));
            for (std::size_t i = 0; i < alternatives.size(); ++i) {
                if (matchStep(counts[i], char(c), alternatives[i], ignoreCase)) {
                    found = int(i + 1);
                    return WaitEnd::Found;
                }
            }
        }
        // What arrived before a device was lost is still examined; after that nothing can come.
        if (!took && d->portError() != 0) return WaitEnd::Closed;
        if (!lateBytes && timer->expired()) lateBytes = d->inBuffUsed();
        const bool expired = lateBytes.has_value();
        if (!took && !expired) sleeper.sleep(sliceMicros, yield);
        if (yield) {
            processPendingEvents();
            if (dispatcher_.get() != d) {
                // The port was closed (and its dispatcher destroyed) by an event handler.
                hold.forget();
                return WaitEnd::Closed;
            }
            if (state_ != PortState::Open) return WaitEnd::Closed; // closing: the string can no longer come
        }
        if (auto h = onWaitPass_) h(this);
        if (waitAbandoned_) return WaitEnd::Expired;
        if (applicationTerminating()) return WaitEnd::Terminating;
        if (expired && (!took || *lateBytes == 0)) return WaitEnd::Expired;
    }
}

bool ComPort::waitForString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    if (s.empty() || state_ == PortState::ShuttingDown) return true;
    std::optional<AnswerTimer> timer;
    int found = 0;
    switch (waitForAlternatives({s}, timeoutTicks, yield, ignoreCase, timer, found)) {
    case WaitEnd::Found:
        return true; // from bytes received before the limit was seen to pass
    case WaitEnd::Terminating:
        return true;
    default:
        return false;
    }
}

int ComPort::waitForMultiString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase,
                                char separator) {
    if (s.empty() || state_ == PortState::ShuttingDown) return 0;
    std::vector<std::string_view> alternatives;
    for (std::size_t start = 0;;) {
        const std::size_t at = s.find(separator, start);
        alternatives.push_back(
            s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    std::optional<AnswerTimer> timer;
    int found = 0;
    return waitForAlternatives(alternatives, timeoutTicks, yield, ignoreCase, timer, found) == WaitEnd::Found
               ? found
               : 0;
}

} // namespace brimwell::serial
