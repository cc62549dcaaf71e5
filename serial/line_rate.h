// Line rates of a tty through termios2: any rate the driver can make (BOTHER), not only those with
// a Bnnn constant, and the rate the driver really runs at. Kept apart because the kernel's termios2
// header cannot be included beside <termios.h>.
#pragma once

#include <cstdint>

namespace brimwell::serial {

// Sets both directions of the tty `fd` to `bps`, leaving its other settings as they are: 0, or the
// errno of the refusal.
int setLineRate(int fd, uint32_t bps);

// The rate the driver runs `fd` at (its output rate); 0 when it cannot be read.
uint32_t lineRate(int fd);

} // namespace brimwell::serial
