// The availability test against real pseudo-terminals: missing, free, held by another open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "serial/port_available.h"
#include "serial/port_names.h"
#include "serial/termios_device.h"
#include "support/pty.h"

#include <poll.h>
#include <termios.h>

namespace brimwell::serial {
namespace {

TEST(IsPortAvailable, PortZeroAndNumbersOutsideTheTable) {
    EXPECT_FALSE(isPortAvailable(0));
    EXPECT_FALSE(isPortAvailable(51));
    EXPECT_FALSE(isPortAvailable(4000000000u));
}

TEST(IsPortAvailable, MissingDevice) {
    ::setenv("BRIMWELL_COM7", "/dev/brimwell-no-such-device", 1);
    EXPECT_FALSE(isPortAvailable(7));
    // A path whose directory does not exist either.
    ::setenv("BRIMWELL_COM7", "/nonexistent-dir/ttyX", 1);
    EXPECT_FALSE(isPortAvailable(7));
    // Something that exists but is no serial device.
    ::setenv("BRIMWELL_COM7", "/dev/null", 1);
    EXPECT_FALSE(isPortAvailable(7));
    // A network port is tried by opening it, never by the test; only a malformed name fails here.
    ::setenv("BRIMWELL_COM7", "rfc2217://127.0.0.1:1", 1);
    EXPECT_TRUE(isPortAvailable(7));
    ::setenv("BRIMWELL_COM7", "socket://127.0.0.1", 1);
    EXPECT_FALSE(isPortAvailable(7));
    ::unsetenv("BRIMWELL_COM7");
}

TEST(IsPortAvailable, FreePortIsClosedAgainAfterTheTest) {
    test::PtyPair pty{test::PtyPair::Slave::held};
    ASSERT_TRUE(pty.ok());
    pty.bindCom(8);
    EXPECT_TRUE(isPortAvailable(8));
    // The test left no lock behind: an exclusive advisory lock can be taken at once.
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
    // And asking twice gives the same answer.
    EXPECT_TRUE(isPortAvailable(8));
    ::unsetenv("BRIMWELL_COM8");
}

TEST(IsPortAvailable, PortHeldByAnotherOpenCountsAsAvailable) {
    test::PtyPair pty{test::PtyPair::Slave::held};
    ASSERT_TRUE(pty.ok());
    pty.bindCom(9);
    // Another program holding the port: it has the device open with the advisory lock.
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(isPortAvailable(9));
    ::close(fd);
    EXPECT_TRUE(isPortAvailable(9));
    ::unsetenv("BRIMWELL_COM9");
}

} // namespace
} // namespace brimwell::serial
