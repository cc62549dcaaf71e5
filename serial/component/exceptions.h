// The exception family of the serial port and terminal components, and the translation between
// result codes and exceptions.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace brimwell {

class TQuavBaseComponent;

class EQuavException : public std::runtime_error {
  public:
    // Error code := code; message := QuavLoadStr(|code|).
    explicit EQuavException(int32_t code);
    // Error code := 0; the message as passed.
    explicit EQuavException(const std::string& message);
    explicit EQuavException(const char* message) : EQuavException(std::string(message)) {}

    int32_t ErrorCode() const { return errorCode_; }

  protected:
    EQuavException(const std::string& message, int32_t code)
        : std::runtime_error(message), errorCode_(code) {}

  private:
    int32_t errorCode_;
};

// The runtime's input/output error: carries the platform error number (positive).
class EInOutError : public std::runtime_error {
  public:
    EInOutError(const std::string& message, int errorCode)
        : std::runtime_error(message), errorCode_(errorCode) {}
    int ErrorCode() const { return errorCode_; }

  private:
    int errorCode_;
};

#define BRIMWELL_QUAV_EXCEPTION(Name, Base)                                                                  \
    class Name : public Base {                                                                               \
      public:                                                                                                \
        using Base::Base;                                                                                    \
    };

// Groups.
BRIMWELL_QUAV_EXCEPTION(EGeneral, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EOpenComm, EQuavException)
BRIMWELL_QUAV_EXCEPTION(ESerialIO, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EModem, EQuavException)
BRIMWELL_QUAV_EXCEPTION(ETrigger, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EPacket, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EProtocol, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EINI, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EFax, EQuavException)
BRIMWELL_QUAV_EXCEPTION(ETapi, EQuavException)
BRIMWELL_QUAV_EXCEPTION(ERas, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EQuavTerminal, EQuavException)
// Network ports: the socket layer's codes, each with its own message.
BRIMWELL_QUAV_EXCEPTION(ESocket, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EXML, EQuavException)
BRIMWELL_QUAV_EXCEPTION(EStateMachine, EQuavException)

// General errors.
BRIMWELL_QUAV_EXCEPTION(EBadArgument, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EGotQuitMsg, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EBufferTooBig, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EPortNotAssigned, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EInternal, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EModemNotAssigned, EGeneral)
BRIMWELL_QUAV_EXCEPTION(EPhonebookNotAssigned, EGeneral)
BRIMWELL_QUAV_EXCEPTION(ECannotUseWithWinSock, EGeneral)

// Opening a port.
BRIMWELL_QUAV_EXCEPTION(EBadId, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EBaudRate, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EByteSize, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EDefault, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EHardware, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EMemory, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(ECommNotOpen, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(EAlreadyOpen, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(ENoHandles, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(ENoTimers, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(ENoPortSelected, EOpenComm)
BRIMWELL_QUAV_EXCEPTION(ENotOpenedByTapi, EOpenComm)

// Serial input/output.
BRIMWELL_QUAV_EXCEPTION(ENullApi, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(EPutBlockFail, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(EGetBlockFail, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(EBufferIsEmpty, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(ETracingNotEnabled, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(ELoggingNotEnabled, ESerialIO)
BRIMWELL_QUAV_EXCEPTION(EBaseAddressNotSet, ESerialIO)

// Triggers.
BRIMWELL_QUAV_EXCEPTION(ENoMoreTriggers, ETrigger)
BRIMWELL_QUAV_EXCEPTION(ETriggerTooLong, ETrigger)
BRIMWELL_QUAV_EXCEPTION(EBadTriggerHandle, ETrigger)

// Terminal.
BRIMWELL_QUAV_EXCEPTION(EQuavTermInvalidParameter, EQuavTerminal)
BRIMWELL_QUAV_EXCEPTION(EQuavTermRangeError, EQuavTerminal)
BRIMWELL_QUAV_EXCEPTION(EQuavTermTooLarge, EQuavTerminal)

#undef BRIMWELL_QUAV_EXCEPTION

// A port device exists but the user may not open it. Raised in place of EAlreadyOpen for that
// case, so the operator learns which device and what is missing; still an EAlreadyOpen with its
// code, so callers that catch that class keep working.
class EPortAccessDenied : public EAlreadyOpen {
  public:
    EPortAccessDenied(const std::string& devicePath, const std::string& message);
    const std::string& DevicePath() const { return devicePath_; }

  private:
    std::string devicePath_;
};

// Raises the exception assigned to a negative |code|; returns non-negative codes, and any code
// while |component| is being loaded, unchanged. Never returns for a negative code otherwise.
int32_t CheckException(const TQuavBaseComponent* component, int32_t code);

// Raises the exception assigned to a negative code (no component, so never in loading state).
[[noreturn]] void RaiseQuavCode(int32_t code);

// The result code an exception stands for: EQuavException's code, minus an EInOutError's
// number, -8 for out-of-memory, -9999 for anything else.
int32_t XlatException(const std::exception& e);
int32_t XlatException(std::exception_ptr e);

} // namespace brimwell
