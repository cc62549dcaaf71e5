// Reading back the trace and dispatch-log files a port writes, for tests that check what a run
// recorded: the trace's runs of one direction, and the log's entries with their extra data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimwell::test {

// Items "[..]" back to their bytes (hexadecimal or decimal rendering); other characters are bytes
// of their own. Data holding '[' itself cannot be read back, except from an all-hex file.
inline std::string decodeRecordedBytes(const std::string& text, bool hex) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t close = text[i] == '[' ? text.find(']', i) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i];
            continue;
        }
        out += static_cast<char>(std::stoul(text.substr(i + 1, close - i - 1), nullptr, hex ? 16 : 10));
        i = close;
    }
    return out;
}

inline std::vector<std::string> recordedLines(const std::string& file) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = file.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(file.substr(at, end - at));
    lines.push_back(file.substr(at));
    return lines;
}

struct TraceRun {
    char kind; // 'R' or 'T'
    std::string bytes;
};

inline std::vector<TraceRun> readTrace(const std::string& file, bool hex) {
    std::vector<TraceRun> runs;
    for (const std::string& line : recordedLines(file)) {
        if (line == "Receive: " || line == "Transmit: ")
            runs.push_back({line[0], {}});
        else if (!runs.empty())
            runs.back().bytes += decodeRecordedBytes(line, hex);
    }
    return runs;
}

struct LogEntry {
    std::string type, subtype;
    uint32_t data = 0;
    std::string extra;
};

// The entries below the seven header lines; columns as the "%8s  %-8s  %-12s  %08.8x  " prefix
// places them, continuation lines indented by the prefix's width.
inline std::vector<LogEntry> readLog(const std::string& file, bool hex) {
    constexpr size_t kPrefix = 44, kHeaderLines = 7;
    auto trimmed = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    const std::vector<std::string> lines = recordedLines(file);
    std::vector<LogEntry> entries;
    std::vector<std::string> extras;
    for (size_t i = kHeaderLines; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.size() < kPrefix) continue;
        if (l.compare(0, kPrefix, std::string(kPrefix, ' ')) == 0) {
            if (!extras.empty()) extras.back() += l.substr(kPrefix);
            continue;
        }
        entries.push_back({trimmed(l.substr(10, 8)),
                           trimmed(l.substr(20, 12)),
                           static_cast<uint32_t>(std::stoul(l.substr(34, 8), nullptr, 16)),
                           {}});
        extras.push_back(l.substr(kPrefix));
    }
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].extra = decodeRecordedBytes(extras[i], hex);
    return entries;
}

// The extra data of every entry of one type and subtype, joined in order.
inline std::string joinedExtra(const std::vector<LogEntry>& entries, const std::string& type,
                               const std::string& subtype) {
    std::string out;
    for (const LogEntry& e : entries)
        if (e.type == type && e.subtype == subtype) out += e.extra;
    return out;
}

} // namespace brimwell::test
