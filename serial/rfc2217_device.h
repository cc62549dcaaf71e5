// The device layer for rfc2217://HOST:PORT: a Telnet connection with the COM-PORT-OPTION of
// RFC 2217 (what ser2net's telnet(rfc2217) accepter serves), on the raw TCP layer. Line settings,
// DTR/RTS, break and receive purges become COM-PORT commands; the server's modem and line state
// notifications become the port's modem lines and line errors; data bytes 255 are escaped both ways.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/socket_device.h"
#include "serial/telnet_codec.h"

namespace brimwell::serial {

// How long opening waits for the server to accept the COM-PORT-OPTION.
inline constexpr int kRfc2217NegotiationTimeoutMs = 3000;
// How long a COM-PORT command waits for room in the socket before it is given up.
inline constexpr int kRfc2217CommandTimeoutMs = 2000;
// Data bytes kept from the negotiation until the port reads them; more is an overrun.
inline constexpr std::size_t kRfc2217EarlyDataLimit = 64 * 1024;
// Option negotiations answered per connection: a real server needs a handful, and a peer that
// keeps asking gets no more answers after these.
inline constexpr int kRfc2217NegotiationReplies = 64;

class Rfc2217Device : public SocketDevice {
  public:
    Rfc2217Device();
    ~Rfc2217Device() override;

    // The baud rate the server last reported as applied (0 before its first answer).
    uint32_t serverBaud() const { return serverBaud_.load(); }

    int32_t apply(const LineSettings& settings) override;
    uint32_t read(uint8_t* buffer, uint32_t n) override;
    LineStatus lineStatus() override;
    ModemLines modemLines() override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void setBreak(bool on) override;
    int32_t purge(Direction direction) override;
    ssize_t write(const iovec* iov, int count) override;

  protected:
    bool connected(int fd, PortError& error) override;

  private:
    void onNegotiation(uint8_t verb, uint8_t option);
    void onSubnegotiation(uint8_t option, const std::string& payload);
    // Keeps data of the negotiation for the port, up to its limit (readMutex_ held).
    void keepEarly(const uint8_t* data, uint32_t n);
    // After a decode: a peer that broke the framing ends the port (readMutex_ held).
    bool peerBrokeFraming();
    // Sends Telnet commands between data writes (never inside an escaped pair).
    bool sendCommand(const std::string& bytes);
    bool sendComPort(uint8_t command, std::string_view value);
    bool sendControl(uint8_t value) {
        return sendComPort(telnet::kCpoSetControl, std::string(1, char(value)));
    }

    ssize_t sendRaw(int fd, const void* data, std::size_t n);

    std::mutex readMutex_; // decoder_ and raw_: receiving and receive purges
    telnet::Decoder decoder_;
    std::vector<uint8_t> raw_;
    int openingFd_ = -1;                     // the descriptor while Connected() runs (before the
    const SetupDeadline* opening_ = nullptr; // engine holds it), and the opening's time limit
    std::string early_;                      // data bytes that arrived during the negotiation,
    std::size_t earlyAt_ = 0;                // read up to here

    // Which options we have asked for or agreed to, so that no answer is sent twice.
    std::mutex negotiationMutex_; // a leaf lock
    bool weWill_[256] = {};
    bool weDo_[256] = {};
    // Options refused once: a peer asking again gets no second answer.
    bool wontSent_[256] = {};
    bool dontSent_[256] = {};
    int replies_ = 0;
    std::atomic<int> comPortState_{0}; // 0 unanswered, 1 accepted, -1 refused

    // The write side: a data byte 255 goes out as IAC IAC; a send that ends between the two leaves
    // the second owed to the next write, before anything else.
    std::mutex writeMutex_;
    bool iacOwed_ = false;  // the first IAC of the ring's head byte has been sent
    bool headSent_ = false; // the ring's head byte 255 went out whole before its write came
    std::vector<uint8_t> src_;
    std::string wire_;
    LineSettings sent_; // the line settings the server was last told
    bool sentValid_ = false;

    std::atomic<uint8_t> modemState_{0};
    std::atomic<bool> modemReported_{false};
    std::atomic<uint32_t> lineErrors_{0}; // LineErrors' bits
    std::atomic<uint32_t> serverBaud_{0};
    std::atomic<bool> breakOn_{false};
};

} // namespace brimwell::serial
