// The "STR0" packed string-table reader and the program's built-in manager messages.
#include "serial/string_resources.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace brimwell::serial {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kIndexEntrySize = 12;

struct PackedString {
    int32_t ident;
    std::u16string_view text;
};

// The manager's own messages. Identifiers in ascending order, as the index requires.
constexpr PackedString kManagerMessages[] = {
    {kStrStringNotFound, u"String not found: %d"},
    {kStrCannotLock, u"Cannot lock resource"},
    {kStrResourceNotFound, u"String resource not found: %s"},
    {kStrCannotOpen, u"Unable to open string resource: %s"},
    {kStrNotStringResource, u"Not a valid string resource (no STR0 signature): %s"},
};

template <std::size_t N> constexpr std::size_t packedSize(const PackedString (&strings)[N]) {
    std::size_t size = kHeaderSize + kIndexEntrySize * N;
    for (const auto& s : strings)
        size += 2 * s.text.size();
    return size;
}

constexpr void put32(uint8_t* at, uint32_t v) {
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
    at[2] = uint8_t(v >> 16);
    at[3] = uint8_t(v >> 24);
}

// Lays out the strings in the packed format at compile time, so the resource is plain bytes
// in the program image exactly as a resource compiler would have stored them.
template <std::size_t Size, std::size_t N>
constexpr std::array<uint8_t, Size> pack(const PackedString (&strings)[N]) {
    std::array<uint8_t, Size> out{};
    out[0] = 'S';
    out[1] = 'T';
    out[2] = 'R';
    out[3] = '0';
    put32(&out[4], uint32_t(N));
    uint32_t textAt = uint32_t(kHeaderSize + kIndexEntrySize * N);
    for (std::size_t i = 0; i < N; ++i) {
        uint8_t* entry = &out[kHeaderSize + kIndexEntrySize * i];
        put32(entry, uint32_t(strings[i].ident));
        put32(entry + 4, textAt);
        put32(entry + 8, uint32_t(strings[i].text.size()));
        for (char16_t c : strings[i].text) {
            out[textAt++] = uint8_t(c);
            out[textAt++] = uint8_t(c >> 8);
        }
    }
    return out;
}

constexpr auto kManagerResource = pack<packedSize(kManagerMessages)>(kManagerMessages);

uint32_t get32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

std::string formatted(int32_t ident, std::string_view placeholder, const std::string& value) {
    std::string text = managerStrings().getString(ident);
    const auto at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
    return text;
}

[[noreturn]] void raise(int32_t ident, std::string_view name) {
    throw StringResourceError(formatted(ident, "%s", std::string(name)));
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | cp >> 6));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | cp >> 12));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | cp >> 18));
        out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((uint32_t(c) - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

void ResourceModule::add(std::string_view name, const uint8_t* data, std::size_t size) {
    remove(name);
    resources_.push_back(RawResource{std::string(name), data, size});
}

void ResourceModule::remove(std::string_view name) {
    std::erase_if(resources_, [&](const RawResource& r) { return r.name == name; });
}

const RawResource* ResourceModule::find(std::string_view name) const {
    for (const auto& r : resources_)
        if (r.name == name) return &r;
    return nullptr;
}

ResourceModule& programResources() {
    static ResourceModule module = [] {
        ResourceModule m;
        m.add("QVSRMGR_STRINGS", kManagerResource.data(), kManagerResource.size());
        return m;
    }();
    return module;
}

StringResource::StringResource(const ResourceModule* module, std::string_view resourceName) {
    open(module, resourceName);
}

void StringResource::changeResource(const ResourceModule* module, std::string_view resourceName) {
    data_ = nullptr;
    size_ = 0;
    count_ = 0;
    if (!resourceName.empty()) open(module, resourceName);
}

void StringResource::open(const ResourceModule* module, std::string_view resourceName) {
    const RawResource* res = module ? module->find(resourceName) : nullptr;
    if (!res) res = programResources().find(resourceName);
    if (!res) raise(kStrResourceNotFound, resourceName);
    if (res->data == nullptr) raise(kStrCannotOpen, resourceName);
    if (res->size < 4 || std::memcmp(res->data, "STR0", 4) != 0) raise(kStrNotStringResource, resourceName);
    // Everything the index points at must lie inside the resource and the identifiers must be
    // sorted, or a lookup would read past the end or miss entries; such a table is not valid.
    if (res->size < kHeaderSize) raise(kStrNotStringResource, resourceName);
    const uint32_t n = get32(res->data + 4);
    if ((res->size - kHeaderSize) / kIndexEntrySize < n) raise(kStrNotStringResource, resourceName);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = res->data + kHeaderSize + kIndexEntrySize * i;
        const uint64_t offset = get32(e + 4);
        const uint64_t units = get32(e + 8);
        if (offset + 2 * units > res->size) raise(kStrNotStringResource, resourceName);
        if (i > 0 && int32_t(get32(e - kIndexEntrySize)) >= int32_t(get32(e)))
            raise(kStrNotStringResource, resourceName);
    }
    data_ = res->data;
    size_ = res->size;
    count_ = n;
}

bool StringResource::find(int32_t ident, std::u16string& out) const {
    if (data_ != nullptr) {
        uint32_t lo = 0;
        uint32_t hi = count_;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            const uint8_t* e = data_ + kHeaderSize + kIndexEntrySize * mid;
            const auto id = int32_t(get32(e));
            if (id == ident) {
                const uint8_t* text = data_ + get32(e + 4);
                const uint32_t units = get32(e + 8);
                out.resize(units);
                for (uint32_t i = 0; i < units; ++i)
                    out[i] = char16_t(text[2 * i] | text[2 * i + 1] << 8);
                return true;
            }
            if (id < ident)
                lo = mid + 1;
            else
                hi = mid;
        }
    }
    if (raiseWhenMissing_)
        throw StringResourceError(formatted(kStrStringNotFound, "%d", std::to_string(ident)));
    out.clear();
    return false;
}

std::string StringResource::getString(int32_t ident) const {
    std::u16string text;
    find(ident, text);
    return utf16ToUtf8(text);
}

char* StringResource::getAsciiZ(int32_t ident, char* buffer, std::size_t size) const {
    if (buffer == nullptr || size == 0) return buffer;
    std::u16string text;
    find(ident, text);
    std::string converted = utf16ToUtf8(text);
    while (!text.empty() && converted.size() >= size) {
        // Drop a whole surrogate pair at once so no half character is converted.
        const bool pair = text.size() >= 2 && text.back() >= 0xDC00 && text.back() < 0xE000 &&
                          text[text.size() - 2] >= 0xD800 && text[text.size() - 2] < 0xDC00;
        text.resize(text.size() - (pair ? 2 : 1));
        converted = utf16ToUtf8(text);
    }
    std::memcpy(buffer, converted.data(), converted.size());
    buffer[converted.size()] = '\0';
    return buffer;
}

char16_t* StringResource::getWideChar(int32_t ident, char16_t* buffer, std::size_t size) const {
    if (buffer == nullptr || size == 0) return buffer;
    std::u16string text;
    find(ident, text);
    const std::size_t n = std::min(text.size(), size - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = u'\0';
    return buffer;
}

const StringResource& managerStrings() {
    static const StringResource manager(nullptr, "QVSRMGR_STRINGS");
    return manager;
}

} // namespace brimwell::serial
