// The dispatcher's constants: open flags, line-setting codes, the line-error bits of its error
// accumulator, the modem-status byte, device events and flow options.
#pragma once

#include <cstdint>

namespace brimwell::serial {

enum class FlowControlState { Off, On, DsrHold, CtsHold, DcdHold, XOutHold, XInHold, XBothHold };
// The dispatcher's flow-state operations answer the state + 1 (the component subtracts 1).
constexpr int32_t flowStateResult(FlowControlState state) {
    return static_cast<int32_t>(state) + 1;
}
enum class ThreadBoost { None, PlusOne, PlusTwo };

// Size of the input ring, fixed whatever receive size the port is opened with.
inline constexpr uint32_t kInputBufferSize = 8192;

// Open flags of initPort.
inline constexpr uint32_t kOpenDtrOn = 0x01;
inline constexpr uint32_t kOpenRtsOn = 0x02;
inline constexpr uint32_t kOpenDtrAutomatic = 0x10; // DTR is a receive handshake line of the driver
inline constexpr uint32_t kOpenRtsAutomatic = 0x20; // RTS is a receive handshake line of the driver

// setLine arguments that keep the current value.
inline constexpr uint32_t kKeepBaud = 0;
inline constexpr uint8_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

// Parity numbers of initPort and setLine (the order of Parity).
inline constexpr uint8_t kParityNone = 0;
inline constexpr uint8_t kParityOdd = 1;
inline constexpr uint8_t kParityEven = 2;
inline constexpr uint8_t kParityMark = 3;
inline constexpr uint8_t kParitySpace = 4;

// Line error bits gathered in the error accumulator.
inline constexpr uint32_t kLineErrorRxOver = 0x01;
inline constexpr uint32_t kLineErrorOverrun = 0x02;
inline constexpr uint32_t kLineErrorParity = 0x04;
inline constexpr uint32_t kLineErrorFrame = 0x08;
inline constexpr uint32_t kLineErrorBreak = 0x10;

// Modem-status byte: change bits 0-3, levels 4-7.
inline constexpr uint8_t kModemDeltaCts = 0x01;
inline constexpr uint8_t kModemDeltaDsr = 0x02;
inline constexpr uint8_t kModemRingEnded = 0x04;
inline constexpr uint8_t kModemDeltaDcd = 0x08;
inline constexpr uint8_t kModemCtsOn = 0x10;
inline constexpr uint8_t kModemDsrOn = 0x20;
inline constexpr uint8_t kModemRingOn = 0x40;
inline constexpr uint8_t kModemDcdOn = 0x80;

// Device events reported to the dispatcher thread.
inline constexpr uint32_t kEventRxChar = 0x0001;
inline constexpr uint32_t kEventCts = 0x0008;
inline constexpr uint32_t kEventDsr = 0x0010;
inline constexpr uint32_t kEventRlsd = 0x0020;
inline constexpr uint32_t kEventBreak = 0x0040;
inline constexpr uint32_t kEventError = 0x0080;
inline constexpr uint32_t kEventRing = 0x0100;
inline constexpr uint32_t kEventRingTe = 0x2000;

// Flow-control options.
inline constexpr uint16_t kHwFlowUseDtr = 1;
inline constexpr uint16_t kHwFlowUseRts = 2;
inline constexpr uint16_t kHwFlowRequireDsr = 4;
inline constexpr uint16_t kHwFlowRequireCts = 8;
inline constexpr uint16_t kSwFlowTransmit = 1;
inline constexpr uint16_t kSwFlowReceive = 2;

// Transmit buffers of the device kinds: a UART driver's queue, and what a pseudo-terminal takes
// before a writer waits (its peer's input, measured at 10 to 14 KiB).
inline constexpr uint32_t kUartQueueSize = 4096;
inline constexpr uint32_t kPtyQueueSize = 16384;

} // namespace brimwell::serial
