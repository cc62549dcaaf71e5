// The cell grid on its own: item sizes, row layout, moves within a row, scrolling (also across the
// ring's seam), replacing and resizing with the contents aligned at the bottom.
#include "terminal/terminal_array.h"

#include <gtest/gtest.h>

#include <string>

namespace brimwell {
namespace {

// Row `row` of a 1-byte grid as text.
std::string rowOf(terminal::TerminalArray& a, int row) {
    return std::string(static_cast<const char*>(a.getItemPtr(row, 0)), static_cast<size_t>(a.colCount()));
}

// A 1-byte grid whose row r holds the letter 'a' + r in every column.
terminal::TerminalArray lettered(int rows, int cols) {
    terminal::TerminalArray a(rows, cols, 1);
    for (int r = 0; r < rows; ++r)
        a.writeDupItems('a' + r, cols, r, 0);
    return a;
}

std::string firstColumn(terminal::TerminalArray& a) {
    std::string s;
    for (int r = 0; r < a.rowCount(); ++r)
        s += *static_cast<const char*>(a.getItemPtr(r, 0));
    return s;
}

TEST(TerminalArray, ItemSizesAndRowWidths) {
    struct Case {
        int itemSize, cols, wantSize, wantWidth;
    };
    for (const Case& c : {Case{1, 80, 1, 80}, Case{1, 81, 1, 84}, Case{2, 81, 2, 82}, Case{4, 81, 4, 81},
                          Case{3, 5, 1, 8}, Case{0, 2, 1, 4}}) {
        terminal::TerminalArray a(3, c.cols, c.itemSize);
        EXPECT_EQ(a.itemSize(), c.wantSize) << c.itemSize;
        EXPECT_EQ(a.rowWidth(), c.wantWidth) << c.itemSize << " " << c.cols;
        EXPECT_EQ(static_cast<char*>(a.getItemPtr(1, 0)) + a.rowWidth() * a.itemSize(),
                  static_cast<char*>(a.getItemPtr(2, 0)));
    }
}

TEST(TerminalArray, EmptyGridAllocatesNothing) {
    terminal::TerminalArray a(0, 80, 4);
    EXPECT_EQ(a.getItemPtr(0, 0), nullptr);
    a.scrollRows(1, 0, 5); // nothing to do, nothing to break
    a.clear();
    terminal::TerminalArray b(5, 0, 1);
    EXPECT_EQ(b.getItemPtr(0, 0), nullptr);
}

TEST(TerminalArray, FillItemOnlyAffectsLaterOperations) {
    terminal::TerminalArray a(2, 4, 4);
    a.setDefaultItem(0xAABBCC);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 0)), 0u);
    a.clearItems(0, 1, 2);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 0)), 0u);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 1)), 0xAABBCCu);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 2)), 0xAABBCCu);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 3)), 0u);
}

TEST(TerminalArray, MovesWithinARow) {
    struct Case {
        const char* op;
        int count, col;
        const char* want;
    };
    for (const Case& c :
         {Case{"del", 2, 1, "adef.."}, Case{"del", 99, 4, "abcd.."}, Case{"del", 1, 5, "abcde."},
          Case{"ins", 2, 1, "a..bcd"}, Case{"ins", 99, 3, "abc..."}, Case{"ins", 1, 5, "abcde."},
          Case{"clr", 1, 3, "a...ef"}, Case{"wri", 3, 4, "abcdXY"}}) {
        terminal::TerminalArray a(1, 6, 1);
        a.writeItems("abcdef", 6, 0, 0);
        a.setDefaultItem('.');
        std::string op = c.op;
        if (op == "del") a.deleteItems(c.count, 0, c.col);
        if (op == "ins") a.insertItems(c.count, 0, c.col);
        if (op == "clr") a.clearItems(0, c.count, c.col);
        if (op == "wri") a.writeItems("XYZ", c.count, 0, c.col);
        EXPECT_EQ(rowOf(a, 0), c.want) << c.op << " " << c.count << " " << c.col;
    }
}

TEST(TerminalArray, ScrollRows) {
    struct Case {
        int count, top, bottom;
        const char* want;
    };
    for (const Case& c : {Case{1, 1, 4, "acde.f"}, Case{-2, 1, 4, "a..bcf"}, Case{2, 4, 1, "ade..f"},
                          Case{5, 1, 4, "a....f"}, Case{-4, 0, 5, "....ab"}, Case{0, 0, 5, "abcdef"},
                          Case{1, 0, 5, "bcdef."}, Case{6, 0, 5, "......"}}) {
        terminal::TerminalArray a = lettered(6, 3);
        a.setDefaultItem('.');
        a.scrollRows(c.count, c.top, c.bottom);
        EXPECT_EQ(firstColumn(a), c.want) << c.count << " " << c.top << " " << c.bottom;
    }
}

TEST(TerminalArray, WholeGridScrollsKeepWorkingAcrossTheRingSeam) {
    terminal::TerminalArray a = lettered(5, 2);
    a.setDefaultItem('.');
    a.scrollRows(3, 0, 4); // whole grid: rotates
    EXPECT_EQ(firstColumn(a), "de...");
    a.writeDupItems('x', 2, 4, 0);
    a.scrollRows(1, 1, 4); // partial range across the seam
    EXPECT_EQ(firstColumn(a), "d..x.");
    a.insertItems(1, 3, 0);
    EXPECT_EQ(rowOf(a, 3), ".x");
    a.scrollRows(-1, 0, 4);
    EXPECT_EQ(firstColumn(a), ".d...");
    a.taSetRowCount(3); // the newest rows survive
    EXPECT_EQ(firstColumn(a), "...");
    EXPECT_EQ(rowOf(a, 2), ".x");
}

TEST(TerminalArray, ReplaceItemsEverywhere) {
    terminal::TerminalArray a(3, 3, 4);
    a.writeDupItems(7, 3, 0, 0);
    a.writeDupItems(7, 1, 2, 2);
    a.writeDupItems(9, 1, 2, 1);
    a.replaceItems(7, 5);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(0, 2)), 5u);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(2, 2)), 5u);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(2, 1)), 9u);
    EXPECT_EQ(*static_cast<std::uint32_t*>(a.getItemPtr(1, 1)), 0u);
}

TEST(TerminalArray, ResizeAlignsAtTheBottom) {
    terminal::TerminalArray a = lettered(4, 3);
    a.setDefaultItem('.');
    a.taSetRowCount(6);
    EXPECT_EQ(firstColumn(a), "..abcd");
    a.taSetRowCount(2);
    EXPECT_EQ(firstColumn(a), "cd");
    a.taSetColCount(5);
    EXPECT_EQ(rowOf(a, 0), "ccc..");
    a.taSetColCount(2);
    EXPECT_EQ(rowOf(a, 1), "dd");
    EXPECT_EQ(a.rowWidth(), 4);
}

} // namespace
} // namespace brimwell
