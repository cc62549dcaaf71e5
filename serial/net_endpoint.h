// Network port names (socket://HOST:PORT, rfc2217://HOST:PORT) and the TCP connection behind them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimwell::serial {

// How long opening a network port waits for the server to accept the connection.
inline constexpr int kConnectTimeoutMs = 3000;

enum class NetScheme {
    None,    // not a network port name
    Socket,  // socket://: raw TCP, no line control
    Rfc2217, // rfc2217://: Telnet with the COM-PORT-OPTION
};

struct NetEndpoint {
    NetScheme scheme = NetScheme::None;
    std::string host; // without the brackets of an IPv6 literal
    std::string port; // a number or a service name
};

// The scheme a port name starts with (case-insensitive); None for device paths and COM names.
NetScheme netSchemeOf(std::string_view name);
inline bool isNetworkPortName(std::string_view name) {
    return netSchemeOf(name) != NetScheme::None;
}

// HOST:PORT after the scheme ([v6]:PORT for IPv6 literals); nothing when either part is missing.
std::optional<NetEndpoint> parseNetEndpoint(std::string_view name);

// Connects to the endpoint within timeoutMs. Returns a connected non-blocking socket, or -1 with
// `code` set to one of the socket codes (secSocket...) and `sysErrno` to the system's reason.
int connectTcp(const NetEndpoint& endpoint, int timeoutMs, int32_t& code, int& sysErrno);

// The socket code for an errno of connect(), send() or recv().
int32_t socketCodeForErrno(int err);

} // namespace brimwell::serial
