// Result codes of the serial path. The dispatcher and device layers return these (never throw);
// the port component turns negative ones into typed exceptions.
#pragma once

#include <cstdint>

namespace brimwell {

// Success and file-system errors (their absolute values are the platform's classic I/O error numbers).
inline constexpr int32_t secOK = 0;
inline constexpr int32_t secFileNotFound = -2;
inline constexpr int32_t secPathNotFound = -3;
inline constexpr int32_t secTooManyFiles = -4;
inline constexpr int32_t secAccessDenied = -5;
inline constexpr int32_t secInvalidHandle = -6;
inline constexpr int32_t secOutOfMemory = -8;
inline constexpr int32_t secInvalidDrive = -15;
inline constexpr int32_t secNoMoreFiles = -18;
inline constexpr int32_t secDiskRead = -100;
inline constexpr int32_t secDiskFull = -101;
inline constexpr int32_t secNotAssigned = -102;
inline constexpr int32_t secNotOpen = -103;
inline constexpr int32_t secNotOpenInput = -104;
inline constexpr int32_t secNotOpenOutput = -105;
inline constexpr int32_t secWriteProtected = -150;
inline constexpr int32_t secUnknownUnit = -151;
inline constexpr int32_t secDriveNotReady = -152;
inline constexpr int32_t secUnknownCommand = -153;
inline constexpr int32_t secCrcError = -154;
inline constexpr int32_t secBadStructLen = -155;
inline constexpr int32_t secSeekError = -156;
inline constexpr int32_t secUnknownMedia = -157;
inline constexpr int32_t secSectorNotFound = -158;
inline constexpr int32_t secOutOfPaper = -159;
inline constexpr int32_t secDeviceWrite = -160;
inline constexpr int32_t secDeviceRead = -161;
inline constexpr int32_t secHardwareFailure = -162;

// General errors.
inline constexpr int32_t secBadHandle = -1001;
inline constexpr int32_t secBadArgument = -1002;
inline constexpr int32_t secGotQuitMsg = -1003;
inline constexpr int32_t secBufferTooBig = -1004;
inline constexpr int32_t secPortNotAssigned = -1005;
inline constexpr int32_t secInternal = -1006;
inline constexpr int32_t secModemNotAssigned = -1007;
inline constexpr int32_t secPhonebookNotAssigned = -1008;
inline constexpr int32_t secCannotUseWithWinSock = -1009;

// Opening a port.
inline constexpr int32_t secBadId = -2001;
inline constexpr int32_t secBaudRate = -2002;
inline constexpr int32_t secByteSize = -2003;
inline constexpr int32_t secDefault = -2004;
inline constexpr int32_t secHardware = -2005;
inline constexpr int32_t secMemory = -2006;
inline constexpr int32_t secCommNotOpen = -2007;
inline constexpr int32_t secAlreadyOpen = -2008;
inline constexpr int32_t secNoHandles = -2009;
inline constexpr int32_t secNoTimers = -2010;
inline constexpr int32_t secNoPortSelected = -2011;
inline constexpr int32_t secNotOpenedByTapi = -2012;

// Serial input/output.
inline constexpr int32_t secNullApi = -3001;
inline constexpr int32_t secNotSupported = -3002;
inline constexpr int32_t secRegisterHandlerFailed = -3003;
inline constexpr int32_t secPutBlockFail = -3004;
inline constexpr int32_t secGetBlockFail = -3005;
inline constexpr int32_t secOutputBufferTooSmall = -3006;
inline constexpr int32_t secBufferIsEmpty = -3007;
inline constexpr int32_t secTracingNotEnabled = -3008;
inline constexpr int32_t secLoggingNotEnabled = -3009;
inline constexpr int32_t secBaseAddressNotSet = -3010;

// Triggers.
inline constexpr int32_t secNoMoreTriggers = -5001;
inline constexpr int32_t secTriggerTooLong = -5002;
inline constexpr int32_t secBadTriggerHandle = -5003;

// Network ports (socket:// and rfc2217://): the socket layer's group, numbered as the classic
// socket error numbers.
inline constexpr int32_t secSocketStopped = -10004; // a stop signal ended the opening
inline constexpr int32_t secSocketBadAddress = -10022;
inline constexpr int32_t secSocketOversizedCommand = -10040; // a Telnet sub-negotiation past its bound
inline constexpr int32_t secSocketNoComPortOption = -10043;
inline constexpr int32_t secSocketNetUnreachable = -10051;
inline constexpr int32_t secSocketConnectionLost = -10054;
inline constexpr int32_t secSocketTimedOut = -10060;
inline constexpr int32_t secSocketRefused = -10061;
inline constexpr int32_t secSocketHostUnreachable = -10065;
inline constexpr int32_t secSocketHostNotFound = -11001;
inline constexpr int32_t kFirstSocketCode = -9001;
inline constexpr int32_t kLastSocketCode = -11004;

} // namespace brimwell
