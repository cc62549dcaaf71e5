// Reader of the positional settings file LoaderDefault.ini. It only reads: the window and the
// command line apply the values (port, line settings, terminal look) and the engine takes the
// prompt characters, loader-mode command and load keyword.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::script {

inline constexpr const char* kSettingsFileName = "LoaderDefault.ini";

struct LoaderSettings {
    bool fileFound = false; // false: the file could not be opened; every value is its default
    int settingLines = 0;   // setting lines read (at most 29)

    // 1: port number (0 = none configured; both COM1 and COM2 are searched).
    int defaultComPort = 0;
    // 1, Linux extension: a value starting with "/", "socket://" or "rfc2217://" names the device
    // itself (defaultComPort then keeps its previous value). Empty when not given.
    std::string defaultComDevice;
    std::string pciPort; // setting 1 names the PCI link ("PCI" or "PCI:N"), never a COM number

    // 2: a valid rate (1200 ... 115200, 230400, 460800, 921600) when given. An invalid rate leaves it empty
    // and puts "Error! Baud Rate set in INI file is invalid!" into `messages`.
    std::optional<int> baud;
    std::optional<int> dataBits; // 3: 5 to 8, else empty
    std::optional<int> parity;   // 4: 0 none, 1 odd, 2 even, 3 mark, 4 space, else empty
    std::optional<int> stopBits; // 5: 1 or 2, else empty

    std::string autoScriptPath;              // 6
    std::optional<std::string> scriptFolder; // 7: initial directory of the open dialog (may be "")
    bool automaticMode = false;              // 8

    char mainPromptChar = '#';                 // 14 ('\0' when the line is present with an empty value)
    char loaderPromptChar = '>';               // 15
    std::string loaderModeCommand = "LOADR\r"; // 19, carriage return included

    std::optional<int> terminalVisible;    // 20: 0 or 1 (the "Visible" action runs when it differs)
    std::optional<int> terminalBackground; // 21: 0 Default, 1 Black, 2 Red, 3 Green, 4 Blue, 5 White
    std::optional<int> terminalTextColour; // 22: same numbering
    std::optional<int> branding;           // 23: the number after "=", when the line has one

    std::string loadKeyword = "LF"; // 24

    // Message-box texts to show, in the order the lines produced them, and the setting each one is
    // about (0: the file as a whole; an entry may be missing, meaning 0).
    std::vector<std::string> messages;
    std::vector<int> messageSettings;
    // Why the file could not be read to its last setting line (it does not open, it is longer
    // than kSettingsFileLimit, a stop came); "" when it was. What was read before stays applied.
    std::string problem;
};

// The most of a settings file that is read: far more than 29 lines of 299 characters.
inline constexpr uint64_t kSettingsFileLimit = 1024 * 1024;

// Takes a settings file line by line as its pieces come, and stops wanting more after the last
// setting line the format has; a line longer than the format's 299 characters costs no memory.
class SettingsReader {
  public:
    SettingsReader();
    // False once every setting line has been read: the rest of the file is never looked at.
    bool add(std::string_view piece);
    // The end of the file (a last line without a line feed counts) or of the reading.
    LoaderSettings finish();

  private:
    void endLine();

    LoaderSettings s_;
    std::string line_;
    bool mainSet_ = false, loaderSet_ = false;
    char mainPrompt_ = '#', loaderPrompt_ = '>';
};

// Reads the settings from `text` (the whole file's contents).
LoaderSettings parseSettings(std::string_view text);
// Reads the settings file at `path` through SettingsReader, up to kSettingsFileLimit; a missing or
// unreadable file gives the defaults (and says why in `problem`).
LoaderSettings readSettingsFile(const std::string& path = kSettingsFileName);

} // namespace brimwell::script
