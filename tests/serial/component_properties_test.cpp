// Property defaults and setter rules of the port component: flow thresholds, RS-485 interplay,
// limits, and changes applied to an open device.
#include <termios.h>

#include "component_test_support.h"

namespace brimwell::serial {
namespace {

using testing::PortOnPty;

TEST(ComPortProperties, Defaults) {
    ComPort port;
    EXPECT_EQ(port.version(), "v4.05");
    port.setVersion("v9");
    EXPECT_EQ(port.version(), "v4.05");
    EXPECT_EQ(port.deviceLayer(), DeviceLayerKind::Native);
    EXPECT_EQ(port.comNumber(), 0);
    EXPECT_EQ(port.baud(), 19200);
    EXPECT_TRUE(port.promptForPort());
    EXPECT_EQ(port.parity(), Parity::None);
    EXPECT_EQ(port.dataBits(), 8);
    EXPECT_EQ(port.stopBits(), 1);
    EXPECT_EQ(port.inSize(), 4096);
    EXPECT_EQ(port.outSize(), 4096);
    EXPECT_TRUE(port.autoOpen());
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(port.dtr());
    EXPECT_TRUE(port.rts());
    EXPECT_TRUE(port.hwFlowOptions().empty());
    EXPECT_EQ(port.swFlowOptions(), SwFlowOptions::None);
    EXPECT_EQ(port.xOnChar(), 17);
    EXPECT_EQ(port.xOffChar(), 19);
    EXPECT_EQ(port.bufferFull(), 0);
    EXPECT_EQ(port.bufferResume(), 0);
    EXPECT_EQ(port.tracing(), TraceLogState::Off);
    EXPECT_EQ(port.traceSize(), 10000u);
    EXPECT_EQ(port.traceName(), "QUAV.TRC");
    EXPECT_TRUE(port.traceHex());
    EXPECT_FALSE(port.traceAllHex());
    EXPECT_EQ(port.logging(), TraceLogState::Off);
    EXPECT_EQ(port.logSize(), 10000u);
    EXPECT_EQ(port.logName(), "QUAV.LOG");
    EXPECT_TRUE(port.logHex());
    EXPECT_TRUE(port.useMsrShadow());
    port.setUseMsrShadow(false);
    EXPECT_TRUE(port.useMsrShadow());
    EXPECT_TRUE(port.useEventWord());
    EXPECT_EQ(port.commNotificationLevel(), 10);
    EXPECT_EQ(port.tapiMode(), TapiMode::Auto);
    EXPECT_FALSE(port.rs485Mode());
    EXPECT_EQ(port.portState(), PortState::Closed);
    EXPECT_EQ(port.availTriggerLength(), 1);
    EXPECT_EQ(port.threadBoost(), ThreadBoost::None);
    EXPECT_EQ(comName(5), "COM5");
}

TEST(ComPortProperties, FlowThresholds) {
    struct Case {
        const char* what;
        std::function<void(ComPort&)> apply;
        uint16_t full, resume;
    };
    const Case cases[] = {
        {"hardware options derive 90% / 10%",
         [](ComPort& p) {
             p.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts});
         },
         3686, 409},
        {"software options derive 75% / 25%", [](ComPort& p) { p.setSwFlowOptions(SwFlowOptions::Both); },
         3072, 1024},
        {"the main window's order",
         [](ComPort& p) {
             p.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts});
             p.setBufferFull(2000);
             p.setBufferResume(409);
         },
         2000, 409},
        {"full above InSize without options", [](ComPort& p) { p.setBufferFull(5000); }, 4500, 0},
        {"full above InSize with options",
         [](ComPort& p) {
             p.setHwFlowOptions({HwFlowOption::UseDtr});
             p.setBufferFull(5000);
         },
         3686, 409},
        {"resume above full",
         [](ComPort& p) {
             p.setBufferFull(1000);
             p.setBufferResume(1500);
         },
         1000, 100},
        {"smaller InSize",
         [](ComPort& p) {
             p.setInSize(1000);
             p.setHwFlowOptions({HwFlowOption::RequireCts});
         },
         900, 100},
        {"no options, nothing derived", [](ComPort& p) { p.setHwFlowOptions({}); }, 0, 0},
    };
    for (const auto& c : cases) {
        ComPort port;
        c.apply(port);
        EXPECT_EQ(port.bufferFull(), c.full) << c.what;
        EXPECT_EQ(port.bufferResume(), c.resume) << c.what;
    }
}

TEST(ComPortProperties, Rs485AndRtsCtsExcludeEachOther) {
    ComPort port;
    port.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts, HwFlowOption::UseDtr});
    port.setRs485Mode(true);
    EXPECT_TRUE(port.rs485Mode());
    EXPECT_FALSE(port.rts());
    EXPECT_EQ(port.hwFlowOptions(), (HwFlowOptions{HwFlowOption::UseDtr}));
    port.setHwFlowOptions({HwFlowOption::RequireCts});
    EXPECT_FALSE(port.rs485Mode());
}

TEST(ComPortProperties, LimitsAndIgnoredValues) {
    ComPort port;
    port.setTraceSize(5000000);
    EXPECT_EQ(port.traceSize(), 4000000u);
    port.setLogSize(20000000);
    EXPECT_EQ(port.logSize(), 16000000u);
    port.setTraceName(std::string(300, 'n'));
    EXPECT_EQ(port.traceName().size(), 255u);
    port.setDeviceLayer(DeviceLayerKind::Socket);
    EXPECT_EQ(port.deviceLayer(), DeviceLayerKind::Native);
    port.removeAllTriggers();
    EXPECT_EQ(port.availTriggerLength(), 0);
}

TEST(ComPortProperties, TraceAndLogStates) {
    ComPort port;
    port.startTracing();
    EXPECT_EQ(port.tracing(), TraceLogState::On);
    port.stopTracing();
    EXPECT_EQ(port.tracing(), TraceLogState::Pause);
    port.dumpTrace("X.TRC");
    EXPECT_EQ(port.tracing(), TraceLogState::Off);
    EXPECT_EQ(port.traceName(), "X.TRC");
    port.initLogging(500);
    EXPECT_EQ(port.logging(), TraceLogState::On);
    EXPECT_EQ(port.logSize(), 500u);
    port.abortLogging();
    EXPECT_EQ(port.logging(), TraceLogState::Off);
}

speed_t currentSpeed(const test::PtyPair& pty) {
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return ::cfgetospeed(&t);
}

TEST(ComPortProperties, LineChangesReachTheOpenDevice) {
    PortOnPty p(51 - 1); // COM50, the last number of the table
    p.port.setOpen(true);
    ASSERT_EQ(p.port.portState(), PortState::Open);
    EXPECT_EQ(currentSpeed(p.pty), B38400);
    p.port.setBaud(38400); // unchanged: nothing to do
    EXPECT_EQ(currentSpeed(p.pty), B38400);
    EXPECT_NO_THROW(p.port.setBaud(9600));
    EXPECT_EQ(currentSpeed(p.pty), B9600);
    EXPECT_EQ(p.port.baud(), 9600);
    // Pseudo-terminals carry 8 data bits without parity whatever is asked; stop bits they keep.
    EXPECT_NO_THROW(p.port.setStopBits(2));
    EXPECT_EQ(p.port.stopBits(), 2);
    const int fd = ::open(p.pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
}

TEST(ComPortProperties, UserDataLastsOneOpenAndCarriesTheEventWordOption) {
    constexpr uint16_t kEventWord = 4;
    PortOnPty p(7);
    p.port.setOpen(true);
    ASSERT_EQ(p.port.portState(), PortState::Open);
    PortUserData& data = p.port.userData();
    EXPECT_TRUE(data.optionsAreOn(kEventWord)) << "the event word is on by default";
    p.port.setUseEventWord(false);
    EXPECT_FALSE(data.optionsAreOn(kEventWord));
    int a = 0, b = 0;
    data.setDataPointer(&a, 1);
    data.setDataPointer(&b, kMaxDataPointers);
    data.setDataPointer(&b, kMaxDataPointers + 1);
    EXPECT_EQ(data.dataPointer(1), &a);
    EXPECT_EQ(data.dataPointer(kMaxDataPointers), &b);
    EXPECT_EQ(data.dataPointer(0), nullptr);
    EXPECT_EQ(data.dataPointer(kMaxDataPointers + 1), nullptr);
    data.optionsOn(8 | 1);
    data.optionsOff(1);
    EXPECT_TRUE(data.optionsAreOn(8));
    EXPECT_FALSE(data.optionsAreOn(8 | 1));
    data.setBaseAddress(0x3F8);
    EXPECT_EQ(data.baseAddress(), 0x3F8);
    p.port.setOpen(false);
    p.port.setOpen(true);
    EXPECT_EQ(p.port.userData().dataPointer(1), nullptr);
    EXPECT_EQ(p.port.userData().baseAddress(), 0);
    EXPECT_FALSE(p.port.userData().optionsAreOn(8));
    EXPECT_FALSE(p.port.userData().optionsAreOn(kEventWord)) << "the event word stays off";
}

termios deviceSettings(const test::PtyPair& pty) {
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return t;
}

TEST(ComPortProperties, SoftwareFlowReachesTheOpenDeviceAndIsReappliedAtOpen) {
    PortOnPty p(25);
    p.port.setOpen(true);
    EXPECT_FALSE(deviceSettings(p.pty).c_iflag & (IXON | IXOFF));
    p.port.setSwFlowOptions(SwFlowOptions::Both);
    termios t = deviceSettings(p.pty);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    p.port.setXOnChar('A');
    p.port.setXOffChar('B');
    t = deviceSettings(p.pty);
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    EXPECT_EQ(t.c_cc[VSTOP], 'B');
    p.port.setSwFlowOptions(SwFlowOptions::Transmit);
    t = deviceSettings(p.pty);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_FALSE(t.c_iflag & IXOFF);
    // Set while closed: applied by the next open.
    p.port.setOpen(false);
    p.port.setSwFlowOptions(SwFlowOptions::Receive);
    p.port.setOpen(true);
    t = deviceSettings(p.pty);
    EXPECT_FALSE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 'A');
    p.port.setSwFlowOptions(SwFlowOptions::None);
    EXPECT_FALSE(deviceSettings(p.pty).c_iflag & (IXON | IXOFF));
}

TEST(ComPortProperties, RtsBelongsToTheDriverUnderHandshake) {
    PortOnPty p(26);
    p.port.setHwFlowOptions({HwFlowOption::UseRts, HwFlowOption::RequireCts});
    p.port.setOpen(true);
    p.port.setRts(false);
    EXPECT_TRUE(p.port.rts());
    p.port.setRts(true);
    EXPECT_TRUE(p.port.rts());
}

TEST(ComPortProperties, ThresholdsRejectedByTheDispatcherRaise) {
    PortOnPty p(27);
    p.port.setOpen(true);
    p.port.setBufferFull(100);
    p.port.setBufferResume(50);
    p.port.setHwFlowOptions({HwFlowOption::UseRts});
    EXPECT_EQ(p.port.bufferFull(), 100);
    EXPECT_EQ(p.port.bufferResume(), 50);
    // A resume level above the full level is cut to a tenth of it before it reaches the device.
    p.port.setBufferResume(200);
    EXPECT_EQ(p.port.bufferResume(), 10);
}

} // namespace
} // namespace brimwell::serial
