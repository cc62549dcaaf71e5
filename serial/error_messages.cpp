// Message table of the serial path's result codes and the platform-text fallback.
#include "serial/error_messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace brimwell::serial {
namespace {

constexpr ErrorMessageEntry kTable[] = {
    {0, "secOK", "OK"},
    {-2, "secFileNotFound", "File not found"},
    {-3, "secPathNotFound", "Path not found"},
    {-4, "secTooManyFiles", "Too many open files"},
    {-5, "secAccessDenied", "File access denied"},
    {-6, "secInvalidHandle", "Invalid file handle"},
    {-8, "secOutOfMemory", "Insufficient memory"},
    {-15, "secInvalidDrive", "Invalid drive"},
    {-18, "secNoMoreFiles", "No more files"},
    {-100, "secDiskRead", "Attempt to read beyond end of file"},
    {-101, "secDiskFull", "Disk is full"},
    {-102, "secNotAssigned", "File/device not assigned"},
    {-103, "secNotOpen", "File/device not open"},
    {-104, "secNotOpenInput", "File/device not open for input"},
    {-105, "secNotOpenOutput", "File/device not open for output"},
    {-150, "secWriteProtected", "Disk is write-protected"},
    {-151, "secUnknownUnit", "Unknown disk unit"},
    {-152, "secDriveNotReady", "Drive is not ready"},
    {-153, "secUnknownCommand", "Unknown command"},
    {-154, "secCrcError", "Data error"},
    {-155, "secBadStructLen", "Bad request structure length"},
    {-156, "secSeekError", "Seek error"},
    {-157, "secUnknownMedia", "Unknown media type"},
    {-158, "secSectorNotFound", "Disk sector not found"},
    {-159, "secOutOfPaper", "Printer is out of paper"},
    {-160, "secDeviceWrite", "Device write error"},
    {-161, "secDeviceRead", "Device read error"},
    {-162, "secHardwareFailure", "General failure"},
    {-1001, "secBadHandle", "Bad handle passed to com function"},
    {-1002, "secBadArgument", "Bad argument passed to function"},
    {-1003, "secGotQuitMsg", "Got quit message"},
    {-1004, "secBufferTooBig", "Terminal buffer greater than 65521"},
    {-1005, "secPortNotAssigned", "ComPort component not assigned"},
    {-1006, "secInternal", "Internal error creating window class"},
    {-1007, "secModemNotAssigned", "Modem component not assigned"},
    {-1008, "secPhonebookNotAssigned", "Phonebook component not assigned"},
    {-1009, "secCannotUseWithWinSock", "Component not compatible with WinSock"},
    {-2001, "secBadId", "ie_BadId - Specified comport doesn't exist"},
    {-2002, "secBaudRate", "ie_Baudrate - unsupported baud rate"},
    {-2003, "secByteSize", "ie_Bytesize - invalid byte size"},
    {-2004, "secDefault", "ie_Default - error in default parameters"},
    {-2005, "secHardware", "ie_Hardware - Specified comport in use"},
    {-2006, "secMemory", "ie_Memory - unable to allocate queues"},
    {-2007, "secCommNotOpen", "ie_NOpen - device not open"},
    {-2008, "secAlreadyOpen", "ie_Open - device already open"},
    {-2009, "secNoHandles", "No more handles, can't open port"},
    {-2010, "secNoTimers", "No timers available"},
    {-2011, "secNoPortSelected", "The ComNumber property of the TQuavComPort has not been set"},
    {-2012, "secNotOpenedByTapi", "Comport was not opened by Tapi"},
    {-3001, "secNullApi", "No device layer specified"},
    {-3002, "secNotSupported", "Function not supported by driver"},
    {-3003, "secRegisterHandlerFailed", "EnableCommNotification failed"},
    {-3004, "secPutBlockFail", "Failed to put entire block"},
    {-3005, "secGetBlockFail", "Failed to get entire block"},
    {-3006, "secOutputBufferTooSmall", "Output buffer too small for block"},
    {-3007, "secBufferIsEmpty", "Buffer is empty"},
    {-3008, "secTracingNotEnabled", "Tracing not enabled"},
    {-3009, "secLoggingNotEnabled", "Logging not enabled"},
    {-3010, "secBaseAddressNotSet", "Base address not set"},
    {-5001, "secNoMoreTriggers", "No more trigger slots"},
    {-5002, "secTriggerTooLong", "Data trigger too long"},
    {-5003, "secBadTriggerHandle", "Bad trigger handle"},
    {-10004, "secSocketStopped", "Opening the network port was stopped"},
    {-10022, "secSocketBadAddress",
     "Invalid network port name: expected socket://HOST:PORT or rfc2217://HOST:PORT"},
    {-10040, "secSocketOversizedCommand",
     "The serial server sent a Telnet sub-negotiation longer than 256 bytes, which no RFC 2217 server "
     "sends"},
    {-10043, "secSocketNoComPortOption", "The server does not offer RFC 2217 serial port control"},
    {-10051, "secSocketNetUnreachable", "Network is unreachable"},
    {-10054, "secSocketConnectionLost", "Connection to the serial server lost"},
    {-10060, "secSocketTimedOut", "Connection to the serial server timed out"},
    {-10061, "secSocketRefused", "Connection refused: no serial server listening at that address"},
    {-10065, "secSocketHostUnreachable", "Host is unreachable"},
    {-11001, "secSocketHostNotFound", "Host not found"},
};

constexpr bool sortedByMagnitude() {
    for (std::size_t i = 1; i < std::size(kTable); ++i) {
        const int32_t a = kTable[i - 1].code < 0 ? -kTable[i - 1].code : kTable[i - 1].code;
        const int32_t b = kTable[i].code < 0 ? -kTable[i].code : kTable[i].code;
        if (a >= b) return false;
    }
    return true;
}
static_assert(sortedByMagnitude(), "the halving search needs the table sorted and unique by |code|");

constexpr std::size_t kMaxShortString = 255;

// The operating system's description of an error number, or "" when it has none.
std::string platformText(int number) {
    const char* text = strerrordesc_np(number);
    return text ? std::string(text) : std::string();
}

std::string sanitise(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        const char v = u < 32 ? ' ' : c;
        if (v == ' ' && !out.empty() && out.back() == ' ') continue;
        out.push_back(v);
    }
    return out;
}

} // namespace

std::span<const ErrorMessageEntry> errorMessageTable() {
    return kTable;
}

int32_t mapCodeToStringId(int32_t code) {
    return code < 0 ? -code : code;
}

std::string messageNumberToString(int32_t code) {
    // The table is keyed by 16-bit numbers; a wider code is looked up by its low half.
    const auto narrow = static_cast<int16_t>(code);
    const int32_t key = narrow < 0 ? -int32_t(narrow) : int32_t(narrow);
    std::size_t lo = 0;
    std::size_t hi = std::size(kTable);
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const int32_t c = mapCodeToStringId(kTable[mid].code);
        if (c == key) return kTable[mid].message;
        if (c < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return {};
}

std::string errorText(int32_t code) {
    std::string text = messageNumberToString(code);
    if (text.empty()) {
        // INT32_MIN has no positive counterpart; no platform error is that large anyway.
        if (code == INT32_MIN) return {};
        text = sanitise(platformText(code < 0 ? -code : code));
    }
    if (text.size() > kMaxShortString) text.resize(kMaxShortString);
    return text;
}

std::string errorMsg(int32_t code) {
    return errorText(code);
}

char* errorTextZ(char* buffer, std::size_t size, int32_t code) {
    if (buffer == nullptr || size == 0) return buffer;
    const std::string text = errorText(code);
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return buffer;
}

} // namespace brimwell::serial
