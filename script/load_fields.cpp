// Judging the load command's fields from a script.
#include "script/load_fields.h"

#include <cstdio>

namespace brimwell::script {
namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool hexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

FieldProblem loadAddressProblem(std::string_view value) {
    std::size_t end = value.size();
    while (end > 0 && blank(value[end - 1]))
        --end;
    const std::string_view number = value.substr(0, end);
    std::size_t at = number.starts_with("0x") || number.starts_with("0X") ? 2 : 0;
    const std::size_t digits = at;
    while (at < number.size() && hexDigit(number[at]))
        ++at;
    if (at == number.size() && at > digits) return {};
    const std::string quoted = "load address '" + std::string(value) + "'";
    for (std::size_t i = digits; i < number.size(); ++i)
        if (blank(number[i]))
            return {quoted + " is more than one hexadecimal number: the load command would carry the rest "
                             "to the unit as its size and checksum",
                    true};
    return {quoted + " is not hexadecimal", true};
}

FieldProblem versionTextProblem(std::string_view value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char text[96];
            std::snprintf(text, sizeof text, "version text holds a control character (byte 0x%02X)", byte);
            return {text, true};
        }
    }
    if (value.find(' ') != std::string_view::npos)
        return {"version text '" + std::string(value) +
                    "' holds a space; a unit that reads the load command by spaces takes only what comes "
                    "before it",
                false};
    return {};
}

} // namespace brimwell::script
