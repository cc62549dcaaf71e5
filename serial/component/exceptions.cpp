// Code -> exception mapping and back.
#include "serial/component/exceptions.h"

#include <new>

#include "serial/component/base_component.h"
#include "serial/error_codes.h"
#include "serial/error_messages.h"

namespace brimwell {
namespace {

constexpr int32_t kUnknownExceptionCode = -9999;
constexpr const char* kGenericMessage = "Quav exception";

template <class E> [[noreturn]] void raiseAs(int32_t code) {
    throw E(code);
}

} // namespace

EQuavException::EQuavException(int32_t code)
    : std::runtime_error(QuavLoadStr(code < 0 ? -code : code)), errorCode_(code) {}

EQuavException::EQuavException(const std::string& message) : std::runtime_error(message), errorCode_(0) {}

EPortAccessDenied::EPortAccessDenied(const std::string& devicePath, const std::string& message)
    : EAlreadyOpen(message, secAlreadyOpen), devicePath_(devicePath) {}

void RaiseQuavCode(int32_t code) {
    if (code <= secFileNotFound && code >= secHardwareFailure) {
        if (code == secOutOfMemory) throw std::bad_alloc();
        throw EInOutError(QuavLoadStr(-code), -code);
    }
    if (code <= kFirstSocketCode && code >= kLastSocketCode) raiseAs<ESocket>(code);
    switch (code) {
    case secBadArgument:
        raiseAs<EBadArgument>(code);
    case secGotQuitMsg:
        raiseAs<EGotQuitMsg>(code);
    case secBufferTooBig:
        raiseAs<EBufferTooBig>(code);
    case secPortNotAssigned:
        raiseAs<EPortNotAssigned>(code);
    case secInternal:
        raiseAs<EInternal>(code);
    case secModemNotAssigned:
        raiseAs<EModemNotAssigned>(code);
    case secPhonebookNotAssigned:
        raiseAs<EPhonebookNotAssigned>(code);
    case secCannotUseWithWinSock:
        raiseAs<ECannotUseWithWinSock>(code);
    case secBadId:
        raiseAs<EBadId>(code);
    case secBaudRate:
        raiseAs<EBaudRate>(code);
    case secByteSize:
        raiseAs<EByteSize>(code);
    case secDefault:
        raiseAs<EDefault>(code);
    case secHardware:
        raiseAs<EHardware>(code);
    case secMemory:
        raiseAs<EMemory>(code);
    case secCommNotOpen:
        raiseAs<ECommNotOpen>(code);
    case secAlreadyOpen:
        raiseAs<EAlreadyOpen>(code);
    case secNoHandles:
        raiseAs<ENoHandles>(code);
    case secNoTimers:
        raiseAs<ENoTimers>(code);
    case secNoPortSelected:
        raiseAs<ENoPortSelected>(code);
    case secNotOpenedByTapi:
        raiseAs<ENotOpenedByTapi>(code);
    case secNullApi:
        raiseAs<ENullApi>(code);
    case secRegisterHandlerFailed:
        raiseAs<ERegisterHandlerFailed>(code);
    case secPutBlockFail:
        raiseAs<EPutBlockFail>(code);
    case secGetBlockFail:
        raiseAs<EGetBlockFail>(code);
    case secOutputBufferTooSmall:
        raiseAs<EOutputBufferTooSmall>(code);
    case secBufferIsEmpty:
        raiseAs<EBufferIsEmpty>(code);
    case secTracingNotEnabled:
        raiseAs<ETracingNotEnabled>(code);
    case secLoggingNotEnabled:
        raiseAs<ELoggingNotEnabled>(code);
    case secBaseAddressNotSet:
        raiseAs<EBaseAddressNotSet>(code);
    case secNoMoreTriggers:
        raiseAs<ENoMoreTriggers>(code);
    case secTriggerTooLong:
        raiseAs<ETriggerTooLong>(code);
    case secBadTriggerHandle:
        raiseAs<EBadTriggerHandle>(code);
    default:
        break;
    }
    // secBadHandle, secNotSupported and every code without a class of its own.
    throw EQuavException(kGenericMessage);
}

int32_t CheckException(const TQuavBaseComponent* component, int32_t code) {
    if (code >= 0) return code;
    if (component != nullptr && component->IsLoading()) return code;
    RaiseQuavCode(code);
}

int32_t XlatException(const std::exception& e) {
    if (const auto* q = dynamic_cast<const EQuavException*>(&e)) return q->ErrorCode();
    if (const auto* io = dynamic_cast<const EInOutError*>(&e)) return -io->ErrorCode();
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return secOutOfMemory;
    return kUnknownExceptionCode;
}

int32_t XlatException(std::exception_ptr e) {
    if (!e) return kUnknownExceptionCode;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return XlatException(ex);
    } catch (...) {
        return kUnknownExceptionCode;
    }
}

} // namespace brimwell
