// The exception family of the serial port and terminal components, and the translation between
// result codes and exceptions.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace brimwell::serial {

class Component;

class PortException : public std::runtime_error {
  public:
    // Error code := code; message := errorText(|code|).
    explicit PortException(int32_t code);
    // Error code := 0; the message as passed.
    explicit PortException(const std::string& message);
    explicit PortException(const char* message) : PortException(std::string(message)) {}

    int32_t errorCode() const { return errorCode_; }

  protected:
    PortException(const std::string& message, int32_t code) : std::runtime_error(message), errorCode_(code) {}

  private:
    int32_t errorCode_;
};

// The runtime's input/output error: carries the platform error number (positive).
class InOutError : public std::runtime_error {
  public:
    InOutError(const std::string& message, int errorCode)
        : std::runtime_error(message), errorCode_(errorCode) {}
    int errorCode() const { return errorCode_; }

  private:
    int errorCode_;
};

#define BRIMWELL_PORT_EXCEPTION(name, Base)                                                                  \
    class name : public Base {                                                                               \
      public:                                                                                                \
        using Base::Base;                                                                                    \
    };

// Groups.
BRIMWELL_PORT_EXCEPTION(GeneralError, PortException)
BRIMWELL_PORT_EXCEPTION(OpenCommError, PortException)
BRIMWELL_PORT_EXCEPTION(SerialIoError, PortException)
BRIMWELL_PORT_EXCEPTION(ModemError, PortException)
BRIMWELL_PORT_EXCEPTION(TriggerError, PortException)
BRIMWELL_PORT_EXCEPTION(PacketError, PortException)
BRIMWELL_PORT_EXCEPTION(ProtocolError, PortException)
BRIMWELL_PORT_EXCEPTION(IniError, PortException)
BRIMWELL_PORT_EXCEPTION(FaxError, PortException)
BRIMWELL_PORT_EXCEPTION(TapiError, PortException)
BRIMWELL_PORT_EXCEPTION(RasError, PortException)
BRIMWELL_PORT_EXCEPTION(TerminalError, PortException)
// Network ports: the socket layer's codes, each with its own message.
BRIMWELL_PORT_EXCEPTION(SocketError, PortException)
BRIMWELL_PORT_EXCEPTION(XmlError, PortException)
BRIMWELL_PORT_EXCEPTION(StateMachineError, PortException)

// General errors.
BRIMWELL_PORT_EXCEPTION(BadArgumentError, GeneralError)
BRIMWELL_PORT_EXCEPTION(GotQuitMsgError, GeneralError)
BRIMWELL_PORT_EXCEPTION(BufferTooBigError, GeneralError)
BRIMWELL_PORT_EXCEPTION(PortNotAssignedError, GeneralError)
BRIMWELL_PORT_EXCEPTION(InternalError, GeneralError)
BRIMWELL_PORT_EXCEPTION(ModemNotAssignedError, GeneralError)
BRIMWELL_PORT_EXCEPTION(PhonebookNotAssignedError, GeneralError)
BRIMWELL_PORT_EXCEPTION(CannotUseWithWinSockError, GeneralError)

// Opening a port.
BRIMWELL_PORT_EXCEPTION(BadIdError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(BaudRateError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(ByteSizeError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(DefaultError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(HardwareError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(MemoryError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(CommNotOpenError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(AlreadyOpenError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(NoHandlesError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(NoTimersError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(NoPortSelectedError, OpenCommError)
BRIMWELL_PORT_EXCEPTION(NotOpenedByTapiError, OpenCommError)

// Serial input/output.
BRIMWELL_PORT_EXCEPTION(NullApiError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(RegisterHandlerFailedError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(PutBlockFailError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(GetBlockFailError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(OutputBufferTooSmallError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(BufferIsEmptyError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(TracingNotEnabledError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(LoggingNotEnabledError, SerialIoError)
BRIMWELL_PORT_EXCEPTION(BaseAddressNotSetError, SerialIoError)

// Triggers.
BRIMWELL_PORT_EXCEPTION(NoMoreTriggersError, TriggerError)
BRIMWELL_PORT_EXCEPTION(TriggerTooLongError, TriggerError)
BRIMWELL_PORT_EXCEPTION(BadTriggerHandleError, TriggerError)

// Terminal.
BRIMWELL_PORT_EXCEPTION(TermInvalidParameterError, TerminalError)
BRIMWELL_PORT_EXCEPTION(TermRangeError, TerminalError)
BRIMWELL_PORT_EXCEPTION(TermTooLargeError, TerminalError)

#undef BRIMWELL_PORT_EXCEPTION

// A port device exists but the user may not open it. Raised in place of AlreadyOpenError for that
// case, so the operator learns which device and what is missing; still an AlreadyOpenError with its
// code, so callers that catch that class keep working.
class PortAccessDeniedError : public AlreadyOpenError {
  public:
    PortAccessDeniedError(const std::string& devicePath, const std::string& message);
    const std::string& devicePath() const { return devicePath_; }

  private:
    std::string devicePath_;
};

// Raises the exception assigned to a negative |code|; returns non-negative codes, and any code
// while |component| is being loaded, unchanged. Never returns for a negative code otherwise.
int32_t checkException(const Component* component, int32_t code);

// Raises the exception assigned to a negative code (no component, so never in loading state).
[[noreturn]] void raiseCode(int32_t code);

// The result code an exception stands for: PortException's code, minus an InOutError's
// number, -8 for out-of-memory, -9999 for anything else.
int32_t exceptionCode(const std::exception& e);
int32_t exceptionCode(std::exception_ptr e);

} // namespace brimwell::serial
