// One line to the host (the pseudo-terminal or a TCP client): moves bytes between the file
// descriptor and a Unit, pacing both directions at the simulated baud rate.
#pragma once

#include "tools/unit-sim/options.h"
#include "tools/unit-sim/process.h"
#include "tools/unit-sim/unit.h"

#include <string>

namespace brimwell::unitsim {

class Line {
  public:
    // Takes ownership of fd (non-blocking). `source` names the line in report lines.
    Line(int fd, std::string source, const SimOptions& options);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    int fd() const { return fd_; }
    const std::string& source() const { return source_; }
    short pollEvents(Nanos now) const;
    Nanos deadline(Nanos now) const; // INT64_MAX when only the descriptor can wake us
    // Handles poll results and timers. False once the line has ended (peer gone or disconnect fault).
    bool service(short revents, Nanos now);

  private:
    bool readSome(Nanos now);
    // Paced: the next slice of the bytes taken ahead goes onto the line once it is free.
    void deliverAhead(Nanos now);
    bool writeSome(Nanos now);
    void onLoad(const LoadRecord& r, const std::vector<uint8_t>& image);

    int fd_;
    std::string source_;
    const SimOptions& opt_;
    Unit unit_;
    Nanos perByte_ = 0;
    size_t pacedChunk_ = 0;
    Nanos rxFree_ = 0, txFree_ = 0;
    std::string out_;
    std::string ahead_;    // paced: taken from the host, not yet on the line
    Nanos aheadSince_ = 0; // when `ahead_` last became non-empty
};

} // namespace brimwell::unitsim
