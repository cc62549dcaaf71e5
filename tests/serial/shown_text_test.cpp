// Texts for the operator built from what the system says: names escaped byte for byte, ports named
// as the user named them, and the advice that really grants access to a device.
#include "serial/device_access.h"
#include "serial/port_names.h"
#include "serial/shown_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::serial {
namespace {

TEST(ShownText, FileNamesEscapeByteForByte) {
    struct Row {
        std::string bytes, shown;
    } const rows[] = {
        {"/tmp/firmware.bin", "/tmp/firmware.bin"},
        {"/tmp/Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80.bin",
         "/tmp/Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80.bin"},
        {"latin1-\xfc.bin", "latin1-\\xfc.bin"},                 // a lone byte above 0x7f
        {"cut-\xe2\x82", "cut-\\xe2\\x82"},                      // a character cut short
        {"overlong-\xc0\xaf", "overlong-\\xc0\\xaf"},            // "/" written in two bytes
        {"surrogate-\xed\xa0\x80", "surrogate-\\xed\\xa0\\x80"}, // UTF-16 halves are not characters
        {"beyond-\xf4\x90\x80\x80", "beyond-\\xf4\\x90\\x80\\x80"},
        {"line\nbreak\tand\x7f", "line\\x0abreak\\x09and\\x7f"},
        {"c1-\xc2\x85", "c1-\\xc2\\x85"},
        {std::string("nul-\0", 5), "nul-\\x00"},
        {"back\\slash\\xfc", "back\\\\slash\\\\xfc"}, // a name that looks escaped stays told apart
    };
    for (const Row& r : rows)
        EXPECT_EQ(escapeFileName(r.bytes), r.shown) << r.shown;
}

TEST(ShownText, PortsAreNamedAsTheUserNamedThem) {
    ::setenv("BRIMWELL_COM7", "/dev/pts/9", 1);
    EXPECT_EQ(portLabel(7), "COM7 (/dev/pts/9)");
    EXPECT_FALSE(comNamedByPath(7));
    struct Row {
        std::string name, label;
    } const rows[] = {{"/tmp/station/unit2", "/tmp/station/unit2"},
                      {"rfc2217://rack3:2001", "rfc2217://rack3:2001"},
                      {"/dev/pts/9", "/dev/pts/9"}}; // a mapped device, then named by its path
    for (const Row& r : rows) {
        const uint32_t n = comNumberForDevice(r.name);
        ASSERT_NE(n, 0u);
        EXPECT_TRUE(comNamedByPath(n));
        EXPECT_EQ(portLabel(n), r.label);
        EXPECT_EQ(portLabel(n, "/dev/pts/4"), r.label + " (/dev/pts/4)") << "the device found is added";
    }
    ::unsetenv("BRIMWELL_COM7");
}

TEST(ShownText, AccessAdviceNamesWhatGrantsAccess) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner and group needs root";
    testing::TempDir dir;
    const std::string group = ::getgrgid(20)->gr_name, owner = ::getpwuid(0)->pw_name;
    const std::string rule = "give it a group with a udev rule (as root), for example: KERNEL==\"dev\", "
                             "GROUP=\"dialout\", MODE=\"0660\"; then add the user to that group";
    struct Row {
        mode_t mode;
        std::string advice;
    } const rows[] = {
        {0660, "add the user to the group '" + group +
                   "' that owns it (then log in again), or ask an administrator"},
        {0640,
         "only its owner '" + owner + "' may read and write it (mode 0640); run as that user, or " + rule},
        {0600,
         "only its owner '" + owner + "' may read and write it (mode 0600); run as that user, or " + rule},
        {0444, "nobody may read and write it (mode 0444); " + rule},
    };
    const std::string path = dir.write("dev", "");
    ASSERT_EQ(::chown(path.c_str(), 0, 20), 0);
    for (const Row& r : rows) {
        ASSERT_EQ(::chmod(path.c_str(), r.mode), 0);
        EXPECT_EQ(accessAdvice(path), r.advice) << std::oct << r.mode;
    }
    EXPECT_EQ(accessAdvice(dir.file("missing")), "");
}

} // namespace
} // namespace brimwell::serial
