// Code page 1252 both ways.
#include "terminal/widget/ansi_codec.h"

namespace brimwell::terminal {

namespace {

// 0x80..0x9F; 0 marks the bytes the code page leaves unassigned.
constexpr char16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

QChar ansiToChar(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0 && kHigh[byte - 0x80] != 0) return QChar(kHigh[byte - 0x80]);
    return QChar(byte);
}

QChar ansiGlyphChar(unsigned char byte) {
    if (byte < 0x20 || byte == 0x7F) return QChar();
    if (byte >= 0x80 && byte < 0xA0) return kHigh[byte - 0x80] ? QChar(kHigh[byte - 0x80]) : QChar();
    return QChar(byte);
}

int charToAnsi(QChar ch) {
    const char16_t u = ch.unicode();
    if (u >= 0x100) {
        for (int i = 0; i < 32; ++i)
            if (kHigh[i] == u) return 0x80 + i;
        return -1;
    }
    // U+0080..U+009F stand for a byte only where the code page left that byte unassigned.
    if (u >= 0x80 && u < 0xA0) return kHigh[u - 0x80] == 0 ? int(u) : -1;
    return int(u);
}

QString ansiToString(std::string_view bytes) {
    QString s;
    s.reserve(qsizetype(bytes.size()));
    for (const char b : bytes)
        s += ansiToChar(static_cast<unsigned char>(b));
    return s;
}

std::string stringToAnsi(const QString& text) {
    std::string out;
    out.reserve(size_t(text.size()));
    for (const QChar c : text) {
        const int b = charToAnsi(c);
        if (b >= 0) out += char(b);
    }
    return out;
}

} // namespace brimwell::terminal
