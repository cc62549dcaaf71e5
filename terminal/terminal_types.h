// Cell and colour types shared by the terminal buffer, the emulators, the canvas and the widget.
// Plain C++: nothing here knows of Qt, pixels of a real screen or the serial port.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brimwell {

// A colour as 0x00BBGGRR (red in the low byte).
using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clGray = 0x808080;

// One bit per attribute in a cell's attribute byte.
enum TQuavTerminalCharAttr : std::uint8_t {
    tcaBold = 0x01,
    tcaUnderline = 0x02,
    tcaStrikethrough = 0x04,
    tcaBlink = 0x08,
    tcaReverse = 0x10,
    tcaInvisible = 0x20,
    tcaSelected = 0x40,
};

// A set of TQuavTerminalCharAttr bits, stored as one byte per cell.
using TQuavTerminalCharAttrs = std::uint8_t;

// Where bytes handed to an emulator came from.
enum TQuavCharSource : int {
    csUnknown = 0,
    csKeyboard = 1,
    csPort = 2,
    csWriteChar = 3,
};

// A rectangle of cells (left column, top row, right column, bottom row, all inclusive, rows in
// absolute external numbering) or of pixels (right and bottom exclusive) where said so.
struct TQuavTermRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    friend bool operator==(const TQuavTermRect&, const TQuavTermRect&) = default;
};

// The error raised by the terminal's buffer and grids: a bad dimension or an impossible item size.
// It carries the message only; the serial component's exception hierarchy may wrap it.
class ETerminalError : public std::runtime_error {
  public:
    explicit ETerminalError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace brimwell
