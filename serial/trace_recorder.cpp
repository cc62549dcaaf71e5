// The trace buffer and its text file.
#include "serial/trace_recorder.h"

#include "serial/error_codes.h"

namespace brimwell::serial {
namespace {

void putHeading(RecorderFile& file, char kind) {
    if (kind == kTraceReceive) {
        file.put("Receive: ");
    } else if (kind == kTraceTransmit) {
        file.put("Transmit: ");
    } else {
        file.put("Special-");
        file.put(kind);
        file.put(": ");
    }
    file.put(kRecorderLineEnd);
}

} // namespace

int32_t TraceRecorder::init(uint32_t entries) {
    if (hasBuffer()) {
        clear();
        return result::kOk;
    }
    const int32_t rc = allocateRecorderBuffer(entries_, entries, kTraceSizeMax);
    if (rc == result::kOk) capacity_ = entries;
    return rc;
}

void TraceRecorder::clear() {
    pos_ = 0;
    wrapped_ = false;
}

void TraceRecorder::release() {
    entries_.reset();
    capacity_ = 0;
    clear();
}

int32_t TraceRecorder::write(const std::string& path, const RecorderFileOptions& options) {
    if (!hasBuffer()) return result::kOk;
    if (empty()) {
        release();
        return result::kOk;
    }
    RecorderFile file;
    if (const int32_t rc = file.open(path, options.append); rc != 0) return rc;

    const uint32_t first = wrapped_ ? pos_ : 0;
    const uint32_t count = wrapped_ ? capacity_ : pos_;
    WrappedItems items(file, 0, {});
    char previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Entry& e = entries_[(first + i) % capacity_];
        if (i == 0 || e.kind != previous) {
            if (i != 0) {
                file.put(kRecorderLineEnd);
                file.put(kRecorderLineEnd);
            }
            putHeading(file, e.kind);
            items.restart(0);
            previous = e.kind;
        }
        items.put(renderRecordedByte(e.byte, options.hex, options.allHex).view());
    }
    const int32_t rc = file.close();
    if (rc == 0) release();
    return rc;
}

} // namespace brimwell::serial
