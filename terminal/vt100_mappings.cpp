// Keyboard and character-set mapping tables: hashing, adding and finding entries, the binary
// "AHT3" form and the text form.
#include "terminal/vt100_mappings.h"

#include <fstream>
#include <sstream>

namespace brimwell::terminal {

std::uint32_t elfHash(std::string_view s, std::uint32_t seed) {
    std::uint32_t h = seed;
    for (unsigned char c : s) {
        h = (h << 4) + c;
        std::uint32_t g = h & 0xF0000000u;
        if (g) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

namespace {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    return bool(out);
}

// Reads the binary form step by step; every read checks the bytes left, so a cut or forged
// resource ends the load instead of reading past its end.
class BinReader {
  public:
    explicit BinReader(std::string_view d) : d_(d) {}
    bool marker() {
        if (d_.substr(pos_, kMappingMarker.size()) != kMappingMarker) return false;
        pos_ += kMappingMarker.size();
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (d_.size() - pos_ < 4) return false;
        v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(d_[pos_ + std::size_t(i)]);
        pos_ += 4;
        return true;
    }
    bool byte(std::uint8_t& v) {
        if (pos_ >= d_.size()) return false;
        v = static_cast<std::uint8_t>(d_[pos_++]);
        return true;
    }
    bool str(std::string& s) {
        std::uint8_t n = 0;
        if (!byte(n) || d_.size() - pos_ < n) return false;
        s.assign(d_.substr(pos_, n));
        pos_ += n;
        return true;
    }

  private:
    std::string_view d_;
    std::size_t pos_ = 0;
};

void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void putStr(std::string& out, const std::string& s) {
    out += static_cast<char>(s.size());
    out += s;
}

// Lines of a text form, with the line end (LF or CR LF) removed.
template <typename F> void forEachLine(std::string_view text, F&& f) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        f(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
}

// The next field of a character-set line: space separated, optionally in single or double quotes.
bool nextField(std::string_view& line, std::string& field) {
    std::size_t i = line.find_first_not_of(' ');
    if (i == std::string_view::npos) return false;
    line.remove_prefix(i);
    if (line[0] == '"' || line[0] == '\'') {
        std::size_t close = line.find(line[0], 1);
        if (close == std::string_view::npos) return false;
        field.assign(line.substr(1, close - 1));
        line.remove_prefix(close + 1);
        return true;
    }
    std::size_t end = line.find(' ');
    field.assign(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A character field: one character, or a backslash, x and two hexadecimal digits.
bool charField(const std::string& f, std::uint8_t& out) {
    if (f.size() == 1) {
        out = static_cast<std::uint8_t>(f[0]);
        return true;
    }
    if (f.size() == 4 && f[0] == '\\' && (f[1] == 'x' || f[1] == 'X') && hexDigit(f[2]) >= 0 &&
        hexDigit(f[3]) >= 0) {
        out = static_cast<std::uint8_t>(hexDigit(f[2]) * 16 + hexDigit(f[3]));
        return true;
    }
    return false;
}

} // namespace

// ---- Keyboard mapping ---------------------------------------------------------------------------

KeyboardMapping::KeyboardMapping() : buckets_(kBuckets) {}

void KeyboardMapping::clear() {
    entries_.clear();
    for (auto& b : buckets_)
        b.clear();
    count_ = 0;
}

const KeyboardMapping::Entry* KeyboardMapping::find(std::string_view key) const {
    for (int i : buckets_[elfHash(key) % kBuckets])
        if (entries_[std::size_t(i)].key == key) return &entries_[std::size_t(i)];
    return nullptr;
}

bool KeyboardMapping::add(std::string_view key, std::string_view value) {
    if (key.size() > kMappingMaxText || value.size() > kMappingMaxText || find(key)) return false;
    entries_.push_back({std::string(key), std::string(value)});
    buckets_[elfHash(key) % kBuckets].push_back(int(entries_.size() - 1));
    ++count_;
    return true;
}

std::string KeyboardMapping::get(std::string_view key) const {
    const Entry* e = find(key);
    return e ? e->value : std::string();
}

bool KeyboardMapping::loadFromBin(std::string_view data) {
    clear();
    BinReader r(data);
    std::uint32_t n = 0;
    if (!r.marker() || !r.u32(n)) return false;
    std::string key, value;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!r.str(key) || !r.str(value)) break;
        add(key, value);
    }
    if (!r.marker()) {
        clear();
        return false;
    }
    return true;
}

bool KeyboardMapping::loadFromText(std::string_view text) {
    clear();
    forEachLine(text, [this](std::string_view line) {
        if (line.empty() || line[0] == '*') return;
        std::size_t keyEnd = line.find(' ');
        if (keyEnd == 0 || keyEnd == std::string_view::npos) return;
        std::string_view rest = line.substr(keyEnd);
        std::size_t v = rest.find_first_not_of(' ');
        std::size_t e = rest.find_last_not_of(' ');
        if (v == std::string_view::npos) return;
        add(line.substr(0, keyEnd), rest.substr(v, e - v + 1));
    });
    return count_ > 0;
}

bool KeyboardMapping::loadFromFile(const std::string& path) {
    std::string text;
    if (!readFile(path, text)) {
        clear();
        return false;
    }
    return loadFromText(text);
}

std::string KeyboardMapping::storeToBin() const {
    std::string out(kMappingMarker);
    putU32(out, std::uint32_t(entries_.size()));
    for (const Entry& e : entries_) {
        putStr(out, e.key);
        putStr(out, e.value);
    }
    out += kMappingMarker;
    return out;
}

bool KeyboardMapping::storeToBinFile(const std::string& path) const {
    return writeFile(path, storeToBin());
}

// ---- Character-set mapping ----------------------------------------------------------------------

CharSetMapping::CharSetMapping() : buckets_(kBuckets) {}

void CharSetMapping::clear() {
    entries_.clear();
    for (auto& b : buckets_)
        b.clear();
    count_ = 0;
    script_.clear();
    scriptPos_ = 0;
}

const CharSetMapping::Entry* CharSetMapping::find(std::string_view setName, std::uint8_t ch) const {
    for (int i : buckets_[elfHash(setName, ch) % kBuckets]) {
        const Entry& e = entries_[std::size_t(i)];
        if (e.ch == ch && e.setName == setName) return &e;
    }
    return nullptr;
}

bool CharSetMapping::add(std::string_view setName, std::uint8_t first, std::uint8_t glyph,
                         std::string_view fontName, std::uint8_t last) {
    if (setName.size() > kMappingMaxText || fontName.size() > kMappingMaxText || last < first ||
        glyph + (last - first) > 0xFF)
        return false;
    for (int c = first; c <= last; ++c)
        if (find(setName, std::uint8_t(c))) return false;
    for (int c = first; c <= last; ++c) {
        entries_.push_back({std::string(setName), std::uint8_t(c), std::string(fontName),
                            std::uint8_t(glyph + (c - first))});
        buckets_[elfHash(setName, std::uint8_t(c)) % kBuckets].push_back(int(entries_.size() - 1));
        ++count_;
    }
    return true;
}

const std::string* CharSetMapping::findFont(std::string_view setName, std::uint8_t ch,
                                            std::uint8_t& glyph) const {
    const Entry* e = find(setName, ch);
    if (!e) return nullptr;
    glyph = e->glyph;
    return &e->fontName;
}

bool CharSetMapping::get(std::string_view setName, std::uint8_t ch, std::string& fontName,
                         std::uint8_t& glyph) const {
    const std::string* f = findFont(setName, ch, glyph);
    if (!f) return false;
    fontName = *f;
    return true;
}

void CharSetMapping::getFontNames(std::vector<std::string>& list) const {
    list.clear();
    for (const Entry& e : entries_) {
        bool seen = false;
        for (const std::string& f : list)
            seen = seen || f == e.fontName;
        if (!seen) list.push_back(e.fontName);
    }
}

bool CharSetMapping::loadFromBin(std::string_view data) {
    clear();
    BinReader r(data);
    std::uint32_t n = 0;
    if (!r.marker() || !r.u32(n)) return false;
    std::string set, font;
    std::uint8_t ch = 0, glyph = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!r.str(set) || !r.str(font) || !r.byte(ch) || !r.byte(glyph)) break;
        add(set, ch, glyph, font, ch);
    }
    if (!r.marker()) {
        clear();
        return false;
    }
    return true;
}

bool CharSetMapping::loadFromText(std::string_view text) {
    clear();
    forEachLine(text, [this](std::string_view line) {
        if (line.empty() || line[0] != ' ') return;
        std::string set, first, last, font, glyph;
        std::uint8_t f = 0, l = 0, g = 0;
        if (!nextField(line, set) || !nextField(line, first) || !nextField(line, last) ||
            !nextField(line, font) || !nextField(line, glyph))
            return;
        if (!charField(first, f) || !charField(last, l) || !charField(glyph, g)) return;
        add(set, f, g, font, l);
    });
    return count_ > 0;
}

bool CharSetMapping::loadFromFile(const std::string& path) {
    std::string text;
    if (!readFile(path, text)) {
        clear();
        return false;
    }
    return loadFromText(text);
}

std::string CharSetMapping::storeToBin() const {
    std::string out(kMappingMarker);
    putU32(out, std::uint32_t(entries_.size()));
    for (const Entry& e : entries_) {
        putStr(out, e.setName);
        putStr(out, e.fontName);
        out += static_cast<char>(e.ch);
        out += static_cast<char>(e.glyph);
    }
    out += kMappingMarker;
    return out;
}

bool CharSetMapping::storeToBinFile(const std::string& path) const {
    return writeFile(path, storeToBin());
}

void CharSetMapping::generateDrawScript(std::string_view setName, std::string_view text) {
    script_.clear();
    scriptPos_ = 0;
    for (char c : text) {
        std::uint8_t glyph = 0;
        const std::string* font = findFont(setName, static_cast<std::uint8_t>(c), glyph);
        const std::string_view fontName = font ? std::string_view(*font) : kDefaultFont;
        const char out = font ? static_cast<char>(glyph) : c;
        if (script_.empty() || script_.back().font != fontName)
            script_.push_back({std::string(fontName), {}});
        script_.back().text += out;
    }
}

bool CharSetMapping::getNextDrawCommand(std::string& fontName, std::string& text) {
    if (scriptPos_ >= script_.size()) return false;
    fontName = script_[scriptPos_].font;
    text = script_[scriptPos_].text;
    ++scriptPos_;
    return true;
}

} // namespace brimwell::terminal
