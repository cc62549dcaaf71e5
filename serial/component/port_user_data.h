// What a program keeps with an open port and the port itself never acts on: a UART's base
// address, option bits and user data pointers. The component starts each open with a fresh set.
#pragma once

#include <array>
#include <cstdint>

namespace brimwell::serial {

// How many user data pointers a port keeps (index 1..kMaxDataPointers).
inline constexpr uint32_t kMaxDataPointers = 10;

class PortUserData {
  public:
    void setBaseAddress(uint16_t address) { baseAddress_ = address; }
    uint16_t baseAddress() const { return baseAddress_; }
    void optionsOn(uint16_t options) { options_ |= options; }
    void optionsOff(uint16_t options) { options_ &= static_cast<uint16_t>(~options); }
    bool optionsAreOn(uint16_t options) const { return (options_ & options) == options; }
    // Other indexes than 1..kMaxDataPointers are ignored / read null.
    void setDataPointer(void* p, uint32_t index) {
        if (index >= 1 && index <= kMaxDataPointers) pointers_[index - 1] = p;
    }
    void* dataPointer(uint32_t index) const {
        return index >= 1 && index <= kMaxDataPointers ? pointers_[index - 1] : nullptr;
    }

  private:
    uint16_t baseAddress_ = 0;
    uint16_t options_ = 0;
    std::array<void*, kMaxDataPointers> pointers_{};
};

} // namespace brimwell::serial
