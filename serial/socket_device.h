// The device layer for socket://HOST:PORT, a raw TCP connection to a serial server (ser2net's
// plain tcp accepter). The line has no control: line settings
// are kept but reach nothing, CTS, DSR and DCD read as on, and the server's queue is out of reach.
// The RFC 2217 layer builds on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/device_layer.h"
#include "serial/net_endpoint.h"
#include "serial/setup_stop.h"

namespace brimwell::serial {

class SocketDevice : public DeviceLayer {
  public:
    SocketDevice() = default;
    ~SocketDevice() override;

    // The socket code of a lost connection (result::kSocketConnectionLost and kin); 0 while it holds.
    int32_t lostCode() const { return lostCode_.load(); }

    int open(const std::string& name, PortError& error) override;
    void close() override;
    int32_t apply(const LineSettings& settings) override;
    bool current(LineSettings& settings) override;
    ModemLines modemLines() override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void setBreak(bool on) override;
    int32_t purge(Direction direction) override;
    LineStatus lineStatus() override;
    uint32_t read(uint8_t* buffer, uint32_t n) override;
    ssize_t write(const iovec* iov, int count) override;
    // The lost code when it says more than that the peer went away.
    int32_t lossCause() override;

  protected:
    // The connection is up: a protocol layer's own set-up. false (error set) fails the open.
    virtual bool connected(int fd, PortError& error);

    // Records the first loss (its code); the engine reports the loss with it when it finds the
    // connection gone.
    void connectionLost(int32_t code);
    // The peer broke the protocol on a connection that still stands: recorded as its loss, and the
    // port ends as lost at once.
    void peerFailed(int32_t code);
    // Bytes waiting in the socket now: what a receive purge may discard, so that a peer sending
    // without pause cannot keep the purge going.
    uint32_t queuedNow();
    // recv() into buffer without blocking: the count, 0 when nothing waits; a closed or broken
    // connection is reported lost and reads 0.
    uint32_t receiveRaw(uint8_t* buffer, uint32_t n);
    // send() of everything, waiting for room at most timeoutMs (or until `deadline`, in slices that
    // also end on a stop); false when the connection refused or the wait ended.
    bool sendAll(int fd, const char* data, std::size_t n, int timeoutMs);
    bool sendAll(int fd, const char* data, std::size_t n, const SetupDeadline& deadline);

    std::mutex stateMutex_; // shadow_ (a leaf lock)
    LineSettings shadow_;

  private:
    std::atomic<int32_t> lostCode_{0};
};

} // namespace brimwell::serial
