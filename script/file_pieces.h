// Reading a file that a run needs (its script, settings or data files) in pieces: never past a
// size limit, never stuck for good on a FIFO or device that stops giving bytes, and ended by a
// stop between pieces, so that a file that never ends cannot hold a run (or its stop) up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brimwell::script {

// A file that gives no byte for this long counts as stalled.
inline constexpr int kFileStallMs = 10000;

enum class ReadEnd {
    Whole,   // read to its end
    Enough,  // the reader of the pieces had what it needed
    TooLong, // past the limit
    Stopped, // a stop between pieces
    Stalled, // no byte for kFileStallMs
    Failed,  // the open or a read failed
};

struct PieceReading {
    uint64_t limit = UINT64_MAX; // bytes; the piece that reaches it is cut there
    bool whole = false;          // every byte is wanted: a regular file past the limit fails at once
    // Asked between pieces; true ends the reading. Empty: the set-up stop flag.
    std::function<bool()> stopped;
};

// Hands each piece read from `path` to `piece`, which returns false once it has enough. `error`
// gets the errno of Failed.
ReadEnd readInPieces(const std::string& path, const PieceReading& how,
                     const std::function<bool(std::string_view)>& piece, int& error);

// "" for a regular file (links followed); else what it is instead ("it is a directory", "it is a
// device, not a file", ...) or why it cannot be looked at, in words that follow "cannot read FILE: ".
std::string notRegularFile(const std::string& path);

// Why the reading ended short, in words that follow "cannot read FILE: " ("" for Whole and Enough).
std::string readEndText(ReadEnd end, const PieceReading& how, int error);

} // namespace brimwell::script
