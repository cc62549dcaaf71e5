// COM numbers to device paths.
#include <gtest/gtest.h>

#include <cstdlib>

#include "serial/port_names.h"

namespace brimwell::serial {
namespace {

TEST(PortNames, DefaultTableAndOverrides) {
    for (unsigned n = 1; n <= 50; ++n)
        ::unsetenv(("BRIMWELL_COM" + std::to_string(n)).c_str());
    struct Case {
        uint32_t n;
        const char* path;
    } const defaults[] = {{1, "/dev/ttyS0"}, {2, "/dev/ttyS1"}, {10, "/dev/ttyS9"}, {50, "/dev/ttyS49"},
                          {0, ""},           {51, ""},          {1000, ""}};
    for (const auto& c : defaults)
        EXPECT_EQ(comDevicePath(c.n), c.path) << c.n;

    ::setenv("BRIMWELL_COM2", "/dev/pts/7", 1);
    ::setenv("BRIMWELL_COM3", "", 1); // empty: the default stays
    EXPECT_EQ(comDevicePath(2), "/dev/pts/7");
    EXPECT_EQ(comDevicePath(3), "/dev/ttyS2");
    EXPECT_EQ(comDevicePath(1), "/dev/ttyS0");
    ::unsetenv("BRIMWELL_COM2");
    ::unsetenv("BRIMWELL_COM3");
    EXPECT_EQ(comDevicePath(2), "/dev/ttyS1");
}

TEST(PortNames, NamesAndParsing) {
    EXPECT_EQ(comName(7), "COM7");
    EXPECT_EQ(comDeviceName(12), "\\\\.\\COM12");
    struct Case {
        const char* name;
        std::optional<uint32_t> n;
    } const cases[] = {{"\\\\.\\COM12", 12u},          {"COM3", 3u},           {"com4", 4u},
                       {"COM", std::nullopt},          {"COMx", std::nullopt}, {"/dev/ttyUSB0", std::nullopt},
                       {"COM1234567890", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(comNumberOf(c.name), c.n) << c.name;

    ::setenv("BRIMWELL_COM4", "/tmp/fake", 1);
    EXPECT_EQ(resolveDevicePath("\\\\.\\COM4"), "/tmp/fake");
    EXPECT_EQ(resolveDevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(resolveDevicePath("COM51"), "");
    ::unsetenv("BRIMWELL_COM4");

    // A usb: name is kept as the setting and looked up at every open; no finder, no device.
    ::setenv("BRIMWELL_COM5", "usb:0403:6001:X", 1);
    std::string why;
    EXPECT_EQ(resolveDevicePath("USB:0403:6001", &why), "");
    EXPECT_NE(why.find("USB:0403:6001: USB port names are not looked up"), std::string::npos) << why;
    EXPECT_EQ(comDevicePath(5), "");
    setUsbPortResolver([](std::string_view name, std::string&) {
        return std::string(name.ends_with(":X") ? "/dev/ttyUSB7" : "");
    });
    EXPECT_EQ(comDevicePath(5), "/dev/ttyUSB7");
    EXPECT_EQ(comPortSetting(5), "usb:0403:6001:X");
    EXPECT_EQ(comNumberForDevice("usb:0403:6001:X"), 5u);
    setUsbPortResolver(nullptr);
    ::unsetenv("BRIMWELL_COM5");
}

TEST(PortNames, DevicePathsBorrowAFreeNumber) {
    for (uint32_t n = kFirstComNumber; n <= kLastComNumber; ++n)
        ::unsetenv(("BRIMWELL_COM" + std::to_string(n)).c_str());
    // A default device keeps its own number; a mapped one is found again, not mapped twice.
    EXPECT_EQ(comNumberForDevice("/dev/ttyS4"), 5u);
    EXPECT_EQ(comNumberForDevice("/dev/ttyUSB0"), 50u);
    EXPECT_EQ(comDevicePath(50), "/dev/ttyUSB0");
    EXPECT_EQ(comNumberForDevice("/dev/ttyUSB0"), 50u);
    EXPECT_EQ(comNumberForDevice("/dev/ttyUSB1"), 49u);
    EXPECT_EQ(comNumberForDevice(""), 0u);

    // Every number from COM50 down to COM3 taken: nothing is left, and COM1/COM2 are never lent.
    for (uint32_t n = 3; n <= kLastComNumber; ++n)
        ::setenv(("BRIMWELL_COM" + std::to_string(n)).c_str(), ("/dev/other" + std::to_string(n)).c_str(), 1);
    EXPECT_EQ(comNumberForDevice("/dev/ttyACM0"), 0u);
    EXPECT_EQ(comDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(comDevicePath(2), "/dev/ttyS1");
    for (uint32_t n = kFirstComNumber; n <= kLastComNumber; ++n)
        ::unsetenv(("BRIMWELL_COM" + std::to_string(n)).c_str());
}

} // namespace
} // namespace brimwell::serial
