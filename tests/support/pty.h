// Pseudo-terminal pairs for serial tests: the code under test opens the slave path as its
// device, and the test (or a peer thread) plays the far end of the line on the master side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "serial/time_base.h"

namespace brimwell::test {

// While alive, answer waits on a sped-up clock keep no real-time floor. Only for a test whose far
// ends are all pseudo-terminals it holds and never answers on: no process there needs time to be
// scheduled, so each wait may end as soon as the clock says.
class NoAnswerFloor {
  public:
    NoAnswerFloor() { serial::Clock::setAnswerFloorMs(0); }
    ~NoAnswerFloor() { serial::Clock::setAnswerFloorMs(serial::kAnswerFloorMs); }
    NoAnswerFloor(const NoAnswerFloor&) = delete;
    NoAnswerFloor& operator=(const NoAnswerFloor&) = delete;
};

// Hangs up the tty at `path` as an unplugged USB adapter does (TIOCVHANGUP, which needs root).
bool hangUpTty(const std::string& path);

// The one pseudo-terminal pair of the tests: the code under test opens the slave path (directly or
// as COMn through bindCom), the test plays the far end on the master.
class PtyPair {
  public:
    // held: a raw descriptor of the slave side stays open for the pair's life, so that the master
    // never sees a hang-up between the closes and reopens of the code under test.
    enum class Slave { free, held };

    // Opens a master in raw mode; ok() tells whether it worked (and whether the slave is held).
    explicit PtyPair(Slave slave = Slave::free);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && (!holdWanted_ || slaveHolder_ >= 0); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Writes every byte to the master side (the line towards the code under test).
    bool write(std::string_view bytes) const;
    // Reads from the master side until `n` bytes came or `timeoutMs` passed.
    std::string read(size_t n, int timeoutMs = 3000) const;
    // What arrives within `timeoutMs`: returns once `atLeast` bytes are in, with whatever else had
    // already arrived by then.
    std::string readSome(int timeoutMs, size_t atLeast = 1) const;
    // Reads whatever arrives until the line has been quiet for `quietMs`.
    std::string readUntilQuiet(int quietMs) const;
    void closeMaster();

    // Holds the slave side from now on (see Slave::held). False when it failed.
    bool holdSlave();
    // Points COMn at the slave side (the port names table reads BRIMWELL_COMn).
    void bindCom(unsigned n) const;

  private:
    int master_ = -1;
    int slaveHolder_ = -1;
    bool holdWanted_ = false;
    std::string slavePath_;
};

// A thread on the master side that collects everything the code under test sends and writes
// what the test queues. Reading can be paused so that the line backs up.
class PtyPeer {
  public:
    explicit PtyPeer(PtyPair& pair);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    void send(std::string_view bytes);
    std::string received() const;
    size_t receivedCount() const;
    // Waits until at least n bytes were received; false on time-out.
    bool waitReceived(size_t n, int timeoutMs) const;
    void setReading(bool on);

  private:
    void run();

    PtyPair& pair_;
    int wakeFd_ = -1;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string received_;
    std::string outgoing_;
    bool reading_ = true;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace brimwell::test
