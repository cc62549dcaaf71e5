// The Telnet framing of an RFC 2217 connection: the codes, the escaping of data bytes 255, and a
// decoder that splits a received stream into data, option negotiation and sub-negotiations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::serial::telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptSuppressGoAhead = 3;
inline constexpr uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the code + 100.
inline constexpr uint8_t kCpoSignature = 0;
inline constexpr uint8_t kCpoSetBaudRate = 1;
inline constexpr uint8_t kCpoSetDataSize = 2;
inline constexpr uint8_t kCpoSetParity = 3;
inline constexpr uint8_t kCpoSetStopSize = 4;
inline constexpr uint8_t kCpoSetControl = 5;
inline constexpr uint8_t kCpoNotifyLineState = 6;
inline constexpr uint8_t kCpoNotifyModemState = 7;
inline constexpr uint8_t kCpoFlowSuspend = 8;
inline constexpr uint8_t kCpoFlowResume = 9;
inline constexpr uint8_t kCpoSetLineStateMask = 10;
inline constexpr uint8_t kCpoSetModemStateMask = 11;
inline constexpr uint8_t kCpoPurgeData = 12;
inline constexpr uint8_t kCpoServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t kControlNoFlow = 1;
inline constexpr uint8_t kControlXonXoff = 2;
inline constexpr uint8_t kControlHardware = 3;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;

// PURGE-DATA value: the server's receive buffer only. Its transmit purge (2) is never sent: the
// bytes in the server's queue were handed over already and are the unit's.
inline constexpr uint8_t kPurgeReceive = 1;

// Line-state bits of NOTIFY-LINESTATE.
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineFraming = 0x08;
inline constexpr uint8_t kLineParity = 0x04;
inline constexpr uint8_t kLineOverrun = 0x02;

// Appends `data` to `out` with every 255 doubled.
void appendEscaped(std::string& out, std::string_view data);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
std::string comPortCommand(uint8_t command, std::string_view value);
// IAC verb option.
std::string negotiation(uint8_t verb, uint8_t option);

// The longest sub-negotiation payload taken (ours are a few bytes; a signature text is the longest).
inline constexpr std::size_t kMaxSubnegotiation = 256;

class Decoder {
  public:
    struct Handlers {
        std::function<void(uint8_t verb, uint8_t option)> negotiation;
        std::function<void(uint8_t option, const std::string& payload)> subnegotiation;
    };
    explicit Decoder(Handlers handlers) : handlers_(std::move(handlers)) {}

    // Decodes n received bytes; the data bytes among them are written to `data` (room for n is
    // enough) and counted in the result. Commands split over two calls are completed by the second.
    uint32_t decode(const uint8_t* in, uint32_t n, uint8_t* data);
    void reset();
    // A sub-negotiation ran past kMaxSubnegotiation since the last reset: the peer does not speak
    // the protocol, and what it sends can no longer be told from data. Decoding stops there: the
    // rest of what is given is dropped.
    bool oversized() const { return oversized_; }

  private:
    enum class State { Data, Iac, Verb, SbOption, SbData, SbIac };
    void addPayload(uint8_t b);
    Handlers handlers_;
    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t sbOption_ = 0;
    std::string payload_;
    bool oversized_ = false;
};

} // namespace brimwell::serial::telnet
