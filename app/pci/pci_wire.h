// The requests of the board's driver as the tool sends them, and their byte layout on the socket
// that stands for a driver device on Linux (docs/pci-bridge.md). The board simulator and any bridge
// to real hardware speak the same layout, so it lives in one header without dependencies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace brimwell::pci {

inline constexpr int kDeviceCount = 16; // driver devices WRTdev0 .. WRTdev15

// Control codes of a request.
inline constexpr uint32_t kGetConfiguration = 0x80002010; // no input, the 176-byte record out
inline constexpr uint32_t kProcessList = 0x80002000;      // request items in, the same items out

// Command codes of a request item.
inline constexpr uint32_t kCmdConfigWord = 0x1001C; // 16-bit configuration-space word at the address
inline constexpr uint32_t kCmdWriteDword = 12;
inline constexpr uint32_t kCmdReadByte = 19;
inline constexpr uint32_t kCmdWriteByte = 22;

inline constexpr size_t kConfigSize = 176;
inline constexpr size_t kItemSize = 12;
inline constexpr size_t kHeaderSize = 8; // code or status, then the byte count

// Offsets of the fields the tool reads from the configuration record.
inline constexpr size_t kCfgMajor = 4;
inline constexpr size_t kCfgMinor = 6;
inline constexpr size_t kCfgBase = 32;
inline constexpr size_t kCfgData = 80;
inline constexpr size_t kCfgFourth = 84;
inline constexpr size_t kCfgStatus = 88;
inline constexpr size_t kCfgId = 92;

// A request to larger than this many bytes is refused by both ends: no request of the tool comes near it.
inline constexpr uint32_t kMaxPayload = 64 * 1024;

using ConfigRecord = std::array<uint8_t, kConfigSize>;

struct RequestItem {
    uint32_t command = 0;
    uint32_t address = 0;
    uint32_t value = 0;
};

inline uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void encodeItems(const std::vector<RequestItem>& items, uint8_t* out) {
    for (const RequestItem& it : items) {
        putLe32(out, it.command);
        putLe32(out + 4, it.address);
        putLe32(out + 8, it.value);
        out += kItemSize;
    }
}
inline std::vector<RequestItem> decodeItems(const uint8_t* in, size_t bytes) {
    std::vector<RequestItem> items(bytes / kItemSize);
    for (RequestItem& it : items) {
        it = {getLe32(in), getLe32(in + 4), getLe32(in + 8)};
        in += kItemSize;
    }
    return items;
}

} // namespace brimwell::pci
