// termios2 (TCGETS2 / TCSETS2) for line rates.
#include "serial/line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace brimwell::serial {

int setLineRate(int fd, uint32_t bps) {
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = bps;
    tio.c_ispeed = bps;
    return ::ioctl(fd, TCSETS2, &tio) == 0 ? 0 : errno;
}

uint32_t lineRate(int fd) {
    termios2 tio{};
    return ::ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

} // namespace brimwell::serial
