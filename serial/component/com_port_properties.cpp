// The serial port component's properties: the setter rules (unchanged values do nothing unless the
// force-apply flag is set) and how each reaches an open port.
#include "serial/component/com_port.h"

#include <algorithm>

namespace brimwell::serial {

// ---- Properties ------------------------------------------------------------------------------

namespace {

// Every setter's first step: nothing when the value is unchanged (unless a forced re-apply runs),
// else store it. True when the caller should apply the new value.
template <typename T> bool store(T& field, const T& value, bool forceApply) {
    if (value == field && !forceApply) return false;
    field = value;
    return true;
}

// Runs setters with the forced re-apply on, so that they apply values that did not change.
class ForcedApply {
  public:
    explicit ForcedApply(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
    ~ForcedApply() { flag_ = saved_; }
    ForcedApply(const ForcedApply&) = delete;
    ForcedApply& operator=(const ForcedApply&) = delete;

  private:
    bool& flag_;
    const bool saved_;
};

} // namespace

void ComPort::setDeviceLayer(DeviceLayerKind layer) {
    // This class supports the serial-device layer alone.
    if (state_ == PortState::Closed && layer == DeviceLayerKind::Native) deviceLayer_ = layer;
}

void ComPort::setComNumber(uint16_t n) {
    if (n == comNumber_ && !forceApply_) return;
    if (state_ != PortState::Open || isLoading()) {
        comNumber_ = n;
        return;
    }
    // The close saves the triggers and the next open restores them; the trace and log states
    // are set back because the close dumps and switches them off.
    const TraceLogState tracing = tracing_;
    const TraceLogState logging = logging_;
    setOpen(false);
    comNumber_ = n;
    tracing_ = tracing;
    logging_ = logging;
    if (state_ == PortState::ShuttingDown)
        reopenPending_ = true;
    else
        setOpen(true);
}

void ComPort::applyLine() {
    if (state_ == PortState::Open && dispatcher_)
        check(
            dispatcher_->setLine(uint32_t(baud_), uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void ComPort::setBaud(int32_t baud) {
    if (store(baud_, baud, forceApply_)) applyLine();
}

void ComPort::setParity(Parity parity) {
    if (store(parity_, parity, forceApply_)) applyLine();
}

void ComPort::setDataBits(uint16_t bits) {
    if (store(dataBits_, bits, forceApply_)) applyLine();
}

void ComPort::setStopBits(uint16_t bits) {
    if (store(stopBits_, bits, forceApply_)) applyLine();
}

void ComPort::setInSize(uint16_t size) {
    // termios has no receive-queue size to set again; the value counts at the next open and for
    // the flow-control thresholds.
    store(inSize_, size, forceApply_);
}

void ComPort::setOutSize(uint16_t size) {
    // The output ring keeps the size it was opened with.
    store(outSize_, size, forceApply_);
}

namespace {
// A DTR or RTS change: the property keeps its old value when the dispatcher reports (result 1)
// that the line belongs to the driver's handshake.
template <typename Apply>
int32_t setLineLevel(bool& level, bool on, bool forceApply, bool open, Apply apply) {
    const bool previous = level;
    if (!store(level, on, forceApply) || !open) return 0;
    const int32_t rc = apply(on);
    if (rc == 1) level = previous;
    return rc;
}
} // namespace

void ComPort::setDtr(bool on) {
    check(setLineLevel(dtr_, on, forceApply_, state_ == PortState::Open && dispatcher_,
                       [this](bool v) { return dispatcher_->setDtr(v); }));
}

void ComPort::setRts(bool on) {
    check(setLineLevel(rts_, on, forceApply_, state_ == PortState::Open && dispatcher_,
                       [this](bool v) { return dispatcher_->setRts(v); }));
}

void ComPort::applyHWFlow() {
    const uint16_t value = hwFlow_.value();
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 9 / 10);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 10);
    }
    if (state_ == PortState::Open && dispatcher_)
        check(dispatcher_->hwFlowOptions(bufferFull_, bufferResume_, value));
}

void ComPort::setHwFlowOptions(HwFlowOptions options) {
    if (!store(hwFlow_, options, forceApply_)) return;
    applyHWFlow();
    if (options.contains(HwFlowOption::UseRts) || options.contains(HwFlowOption::RequireCts))
        setRs485Mode(false);
}

void ComPort::applySWFlow() {
    static constexpr uint16_t kValues[] = {0, kSwFlowReceive, kSwFlowTransmit,
                                           kSwFlowReceive | kSwFlowTransmit};
    const uint16_t value = kValues[static_cast<int>(swFlow_)];
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 3 / 4);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 4);
    }
    if (state_ == PortState::Open && dispatcher_) {
        // Enabling only switches directions on; a direction the new value leaves out must go off.
        check(dispatcher_->swFlowDisable());
        if (value != 0) check(dispatcher_->swFlowEnable(bufferFull_, bufferResume_, value));
    }
}

void ComPort::setSwFlowOptions(SwFlowOptions options) {
    if (store(swFlow_, options, forceApply_)) applySWFlow();
}

void ComPort::setXOnChar(char c) {
    if (store(xOnChar_, c, forceApply_) && state_ == PortState::Open && dispatcher_)
        check(dispatcher_->swFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void ComPort::setXOffChar(char c) {
    if (store(xOffChar_, c, forceApply_) && state_ == PortState::Open && dispatcher_)
        check(dispatcher_->swFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void ComPort::setBufferFull(uint16_t bytes) {
    if (bytes == bufferFull_ && !forceApply_) return;
    bufferFull_ = bytes > inSize_ ? uint16_t(uint32_t(bytes) * 9 / 10) : bytes;
    const ForcedApply forced(forceApply_);
    setHwFlowOptions(hwFlow_);
    setSwFlowOptions(swFlow_);
}

void ComPort::setBufferResume(uint16_t bytes) {
    if (bytes == bufferResume_ && !forceApply_) return;
    bufferResume_ = bytes > bufferFull_ ? uint16_t(uint32_t(bufferFull_) / 10) : bytes;
    const ForcedApply forced(forceApply_);
    setHwFlowOptions(hwFlow_);
    setSwFlowOptions(swFlow_);
}

namespace {

// One recorder's operations on the dispatcher, so that the trace and the log share one state table.
struct RecorderOps {
    using D = DispatcherRecording;
    int32_t (D::*init)(uint32_t);
    int32_t (D::*start)();
    void (D::*stop)();
    int32_t (D::*clear)();
    void (D::*abort)();
    int32_t (D::*dump)(const std::string&, bool, bool);
    int32_t (D::*append)(const std::string&, bool, bool);
};
constexpr RecorderOps kTraceOps{
    &Dispatcher::initTracing,  &Dispatcher::startTracing, &Dispatcher::stopTracing, &Dispatcher::clearTracing,
    &Dispatcher::abortTracing, &Dispatcher::dumpTrace,    &Dispatcher::appendTrace};
constexpr RecorderOps kLogOps{&Dispatcher::initDispatchLogging,  &Dispatcher::startDispatchLogging,
                              &Dispatcher::stopDispatchLogging,  &Dispatcher::clearDispatchLogging,
                              &Dispatcher::abortDispatchLogging, &Dispatcher::dumpDispatchLog,
                              &Dispatcher::appendDispatchLog};

} // namespace

void ComPort::setRecorderState(bool log, TraceLogState wanted) {
    TraceLogState& state = log ? logging_ : tracing_;
    if (state_ != PortState::Open || !dispatcher_) {
        // A closed port only remembers whether to record from the next open.
        if (state_ == PortState::Closed)
            state = wanted == TraceLogState::On ? TraceLogState::On : TraceLogState::Off;
        return;
    }
    DispatcherRecording& d = *dispatcher_;
    const RecorderOps& ops = log ? kLogOps : kTraceOps;
    const bool running = state == TraceLogState::On || state == TraceLogState::Pause;
    switch (wanted) {
    case TraceLogState::Off:
        if (running) (d.*ops.abort)();
        state = TraceLogState::Off;
        break;
    case TraceLogState::On:
        // A pause carried over a reopen has no buffer to go on with: it starts a new one.
        if (state != TraceLogState::Pause || (d.*ops.start)() != result::kOk)
            check((d.*ops.init)(log ? logSize_ : traceSize_));
        state = TraceLogState::On;
        break;
    case TraceLogState::Dump:
    case TraceLogState::Append: {
        if (!running) break;
        (d.*ops.start)();
        const std::string& name = log ? logName_ : traceName_;
        const bool hex = log ? logHex_ : traceHex_;
        const bool allHex = log ? logAllHex_ : traceAllHex_;
        const int32_t rc = (d.*(wanted == TraceLogState::Dump ? ops.dump : ops.append))(name, hex, allHex);
        // A file that cannot be written leaves the recording paused, to be written elsewhere.
        state = rc < 0 ? TraceLogState::Pause : TraceLogState::Off;
        check(rc);
        break;
    }
    case TraceLogState::Clear:
        if (running) check((d.*ops.clear)());
        break;
    case TraceLogState::Pause:
        if (state != TraceLogState::On) break;
        (d.*ops.stop)();
        state = TraceLogState::Pause;
        break;
    }
}

void ComPort::setTracing(TraceLogState state) {
    if (state != tracing_ || forceApply_) setRecorderState(false, state);
}

void ComPort::setLogging(TraceLogState state) {
    if (state != logging_ || forceApply_) setRecorderState(true, state);
}

void ComPort::resizeRecorder(bool log) {
    const TraceLogState state = log ? logging_ : tracing_;
    if (state_ != PortState::Open || (state != TraceLogState::On && state != TraceLogState::Pause)) return;
    setRecorderState(log, TraceLogState::Off);
    setRecorderState(log, state);
}

void ComPort::setTraceSize(uint32_t entries) {
    const uint32_t size = std::min(entries, kTraceSizeLimit);
    if (size == traceSize_) return;
    traceSize_ = size;
    resizeRecorder(false);
}

void ComPort::setLogSize(uint32_t bytes) {
    const uint32_t size = std::min(bytes, kLogSizeLimit);
    if (size == logSize_) return;
    logSize_ = size;
    resizeRecorder(true);
}

void ComPort::setTraceName(const std::string& name) {
    traceName_ = name.substr(0, 255);
}

void ComPort::setLogName(const std::string& name) {
    logName_ = name.substr(0, 255);
}

void ComPort::setUseEventWord(bool on) {
    constexpr uint16_t kEventWordOption = 4;
    if (store(useEventWord_, on, forceApply_) && state_ == PortState::Open) {
        if (on)
            userData_.optionsOn(kEventWordOption);
        else
            userData_.optionsOff(kEventWordOption);
    }
}

void ComPort::setRs485Mode(bool on) {
    if (!store(rs485Mode_, on, forceApply_)) return;
    if (state_ == PortState::Open && dispatcher_) dispatcher_->setRs485Mode(on);
    if (on) {
        HwFlowOptions options = hwFlow_;
        options.erase(HwFlowOption::UseRts);
        options.erase(HwFlowOption::RequireCts);
        setHwFlowOptions(options);
        setRts(false);
    }
}

void ComPort::setThreadBoost(ThreadBoost boost) {
    if (store(threadBoost_, boost, forceApply_) && state_ == PortState::Open && dispatcher_)
        dispatcher_->setThreadBoost(boost);
}

void ComPort::setAvailTriggerLength(uint16_t length) {
    if (store(availTriggerLength_, length, forceApply_) && state_ == PortState::Open && dispatcher_)
        dispatcher_->changeLengthTrigger(length);
}

} // namespace brimwell::serial
