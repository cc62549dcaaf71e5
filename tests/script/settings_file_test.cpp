// The settings reader: every row of the settings table, the line numbering rules and the limits.
#include "script/settings_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <filesystem>
#include <fstream>
#include <functional>

namespace brimwell::script {
namespace {

// A file whose setting line `number` is `line`, preceded by filler setting lines without "=".
std::string fileWith(int number, const std::string& line) {
    std::string text;
    for (int i = 1; i < number; ++i)
        text += "filler" + std::to_string(i) + "\n";
    return text + line + "\n";
}

struct SettingCase {
    const char* name;
    int number;
    std::string line;
    std::function<void(const LoaderSettings&)> check;
};

void PrintTo(const SettingCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingRow : public ::testing::TestWithParam<SettingCase> {};

TEST_P(SettingRow, Reads) {
    const SettingCase& c = GetParam();
    const LoaderSettings s = parseSettings(fileWith(c.number, c.line));
    EXPECT_EQ(s.settingLines, c.number);
    c.check(s);
}

const std::string kBadBaud = "Error! Baud Rate set in INI file is invalid!";

INSTANTIATE_TEST_SUITE_P(
    Table, SettingRow,
    ::testing::Values(
        SettingCase{"PortAsCom2", 1, "Port=COM2", [](auto& s) { EXPECT_EQ(s.defaultComPort, 2); }},
        SettingCase{"PortAsNumber", 1, "Port=2", [](auto& s) { EXPECT_EQ(s.defaultComPort, 2); }},
        SettingCase{"PortAsPciLink", 1, "Port= PCI:3 \r",
                    [](auto& s) { EXPECT_EQ(s.pciPort + "|" + std::to_string(s.defaultComPort), "PCI:3|0"); }},
        SettingCase{"PortAnyKey", 1, "port=2", [](auto& s) { EXPECT_EQ(s.defaultComPort, 2); }},
        SettingCase{"PortTwelve", 1, "x=12", [](auto& s) { EXPECT_EQ(s.defaultComPort, 12); }},
        SettingCase{"PortCom10", 1, "x=COM10", [](auto& s) { EXPECT_EQ(s.defaultComPort, 10); }},
        SettingCase{"PortCom0", 1, "x=COM0", [](auto& s) { EXPECT_EQ(s.defaultComPort, 0); }},
        SettingCase{"PortEmpty", 1, "x=", [](auto& s) { EXPECT_EQ(s.defaultComPort, 0); }},
        SettingCase{"PortDevicePath", 1, "x=/dev/ttyUSB1",
                    [](auto& s) {
                        EXPECT_EQ(s.defaultComDevice, "/dev/ttyUSB1");
                        EXPECT_EQ(s.defaultComPort, 0);
                    }},
        SettingCase{"PortDevicePathAfterBlanks", 1, "x=  /dev/pts/3",
                    [](auto& s) { EXPECT_EQ(s.defaultComDevice, "/dev/pts/3"); }},
        SettingCase{"PortNetwork", 1, "x= rfc2217://rack3:2001 \r",
                    [](auto& s) {
                        EXPECT_EQ(s.defaultComDevice + "|" + std::to_string(s.defaultComPort), "rfc2217://rack3:2001|0");
                    }},
        SettingCase{"PortUsb", 1, "x=usb:0403:6001:A1 ",
                    [](auto& s) {
                        EXPECT_EQ(s.defaultComDevice + "|" + std::to_string(s.defaultComPort), "usb:0403:6001:A1|0");
                    }},
        SettingCase{"Baud115200", 2, "b=115200",
                    [](auto& s) {
                        EXPECT_EQ(s.baud, 115200);
                        EXPECT_TRUE(s.messages.empty());
                    }},
        SettingCase{"Baud4800", 2, "b= 4800", [](auto& s) { EXPECT_EQ(s.baud, 4800); }},
        SettingCase{"Baud921600", 2, "b=921600", [](auto& s) { EXPECT_EQ(s.baud, 921600); }},
        SettingCase{"Baud250000", 2, "b=250000",
                    [](auto& s) { EXPECT_EQ(s.messages, std::vector<std::string>{kBadBaud}); }},
        SettingCase{"Baud14400", 2, "b=14400",
                    [](auto& s) {
                        EXPECT_FALSE(s.baud);
                        EXPECT_EQ(s.messages, std::vector<std::string>{kBadBaud});
                    }},
        SettingCase{"BaudText", 2, "b=fast",
                    [](auto& s) { EXPECT_EQ(s.messages, std::vector<std::string>{kBadBaud}); }},
        SettingCase{"BaudWithoutEquals", 2, "baud",
                    [](auto& s) {
                        EXPECT_FALSE(s.baud);
                        EXPECT_TRUE(s.messages.empty());
                    }},
        SettingCase{"DataBits7", 3, "d=7", [](auto& s) { EXPECT_EQ(s.dataBits, 7); }},
        SettingCase{"DataBits5", 3, "d=5", [](auto& s) { EXPECT_EQ(s.dataBits, 5); }},
        SettingCase{"DataBits9", 3, "d=9", [](auto& s) { EXPECT_FALSE(s.dataBits); }},
        SettingCase{"Parity4", 4, "p=4", [](auto& s) { EXPECT_EQ(s.parity, 4); }},
        SettingCase{"Parity0", 4, "p=0", [](auto& s) { EXPECT_EQ(s.parity, 0); }},
        SettingCase{"Parity5", 4, "p=5", [](auto& s) { EXPECT_FALSE(s.parity); }},
        SettingCase{"ParityNegative", 4, "p=-1", [](auto& s) { EXPECT_FALSE(s.parity); }},
        SettingCase{"StopBits2", 5, "s=2", [](auto& s) { EXPECT_EQ(s.stopBits, 2); }},
        SettingCase{"StopBits3", 5, "s=3", [](auto& s) { EXPECT_FALSE(s.stopBits); }},
        SettingCase{"AutoScriptKeepsTrailingBlanks", 6, "a=  run me.sld ",
                    [](auto& s) { EXPECT_EQ(s.autoScriptPath, "run me.sld "); }},
        SettingCase{"AutoScriptAt199", 6, "a=" + std::string(250, 'p'),
                    [](auto& s) { EXPECT_EQ(s.autoScriptPath, std::string(199, 'p')); }},
        SettingCase{"ScriptFolder", 7, "f= scripts", [](auto& s) { EXPECT_EQ(s.scriptFolder, "scripts"); }},
        SettingCase{"ScriptFolderEmpty", 7, "f=", [](auto& s) { EXPECT_EQ(s.scriptFolder, ""); }},
        SettingCase{"AutomaticLowerCase", 8, "m=automatic", [](auto& s) { EXPECT_TRUE(s.automaticMode); }},
        SettingCase{"AutomaticWithBlanks", 8, "m= Auto  Matic ", [](auto& s) { EXPECT_TRUE(s.automaticMode); }},
        SettingCase{"AutomaticWithOtherCharacter", 8, "m=AUTOMATIC!",
                    [](auto& s) { EXPECT_FALSE(s.automaticMode); }},
        SettingCase{"Manual", 8, "m=manual", [](auto& s) { EXPECT_FALSE(s.automaticMode); }},
        SettingCase{"MainPrompt", 14, "p= %",
                    [](auto& s) {
                        EXPECT_EQ(s.mainPromptChar, '%');
                        EXPECT_EQ(s.loaderPromptChar, '>');
                    }},
        SettingCase{"MainPromptEmpty", 14, "p=", [](auto& s) { EXPECT_EQ(s.mainPromptChar, '\0'); }},
        SettingCase{"LoaderPrompt", 15, "p=$ignored", [](auto& s) { EXPECT_EQ(s.loaderPromptChar, '$'); }},
        SettingCase{"LoaderPromptEmpty", 15, "p=  ", [](auto& s) { EXPECT_EQ(s.loaderPromptChar, '\0'); }},
        SettingCase{"LoaderCommand", 19, "c= BOOT", [](auto& s) { EXPECT_EQ(s.loaderModeCommand, "BOOT\r"); }},
        SettingCase{"LoaderCommandEmpty", 19, "c=", [](auto& s) { EXPECT_EQ(s.loaderModeCommand, "LOADR\r"); }},
        SettingCase{"LoaderCommandAt24", 19, "c=" + std::string(30, 'L'),
                    [](auto& s) { EXPECT_EQ(s.loaderModeCommand, std::string(24, 'L') + "\r"); }},
        SettingCase{"TerminalHidden", 20, "v= 0", [](auto& s) { EXPECT_EQ(s.terminalVisible, 0); }},
        SettingCase{"TerminalShown", 20, "v=1", [](auto& s) { EXPECT_EQ(s.terminalVisible, 1); }},
        SettingCase{"TerminalOther", 20, "v=2", [](auto& s) { EXPECT_FALSE(s.terminalVisible); }},
        SettingCase{"BackgroundBlue", 21, "b=4", [](auto& s) { EXPECT_EQ(s.terminalBackground, 4); }},
        SettingCase{"BackgroundOutOfRange", 21, "b=6", [](auto& s) { EXPECT_FALSE(s.terminalBackground); }},
        SettingCase{"TextWhite", 22, "t=5", [](auto& s) { EXPECT_EQ(s.terminalTextColour, 5); }},
        SettingCase{"TextDefault", 22, "t=0", [](auto& s) { EXPECT_EQ(s.terminalTextColour, 0); }},
        SettingCase{"Branding100", 23, "b=100", [](auto& s) { EXPECT_EQ(s.branding, 100); }},
        SettingCase{"BrandingEmpty", 23, "b=", [](auto& s) { EXPECT_EQ(s.branding, 0); }},
        SettingCase{"BrandingWithoutEquals", 23, "brand", [](auto& s) { EXPECT_FALSE(s.branding); }},
        SettingCase{"LoadKeyword", 24, "k= LX", [](auto& s) { EXPECT_EQ(s.loadKeyword, "LX"); }},
        SettingCase{"LoadKeywordEmpty", 24, "k=", [](auto& s) { EXPECT_EQ(s.loadKeyword, "LF"); }},
        SettingCase{"UnusedLine10", 10, "x=99",
                    [](auto& s) {
                        EXPECT_EQ(s.defaultComPort, 0);
                        EXPECT_TRUE(s.messages.empty());
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFile, CommentsSectionsAndEmptyLinesAreNotCounted) {
    const LoaderSettings s =
        parseSettings("; Brimwell settings\n[Port]\n\nCom=COM2\r\n[Line]\r\n;baud\r\nBaud=19200\r\n\r\n");
    EXPECT_EQ(s.settingLines, 2);
    EXPECT_EQ(s.defaultComPort, 2);
    EXPECT_EQ(s.baud, 19200);
}

TEST(SettingsFile, LineWithoutLineFeedAtTheEnd) {
    EXPECT_EQ(parseSettings("a=COM3").defaultComPort, 3);
}

TEST(SettingsFile, OnlyTwentyNineLinesAreRead) {
    std::string text;
    for (int i = 1; i <= 29; ++i)
        text += "x\n";
    text += "late=COM4\n";
    const LoaderSettings s = parseSettings("p=COM1\n" + text);
    EXPECT_EQ(s.settingLines, 29);
    EXPECT_EQ(s.defaultComPort, 1);
}

TEST(SettingsFile, AbsentPromptLinesKeepTheirDefaults) {
    const LoaderSettings s = parseSettings(fileWith(13, "x=1"));
    EXPECT_EQ(s.mainPromptChar, '#');
    EXPECT_EQ(s.loaderPromptChar, '>');
}

TEST(SettingsFile, OverlongLinesAreCutAt299Characters) {
    const LoaderSettings s = parseSettings(fileWith(24, "k=" + std::string(400, 'K')));
    EXPECT_EQ(s.loadKeyword, std::string(25, 'K'));
    const LoaderSettings t = parseSettings("p=" + std::string(297, ' ') + "12\n");
    EXPECT_EQ(t.defaultComPort, 0); // the digits lie beyond the 299th character
}

TEST(SettingsFile, HugeNumbersDoNotOverflow) {
    const LoaderSettings s = parseSettings("p=99999999999999999999\nb=-99999999999999999999\n");
    EXPECT_GT(s.defaultComPort, 0);
    EXPECT_EQ(s.messages, std::vector<std::string>{kBadBaud});
}

TEST(SettingsFile, MissingFileGivesDefaultsWithoutMessages) {
    const LoaderSettings s = readSettingsFile("/nonexistent/dir/LoaderDefault.ini");
    EXPECT_FALSE(s.fileFound);
    EXPECT_EQ(s.settingLines, 0);
    EXPECT_EQ(s.mainPromptChar, '#');
    EXPECT_EQ(s.loaderModeCommand, "LOADR\r");
    EXPECT_EQ(s.loadKeyword, "LF");
    EXPECT_TRUE(s.messages.empty());
}

TEST(SettingsFile, ReadsAFileFromDisk) {
    const auto path =
        std::filesystem::temp_directory_path() / ("brimwell-settings-" + std::to_string(::getpid()));
    {
        std::ofstream out(path, std::ios::binary);
        out << "[Serial]\r\nCOMPort=COM2\r\nBaud=57600\r\n";
    }
    const LoaderSettings s = readSettingsFile(path.string());
    std::filesystem::remove(path);
    EXPECT_TRUE(s.fileFound);
    EXPECT_EQ(s.defaultComPort, 2);
    EXPECT_EQ(s.baud, 57600);
}

TEST(SettingsFile, ReadLineByLineUpToItsLimit) {
    std::string lines = "[Serial]\r\nCOMPort=COM2\r\n";
    for (int i = 2; i <= 29; ++i)
        lines += "x\n";
    const std::string past(kSettingsFileLimit + 1, ';');
    struct Row {
        const char* name;
        std::string text;
        int settingLines;
        std::string problem;
    } rows[] = {
        // What lies after the 29th setting line is never read, however much it is.
        {"JunkAfterTheLastSettingLine", lines + past, 29, ""},
        {"CommentPastTheLimitFirst", past + "\n" + lines, 0, "it is longer than 1 MiB"},
        {"OneLineWithoutEnd", "p=COM2" + past, 1, "it is longer than 1 MiB"},
    };
    testing::TempDir dir;
    for (const Row& r : rows) {
        const LoaderSettings s = readSettingsFile(dir.write("s.ini", r.text));
        EXPECT_EQ(s.settingLines, r.settingLines) << r.name;
        EXPECT_EQ(s.problem, r.problem) << r.name;
        EXPECT_EQ(s.defaultComPort, r.settingLines > 0 ? 2 : 0) << r.name;
    }
    // Pieces may end anywhere, inside a CR LF too.
    SettingsReader reader;
    for (const char c : lines)
        reader.add(std::string_view(&c, 1));
    const LoaderSettings byBytes = reader.finish();
    EXPECT_EQ(byBytes.settingLines, 29);
    EXPECT_EQ(byBytes.defaultComPort, 2);
}

} // namespace
} // namespace brimwell::script
