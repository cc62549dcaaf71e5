// Code -> exception mapping and back.
#include "serial/component/exceptions.h"

#include <new>

#include "serial/component/base_component.h"
#include "serial/error_codes.h"
#include "serial/error_messages.h"

namespace brimwell::serial {
namespace {

constexpr int32_t kUnknownExceptionCode = -9999;
constexpr const char* kGenericMessage = "Quav exception";

template <class E> [[noreturn]] void raiseAs(int32_t code) {
    throw E(code);
}

} // namespace

PortException::PortException(int32_t code)
    : std::runtime_error(errorText(code < 0 ? -code : code)), errorCode_(code) {}

PortException::PortException(const std::string& message) : std::runtime_error(message), errorCode_(0) {}

PortAccessDeniedError::PortAccessDeniedError(const std::string& devicePath, const std::string& message)
    : AlreadyOpenError(message, result::kAlreadyOpen), devicePath_(devicePath) {}

void raiseCode(int32_t code) {
    if (code <= result::kFileNotFound && code >= result::kHardwareFailure) {
        if (code == result::kOutOfMemory) throw std::bad_alloc();
        throw InOutError(errorText(-code), -code);
    }
    if (code <= result::kFirstSocketCode && code >= result::kLastSocketCode) raiseAs<SocketError>(code);
    switch (code) {
    case result::kBadArgument:
        raiseAs<BadArgumentError>(code);
    case result::kGotQuitMsg:
        raiseAs<GotQuitMsgError>(code);
    case result::kBufferTooBig:
        raiseAs<BufferTooBigError>(code);
    case result::kPortNotAssigned:
        raiseAs<PortNotAssignedError>(code);
    case result::kInternal:
        raiseAs<InternalError>(code);
    case result::kModemNotAssigned:
        raiseAs<ModemNotAssignedError>(code);
    case result::kPhonebookNotAssigned:
        raiseAs<PhonebookNotAssignedError>(code);
    case result::kCannotUseWithWinSock:
        raiseAs<CannotUseWithWinSockError>(code);
    case result::kBadId:
        raiseAs<BadIdError>(code);
    case result::kBaudRate:
        raiseAs<BaudRateError>(code);
    case result::kByteSize:
        raiseAs<ByteSizeError>(code);
    case result::kDefault:
        raiseAs<DefaultError>(code);
    case result::kHardware:
        raiseAs<HardwareError>(code);
    case result::kMemory:
        raiseAs<MemoryError>(code);
    case result::kCommNotOpen:
        raiseAs<CommNotOpenError>(code);
    case result::kAlreadyOpen:
        raiseAs<AlreadyOpenError>(code);
    case result::kNoHandles:
        raiseAs<NoHandlesError>(code);
    case result::kNoTimers:
        raiseAs<NoTimersError>(code);
    case result::kNoPortSelected:
        raiseAs<NoPortSelectedError>(code);
    case result::kNotOpenedByTapi:
        raiseAs<NotOpenedByTapiError>(code);
    case result::kNullApi:
        raiseAs<NullApiError>(code);
    case result::kRegisterHandlerFailed:
        raiseAs<RegisterHandlerFailedError>(code);
    case result::kPutBlockFail:
        raiseAs<PutBlockFailError>(code);
    case result::kGetBlockFail:
        raiseAs<GetBlockFailError>(code);
    case result::kOutputBufferTooSmall:
        raiseAs<OutputBufferTooSmallError>(code);
    case result::kBufferIsEmpty:
        raiseAs<BufferIsEmptyError>(code);
    case result::kTracingNotEnabled:
        raiseAs<TracingNotEnabledError>(code);
    case result::kLoggingNotEnabled:
        raiseAs<LoggingNotEnabledError>(code);
    case result::kBaseAddressNotSet:
        raiseAs<BaseAddressNotSetError>(code);
    case result::kNoMoreTriggers:
        raiseAs<NoMoreTriggersError>(code);
    case result::kTriggerTooLong:
        raiseAs<TriggerTooLongError>(code);
    case result::kBadTriggerHandle:
        raiseAs<BadTriggerHandleError>(code);
    default:
        break;
    }
    // result::kBadHandle, result::kNotSupported and every code without a class of its own.
    throw PortException(kGenericMessage);
}

int32_t checkException(const Component* component, int32_t code) {
    if (code >= 0) return code;
    if (component != nullptr && component->isLoading()) return code;
    raiseCode(code);
}

int32_t exceptionCode(const std::exception& e) {
    if (const auto* q = dynamic_cast<const PortException*>(&e)) return q->errorCode();
    if (const auto* io = dynamic_cast<const InOutError*>(&e)) return -io->errorCode();
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return result::kOutOfMemory;
    return kUnknownExceptionCode;
}

int32_t exceptionCode(std::exception_ptr e) {
    if (!e) return kUnknownExceptionCode;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return exceptionCode(ex);
    } catch (...) {
        return kUnknownExceptionCode;
    }
}

} // namespace brimwell::serial
