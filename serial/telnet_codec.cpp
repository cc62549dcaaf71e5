// Telnet framing for the RFC 2217 device layer.
#include "serial/telnet_codec.h"

namespace brimwell::serial::telnet {

void appendEscaped(std::string& out, std::string_view data) {
    for (char c : data) {
        out.push_back(c);
        if (static_cast<uint8_t>(c) == kIac) out.push_back(c);
    }
}

std::string comPortCommand(uint8_t command, std::string_view value) {
    std::string s{char(kIac), char(kSb), char(kOptComPort), char(command)};
    appendEscaped(s, value);
    s.push_back(char(kIac));
    s.push_back(char(kSe));
    return s;
}

std::string negotiation(uint8_t verb, uint8_t option) {
    return {char(kIac), char(verb), char(option)};
}

void Decoder::reset() {
    state_ = State::Data;
    payload_.clear();
    oversized_ = false;
}

void Decoder::addPayload(uint8_t b) {
    if (payload_.size() < kMaxSubnegotiation)
        payload_.push_back(char(b));
    else
        oversized_ = true;
}

uint32_t Decoder::decode(const uint8_t* in, uint32_t n, uint8_t* data) {
    uint32_t out = 0;
    for (uint32_t i = 0; i < n && !oversized_; ++i) {
        const uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data[out++] = b;
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == kIac) {
                data[out++] = b;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                state_ = State::SbOption;
            }
            // Any other command (NOP, GA, AYT ...) carries nothing for a serial line.
            break;
        case State::Verb:
            state_ = State::Data;
            if (handlers_.negotiation) handlers_.negotiation(verb_, b);
            break;
        case State::SbOption:
            sbOption_ = b;
            payload_.clear();
            state_ = State::SbData;
            break;
        case State::SbData:
            if (b == kIac)
                state_ = State::SbIac;
            else
                addPayload(b);
            break;
        case State::SbIac:
            if (b == kIac) {
                addPayload(b);
                state_ = State::SbData;
            } else {
                // IAC SE ends it; any other command after IAC inside a sub-negotiation is a peer's
                // mistake, and ending there is what keeps the data after it intact.
                state_ = State::Data;
                if (handlers_.subnegotiation) handlers_.subnegotiation(sbOption_, payload_);
                payload_.clear();
            }
            break;
        }
    }
    return out;
}

} // namespace brimwell::serial::telnet
