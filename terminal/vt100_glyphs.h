// What the VT100's characters look like as Unicode: the code-page glyphs the character-set mapping
// names (the "Terminal" font's code page 437) and the character a VT100 shows for a cell.
#pragma once

#include <cstdint>
#include <string>

namespace brimwell::terminal {

// A glyph of the "Terminal" font (code page 437) as the Unicode character it draws.
char32_t cp437ToUnicode(std::uint8_t glyph);
// The character a VT100 shows for byte `ch` stored with character set `charSet` (0 US ASCII, 1 UK,
// 2 line drawing, 3 ROM1, 4 ROM2); bytes above 0x7E as code page 437.
char32_t vt100CellToUnicode(std::uint8_t charSet, std::uint8_t ch);
void appendUtf8(std::string& out, char32_t c);
// Light box-drawing characters that a painter may draw as lines: bit 0 left, 1 right, 2 up, 3 down
// arm; 0 for any other character.
unsigned boxArms(char32_t c);

} // namespace brimwell::terminal
