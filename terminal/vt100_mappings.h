// The VT100 emulator's two mapping tables: keys to the texts they send, and characters of the
// designated character sets to the glyphs that draw them. Both are hash tables of short strings,
// kept in a text form in the repository and loaded at run time from a compiled-in binary form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::terminal {

// The ELF string hash, started from `seed`.
std::uint32_t elfHash(std::string_view s, std::uint32_t seed = 0);

// The compiled-in binary form of a named resource (QVVT100KEYMAP, QVVT100CHARSET); empty if none.
std::string_view findMappingResource(std::string_view name);

// Longest key, value, set name or font name a table holds (one length byte in the binary form, and
// the tables' fixed records hold 63 characters).
inline constexpr std::size_t kMappingMaxText = 63;
// The marker that opens and closes the binary form.
inline constexpr std::string_view kMappingMarker = "AHT3";

class KeyboardMapping {
  public:
    static constexpr int kBuckets = 57;
    KeyboardMapping();

    // Refuses an existing key and texts longer than kMappingMaxText.
    bool add(std::string_view key, std::string_view value);
    // The value, or an empty string.
    std::string get(std::string_view key) const;
    int count() const { return count_; }
    void clear();

    bool loadFromRes(std::string_view resourceName);
    bool loadFromBin(std::string_view data);
    bool loadFromFile(const std::string& path);
    bool loadFromText(std::string_view text);
    bool storeToBinFile(const std::string& path) const;
    std::string storeToBin() const;

  private:
    struct Entry {
        std::string key, value;
    };
    const Entry* find(std::string_view key) const;
    std::vector<Entry> entries_;            // in the order added, which the binary form keeps
    std::vector<std::vector<int>> buckets_; // indices into entries_
    int count_ = 0;
};

class CharSetMapping {
  public:
    static constexpr int kBuckets = 199;
    // The font name that means the terminal's own font.
    static constexpr std::string_view kDefaultFont = "<Default>";
    CharSetMapping();

    // first..last map to glyph, glyph + 1, ...; refuses the whole range if any character of it is
    // already mapped in that set (or a glyph would pass 0xFF).
    bool add(std::string_view setName, std::uint8_t first, std::uint8_t glyph, std::string_view fontName,
             std::uint8_t last);
    // The font and glyph of a character of a set; false if the set does not map it.
    bool get(std::string_view setName, std::uint8_t ch, std::string& fontName, std::uint8_t& glyph) const;
    const std::string* findFont(std::string_view setName, std::uint8_t ch, std::uint8_t& glyph) const;
    int count() const { return count_; }
    void clear();
    // Every font name the table uses, each once, in order of first use.
    void getFontNames(std::vector<std::string>& list) const;

    bool loadFromRes(std::string_view resourceName);
    bool loadFromBin(std::string_view data);
    bool loadFromFile(const std::string& path);
    bool loadFromText(std::string_view text);
    bool storeToBinFile(const std::string& path) const;
    std::string storeToBin() const;

    // Splits `text` of set `setName` into segments of one font each: mapped characters become
    // their glyphs, the others stay as they are in kDefaultFont. Read with getNextDrawCommand.
    void generateDrawScript(std::string_view setName, std::string_view text);
    bool getNextDrawCommand(std::string& fontName, std::string& text);

  private:
    struct Entry {
        std::string setName;
        std::uint8_t ch;
        std::string fontName;
        std::uint8_t glyph;
    };
    const Entry* find(std::string_view setName, std::uint8_t ch) const;
    std::vector<Entry> entries_;            // in the order added, which the binary form keeps
    std::vector<std::vector<int>> buckets_; // indices into entries_
    int count_ = 0;
    struct Segment {
        std::string font, text;
    };
    std::vector<Segment> script_;
    std::size_t scriptPos_ = 0;
};

} // namespace brimwell::terminal
