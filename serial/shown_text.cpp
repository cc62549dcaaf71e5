#include "serial/shown_text.h"

namespace brimwell::serial {
namespace {

// Length of the well-formed UTF-8 character at the start of `s` (no overlong forms, no surrogates,
// nothing above U+10FFFF), or 0 when the first byte does not start one.
std::size_t characterLength(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

} // namespace

std::string escapeFileName(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    auto escape = [&](unsigned char b) {
        out += "\\x";
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    };
    while (!bytes.empty()) {
        const std::size_t length = characterLength(bytes);
        const auto b = static_cast<unsigned char>(bytes[0]);
        // U+0080..U+009F are the C1 controls: C2 80 .. C2 9F.
        const bool c1 = length == 2 && b == 0xC2 && static_cast<unsigned char>(bytes[1]) < 0xA0;
        if (length == 0 || b < 0x20 || b == 0x7F || c1) {
            for (std::size_t i = 0; i < (c1 ? 2 : 1); ++i)
                escape(static_cast<unsigned char>(bytes[i]));
            bytes.remove_prefix(c1 ? 2 : 1);
            continue;
        }
        if (b == '\\')
            out += "\\\\";
        else
            out.append(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    return out;
}

} // namespace brimwell::serial
