// Opening and closing a port on real devices and pseudo-terminals: open failures and their
// platform error numbers, exclusivity, threads, line settings, modem lines and flow control.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "core_test_util.h"

namespace brimwell::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int32_t openPath(serial::ThreadEngine& d, const std::string& path) {
    return d.initPort(path, 38400, serial::kParityNone, 8, 1, 4096, 4096,
                      serial::kOpenDtrOn | serial::kOpenRtsOn);
}

struct OpenFailureCase {
    const char* path;
    int32_t code;
    serial::PortErrorKind kind;
};

class OpenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(OpenFailureTest, ReportsThePlatformErrorAndStaysClosed) {
    TermiosPort d;
    EXPECT_EQ(openPath(d, GetParam().path), GetParam().code);
    EXPECT_EQ(d.openError().code, GetParam().code);
    EXPECT_EQ(d.openError().kind, GetParam().kind);
    EXPECT_NE(d.openError().sysErrno, 0);
    EXPECT_EQ(d.deviceName(), GetParam().path);
    EXPECT_FALSE(d.isOpen());
    EXPECT_EQ(d.runningThreads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OpenFailureTest,
    ::testing::Values(OpenFailureCase{"/dev/brimwell-no-such-tty", serial::result::kFileNotFound,
                                      serial::PortErrorKind::NotFound},
                      OpenFailureCase{"/brimwell-no-dir/ttyS0", serial::result::kFileNotFound,
                                      serial::PortErrorKind::NotFound},
                      OpenFailureCase{"/etc/hostname/ttyS0", serial::result::kPathNotFound,
                                      serial::PortErrorKind::NotFound},
                      OpenFailureCase{"/etc/hostname", -ENOTTY, serial::PortErrorKind::Unsupported}));

TEST(OpenTest, SecondOpenOfAHeldDeviceIsInUse) {
    PortOnPty first;
    ASSERT_EQ(first.openResult, 0);
    TermiosPort second;
    EXPECT_EQ(openPath(second, first.pty.slavePath()), serial::result::kAccessDenied);
    EXPECT_EQ(second.openError().kind, serial::PortErrorKind::InUse);
    EXPECT_TRUE(second.openError().sysErrno == EWOULDBLOCK || second.openError().sysErrno == EBUSY);
    EXPECT_FALSE(second.isOpen());
    first.port->donePort();
    EXPECT_EQ(openPath(second, first.pty.slavePath()), 0);
    EXPECT_TRUE(second.isOpen());
}

TEST(OpenTest, DeviceWithoutPermissionKeepsItsOwnError) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0600), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        TermiosPort d;
        const int32_t r = openPath(d, pty.slavePath());
        ::_exit(r == -13 && d.openError().kind == serial::PortErrorKind::Permission &&
                        d.openError().sysErrno == EACCES && d.deviceName() == pty.slavePath()
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(OpenTest, ThreadsRunWhileOpenAndStopOnClose) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    EXPECT_TRUE(p.port->isOpen());
    EXPECT_EQ(p.port->runningThreads(), 3);
    EXPECT_EQ(p.port->initPort(p.pty.slavePath(), 38400, 0, 8, 1, 4096, 4096, 0),
              serial::result::kAlreadyOpen);
    p.port->donePort();
    EXPECT_FALSE(p.port->isOpen());
    EXPECT_EQ(p.port->runningThreads(), 0);
    p.port->donePort(); // a second close is harmless
    EXPECT_EQ(p.port->runningThreads(), 0);
}

TEST(OpenTest, ClosingWhilePeerIsGoneEndsTheThreads) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    p.pty.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return p.port->portError() != 0; }));
    // Nothing is written into the void: the lost device fails the put.
    EXPECT_EQ(p.port->putString("into the void"), serial::result::kCommNotOpen);
    std::this_thread::sleep_for(milliseconds(60));
    p.port->donePort();
    EXPECT_EQ(p.port->runningThreads(), 0);
}

TEST(OpenTest, RawModeOnOpen) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    PtyPeer peer(p.pty);
    // CR, LF and control characters pass unchanged in both directions.
    const std::string bytes("a\r\nb\x03\x1a\x7f\x11\x13", 9);
    EXPECT_EQ(p.port->putString(bytes), 0);
    ASSERT_TRUE(peer.waitReceived(bytes.size(), 3000));
    EXPECT_EQ(peer.received(), bytes);
    p.port->changeLengthTrigger(0);
    peer.send(bytes);
    ASSERT_TRUE(waitUntil([&] { return p.port->inBuffUsed() == bytes.size(); }));
    std::string got(bytes.size(), '\0');
    ASSERT_EQ(p.port->getBlock(got.data(), static_cast<uint32_t>(got.size())),
              static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(got, bytes);
}

// ---- Line settings --------------------------------------------------------------------------

struct LineCase {
    uint32_t baud;
    uint8_t parity, dataBits, stopBits;
    speed_t speed;
    tcflag_t cflags; // expected among CSIZE, PARENB, PARODD, CMSPAR, CSTOPB on a real port
    uint8_t reportedStop;
};

class LineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineTest, SetLineReachesTheDevice) {
    const LineCase& c = GetParam();
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    EXPECT_EQ(p.port->setLine(c.baud, c.parity, c.dataBits, c.stopBits), 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), c.speed);
    // A pseudo-terminal keeps only the stop bits of the format (always 8 bits, no parity).
    EXPECT_EQ(tio.c_cflag & CSTOPB, c.cflags & CSTOPB);
    uint32_t baud;
    uint8_t parity, bits, stop;
    p.port->getLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, c.baud);
    EXPECT_EQ(parity, c.parity);
    EXPECT_EQ(bits, c.dataBits);
    EXPECT_EQ(stop, c.reportedStop);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LineTest,
    ::testing::Values(LineCase{9600, serial::kParityNone, 8, 1, B9600, CS8, 1},
                      LineCase{115200, serial::kParityEven, 7, 1, B115200, CS7 | PARENB, 1},
                      LineCase{19200, serial::kParityOdd, 8, 2, B19200, CS8 | PARENB | PARODD | CSTOPB, 2},
                      LineCase{57600, serial::kParityMark, 8, 1, B57600, CS8 | PARENB | PARODD | CMSPAR, 1},
                      LineCase{4800, serial::kParitySpace, 6, 1, B4800, CS6 | PARENB | CMSPAR, 1},
                      // five data bits with two stop bits means one and a half
                      LineCase{1200, serial::kParityNone, 5, 2, B1200, CS5 | CSTOPB, 2},
                      // stop bits 0 count as one, above 2 as two
                      LineCase{2400, serial::kParityNone, 8, 0, B2400, CS8, 1},
                      LineCase{2400, serial::kParityNone, 8, 7, B2400, CS8 | CSTOPB, 2}));

TEST(LineSettingsTest, KeepValuesAndRatesWithoutAConstant) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    ASSERT_EQ(p.port->setLine(19200, serial::kParityEven, 7, 2), 0);
    EXPECT_EQ(p.port->changeBaud(57600), 0);
    uint32_t baud;
    uint8_t parity, bits, stop;
    p.port->getLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 57600u);
    EXPECT_EQ(parity, serial::kParityEven);
    EXPECT_EQ(bits, 7);
    EXPECT_EQ(stop, 2);
    // A rate without a Bnnn constant is set through termios2 and read back from the device.
    EXPECT_EQ(p.port->setLine(250000, serial::kKeepParity, serial::kKeepDataBits, serial::kKeepStopBits), 0);
    EXPECT_EQ(p.port->setLine(serial::kKeepBaud, serial::kKeepParity, 4, serial::kKeepStopBits),
              serial::result::kByteSize);
    p.port->getLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 250000u);
}

TEST(LineSettingsTest, SameSettingsReturnAtOnceEvenWithOutputWaiting) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(*p.port);
    ASSERT_GT(p.port->outBuffUsed(), 0u);
    const auto start = steady_clock::now();
    EXPECT_EQ(p.port->setLine(38400, serial::kParityNone, 8, 1), 0);
    EXPECT_EQ(
        p.port->setLine(serial::kKeepBaud, serial::kKeepParity, serial::kKeepDataBits, serial::kKeepStopBits),
        0);
    // Draining this line would take for ever (the peer does not read).
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
    EXPECT_GT(p.port->outBuffUsed(), 0u); // nothing was drained for it
    peer.setReading(true);
    ASSERT_TRUE(peer.waitReceived(sent.size(), 10000));
}

TEST(LineSettingsTest, ChangeWaitsForTheOutputToDrain) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    PtyPeer peer(p.pty);
    const std::string data = patternBytes(4000);
    ASSERT_EQ(p.port->putBlock(data.data(), 4000), 0);
    EXPECT_EQ(p.port->setLine(9600, serial::kKeepParity, serial::kKeepDataBits, serial::kKeepStopBits), 0);
    EXPECT_EQ(p.port->outBuffUsed(), 0u);
    ASSERT_TRUE(peer.waitReceived(4000, 3000));
    EXPECT_EQ(peer.received(), data);
}

// ---- Modem lines and flow control ----------------------------------------------------------

TEST(ModemTest, LinesOfAPseudoTerminalReadAsTiedHigh) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    EXPECT_FALSE(p.device->modemLinesReported());
    EXPECT_EQ(p.port->getModemStatus(), serial::kModemCtsOn | serial::kModemDsrOn | serial::kModemDcdOn);
    EXPECT_TRUE(p.port->checkCts());
    EXPECT_TRUE(p.port->checkDsr());
    EXPECT_TRUE(p.port->checkDcd());
    EXPECT_FALSE(p.port->checkRi());
    EXPECT_FALSE(p.port->checkDeltaCts());
    EXPECT_EQ(p.port->setDtr(false), 0);
    EXPECT_EQ(p.port->setRts(true), 0);
    EXPECT_EQ(p.port->setModem(true, false), 0);
    EXPECT_EQ(p.port->getLineError(), 0);
    EXPECT_FALSE(p.port->checkLineBreak());
    p.port->sendBreak(1);
}

TEST(ModemTest, AutomaticLinesCannotBeSet) {
    PortOnPty p(4096, serial::kOpenDtrAutomatic | serial::kOpenRtsAutomatic);
    ASSERT_EQ(p.openResult, 0);
    EXPECT_EQ(p.port->setDtr(true), 1);
    EXPECT_EQ(p.port->setRts(false), 1);
}

TEST(FlowTest, HardwareFlowSwitchesRtsCts) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    EXPECT_EQ(p.port->hwFlowState(), serial::flowStateResult(serial::FlowControlState::Off));
    EXPECT_EQ(p.port->hwFlowOptions(100, 200, serial::kHwFlowUseRts), serial::result::kBadArgument);
    EXPECT_EQ(p.port->hwFlowOptions(4097, 10, serial::kHwFlowUseRts), serial::result::kBadArgument);
    ASSERT_EQ(p.port->hwFlowOptions(3686, 409, serial::kHwFlowUseRts | serial::kHwFlowRequireCts), 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    // CTS of a pseudo-terminal reads as on: flow control is on and nothing is held.
    EXPECT_EQ(p.port->hwFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    EXPECT_EQ(p.port->setRts(false), 1); // RTS now belongs to the driver
    // Line settings keep the flow control.
    ASSERT_EQ(p.port->setLine(9600, serial::kKeepParity, serial::kKeepDataBits, serial::kKeepStopBits), 0);
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    ASSERT_EQ(p.port->hwFlowOptions(0, 0, 0), 0);
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(p.port->hwFlowState(), serial::flowStateResult(serial::FlowControlState::Off));
}

TEST(FlowTest, Rs485ModeHandsRtsToTheDriver) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    PtyPeer peer(p.pty);
    p.port->setRs485Mode(true);
    EXPECT_TRUE(p.port->rs485Mode());
    ASSERT_EQ(p.port->hwFlowOptions(3686, 409, 0), 0);
    EXPECT_EQ(p.port->setRts(true), 1);
    termios tio{};
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(p.port->putString("485"), 0);
    ASSERT_TRUE(peer.waitReceived(3, 3000));
    p.port->sendBreak(1);
    EXPECT_EQ(peer.received(), "485");
}

TEST(FlowTest, SoftwareFlowSwitchesXonXoff) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    EXPECT_EQ(p.port->swFlowState(), serial::flowStateResult(serial::FlowControlState::Off));
    EXPECT_EQ(p.port->swFlowEnable(10, 20, serial::kSwFlowReceive), serial::result::kBadArgument);
    ASSERT_EQ(p.port->swFlowEnable(3072, 1024, serial::kSwFlowReceive | serial::kSwFlowTransmit), 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_TRUE(tio.c_iflag & IXOFF);
    EXPECT_EQ(tio.c_cc[VSTART], 17);
    EXPECT_EQ(tio.c_cc[VSTOP], 19);
    EXPECT_EQ(p.port->swFlowState(), serial::flowStateResult(serial::FlowControlState::On));
    ASSERT_EQ(p.port->swFlowChars('A', 'B'), 0);
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_EQ(tio.c_cc[VSTART], 'A');
    EXPECT_EQ(tio.c_cc[VSTOP], 'B');
    ASSERT_EQ(p.port->swFlowDisable(), 0);
    ASSERT_EQ(::tcgetattr(p.pty.master(), &tio), 0);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
    EXPECT_EQ(p.port->swFlowState(), serial::flowStateResult(serial::FlowControlState::Off));
}

int niceOf(int tid) {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

TEST(ThreadBoostTest, RaisesThePortThreads) {
    if (::geteuid() != 0) GTEST_SKIP() << "raising a priority needs the right to";
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    const auto tids = p.port->threadIds();
    for (int tid : tids)
        ASSERT_GT(tid, 0);
    p.port->setThreadBoost(serial::ThreadBoost::PlusTwo);
    for (int tid : tids)
        EXPECT_EQ(niceOf(tid), -2);
    p.port->setRs485Mode(true);
    EXPECT_EQ(niceOf(tids[2]), -3) << "the output thread gets one step more in RS-485 mode";
    p.port->setRs485Mode(false);
    p.port->setThreadBoost(serial::ThreadBoost::None);
    for (int tid : tids)
        EXPECT_EQ(niceOf(tid), 0);
    p.port->donePort();
    for (int tid : p.port->threadIds())
        EXPECT_EQ(tid, 0);
}

TEST(SettingsTest, StoredValues) {
    TermiosPort d;
    d.setThreadBoost(serial::ThreadBoost::PlusTwo);
    EXPECT_EQ(d.threadBoost(), serial::ThreadBoost::PlusTwo);
    d.setDeviceLabel("COM3");
    EXPECT_EQ(d.deviceLabel(), "COM3");
}

} // namespace
} // namespace brimwell::test
