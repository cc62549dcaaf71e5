// Reading back the trace and dispatch-log files a port writes, for tests of what a run recorded.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brimwell::test {

// Items "[..]" back to their bytes; other characters stand for themselves, so data holding '['
// reads back only from an all-hex file.
inline std::string decodeRecorded(const std::string& text, bool hex) {
    std::string out;
    for (size_t i = 0, close; i < text.size(); ++i) {
        const bool item = text[i] == '[' && (close = text.find(']', i)) != std::string::npos;
        out += item ? char(std::stoul(text.substr(i + 1, close - i - 1), nullptr, hex ? 16 : 10)) : text[i];
        if (item) i = close;
    }
    return out;
}

// A trace as its runs of one direction ('R', 'T'); a log, below its seven header lines, as
// ("TYPE SUBTYPE", extra data) per run of entries of one kind, continuation lines joined.
using Recorded = std::vector<std::pair<std::string, std::string>>;
inline Recorded readRecorded(const std::string& file, bool hex, bool log) {
    Recorded out;
    for (size_t at = 0, end = 0, line = 0; end != std::string::npos; at = end + 2, ++line) {
        const std::string l = file.substr(at, (end = file.find("\r\n", at)) - at);
        if (log && line >= 7 && l.size() >= 44 && l[0] != ' ') {
            auto word = [&](size_t from) { return l.substr(from, l.find(' ', from) - from); };
            const std::string kind = word(10) + " " + word(20);
            if (out.empty() || out.back().first != kind) out.emplace_back(kind, "");
        }
        if (!log && (l == "Receive: " || l == "Transmit: "))
            out.emplace_back(l.substr(0, 1), "");
        else if (!out.empty() && (!log || l.size() >= 44))
            out.back().second += decodeRecorded(log ? l.substr(44) : l, hex);
    }
    return out;
}

} // namespace brimwell::test
