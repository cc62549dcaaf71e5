// The packed string-table reader: the built-in manager messages and malformed tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/string_resources.h"

namespace brimwell::serial {
namespace {

// Builds a table in the packed format from (identifier, text) pairs, in the order given.
std::vector<uint8_t> pack(const std::vector<std::pair<int32_t, std::u16string>>& strings) {
    std::vector<uint8_t> out{'S', 'T', 'R', '0'};
    auto put = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    };
    put(uint32_t(strings.size()));
    uint32_t at = uint32_t(8 + 12 * strings.size());
    for (const auto& [id, text] : strings) {
        put(uint32_t(id));
        put(at);
        put(uint32_t(text.size()));
        at += uint32_t(2 * text.size());
    }
    for (const auto& s : strings)
        for (char16_t c : s.second) {
            out.push_back(uint8_t(c));
            out.push_back(uint8_t(c >> 8));
        }
    return out;
}

std::string openError(const ResourceModule& module, const std::string& name) {
    try {
        StringResource r(&module, name);
        return "opened";
    } catch (const StringResourceError& e) {
        return e.what();
    }
}

TEST(StringResources, ManagerMessagesAreBuiltIn) {
    const StringResource& m = managerStrings();
    EXPECT_EQ(m.count(), 5u);
    EXPECT_EQ(m.getString(1), "String not found: %d");
    EXPECT_EQ(m.getString(2), "Cannot lock resource");
    EXPECT_EQ(m.getString(3), "String resource not found: %s");
    EXPECT_EQ(m.getString(4), "Unable to open string resource: %s");
    EXPECT_NE(m.getString(5).find("%s"), std::string::npos);
    EXPECT_EQ(m.getString(6), "");
    EXPECT_EQ(m.getString(0), "");
    // The program's module holds the same table under its name.
    const StringResource again(nullptr, "QVSRMGR_STRINGS");
    EXPECT_EQ(again.getString(2), "Cannot lock resource");
}

TEST(StringResources, LooksUpUserTablesModuleFirst) {
    const auto table =
        pack({{-7, u"minus seven"}, {3, u"drei"}, {100, u"h\u00e9llo \u20ac"}, {70000, u"big"}});
    ResourceModule module;
    module.add("MY_STRINGS", table.data(), table.size());
    StringResource r(&module, "MY_STRINGS");
    EXPECT_EQ(r.getString(-7), "minus seven");
    EXPECT_EQ(r.getString(3), "drei");
    EXPECT_EQ(r.getString(100), "h\xc3\xa9llo \xe2\x82\xac");
    EXPECT_EQ(r.getString(70000), "big");
    EXPECT_EQ(r.getString(4), "");

    // A module without the name falls back to the program's own resources.
    ResourceModule empty;
    StringResource fallback(&empty, "QVSRMGR_STRINGS");
    EXPECT_EQ(fallback.getString(1), "String not found: %d");

    // changeResource switches tables; an empty name leaves it closed.
    r.changeResource(nullptr, "QVSRMGR_STRINGS");
    EXPECT_EQ(r.getString(3), "String resource not found: %s");
    r.changeResource(&module, "");
    EXPECT_FALSE(r.isOpen());
    EXPECT_EQ(r.getString(3), "");
}

TEST(StringResources, BufferedVariantsCutToSize) {
    const auto table = pack({{1, u"abcdefghijklmnop"}, {2, u"\u00e9\u00e9\u00e9\u00e9\u00e9"}});
    ResourceModule module;
    module.add("T", table.data(), table.size());
    StringResource r(&module, "T");

    char ascii[10];
    r.getAsciiZ(1, ascii, sizeof ascii);
    EXPECT_STREQ(ascii, "abcdefghi");
    // Two-byte characters are dropped whole: four of them take 8 bytes, five would need 10.
    r.getAsciiZ(2, ascii, sizeof ascii);
    EXPECT_EQ(std::strlen(ascii), 8u);
    r.getAsciiZ(9, ascii, sizeof ascii);
    EXPECT_STREQ(ascii, "");

    char16_t wide[6];
    r.getWideChar(1, wide, 6);
    EXPECT_EQ(std::u16string(wide), u"abcde");
    r.getWideChar(9, wide, 6);
    EXPECT_EQ(std::u16string(wide), u"");
}

TEST(StringResources, FormatErrorsAreReportedWithTheManagerMessages) {
    ResourceModule module;
    EXPECT_EQ(openError(module, "MISSING"), "String resource not found: MISSING");

    module.add("UNLOADABLE", nullptr, 0);
    EXPECT_EQ(openError(module, "UNLOADABLE"), "Unable to open string resource: UNLOADABLE");

    const std::vector<uint8_t> wrongMagic{'S', 'T', 'R', '1', 0, 0, 0, 0};
    module.add("MAGIC", wrongMagic.data(), wrongMagic.size());
    const std::string magicError = openError(module, "MAGIC");
    EXPECT_NE(magicError.find("MAGIC"), std::string::npos);
    std::string expected = managerStrings().getString(5);
    expected.replace(expected.find("%s"), 2, "MAGIC");
    EXPECT_EQ(magicError, expected);

    // Malformed tables: they would make a lookup read outside the resource or miss entries.
    struct Bad {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Bad> bad;
    bad.push_back({"SHORT", {'S', 'T', 'R', '0', 1}});
    auto tooMany = pack({{1, u"x"}});
    tooMany[4] = 200; // claims 200 entries
    bad.push_back({"COUNT", tooMany});
    auto pastEnd = pack({{1, u"xy"}});
    pastEnd[8 + 8] = 50; // text length far beyond the end
    bad.push_back({"LENGTH", pastEnd});
    bad.push_back({"UNSORTED", pack({{5, u"a"}, {2, u"b"}})});
    for (const auto& b : bad) {
        module.add(b.name, b.bytes.data(), b.bytes.size());
        const std::string error = openError(module, b.name);
        EXPECT_NE(error, "opened") << b.name;
        EXPECT_NE(error.find(b.name), std::string::npos) << b.name << ": " << error;
    }
}

TEST(StringResources, RaiseWhenMissing) {
    const auto table = pack({{1, u"one"}});
    ResourceModule module;
    module.add("T", table.data(), table.size());
    StringResource r(&module, "T");
    EXPECT_EQ(r.getString(2), "");
    r.setRaiseWhenMissing(true);
    EXPECT_EQ(r.getString(1), "one");
    try {
        r.getString(42);
        ADD_FAILURE() << "no exception";
    } catch (const StringResourceError& e) {
        EXPECT_STREQ(e.what(), "String not found: 42");
    }
}

} // namespace
} // namespace brimwell::serial
