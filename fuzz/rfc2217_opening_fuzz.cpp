// Fuzzes the opening of an RFC 2217 port: the server's side of the negotiation (options, sub-
// negotiations, data before and after the COM-PORT option) is the input, sent over a socket pair
// that then closes; the opening must end, and keep no more early data than its limit.
#include "serial/rfc2217_device.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Opening : brimwell::serial::Rfc2217Device {
    using brimwell::serial::Rfc2217Device::connected;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    // The input fits the pair's buffer (the fuzzer's inputs are short); the tool's answers wait there.
    if (size > 0 && ::write(pair[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    ::shutdown(pair[1], SHUT_WR);
    {
        Opening port;
        brimwell::serial::PortError error;
        if (port.connected(pair[0], error)) {
            uint8_t got[512];
            std::size_t early = 0;
            for (uint32_t n; (n = port.read(got, sizeof got)) > 0;)
                early += n;
            if (early > size || early > brimwell::serial::kRfc2217EarlyDataLimit) std::abort();
        }
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
