// Fuzzes the script reader and interpreter: the input is a script, a NUL byte, then the bytes the
// unit answers, handed out a slice per write the engine makes.
#include "failed_check_traps.h"
#include "support/script_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace brimwell;
using namespace brimwell::script;

namespace {

// Scripts may name only files of this directory, so no run can read a device or a huge file.
const test::TempDir& workDir() {
    static const test::TempDir dir;
    static const bool filled = [] {
        dir.write("a.bin", "abc");
        dir.write("b.bin", std::string(4001, 'x'));
        dir.write("e.bin", "");
        return true;
    }();
    (void)filled;
    return dir;
}

// Long delays only slow the search down without reaching new code. A wait takes its number from
// after the first blank of its line, as strtol reads it there (blanks, a sign, digits).
bool boundedWaits(const std::string& script) {
    for (const char* code : {"_DY", "_LP"}) {
        for (std::size_t at = script.find(code); at != std::string::npos; at = script.find(code, at + 1)) {
            const std::size_t end = std::min(script.find('\n', at), script.size());
            const std::size_t blank = script.find(' ', at);
            if (blank >= end) continue;
            const long value = std::strtol(script.substr(blank, end - blank).c_str(), nullptr, 10);
            if (value > 9 || value < -9) return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string script = input.substr(0, split);
    const std::string answers = split == std::string::npos ? std::string() : input.substr(split + 1);
    if (script.find('/') != std::string::npos || !boundedWaits(script)) return -1;

    // The engine runs on the bench's driven clock: no wait of a run takes real time.
    static const bool ready = ::chdir(workDir().path().c_str()) == 0;
    if (!ready) return -1;

    test::Bench b;
    std::size_t next = 0;
    b.link.respond = [&](const std::string&) {
        // Each write gets the next slice of answers; its length is given by the slice's first byte.
        if (next >= answers.size()) return std::string();
        const std::size_t len = static_cast<unsigned char>(answers[next]) % 32;
        const std::string slice = answers.substr(next + 1, len);
        next += 1 + len;
        return slice;
    };
    b.engine.setPostUploadWait(10);
    b.engine.runPickedScript(b.dir.write("f.sld", script));
    // Invariants of every run, however it ended.
    if (!b.engine.uploadIdle() || b.engine.captureLength() < 0 ||
        b.engine.captureLength() >= ScriptEngine::kCaptureSize)
        std::abort();
    if (b.host.buttons.empty() || !b.host.buttons.back()) std::abort();
    return 0;
}
