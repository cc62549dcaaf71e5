// The simulated unit's protocol: command lines with echo and prompts, loader mode, queries, and the
// raw data phase of a load. Transport-free: bytes go in with their arrival times, bytes come out when
// their time has come, so the same logic serves a pseudo-terminal, a TCP client and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brimwell::unitsim {

using Nanos = int64_t; // CLOCK_MONOTONIC nanoseconds

struct UnitOptions {
    char mainPrompt = '#';
    char loaderPrompt = '>';
    std::string loaderCommand = "LOADR";
    std::map<std::string, std::string> answers{{"ver", "V1.08 BOOT"}};
    bool startInLoader = false;
    bool echo = true;                  // echoes what it is typed (a CR as CR LF)
    bool stayNormal = false;           // ignores the loader-mode command
    Nanos promptDelay = 0;             // every prompt comes this late
    bool noPrompt = false;             // never sends a prompt
    int skipPrompts = 0;               // the first N prompts are not sent
    int64_t corruptAt = -1;            // data byte number (0-based, over all loads) received inverted
    int64_t dropAt = -1;               // data byte number lost on the way in
    int64_t hangAfter = -1;            // after this many data bytes the unit stops reading and answering
    int64_t disconnectAfter = -1;      // after this many data bytes the unit drops the line
    bool dead = false;                 // switched off or on another line: hears and says nothing
    std::string afterLoad{};           // when set: all the unit sends once a load's data is in (its
                                       // report, then for each line its echo, answer and prompt)
    Nanos dataTimeout = 2'000'000'000; // a load with no byte for this long is abandoned
    uint64_t maxSize = 64u << 20;
    size_t maxLine = 256;
};

// What one completed (or failed) load looked like.
struct LoadRecord {
    std::string keyword, address, version;
    uint64_t size = 0;
    uint32_t announcedChecksum = 0;
    uint32_t receivedChecksum = 0;
    uint64_t received = 0;
    Nanos firstByte = 0, lastByte = 0;
    bool ok = false;
    std::string error; // empty when ok
};

class Unit {
  public:
    using LoadDone = std::function<void(const LoadRecord&, const std::vector<uint8_t>& image)>;
    using Note = std::function<void(const std::string&)>;

    Unit(UnitOptions options, LoadDone onLoad, Note onNote = {});

    // Bytes that reached the unit; byte k finished arriving at first + k * perByte.
    void receive(const uint8_t* data, size_t n, Nanos first, Nanos perByte);
    // Runs time-driven work (abandoning a stalled load).
    void tick(Nanos now);
    // Appends to `out` every byte whose time has come; returns how many.
    size_t takeOutput(Nanos now, std::string& out, size_t limit = SIZE_MAX);
    // Earliest time at which takeOutput or tick has something to do; INT64_MAX when nothing waits.
    Nanos nextDeadline() const;
    bool outputPending() const { return !pending_.empty(); }

    bool inLoaderMode() const { return loader_; }
    bool inDataPhase() const { return loading_; }
    bool hung() const { return hung_; }
    bool disconnected() const { return disconnected_; }
    uint64_t dataBytesSeen() const { return dataSeen_; }
    // The data of the load in progress, or of the last good one.
    const std::vector<uint8_t>& image() const { return image_; }

  private:
    void commandByte(uint8_t b, Nanos t);
    void runLine(const std::string& line, Nanos t);
    void dataByte(uint8_t b, Nanos t);
    void finishLoad(Nanos t);
    void failLoad(const std::string& why, Nanos t);
    // Queues what the unit says (nothing once it answers every line with afterLoad).
    void send(const std::string& text, Nanos t);
    void queue(const std::string& text, Nanos t);
    bool answersAfterLoad() const { return loaded_ && !opt_.afterLoad.empty(); }
    void prompt(Nanos t);
    void note(const std::string& text) {
        if (onNote_) onNote_(text);
    }
    bool startLoad(const std::string& line, Nanos t);

    UnitOptions opt_;
    LoadDone onLoad_;
    Note onNote_;

    struct Chunk {
        Nanos due;
        std::string bytes;
    };
    std::deque<Chunk> pending_;

    bool loader_ = false;
    bool hung_ = false;
    bool disconnected_ = false;
    int promptsSkipped_ = 0;
    std::string line_;
    bool lineOverflow_ = false;

    bool loading_ = false;
    LoadRecord load_;
    std::vector<uint8_t> image_;
    Nanos lastData_ = 0;
    uint64_t dataSeen_ = 0; // data bytes over all loads, for the fault counters
    bool loaded_ = false;   // a load's data came in (for afterLoad)
};

// Parses "KEYWORD ADDRESS SIZE CHECKSUM VERSION"; the version is the rest of the line and may hold
// spaces. False when the line is not a load command.
bool parseLoadCommand(const std::string& line, LoadRecord& out);

} // namespace brimwell::unitsim
