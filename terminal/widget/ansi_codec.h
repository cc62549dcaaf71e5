// The terminal's bytes as characters: the Windows ANSI code page 1252 the unit's text was always
// shown in (Latin-1 plus printable characters at 0x80..0x9F), for drawing, the clipboard and keys.
#pragma once

#include <QChar>
#include <QString>

#include <string>
#include <string_view>

namespace brimwell::terminal {

// The character a byte stands for. Control bytes and the five unassigned ones keep their own
// value, as the platform's conversion does, so text goes through the clipboard unchanged.
QChar ansiToChar(unsigned char byte);
// The character to draw for a byte; QChar() where nothing is drawn (control and unassigned bytes).
QChar ansiGlyphChar(unsigned char byte);
// The byte of a character, or -1 when the code page has none.
int charToAnsi(QChar ch);

QString ansiToString(std::string_view bytes);
// Characters without a byte are left out.
std::string stringToAnsi(const QString& text);

} // namespace brimwell::terminal
