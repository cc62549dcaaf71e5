// The serial port component's properties: the setter rules (unchanged values do nothing unless the
// force-apply flag is set) and how each reaches an open port.
#include "serial/component/com_port.h"

#include <algorithm>

namespace brimwell {

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

void TQuavCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
    // This class supports the serial-device layer alone.
    if (state_ == psClosed && layer == dlWin32) deviceLayer_ = layer;
}

void TQuavCustomComPort::SetComNumber(uint16_t n) {
    if (n == comNumber_ && !forceApply_) return;
    if (state_ != psOpen || IsLoading()) {
        comNumber_ = n;
        return;
    }
    // The close saves the triggers and the next open restores them; the trace and log states
    // are set back because the close dumps and switches them off.
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = n;
    tracing_ = tracing;
    logging_ = logging;
    if (state_ == psShuttingDown)
        reopenPending_ = true;
    else
        SetOpen(true);
}

void TQuavCustomComPort::applyLine() {
    if (state_ == psOpen && dispatcher_)
        check(
            dispatcher_->SetLine(uint32_t(baud_), uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TQuavCustomComPort::SetBaud(int32_t baud) {
    if (store(baud_, baud, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetParity(TParity parity) {
    if (store(parity_, parity, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetDataBits(uint16_t bits) {
    if (store(dataBits_, bits, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetStopBits(uint16_t bits) {
    if (store(stopBits_, bits, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetInSize(uint16_t size) {
    // termios has no receive-queue size to set again; the value counts at the next open and for
    // the flow-control thresholds.
    store(inSize_, size, forceApply_);
}

void TQuavCustomComPort::SetOutSize(uint16_t size) {
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

void TQuavCustomComPort::SetDTR(bool on) {
    check(setLineLevel(dtr_, on, forceApply_, state_ == psOpen && dispatcher_,
                       [this](bool v) { return dispatcher_->SetDtr(v); }));
}

void TQuavCustomComPort::SetRTS(bool on) {
    check(setLineLevel(rts_, on, forceApply_, state_ == psOpen && dispatcher_,
                       [this](bool v) { return dispatcher_->SetRts(v); }));
}

void TQuavCustomComPort::applyHWFlow() {
    const uint16_t value = hwFlow_.value();
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 9 / 10);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 10);
    }
    if (state_ == psOpen && dispatcher_) check(dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, value));
}

void TQuavCustomComPort::SetHWFlowOptions(THWFlowOptions options) {
    if (!store(hwFlow_, options, forceApply_)) return;
    applyHWFlow();
    if (options.contains(hwfUseRTS) || options.contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TQuavCustomComPort::applySWFlow() {
    static constexpr uint16_t kValues[] = {0, sfReceiveFlow, sfTransmitFlow, sfReceiveFlow | sfTransmitFlow};
    const uint16_t value = kValues[swFlow_];
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 3 / 4);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 4);
    }
    if (state_ == psOpen && dispatcher_) {
        // Enabling only switches directions on; a direction the new value leaves out must go off.
        check(dispatcher_->SWFlowDisable());
        if (value != 0) check(dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, value));
    }
}

void TQuavCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
    if (store(swFlow_, options, forceApply_)) applySWFlow();
}

void TQuavCustomComPort::SetXOnChar(char c) {
    if (store(xOnChar_, c, forceApply_) && state_ == psOpen && dispatcher_)
        check(dispatcher_->SWFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void TQuavCustomComPort::SetXOffChar(char c) {
    if (store(xOffChar_, c, forceApply_) && state_ == psOpen && dispatcher_)
        check(dispatcher_->SWFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void TQuavCustomComPort::SetBufferFull(uint16_t bytes) {
    if (bytes == bufferFull_ && !forceApply_) return;
    bufferFull_ = bytes > inSize_ ? uint16_t(uint32_t(bytes) * 9 / 10) : bytes;
    const ForcedApply forced(forceApply_);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
}

void TQuavCustomComPort::SetBufferResume(uint16_t bytes) {
    if (bytes == bufferResume_ && !forceApply_) return;
    bufferResume_ = bytes > bufferFull_ ? uint16_t(uint32_t(bufferFull_) / 10) : bytes;
    const ForcedApply forced(forceApply_);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
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
constexpr RecorderOps kTraceOps{&TQuavBaseDispatcher::InitTracing,  &TQuavBaseDispatcher::StartTracing,
                                &TQuavBaseDispatcher::StopTracing,  &TQuavBaseDispatcher::ClearTracing,
                                &TQuavBaseDispatcher::AbortTracing, &TQuavBaseDispatcher::DumpTrace,
                                &TQuavBaseDispatcher::AppendTrace};
constexpr RecorderOps kLogOps{
    &TQuavBaseDispatcher::InitDispatchLogging,  &TQuavBaseDispatcher::StartDispatchLogging,
    &TQuavBaseDispatcher::StopDispatchLogging,  &TQuavBaseDispatcher::ClearDispatchLogging,
    &TQuavBaseDispatcher::AbortDispatchLogging, &TQuavBaseDispatcher::DumpDispatchLog,
    &TQuavBaseDispatcher::AppendDispatchLog};

} // namespace

void TQuavCustomComPort::setRecorderState(bool log, TTraceLogState wanted) {
    TTraceLogState& state = log ? logging_ : tracing_;
    if (state_ != psOpen || !dispatcher_) {
        // A closed port only remembers whether to record from the next open.
        if (state_ == psClosed) state = wanted == tlOn ? tlOn : tlOff;
        return;
    }
    DispatcherRecording& d = *dispatcher_;
    const RecorderOps& ops = log ? kLogOps : kTraceOps;
    const bool running = state == tlOn || state == tlPause;
    switch (wanted) {
    case tlOff:
        if (running) (d.*ops.abort)();
        state = tlOff;
        break;
    case tlOn:
        // A pause carried over a reopen has no buffer to go on with: it starts a new one.
        if (state != tlPause || (d.*ops.start)() != secOK) check((d.*ops.init)(log ? logSize_ : traceSize_));
        state = tlOn;
        break;
    case tlDump:
    case tlAppend: {
        if (!running) break;
        (d.*ops.start)();
        const std::string& name = log ? logName_ : traceName_;
        const bool hex = log ? logHex_ : traceHex_;
        const bool allHex = log ? logAllHex_ : traceAllHex_;
        const int32_t rc = (d.*(wanted == tlDump ? ops.dump : ops.append))(name, hex, allHex);
        // A file that cannot be written leaves the recording paused, to be written elsewhere.
        state = rc < 0 ? tlPause : tlOff;
        check(rc);
        break;
    }
    case tlClear:
        if (running) check((d.*ops.clear)());
        break;
    case tlPause:
        if (state != tlOn) break;
        (d.*ops.stop)();
        state = tlPause;
        break;
    }
}

void TQuavCustomComPort::SetTracing(TTraceLogState state) {
    if (state != tracing_ || forceApply_) setRecorderState(false, state);
}

void TQuavCustomComPort::SetLogging(TTraceLogState state) {
    if (state != logging_ || forceApply_) setRecorderState(true, state);
}

void TQuavCustomComPort::resizeRecorder(bool log) {
    const TTraceLogState state = log ? logging_ : tracing_;
    if (state_ != psOpen || (state != tlOn && state != tlPause)) return;
    setRecorderState(log, tlOff);
    setRecorderState(log, state);
}

void TQuavCustomComPort::SetTraceSize(uint32_t entries) {
    const uint32_t size = std::min(entries, kTraceSizeLimit);
    if (size == traceSize_) return;
    traceSize_ = size;
    resizeRecorder(false);
}

void TQuavCustomComPort::SetLogSize(uint32_t bytes) {
    const uint32_t size = std::min(bytes, kLogSizeLimit);
    if (size == logSize_) return;
    logSize_ = size;
    resizeRecorder(true);
}

void TQuavCustomComPort::SetTraceName(const std::string& name) {
    traceName_ = name.substr(0, 255);
}

void TQuavCustomComPort::SetLogName(const std::string& name) {
    logName_ = name.substr(0, 255);
}

void TQuavCustomComPort::SetUseEventWord(bool on) {
    constexpr uint16_t kEventWordOption = 4;
    if (store(useEventWord_, on, forceApply_) && state_ == psOpen && dispatcher_) {
        if (on)
            dispatcher_->OptionsOn(kEventWordOption);
        else
            dispatcher_->OptionsOff(kEventWordOption);
    }
}

void TQuavCustomComPort::SetRS485Mode(bool on) {
    if (!store(rs485Mode_, on, forceApply_)) return;
    if (state_ == psOpen && dispatcher_) dispatcher_->SetRS485Mode(on);
    if (on) {
        THWFlowOptions options = hwFlow_;
        options.erase(hwfUseRTS);
        options.erase(hwfRequireCTS);
        SetHWFlowOptions(options);
        SetRTS(false);
    }
}

void TQuavCustomComPort::SetThreadBoost(TQuavThreadBoost boost) {
    if (store(threadBoost_, boost, forceApply_) && state_ == psOpen && dispatcher_)
        dispatcher_->SetThreadBoost(boost);
}

void TQuavCustomComPort::SetAvailTriggerLength(uint16_t length) {
    if (store(availTriggerLength_, length, forceApply_) && state_ == psOpen && dispatcher_)
        dispatcher_->ChangeLengthTrigger(length);
}

} // namespace brimwell
