// Cell and colour types shared by the terminal buffer, the emulators, the canvas and the widget.
// Plain C++: nothing here knows of Qt, pixels of a real screen or the serial port.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brimwell::terminal {

// A colour as 0x00BBGGRR (red in the low byte).
using Color = std::uint32_t;

inline constexpr Color kBlack = 0x000000;
inline constexpr Color kSilver = 0xC0C0C0;
inline constexpr Color kWhite = 0xFFFFFF;
inline constexpr Color kGray = 0x808080;

// One bit per attribute in a cell's attribute byte.
inline constexpr std::uint8_t kAttrBold = 0x01;
inline constexpr std::uint8_t kAttrUnderline = 0x02;
inline constexpr std::uint8_t kAttrStrikethrough = 0x04;
inline constexpr std::uint8_t kAttrBlink = 0x08;
inline constexpr std::uint8_t kAttrReverse = 0x10;
inline constexpr std::uint8_t kAttrInvisible = 0x20;
inline constexpr std::uint8_t kAttrSelected = 0x40;

// A set of CharAttrs bits, stored as one byte per cell.
using CharAttrs = std::uint8_t;

// Where bytes handed to an emulator came from.
enum class CharSource : int {
    Unknown = 0,
    Keyboard = 1,
    Port = 2,
    WriteChar = 3,
};

// A rectangle of cells (left column, top row, right column, bottom row, all inclusive, rows in
// absolute external numbering) or of pixels (right and bottom exclusive) where said so.
struct TermRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const TermRect&, const TermRect&) = default;
};

// The error raised by the terminal's buffer and grids: a bad dimension or an impossible item size.
// It carries the message only; the serial component's exception hierarchy may wrap it.
class TerminalBufferError : public std::runtime_error {
  public:
    explicit TerminalBufferError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace brimwell::terminal
