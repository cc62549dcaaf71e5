// Message texts of the serial path's result codes, and the lookup that falls back to the
// operating system's own text for numbers the table does not know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brimwell::serial {

struct ErrorMessageEntry {
    int32_t code;
    const char* resourceName; // the code's constant name, e.g. "secBufferIsEmpty"
    const char* message;
};

// The table, sorted by the absolute value of the code.
std::span<const ErrorMessageEntry> errorMessageTable();

// The string identifier under which a code's message is filed: its absolute value.
int32_t mapCodeToStringId(int32_t code);

// The table's message for |code| (code taken as 16-bit), or "" when the table has none.
std::string messageNumberToString(int32_t code);

// messageNumberToString, else the operating system's text for |code| with control characters
// turned into spaces and runs of spaces squeezed to one; "" when neither knows the number.
// Never longer than 255 characters.
std::string errorText(int32_t code);
std::string errorMsg(int32_t code);

// errorText copied into |buffer| (capacity |size|, zero-terminated, cut to fit); returns buffer.
char* errorTextZ(char* buffer, std::size_t size, int32_t code);

} // namespace brimwell::serial
