// What both front ends share about the loader's port: how the port is laid out before its first
// open, and the status texts the port search shows the operator.
#pragma once

#include <cstdint>
#include <string>

namespace brimwell::serial {
class ComPort;
}

namespace brimwell::script {

// The loader's line: 38400 baud unless the settings say otherwise, RTS/CTS handshake, receive
// flow control at these fill levels, opened only on demand, trace and log as text.
inline constexpr int32_t kLoaderBaud = 38400;
inline constexpr uint16_t kLoaderBufferFull = 2000;
inline constexpr uint16_t kLoaderBufferResume = 409;

void applyLoaderPortProfile(serial::ComPort& port);

// Status texts of the port search, as the operator knows them from the window ("COM n" for a port
// named by its number, the path or URL for one named so).
std::string establishedOnComText(int comNumber);
inline constexpr const char* kNoHardwareText =
    "Unable to open Hardware through COM ports. Select new COM port before proceeding";
inline constexpr const char* kFallbackPortText =
    "Error opening Hardware via COM ports. Select new COM port/check RS232 connection before proceeding";

} // namespace brimwell::script
