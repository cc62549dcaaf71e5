// Result codes of the serial path. The dispatcher and device layers return these (never throw);
// the port component turns negative ones into typed exceptions.
#pragma once

#include <cstdint>

namespace brimwell::serial::result {

// Success and file-system errors (their absolute values are the platform's classic I/O error numbers).
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFileNotFound = -2;
inline constexpr int32_t kPathNotFound = -3;
inline constexpr int32_t kTooManyFiles = -4;
inline constexpr int32_t kAccessDenied = -5;
inline constexpr int32_t kInvalidHandle = -6;
inline constexpr int32_t kOutOfMemory = -8;
inline constexpr int32_t kInvalidDrive = -15;
inline constexpr int32_t kNoMoreFiles = -18;
inline constexpr int32_t kDiskRead = -100;
inline constexpr int32_t kDiskFull = -101;
inline constexpr int32_t kNotAssigned = -102;
inline constexpr int32_t kNotOpen = -103;
inline constexpr int32_t kNotOpenInput = -104;
inline constexpr int32_t kNotOpenOutput = -105;
inline constexpr int32_t kWriteProtected = -150;
inline constexpr int32_t kUnknownUnit = -151;
inline constexpr int32_t kDriveNotReady = -152;
inline constexpr int32_t kUnknownCommand = -153;
inline constexpr int32_t kCrcError = -154;
inline constexpr int32_t kBadStructLen = -155;
inline constexpr int32_t kSeekError = -156;
inline constexpr int32_t kUnknownMedia = -157;
inline constexpr int32_t kSectorNotFound = -158;
inline constexpr int32_t kOutOfPaper = -159;
inline constexpr int32_t kDeviceWrite = -160;
inline constexpr int32_t kDeviceRead = -161;
inline constexpr int32_t kHardwareFailure = -162;

// General errors.
inline constexpr int32_t kBadHandle = -1001;
inline constexpr int32_t kBadArgument = -1002;
inline constexpr int32_t kGotQuitMsg = -1003;
inline constexpr int32_t kBufferTooBig = -1004;
inline constexpr int32_t kPortNotAssigned = -1005;
inline constexpr int32_t kInternal = -1006;
inline constexpr int32_t kModemNotAssigned = -1007;
inline constexpr int32_t kPhonebookNotAssigned = -1008;
inline constexpr int32_t kCannotUseWithWinSock = -1009;

// Opening a port.
inline constexpr int32_t kBadId = -2001;
inline constexpr int32_t kBaudRate = -2002;
inline constexpr int32_t kByteSize = -2003;
inline constexpr int32_t kDefault = -2004;
inline constexpr int32_t kHardware = -2005;
inline constexpr int32_t kMemory = -2006;
inline constexpr int32_t kCommNotOpen = -2007;
inline constexpr int32_t kAlreadyOpen = -2008;
inline constexpr int32_t kNoHandles = -2009;
inline constexpr int32_t kNoTimers = -2010;
inline constexpr int32_t kNoPortSelected = -2011;
inline constexpr int32_t kNotOpenedByTapi = -2012;

// Serial input/output.
inline constexpr int32_t kNullApi = -3001;
inline constexpr int32_t kNotSupported = -3002;
inline constexpr int32_t kRegisterHandlerFailed = -3003;
inline constexpr int32_t kPutBlockFail = -3004;
inline constexpr int32_t kGetBlockFail = -3005;
inline constexpr int32_t kOutputBufferTooSmall = -3006;
inline constexpr int32_t kBufferIsEmpty = -3007;
inline constexpr int32_t kTracingNotEnabled = -3008;
inline constexpr int32_t kLoggingNotEnabled = -3009;
inline constexpr int32_t kBaseAddressNotSet = -3010;

// Triggers.
inline constexpr int32_t kNoMoreTriggers = -5001;
inline constexpr int32_t kTriggerTooLong = -5002;
inline constexpr int32_t kBadTriggerHandle = -5003;

// Network ports (socket:// and rfc2217://): the socket layer's group, numbered as the classic
// socket error numbers.
inline constexpr int32_t kSocketStopped = -10004; // a stop signal ended the opening
inline constexpr int32_t kSocketBadAddress = -10022;
inline constexpr int32_t kSocketOversizedCommand = -10040; // a Telnet sub-negotiation past its bound
inline constexpr int32_t kSocketNoComPortOption = -10043;
inline constexpr int32_t kSocketNetUnreachable = -10051;
inline constexpr int32_t kSocketConnectionLost = -10054;
inline constexpr int32_t kSocketTimedOut = -10060;
inline constexpr int32_t kSocketRefused = -10061;
inline constexpr int32_t kSocketHostUnreachable = -10065;
inline constexpr int32_t kSocketHostNotFound = -11001;
inline constexpr int32_t kFirstSocketCode = -9001;
inline constexpr int32_t kLastSocketCode = -11004;

} // namespace brimwell::serial::result
