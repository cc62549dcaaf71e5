// Fuzzes the answer capture with received blocks of any size and content: the first byte of the
// input sets the minimum answer length, then each block is a 2-byte length and that many bytes.
#include "failed_check_traps.h"
#include "support/script_test_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace brimwell::script;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    // No Bench: its temporary directory would cost more than the capture itself.
    struct Rig {
        test::RecordingHost host;
        test::FakeLink link;
        ScriptEngine engine{host};
        Rig() { engine.setSerialLink(&link); }
    } b;
    b.engine.setCaptureActive(true);
    b.engine.setCaptureLength(0);
    b.engine.setMinAnswerLength(data[0] % 16);
    std::size_t at = 1;
    while (at + 2 <= size) {
        std::size_t len = (static_cast<std::size_t>(data[at]) << 8 | data[at + 1]) % 4096;
        at += 2;
        len = std::min(len, size - at);
        b.link.queue(std::string(reinterpret_cast<const char*>(data + at), len));
        at += len;
        b.engine.onDataAvailable(static_cast<uint16_t>(len));
        if (b.engine.captureLength() < 0 || b.engine.captureLength() >= ScriptEngine::kCaptureSize)
            std::abort();
        if (std::memchr(b.engine.captureBuffer().data(), '\0', b.engine.captureBuffer().size()) == nullptr)
            std::abort();
        if (!b.engine.captureActive()) break;
    }
    return 0;
}
