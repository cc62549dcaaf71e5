// One flash of one data file through a real line: brimwell against the unit simulator's
// pseudo-terminal, or brimwell-paced through a paced:PATH line in front of it; optionally the line
// is lost during the upload, or the unit refuses the image, or the operator stops twice, and the
// time from that moment to the program's exit is taken.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace brimwell::testing {

enum class LineLoss {
    None,
    SimCloses, // the simulator closes its end (its --disconnect-after)
    Unplug,    // the paced line is pulled (its unplug-at option)
    HangUp,    // TIOCVHANGUP on the pty after the first block, as an unplugged adapter does
    // Not losses, other moments to time the exit from:
    SimFault,   // the simulator reports its fault (a corrupted or dropped data byte)
    SecondStop, // Ctrl+C during the prompt check after the upload, and again 300 ms later
};

struct LineFlash {
    std::optional<std::string> paced; // the paced line's options ("" for none); unset: the plain pty
    long baud = 38400;
    std::vector<std::string> simArgs;
    size_t fileSize = 0;
    LineLoss loss = LineLoss::None;
    double timeScale = 20;
    int postUploadSeconds = 1; // the script's _LP (0: the default wait of 3.6 s)
};

struct LineFlashResult {
    int exitCode = -1;
    std::string output; // stderr, then stdout
    bool imageIdentical = false;
    std::optional<std::chrono::milliseconds> lossToExit; // from the moment of `loss` to the exit
};

LineFlashResult runLineFlash(const LineFlash& spec);

} // namespace brimwell::testing
