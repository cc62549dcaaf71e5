// Result-code messages, the code -> exception mapping and back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "serial/component/exceptions.h"
#include "serial/error_codes.h"
#include "serial/error_messages.h"

namespace brimwell {
namespace {

TEST(ErrorMessages, TableIsSortedUniqueAndNamed) {
    const auto table = errorMessageTable();
    // Success and file errors 28, general 9, opening 12, serial I/O 10, triggers 3, sockets 10.
    ASSERT_EQ(table.size(), 72u);
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_NE(std::strlen(table[i].message), 0u);
        EXPECT_EQ(std::string(table[i].resourceName).rfind("sec", 0), 0u);
        if (i > 0) {
            EXPECT_LT(MapCodeToStringID(table[i - 1].code), MapCodeToStringID(table[i].code));
        }
        // Every entry is found by the halving search, whichever sign the code is given with.
        EXPECT_EQ(MessageNumberToString(table[i].code), table[i].message);
        EXPECT_EQ(MessageNumberToString(-table[i].code), table[i].message);
    }
}

TEST(ErrorMessages, LooksUpBothSignsAndFallsBackToPlatformText) {
    EXPECT_EQ(QuavLoadStr(2007), "ie_NOpen - device not open");
    EXPECT_EQ(QuavLoadStr(-2007), "ie_NOpen - device not open");
    EXPECT_EQ(ErrorMsg(-3007), "Buffer is empty");
    EXPECT_EQ(QuavLoadStr(0), "OK");
    EXPECT_EQ(QuavLoadStr(-2011), "The ComNumber property of the TQuavComPort has not been set");
    // 87 is not in the table: the operating system's own text for error 87.
    EXPECT_EQ(MessageNumberToString(87), "");
    EXPECT_EQ(QuavLoadStr(-87), strerrordesc_np(87));
    // A number neither knows gives the empty string.
    EXPECT_EQ(QuavLoadStr(-29999), "");
    // The 16-bit view of a wider code: 65536 + 3007 is looked up as 3007.
    EXPECT_EQ(MessageNumberToString(65536 + 3007), "Buffer is empty");
}

TEST(ErrorMessages, PlatformTextHasNoControlCharactersOrDoubleSpaces) {
    for (int n = 1; n < 134; ++n) {
        const std::string text = QuavLoadStr(-n);
        EXPECT_LE(text.size(), 255u);
        for (std::size_t i = 0; i < text.size(); ++i) {
            EXPECT_GE(static_cast<unsigned char>(text[i]), 32u) << n;
            if (i > 0) {
                EXPECT_FALSE(text[i] == ' ' && text[i - 1] == ' ') << n;
            }
        }
    }
}

TEST(ErrorMessages, QuavLoadZCutsToTheBuffer) {
    char small[10];
    QuavLoadZ(small, sizeof small, -3006);
    EXPECT_STREQ(small, "Output bu");
    char big[64];
    QuavLoadZ(big, sizeof big, -3006);
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
    int32_t errorCode; // EQuavException's code, or the EInOutError's number
};

TEST(CheckException, MapsCodesToClassesMessagesAndCodes) {
    const MappingCase cases[] = {
        {secBufferIsEmpty, is<EBufferIsEmpty>(), is<ESerialIO>(), "Buffer is empty", -3007},
        {secOutputBufferTooSmall, is<EOutputBufferTooSmall>(), is<ESerialIO>(),
         "Output buffer too small for block", -3006},
        {secNotSupported, is<EQuavException>(), is<EQuavException>(), "Quav exception", 0},
        {secBadHandle, is<EQuavException>(), is<EQuavException>(), "Quav exception", 0},
        {secCommNotOpen, is<ECommNotOpen>(), is<EOpenComm>(), "ie_NOpen - device not open", -2007},
        {secAlreadyOpen, is<EAlreadyOpen>(), is<EOpenComm>(), "ie_Open - device already open", -2008},
        {secBadId, is<EBadId>(), is<EOpenComm>(), "ie_BadId - Specified comport doesn't exist", -2001},
        {secNoPortSelected, is<ENoPortSelected>(), is<EOpenComm>(),
         "The ComNumber property of the TQuavComPort has not been set", -2011},
        {secBadArgument, is<EBadArgument>(), is<EGeneral>(), "Bad argument passed to function", -1002},
        {secNullApi, is<ENullApi>(), is<ESerialIO>(), "No device layer specified", -3001},
        {secPutBlockFail, is<EPutBlockFail>(), is<ESerialIO>(), "Failed to put entire block", -3004},
        {secNoMoreTriggers, is<ENoMoreTriggers>(), is<ETrigger>(), "No more trigger slots", -5001},
        {secBadTriggerHandle, is<EBadTriggerHandle>(), is<ETrigger>(), "Bad trigger handle", -5003},
        {secAccessDenied, is<EInOutError>(), is<EInOutError>(), "File access denied", 5},
        {secFileNotFound, is<EInOutError>(), is<EInOutError>(), "File not found", 2},
        {-87, is<EInOutError>(), is<EInOutError>(), strerrordesc_np(87), 87},
        {-3500, is<EQuavException>(), is<EQuavException>(), "Quav exception", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        try {
            CheckException(nullptr, c.code);
            ADD_FAILURE() << "no exception";
        } catch (const std::exception& e) {
            EXPECT_TRUE(c.exactClass(e));
            EXPECT_TRUE(c.group(e));
            EXPECT_EQ(std::string(e.what()), c.message);
            if (const auto* q = dynamic_cast<const EQuavException*>(&e)) {
                EXPECT_EQ(q->ErrorCode(), c.errorCode);
            }
            if (const auto* io = dynamic_cast<const EInOutError*>(&e)) {
                EXPECT_EQ(io->ErrorCode(), c.errorCode);
            }
        }
    }
}

TEST(CheckException, GenericCodesAreNotALeafClass) {
    // -3002 is raised as the base class itself, so no handler for a serial-I/O leaf catches it.
    try {
        CheckException(nullptr, secNotSupported);
    } catch (const ESerialIO&) {
        ADD_FAILURE() << "caught as ESerialIO";
    } catch (const EQuavException& e) {
        EXPECT_EQ(e.ErrorCode(), 0);
    }
}

TEST(CheckException, OutOfMemoryAndPassThrough) {
    EXPECT_THROW(CheckException(nullptr, secOutOfMemory), std::bad_alloc);
    EXPECT_EQ(CheckException(nullptr, 0), 0);
    EXPECT_EQ(CheckException(nullptr, 17), 17);
    EXPECT_EQ(CheckException(nullptr, 1), 1);
}

TEST(XlatException, TranslatesBack) {
    EXPECT_EQ(XlatException(ECommNotOpen(secCommNotOpen)), -2007);
    EXPECT_EQ(XlatException(EBufferIsEmpty(secBufferIsEmpty)), -3007);
    EXPECT_EQ(XlatException(EQuavException("free text")), 0);
    EXPECT_EQ(XlatException(EInOutError("File access denied", 5)), -5);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(std::runtime_error("unrelated")), -9999);
    EXPECT_EQ(XlatException(std::make_exception_ptr(42)), -9999);
    EXPECT_EQ(XlatException(std::make_exception_ptr(EAlreadyOpen(secAlreadyOpen))), -2008);
    // Round trip for every code of the serial path with a class of its own.
    for (int32_t code :
         {secBadArgument, secBadId, secCommNotOpen, secNullApi, secBufferIsEmpty, secTriggerTooLong}) {
        try {
            CheckException(nullptr, code);
        } catch (const std::exception& e) {
            EXPECT_EQ(XlatException(e), code);
        }
    }
}

TEST(EQuavException, Constructors) {
    const EQuavException byCode(-3007);
    EXPECT_EQ(byCode.ErrorCode(), -3007);
    EXPECT_STREQ(byCode.what(), "Buffer is empty");
    const EQuavException byText("Dispatcher already started");
    EXPECT_EQ(byText.ErrorCode(), 0);
    EXPECT_STREQ(byText.what(), "Dispatcher already started");
    const EQuavTermRangeError term(-1002);
    EXPECT_NE(dynamic_cast<const EQuavTerminal*>(&term), nullptr);
}

} // namespace
} // namespace brimwell
