// Result-code messages, the code -> exception mapping and back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "serial/component/exceptions.h"
#include "serial/error_codes.h"
#include "serial/error_messages.h"

namespace brimwell::serial {
namespace {

TEST(ErrorMessages, TableIsSortedUniqueAndNamed) {
    const auto table = errorMessageTable();
    // Success and file errors 28, general 9, opening 12, serial I/O 10, triggers 3, sockets 10.
    ASSERT_EQ(table.size(), 72u);
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_NE(std::strlen(table[i].message), 0u);
        EXPECT_EQ(std::string(table[i].resourceName).rfind("sec", 0), 0u);
        if (i > 0) {
            EXPECT_LT(mapCodeToStringId(table[i - 1].code), mapCodeToStringId(table[i].code));
        }
        // Every entry is found by the halving search, whichever sign the code is given with.
        EXPECT_EQ(messageNumberToString(table[i].code), table[i].message);
        EXPECT_EQ(messageNumberToString(-table[i].code), table[i].message);
    }
}

TEST(ErrorMessages, LooksUpBothSignsAndFallsBackToPlatformText) {
    EXPECT_EQ(errorText(2007), "ie_NOpen - device not open");
    EXPECT_EQ(errorText(-2007), "ie_NOpen - device not open");
    EXPECT_EQ(errorMsg(-3007), "Buffer is empty");
    EXPECT_EQ(errorText(0), "OK");
    EXPECT_EQ(errorText(-2011), "The ComNumber property of the TQuavComPort has not been set");
    // 87 is not in the table: the operating system's own text for error 87.
    EXPECT_EQ(messageNumberToString(87), "");
    EXPECT_EQ(errorText(-87), strerrordesc_np(87));
    // A number neither knows gives the empty string.
    EXPECT_EQ(errorText(-29999), "");
    // The 16-bit view of a wider code: 65536 + 3007 is looked up as 3007.
    EXPECT_EQ(messageNumberToString(65536 + 3007), "Buffer is empty");
}

TEST(ErrorMessages, PlatformTextHasNoControlCharactersOrDoubleSpaces) {
    for (int n = 1; n < 134; ++n) {
        const std::string text = errorText(-n);
        EXPECT_LE(text.size(), 255u);
        for (std::size_t i = 0; i < text.size(); ++i) {
            EXPECT_GE(static_cast<unsigned char>(text[i]), 32u) << n;
            if (i > 0) {
                EXPECT_FALSE(text[i] == ' ' && text[i - 1] == ' ') << n;
            }
        }
    }
}

TEST(ErrorMessages, ErrorTextZCutsToTheBuffer) {
    char small[10];
    errorTextZ(small, sizeof small, -3006);
    EXPECT_STREQ(small, "Output bu");
    char big[64];
    errorTextZ(big, sizeof big, -3006);
    EXPECT_STREQ(big, "Output buffer too small for block");
}

template <class E> std::function<bool(const std::exception&)> is() {
    return [](const std::exception& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

struct MappingCase {
    int32_t code;
    std::function<bool(const std::exception&)> exactClass;
    std::function<bool(const std::exception&)> group;
    std::string message;
    int32_t errorCode; // PortException's code, or the InOutError's number
};

TEST(CheckException, MapsCodesToClassesMessagesAndCodes) {
    const MappingCase cases[] = {
        {result::kBufferIsEmpty, is<BufferIsEmptyError>(), is<SerialIoError>(), "Buffer is empty", -3007},
        {result::kOutputBufferTooSmall, is<OutputBufferTooSmallError>(), is<SerialIoError>(),
         "Output buffer too small for block", -3006},
        {result::kNotSupported, is<PortException>(), is<PortException>(), "Quav exception", 0},
        {result::kBadHandle, is<PortException>(), is<PortException>(), "Quav exception", 0},
        {result::kCommNotOpen, is<CommNotOpenError>(), is<OpenCommError>(), "ie_NOpen - device not open",
         -2007},
        {result::kAlreadyOpen, is<AlreadyOpenError>(), is<OpenCommError>(), "ie_Open - device already open",
         -2008},
        {result::kBadId, is<BadIdError>(), is<OpenCommError>(), "ie_BadId - Specified comport doesn't exist",
         -2001},
        {result::kNoPortSelected, is<NoPortSelectedError>(), is<OpenCommError>(),
         "The ComNumber property of the TQuavComPort has not been set", -2011},
        {result::kBadArgument, is<BadArgumentError>(), is<GeneralError>(), "Bad argument passed to function",
         -1002},
        {result::kNullApi, is<NullApiError>(), is<SerialIoError>(), "No device layer specified", -3001},
        {result::kPutBlockFail, is<PutBlockFailError>(), is<SerialIoError>(), "Failed to put entire block",
         -3004},
        {result::kNoMoreTriggers, is<NoMoreTriggersError>(), is<TriggerError>(), "No more trigger slots",
         -5001},
        {result::kBadTriggerHandle, is<BadTriggerHandleError>(), is<TriggerError>(), "Bad trigger handle",
         -5003},
        {result::kAccessDenied, is<InOutError>(), is<InOutError>(), "File access denied", 5},
        {result::kFileNotFound, is<InOutError>(), is<InOutError>(), "File not found", 2},
        {-87, is<InOutError>(), is<InOutError>(), strerrordesc_np(87), 87},
        {-3500, is<PortException>(), is<PortException>(), "Quav exception", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        try {
            checkException(nullptr, c.code);
            ADD_FAILURE() << "no exception";
        } catch (const std::exception& e) {
            EXPECT_TRUE(c.exactClass(e));
            EXPECT_TRUE(c.group(e));
            EXPECT_EQ(std::string(e.what()), c.message);
            if (const auto* q = dynamic_cast<const PortException*>(&e)) {
                EXPECT_EQ(q->errorCode(), c.errorCode);
            }
            if (const auto* io = dynamic_cast<const InOutError*>(&e)) {
                EXPECT_EQ(io->errorCode(), c.errorCode);
            }
        }
    }
}

TEST(CheckException, GenericCodesAreNotALeafClass) {
    // -3002 is raised as the base class itself, so no handler for a serial-I/O leaf catches it.
    try {
        checkException(nullptr, result::kNotSupported);
    } catch (const SerialIoError&) {
        ADD_FAILURE() << "caught as ESerialIO";
    } catch (const PortException& e) {
        EXPECT_EQ(e.errorCode(), 0);
    }
}

TEST(CheckException, OutOfMemoryAndPassThrough) {
    EXPECT_THROW(checkException(nullptr, result::kOutOfMemory), std::bad_alloc);
    EXPECT_EQ(checkException(nullptr, 0), 0);
    EXPECT_EQ(checkException(nullptr, 17), 17);
    EXPECT_EQ(checkException(nullptr, 1), 1);
}

TEST(ExceptionCode, TranslatesBack) {
    EXPECT_EQ(exceptionCode(CommNotOpenError(result::kCommNotOpen)), -2007);
    EXPECT_EQ(exceptionCode(BufferIsEmptyError(result::kBufferIsEmpty)), -3007);
    EXPECT_EQ(exceptionCode(PortException("free text")), 0);
    EXPECT_EQ(exceptionCode(InOutError("File access denied", 5)), -5);
    EXPECT_EQ(exceptionCode(std::bad_alloc()), -8);
    EXPECT_EQ(exceptionCode(std::runtime_error("unrelated")), -9999);
    EXPECT_EQ(exceptionCode(std::make_exception_ptr(42)), -9999);
    EXPECT_EQ(exceptionCode(std::make_exception_ptr(AlreadyOpenError(result::kAlreadyOpen))), -2008);
    // Round trip for every code of the serial path with a class of its own.
    for (int32_t code : {result::kBadArgument, result::kBadId, result::kCommNotOpen, result::kNullApi,
                         result::kBufferIsEmpty, result::kTriggerTooLong}) {
        try {
            checkException(nullptr, code);
        } catch (const std::exception& e) {
            EXPECT_EQ(exceptionCode(e), code);
        }
    }
}

TEST(PortException, Constructors) {
    const PortException byCode(-3007);
    EXPECT_EQ(byCode.errorCode(), -3007);
    EXPECT_STREQ(byCode.what(), "Buffer is empty");
    const PortException byText("Dispatcher already started");
    EXPECT_EQ(byText.errorCode(), 0);
    EXPECT_STREQ(byText.what(), "Dispatcher already started");
    const TermRangeError term(-1002);
    EXPECT_NE(dynamic_cast<const TerminalError*>(&term), nullptr);
}

} // namespace
} // namespace brimwell::serial
