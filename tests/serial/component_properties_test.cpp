// Property defaults and setter rules of the port component: flow thresholds, RS-485 interplay,
// limits, and changes applied to an open device.
#include <termios.h>

#include "component_test_support.h"

namespace brimwell {
namespace {

using testing::PortOnPty;

TEST(ComPortProperties, Defaults) {
    TQuavComPort port;
    EXPECT_EQ(port.Version(), "v4.05");
    port.SetVersion("v9");
    EXPECT_EQ(port.Version(), "v4.05");
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_TRUE(port.PromptForPort());
    EXPECT_EQ(port.Parity(), pNone);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_EQ(port.InSize(), 4096);
    EXPECT_EQ(port.OutSize(), 4096);
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(port.RTS());
    EXPECT_TRUE(port.HWFlowOptions().empty());
    EXPECT_EQ(port.SWFlowOptions(), swfNone);
    EXPECT_EQ(port.XOnChar(), 17);
    EXPECT_EQ(port.XOffChar(), 19);
    EXPECT_EQ(port.BufferFull(), 0);
    EXPECT_EQ(port.BufferResume(), 0);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.TraceSize(), 10000u);
    EXPECT_EQ(port.TraceName(), "QUAV.TRC");
    EXPECT_TRUE(port.TraceHex());
    EXPECT_FALSE(port.TraceAllHex());
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(port.LogSize(), 10000u);
    EXPECT_EQ(port.LogName(), "QUAV.LOG");
    EXPECT_TRUE(port.LogHex());
    EXPECT_TRUE(port.UseMSRShadow());
    port.SetUseMSRShadow(false);
    EXPECT_TRUE(port.UseMSRShadow());
    EXPECT_TRUE(port.UseEventWord());
    EXPECT_EQ(port.CommNotificationLevel(), 10);
    EXPECT_EQ(port.TapiMode(), tmAuto);
    EXPECT_FALSE(port.RS485Mode());
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.AvailTriggerLength(), 1);
    EXPECT_EQ(port.ThreadBoost(), tbNone);
    EXPECT_EQ(ComName(5), "COM5");
}

TEST(ComPortProperties, FlowThresholds) {
    struct Case {
        const char* what;
        std::function<void(TQuavComPort&)> apply;
        uint16_t full, resume;
    };
    const Case cases[] = {
        {"hardware options derive 90% / 10%",
         [](TQuavComPort& p) {
             p.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
         },
         3686, 409},
        {"software options derive 75% / 25%", [](TQuavComPort& p) { p.SetSWFlowOptions(swfBoth); }, 3072,
         1024},
        {"the main window's order",
         [](TQuavComPort& p) {
             p.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
             p.SetBufferFull(2000);
             p.SetBufferResume(409);
         },
         2000, 409},
        {"full above InSize without options", [](TQuavComPort& p) { p.SetBufferFull(5000); }, 4500, 0},
        {"full above InSize with options",
         [](TQuavComPort& p) {
             p.SetHWFlowOptions({hwfUseDTR});
             p.SetBufferFull(5000);
         },
         3686, 409},
        {"resume above full",
         [](TQuavComPort& p) {
             p.SetBufferFull(1000);
             p.SetBufferResume(1500);
         },
         1000, 100},
        {"smaller InSize",
         [](TQuavComPort& p) {
             p.SetInSize(1000);
             p.SetHWFlowOptions({hwfRequireCTS});
         },
         900, 100},
        {"no options, nothing derived", [](TQuavComPort& p) { p.SetHWFlowOptions({}); }, 0, 0},
    };
    for (const auto& c : cases) {
        TQuavComPort port;
        c.apply(port);
        EXPECT_EQ(port.BufferFull(), c.full) << c.what;
        EXPECT_EQ(port.BufferResume(), c.resume) << c.what;
    }
}

TEST(ComPortProperties, Rs485AndRtsCtsExcludeEachOther) {
    TQuavComPort port;
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS, hwfUseDTR});
    port.SetRS485Mode(true);
    EXPECT_TRUE(port.RS485Mode());
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(port.HWFlowOptions(), (THWFlowOptions{hwfUseDTR}));
    port.SetHWFlowOptions({hwfRequireCTS});
    EXPECT_FALSE(port.RS485Mode());
}

TEST(ComPortProperties, LimitsAndIgnoredValues) {
    TQuavComPort port;
    port.SetTraceSize(5000000);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetTraceName(std::string(300, 'n'));
    EXPECT_EQ(port.TraceName().size(), 255u);
    port.SetDeviceLayer(dlWinsock);
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    port.RemoveAllTriggers();
    EXPECT_EQ(port.AvailTriggerLength(), 0);
}

TEST(ComPortProperties, TraceAndLogStates) {
    TQuavComPort port;
    port.StartTracing();
    EXPECT_EQ(port.Tracing(), tlOn);
    port.StopTracing();
    EXPECT_EQ(port.Tracing(), tlPause);
    port.DumpTrace("X.TRC");
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.TraceName(), "X.TRC");
    port.InitLogging(500);
    EXPECT_EQ(port.Logging(), tlOn);
    EXPECT_EQ(port.LogSize(), 500u);
    port.AbortLogging();
    EXPECT_EQ(port.Logging(), tlOff);
}

speed_t currentSpeed(const testing::TestPty& pty) {
    const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return ::cfgetospeed(&t);
}

TEST(ComPortProperties, LineChangesReachTheOpenDevice) {
    PortOnPty p(51 - 1); // COM50, the last number of the table
    p.port.SetOpen(true);
    ASSERT_EQ(p.port.PortState(), psOpen);
    EXPECT_EQ(currentSpeed(p.pty), B38400);
    p.port.SetBaud(38400); // unchanged: nothing to do
    EXPECT_EQ(currentSpeed(p.pty), B38400);
    EXPECT_NO_THROW(p.port.SetBaud(9600));
    EXPECT_EQ(currentSpeed(p.pty), B9600);
    EXPECT_EQ(p.port.Baud(), 9600);
    // Pseudo-terminals carry 8 data bits without parity whatever is asked; stop bits they keep.
    EXPECT_NO_THROW(p.port.SetStopBits(2));
    EXPECT_EQ(p.port.StopBits(), 2);
    const int fd = ::open(p.pty.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
}

termios deviceSettings(const testing::TestPty& pty) {
    const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return t;
}

TEST(ComPortProperties, SoftwareFlowReachesTheOpenDeviceAndIsReappliedAtOpen) {
    PortOnPty p(25);
    p.port.SetOpen(true);
    EXPECT_FALSE(deviceSettings(p.pty).c_iflag & (IXON | IXOFF));
    p.port.SetSWFlowOptions(swfBoth);
    termios t = deviceSettings(p.pty);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    p.port.SetXOnChar('A');
    p.port.SetXOffChar('B');
    t = deviceSettings(p.pty);
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    EXPECT_EQ(t.c_cc[VSTOP], 'B');
    p.port.SetSWFlowOptions(swfTransmit);
    t = deviceSettings(p.pty);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_FALSE(t.c_iflag & IXOFF);
    // Set while closed: applied by the next open.
    p.port.SetOpen(false);
    p.port.SetSWFlowOptions(swfReceive);
    p.port.SetOpen(true);
    t = deviceSettings(p.pty);
    EXPECT_FALSE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    p.port.SetSWFlowOptions(swfNone);
    EXPECT_FALSE(deviceSettings(p.pty).c_iflag & (IXON | IXOFF));
}

TEST(ComPortProperties, RtsBelongsToTheDriverUnderHandshake) {
    PortOnPty p(26);
    p.port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    p.port.SetOpen(true);
    p.port.SetRTS(false);
    EXPECT_TRUE(p.port.RTS());
    p.port.SetRTS(true);
    EXPECT_TRUE(p.port.RTS());
}

TEST(ComPortProperties, ThresholdsRejectedByTheDispatcherRaise) {
    PortOnPty p(27);
    p.port.SetOpen(true);
    p.port.SetBufferFull(100);
    p.port.SetBufferResume(50);
    p.port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_EQ(p.port.BufferFull(), 100);
    EXPECT_EQ(p.port.BufferResume(), 50);
    // A resume level above the full level is cut to a tenth of it before it reaches the device.
    p.port.SetBufferResume(200);
    EXPECT_EQ(p.port.BufferResume(), 10);
}

} // namespace
} // namespace brimwell
