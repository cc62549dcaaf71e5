// The device layer for socket://HOST:PORT, a raw TCP connection to a serial server (ser2net's
// plain tcp accepter), a thin class on the thread engine. The line has no control: line settings
// are kept but reach nothing, CTS, DSR and DCD read as on, and the server's queue is out of reach.
// The RFC 2217 layer builds on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/net_endpoint.h"
#include "serial/setup_stop.h"
#include "serial/thread_engine.h"

namespace brimwell::serial {

class SocketDispatcher : public ThreadEngine {
  public:
    explicit SocketDispatcher(void* owner = nullptr) : ThreadEngine(owner) {}
    ~SocketDispatcher() override;

    // The socket code of a lost connection (result::kSocketConnectionLost and kin); 0 while it holds.
    int32_t lostCode() const { return lostCode_.load(); }
    // The lost code when it says more than that the peer went away.

  protected:
    int openDevice(const std::string& name) override;
    // The connection is up: a protocol layer's own set-up. false (openError_ set) fails the open.
    virtual bool connected(int fd);
    bool setupCom(uint32_t inSize, uint32_t outSize) override;
    int32_t getComState(DeviceConfig& dcb) override;
    int32_t setComState(const DeviceConfig& dcb) override;
    int32_t readCom(uint8_t* buffer, uint32_t n) override;
    uint32_t readComError(ComStatus& status) override;
    uint8_t getComModemStatus() override;
    int32_t escapeComFunction(int function) override;
    void setComBreak(bool on) override;
    int32_t purgeCom(int direction) override;
    ssize_t writeDevice(int fd, const iovec* iov, int count) override;
    int32_t deviceLost() override;

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
    DeviceConfig shadow_;

  private:
    std::atomic<int32_t> lostCode_{0};
};

} // namespace brimwell::serial
