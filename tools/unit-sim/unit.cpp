// The simulated unit's protocol state machine (see unit.h and README.md).
#include "tools/unit-sim/unit.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace brimwell::unitsim {
namespace {

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool isWordChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Next space-separated field starting at pos; advances pos past the field and one run of spaces.
std::string nextField(const std::string& s, size_t& pos) {
    const size_t start = pos;
    while (pos < s.size() && s[pos] != ' ')
        ++pos;
    std::string field = s.substr(start, pos - start);
    while (pos < s.size() && s[pos] == ' ')
        ++pos;
    return field;
}

template <typename T> bool parseWhole(const std::string& text, T& value, int base) {
    if (text.empty()) return false;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && ptr == text.data() + text.size();
}

std::string hex(uint32_t v) {
    char buf[16];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
    (void)ec;
    return std::string(buf, end);
}

} // namespace

bool parseLoadCommand(const std::string& line, LoadRecord& out) {
    size_t pos = 0;
    LoadRecord r;
    r.keyword = nextField(line, pos);
    r.address = nextField(line, pos);
    const std::string size = nextField(line, pos);
    const std::string sum = nextField(line, pos);
    r.version = line.substr(std::min(pos, line.size()));
    if (r.keyword.empty() || !std::all_of(r.keyword.begin(), r.keyword.end(), isWordChar)) return false;
    if (r.address.empty() || r.version.empty()) return false;
    if (!parseWhole(size, r.size, 10)) return false;
    if (sum.size() > 8 || !parseWhole(sum, r.announcedChecksum, 16)) return false;
    out = std::move(r);
    return true;
}

Unit::Unit(UnitOptions options, LoadDone onLoad, Note onNote)
    : opt_(std::move(options)), onLoad_(std::move(onLoad)), onNote_(std::move(onNote)),
      loader_(opt_.startInLoader && !opt_.stayNormal), hung_(opt_.dead) {}

void Unit::receive(const uint8_t* data, size_t n, Nanos first, Nanos perByte) {
    for (size_t k = 0; k < n && !hung_ && !disconnected_; ++k) {
        const Nanos t = first + static_cast<Nanos>(k) * perByte;
        if (loading_)
            dataByte(data[k], t);
        else
            commandByte(data[k], t);
    }
}

void Unit::commandByte(uint8_t b, Nanos t) {
    if (opt_.echo) send(std::string(1, static_cast<char>(b)), t);
    if (b == '\r') {
        if (opt_.echo) send("\n", t);
        std::string line;
        line.swap(line_);
        if (answersAfterLoad()) {
            note("LINE " + line);
            lineOverflow_ = false;
            queue(opt_.afterLoad, t);
            return;
        }
        const bool overflow = lineOverflow_;
        lineOverflow_ = false;
        if (overflow) {
            send("Line too long\r\n", t);
            prompt(t);
            return;
        }
        runLine(line, t);
    } else if (b == '\n') {
        // A terminal may send CR LF; the CR already ended the line.
    } else if (line_.size() < opt_.maxLine) {
        line_.push_back(static_cast<char>(b));
    } else {
        lineOverflow_ = true;
    }
}

void Unit::runLine(const std::string& raw, Nanos t) {
    note("LINE " + raw);
    const std::string line = trimmed(raw);
    if (const auto it = opt_.answers.find(line); it != opt_.answers.end()) {
        send(it->second + "\r\n", t);
        prompt(t);
        return;
    }
    if (line.empty()) {
        prompt(t);
        return;
    }
    if (line == opt_.loaderCommand) {
        if (opt_.stayNormal) {
            note("loader-mode command ignored (unit stays in normal firmware)");
        } else if (!loader_) {
            loader_ = true;
            send("LOADER MODE\r\n", t);
            note("MODE loader");
        }
        prompt(t);
        return;
    }
    if (loader_ && startLoad(line, t)) return;
    send("Unknown command\r\n", t);
    prompt(t);
}

bool Unit::startLoad(const std::string& line, Nanos t) {
    LoadRecord r;
    if (!parseLoadCommand(line, r)) {
        // Five fields that do not parse still look like a load the host meant; refuse it loudly so
        // the raw bytes that follow are not mistaken for a good load.
        size_t pos = 0, fields = 0;
        while (pos < line.size() && fields < 5) {
            if (nextField(line, pos).empty()) break;
            ++fields;
        }
        if (fields < 5) return false;
        load_ = LoadRecord{};
        load_.keyword = line;
        failLoad("malformed load command", t);
        return true;
    }
    load_ = r;
    note("LOAD keyword=" + r.keyword + " address=" + r.address + " size=" + std::to_string(r.size) +
         " checksum=" + hex(r.announcedChecksum) + " version=" + r.version);
    if (r.size > opt_.maxSize) {
        failLoad("size " + std::to_string(r.size) + " above the unit's limit", t);
        return true;
    }
    image_.clear();
    image_.reserve(r.size);
    loading_ = true;
    lastData_ = t;
    if (opt_.hangAfter >= 0 && dataSeen_ >= static_cast<uint64_t>(opt_.hangAfter)) {
        hung_ = true;
        pending_.clear();
        note("FAULT hang after " + std::to_string(dataSeen_) + " data bytes");
        return true;
    }
    if (r.size == 0) finishLoad(t);
    return true;
}

void Unit::dataByte(uint8_t b, Nanos t) {
    const uint64_t index = dataSeen_++;
    lastData_ = t;
    if (opt_.dropAt >= 0 && index == static_cast<uint64_t>(opt_.dropAt)) {
        note("FAULT dropped data byte " + std::to_string(index));
    } else {
        if (opt_.corruptAt >= 0 && index == static_cast<uint64_t>(opt_.corruptAt)) {
            b = static_cast<uint8_t>(~b);
            note("FAULT corrupted data byte " + std::to_string(index));
        }
        if (image_.empty()) load_.firstByte = t;
        image_.push_back(b);
        load_.receivedChecksum = (load_.receivedChecksum + b) & 0xFFFF;
        load_.received = image_.size();
        load_.lastByte = t;
        if (image_.size() == load_.size) finishLoad(t);
    }
    if (opt_.disconnectAfter >= 0 && dataSeen_ == static_cast<uint64_t>(opt_.disconnectAfter)) {
        disconnected_ = true;
        note("FAULT disconnect after " + std::to_string(dataSeen_) + " data bytes");
    } else if (opt_.hangAfter >= 0 && dataSeen_ == static_cast<uint64_t>(opt_.hangAfter)) {
        hung_ = true;
        pending_.clear();
        note("FAULT hang after " + std::to_string(dataSeen_) + " data bytes");
    }
}

void Unit::finishLoad(Nanos t) {
    loading_ = false;
    loaded_ = true;
    if (answersAfterLoad()) queue(opt_.afterLoad, t); // in place of the report below
    if (load_.receivedChecksum != (load_.announcedChecksum & 0xFFFF)) {
        failLoad("checksum mismatch", t);
        return;
    }
    load_.ok = true;
    if (onLoad_) onLoad_(load_, image_);
    send("LOAD OK\r\n", t);
    prompt(t);
}

void Unit::failLoad(const std::string& why, Nanos t) {
    loading_ = false;
    load_.ok = false;
    load_.error = why;
    if (onLoad_) onLoad_(load_, image_);
    image_.clear();
    // A failed load sends the unit back to its normal firmware, so the host's check for the
    // loader prompt after the upload fails instead of reporting a load that did not happen.
    loader_ = false;
    send("LOAD ERROR: " + why + "\r\n", t);
    prompt(t);
}

void Unit::tick(Nanos now) {
    if (loading_ && !hung_ && !disconnected_ && now - lastData_ > opt_.dataTimeout)
        failLoad("timeout after " + std::to_string(load_.received) + " of " + std::to_string(load_.size) +
                     " bytes",
                 now);
}

void Unit::send(const std::string& text, Nanos t) {
    if (!answersAfterLoad()) queue(text, t);
}

void Unit::queue(const std::string& text, Nanos t) {
    if (hung_ || text.empty()) return;
    if (!pending_.empty() && pending_.back().due >= t) {
        pending_.back().bytes += text; // keeps order: nothing overtakes a delayed prompt
        return;
    }
    pending_.push_back({t, text});
}

void Unit::prompt(Nanos t) {
    if (opt_.noPrompt) return;
    if (promptsSkipped_ < opt_.skipPrompts) {
        ++promptsSkipped_;
        note("FAULT prompt " + std::to_string(promptsSkipped_) + " withheld");
        return;
    }
    send(std::string(1, loader_ ? opt_.loaderPrompt : opt_.mainPrompt), t + opt_.promptDelay);
}

size_t Unit::takeOutput(Nanos now, std::string& out, size_t limit) {
    size_t taken = 0;
    while (!pending_.empty() && pending_.front().due <= now && taken < limit) {
        Chunk& c = pending_.front();
        const size_t n = std::min(limit - taken, c.bytes.size());
        out.append(c.bytes, 0, n);
        taken += n;
        if (n == c.bytes.size())
            pending_.pop_front();
        else
            c.bytes.erase(0, n);
    }
    return taken;
}

Nanos Unit::nextDeadline() const {
    Nanos d = INT64_MAX;
    if (!pending_.empty()) d = pending_.front().due;
    if (loading_ && !hung_ && !disconnected_) d = std::min(d, lastData_ + opt_.dataTimeout + 1);
    return d;
}

} // namespace brimwell::unitsim
