// Positional reading of LoaderDefault.ini: setting lines are counted in file order, comments,
// section headers and empty lines are skipped, and each of the first 29 lines has its own rule.
#include "script/settings_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "script/file_pieces.h"
#include "serial/net_endpoint.h"
#include "serial/port_names.h"

namespace brimwell::script {
namespace {

constexpr int kMaxSettingLines = 29;
constexpr std::size_t kMaxLineChars = 299;
constexpr std::size_t kNumberChars = 25;
constexpr std::size_t kAutoScriptChars = 199;
constexpr std::size_t kLoaderCommandChars = 24;
constexpr std::size_t kKeywordChars = 25;

// The C library's atoi rules (leading white space, a sign, digits), clamped instead of overflowing.
int readNumber(const std::string& text) {
    const char* p = text.c_str();
    errno = 0;
    const long v = std::strtol(p, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::string skipSpaces(const std::string& value) {
    std::size_t i = 0;
    while (i < value.size() && value[i] == ' ')
        ++i;
    return value.substr(i);
}

std::string limited(const std::string& value, std::size_t limit) {
    return value.size() > limit ? value.substr(0, limit) : value;
}

void applyLine(LoaderSettings& s, int number, const std::string& line, bool& mainSet, char& mainPrompt,
               bool& loaderSet, char& loaderPrompt) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return;
    const std::string value = line.substr(eq + 1);

    switch (number) {
    case 1: {
        const std::string trimmed = skipSpaces(value);
        if (!trimmed.empty() &&
            (trimmed[0] == '/' || serial::isNetworkPortName(trimmed) || serial::isUsbPortName(trimmed))) {
            s.defaultComDevice = trimmed.substr(0, trimmed.find_last_not_of(" \t\r") + 1);
            break;
        }
        // "PCI:3" is the PCI link, not COM3.
        if (trimmed.size() >= 3 && std::toupper(static_cast<unsigned char>(trimmed[0])) == 'P' &&
            std::toupper(static_cast<unsigned char>(trimmed[1])) == 'C' &&
            std::toupper(static_cast<unsigned char>(trimmed[2])) == 'I') {
            s.pciPort = trimmed.substr(0, trimmed.find_last_not_of(" \t\r") + 1);
            break;
        }
        const std::size_t at = value.find_first_of("123456789");
        if (at != std::string::npos) s.defaultComPort = readNumber(value.substr(at, kNumberChars));
        break;
    }
    case 2: {
        const int baud = readNumber(limited(value, kNumberChars));
        switch (baud) {
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
        case 230400: // USB adapters run faster than the designed rates
        case 460800:
        case 921600:
            s.baud = baud;
            break;
        default:
            s.messages.emplace_back("Error! Baud Rate set in INI file is invalid!");
            s.messageSettings.resize(s.messages.size() - 1);
            s.messageSettings.push_back(2);
        }
        break;
    }
    case 3: {
        const int bits = readNumber(limited(value, kNumberChars));
        if (bits >= 5 && bits <= 8) s.dataBits = bits;
        break;
    }
    case 4: {
        const int parity = readNumber(limited(value, kNumberChars));
        if (parity >= 0 && parity <= 4) s.parity = parity;
        break;
    }
    case 5: {
        const int stop = readNumber(limited(value, kNumberChars));
        if (stop == 1 || stop == 2) s.stopBits = stop;
        break;
    }
    case 6:
        s.autoScriptPath = limited(skipSpaces(value), kAutoScriptChars);
        break;
    case 7:
        s.scriptFolder = skipSpaces(value);
        break;
    case 8: {
        std::string mode;
        for (char c : limited(value, kNumberChars)) {
            if (c == ' ') continue;
            mode += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        if (mode == "AUTOMATIC") s.automaticMode = true;
        break;
    }
    case 14: {
        const std::string v = skipSpaces(value);
        mainSet = true;
        mainPrompt = v.empty() ? '\0' : v[0];
        break;
    }
    case 15: {
        const std::string v = skipSpaces(value);
        loaderSet = true;
        loaderPrompt = v.empty() ? '\0' : v[0];
        break;
    }
    case 19: {
        const std::string v = limited(skipSpaces(value), kLoaderCommandChars);
        if (!v.empty()) s.loaderModeCommand = v + "\r";
        break;
    }
    case 20: {
        const int v = readNumber(skipSpaces(value));
        if (v == 0 || v == 1) s.terminalVisible = v;
        break;
    }
    case 21:
    case 22: {
        const int v = readNumber(skipSpaces(value));
        if (v >= 0 && v <= 5) (number == 21 ? s.terminalBackground : s.terminalTextColour) = v;
        break;
    }
    case 23:
        s.branding = readNumber(skipSpaces(value));
        break;
    case 24: {
        const std::string v = limited(skipSpaces(value), kKeywordChars);
        if (!v.empty()) s.loadKeyword = v;
        break;
    }
    default:
        break; // lines 9-13, 16-18 and 25-29 carry nothing
    }
}

} // namespace

SettingsReader::SettingsReader() {
    s_.fileFound = true;
}

void SettingsReader::endLine() {
    // The file is read in text mode: a carriage return before the line feed is not content.
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > kMaxLineChars) line_.resize(kMaxLineChars);
    if (!line_.empty() && line_[0] != ';' && line_[0] != '[') {
        ++s_.settingLines;
        applyLine(s_, s_.settingLines, line_, mainSet_, mainPrompt_, loaderSet_, loaderPrompt_);
    }
    line_.clear();
}

bool SettingsReader::add(std::string_view piece) {
    while (!piece.empty() && s_.settingLines < kMaxSettingLines) {
        const std::size_t end = piece.find('\n');
        // A line keeps one character beyond the limit, so that its carriage return is told apart.
        const std::size_t room = kMaxLineChars + 1 - std::min(line_.size(), kMaxLineChars + 1);
        line_.append(piece.substr(0, std::min(end, room)));
        if (end == std::string_view::npos) return true;
        endLine();
        piece.remove_prefix(end + 1);
    }
    return s_.settingLines < kMaxSettingLines;
}

LoaderSettings SettingsReader::finish() {
    if (!line_.empty() && s_.settingLines < kMaxSettingLines) endLine();
    // The prompt characters take effect together once the whole file has been read.
    if (mainSet_) s_.mainPromptChar = mainPrompt_;
    if (loaderSet_) s_.loaderPromptChar = loaderPrompt_;
    return s_;
}

LoaderSettings parseSettings(std::string_view text) {
    SettingsReader reader;
    reader.add(text);
    return reader.finish();
}

LoaderSettings readSettingsFile(const std::string& path) {
    SettingsReader reader;
    PieceReading how;
    how.limit = kSettingsFileLimit;
    int error = 0;
    const ReadEnd end = readInPieces(
        path, how, [&](std::string_view piece) { return reader.add(piece); }, error);
    LoaderSettings s = end == ReadEnd::Failed ? LoaderSettings{} : reader.finish();
    s.problem =
        end == ReadEnd::Failed && error == EISDIR ? "it is a directory" : readEndText(end, how, error);
    return s;
}

} // namespace brimwell::script
