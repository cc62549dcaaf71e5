// The dispatcher's constants in the form of the Windows communications interface the design
// follows: open flags, line-setting codes, the device configuration record and its flag word, line
// error and hold bits, modem-status bits, device events, escape functions and flow options.
#pragma once

#include <cstdint>

namespace brimwell {

enum TFlowControlState { fcOff, fcOn, fcDsrHold, fcCtsHold, fcDcdHold, fcXOutHold, fcXInHold, fcXBothHold };
enum TQuavThreadBoost { tbNone, tbPlusOne, tbPlusTwo };

// Size of the input ring, fixed whatever receive size the port is opened with.
inline constexpr uint32_t kInputBufferSize = 8192;

// Open flags of InitPort.
inline constexpr uint32_t ofDtrOn = 0x01;
inline constexpr uint32_t ofRtsOn = 0x02;
inline constexpr uint32_t ofDtrAutomatic = 0x10; // DTR is a receive handshake line of the driver
inline constexpr uint32_t ofRtsAutomatic = 0x20; // RTS is a receive handshake line of the driver

// SetLine arguments that keep the current value.
inline constexpr uint32_t kKeepBaud = 0;
inline constexpr uint8_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

// Parity values (the order of the component's TParity).
inline constexpr uint8_t kParityNone = 0;
inline constexpr uint8_t kParityOdd = 1;
inline constexpr uint8_t kParityEven = 2;
inline constexpr uint8_t kParityMark = 3;
inline constexpr uint8_t kParitySpace = 4;

// Device stop-bit codes.
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kOne5StopBits = 1;
inline constexpr uint8_t kTwoStopBits = 2;

// Flag word of the device configuration.
inline constexpr uint32_t dcbBinary = 0x0001;
inline constexpr uint32_t dcbParity = 0x0002;
inline constexpr uint32_t dcbOutxCtsFlow = 0x0004;
inline constexpr uint32_t dcbOutxDsrFlow = 0x0008;
inline constexpr uint32_t dcbDtrControlMask = 0x0030;
inline constexpr uint32_t dcbDtrControlDisable = 0x0000;
inline constexpr uint32_t dcbDtrControlEnable = 0x0010;
inline constexpr uint32_t dcbDtrControlHandshake = 0x0020;
inline constexpr uint32_t dcbDsrSensitivity = 0x0040;
inline constexpr uint32_t dcbTXContinueOnXoff = 0x0080;
inline constexpr uint32_t dcbOutX = 0x0100;
inline constexpr uint32_t dcbInX = 0x0200;
inline constexpr uint32_t dcbNull = 0x0800;
inline constexpr uint32_t dcbRtsControlMask = 0x3000;
inline constexpr uint32_t dcbRtsControlDisable = 0x0000;
inline constexpr uint32_t dcbRtsControlEnable = 0x1000;
inline constexpr uint32_t dcbRtsControlHandshake = 0x2000;
inline constexpr uint32_t dcbRtsControlToggle = 0x3000;

// The device configuration as last read or written.
struct TDeviceControlBlock {
    uint32_t BaudRate = 115200;
    uint32_t Flags = dcbBinary | dcbTXContinueOnXoff | dcbDtrControlEnable | dcbRtsControlEnable;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = kParityNone;
    uint8_t StopBits = kOneStopBit;
    uint8_t XonChar = 17;
    uint8_t XoffChar = 19;
};

// Line error bits gathered in the error accumulator.
inline constexpr uint32_t ceRxOver = 0x01;
inline constexpr uint32_t ceOverrun = 0x02;
inline constexpr uint32_t ceRxParity = 0x04;
inline constexpr uint32_t ceFrame = 0x08;
inline constexpr uint32_t ceBreak = 0x10;

// Hold flags of the device status.
inline constexpr uint32_t csCtsHold = 0x01;
inline constexpr uint32_t csDsrHold = 0x02;
inline constexpr uint32_t csRlsdHold = 0x04;
inline constexpr uint32_t csXoffHold = 0x08;
inline constexpr uint32_t csXoffSent = 0x10;

struct TComStat {
    uint32_t HoldFlags = 0;
    uint32_t InQue = 0;  // bytes in the driver's receive queue
    uint32_t OutQue = 0; // bytes of the output ring not yet written
};

// Modem-status byte: change bits 0-3, levels 4-7.
inline constexpr uint8_t msDeltaCts = 0x01;
inline constexpr uint8_t msDeltaDsr = 0x02;
inline constexpr uint8_t msRingEnded = 0x04;
inline constexpr uint8_t msDeltaDcd = 0x08;
inline constexpr uint8_t msCtsOn = 0x10;
inline constexpr uint8_t msDsrOn = 0x20;
inline constexpr uint8_t msRingOn = 0x40;
inline constexpr uint8_t msDcdOn = 0x80;

// Device events reported to the dispatcher thread.
inline constexpr uint32_t evRxChar = 0x0001;
inline constexpr uint32_t evCts = 0x0008;
inline constexpr uint32_t evDsr = 0x0010;
inline constexpr uint32_t evRlsd = 0x0020;
inline constexpr uint32_t evBreak = 0x0040;
inline constexpr uint32_t evErr = 0x0080;
inline constexpr uint32_t evRing = 0x0100;
inline constexpr uint32_t evRingTe = 0x2000;

// Escape functions.
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;

// Flush directions.
inline constexpr int kFlushTransmit = 0;
inline constexpr int kFlushReceive = 1;

// Flow-control options.
inline constexpr uint16_t hfUseDtr = 1;
inline constexpr uint16_t hfUseRts = 2;
inline constexpr uint16_t hfRequireDsr = 4;
inline constexpr uint16_t hfRequireCts = 8;
inline constexpr uint16_t sfTransmitFlow = 1;
inline constexpr uint16_t sfReceiveFlow = 2;

// How many user data pointers a port keeps (SetDataPointer index 1..kMaxDataPointers).
inline constexpr uint32_t kMaxDataPointers = 10;

// Transmit buffers of the device kinds: a UART driver's queue, and what a pseudo-terminal takes
// before a writer waits (its peer's input, measured at 10 to 14 KiB).
inline constexpr uint32_t kUartQueueSize = 4096;
inline constexpr uint32_t kPtyQueueSize = 16384;

} // namespace brimwell
