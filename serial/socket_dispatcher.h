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

namespace brimwell {

class TQuavSocketDispatcher : public TQuavThreadEngine {
  public:
    explicit TQuavSocketDispatcher(void* owner = nullptr) : TQuavThreadEngine(owner) {}
    ~TQuavSocketDispatcher() override;

    // The socket code of a lost connection (secSocketConnectionLost and kin); 0 while it holds.
    int32_t LostCode() const { return lostCode_.load(); }
    // The lost code when it says more than that the peer went away.
    int32_t LossCause() const override;

  protected:
    int OpenDevice(const std::string& name) override;
    // The connection is up: a protocol layer's own set-up. false (lastOpenErrno_ set) fails the open.
    virtual bool Connected(int fd);
    bool SetupCom(uint32_t inSize, uint32_t outSize) override;
    int32_t GetComState(TDeviceControlBlock& dcb) override;
    int32_t SetComState(const TDeviceControlBlock& dcb) override;
    int32_t ReadCom(uint8_t* buffer, uint32_t n) override;
    uint32_t ReadComError(TComStat& status) override;
    uint8_t GetComModemStatus() override;
    int32_t EscapeComFunction(int function) override;
    void SetComBreak(bool on) override;
    int32_t PurgeCom(int direction) override;
    ssize_t WriteDevice(int fd, const iovec* iov, int count) override;
    void DeviceLost() override;

    // Records the first loss (its code) and reports it through the engine.
    void ConnectionLost(int32_t code);
    // The peer broke the protocol on a connection that still stands: recorded as its loss, and the
    // port ends as lost at once.
    void PeerFailed(int32_t code);
    // Bytes waiting in the socket now: what a receive purge may discard, so that a peer sending
    // without pause cannot keep the purge going.
    uint32_t QueuedNow();
    // recv() into buffer without blocking: the count, 0 when nothing waits; a closed or broken
    // connection is reported lost and reads 0.
    uint32_t ReceiveRaw(uint8_t* buffer, uint32_t n);
    // send() of everything, waiting for room at most timeoutMs (or until `deadline`, in slices that
    // also end on a stop); false when the connection refused or the wait ended.
    bool SendAll(int fd, const char* data, std::size_t n, int timeoutMs);
    bool SendAll(int fd, const char* data, std::size_t n, const SetupDeadline& deadline);

    std::mutex stateMutex_; // shadow_ (a leaf lock)
    TDeviceControlBlock shadow_;

  private:
    std::atomic<int32_t> lostCode_{0};
};

} // namespace brimwell
