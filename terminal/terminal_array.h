// TerminalArray: one cell property of the terminal (characters, character sets, attributes,
// foreground or background colours) as a rows x columns grid of 1-, 2- or 4-byte items.
#pragma once

#include "terminal/terminal_types.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimwell::terminal {

class TerminalArray {
  public:
    // An item size other than 1, 2 or 4 becomes 1.
    TerminalArray(int rows, int cols, int itemSize);

    int rowCount() const { return rowCount_; }
    int colCount() const { return colCount_; }
    int itemSize() const { return itemSize_; }
    // Allocated items per row: colCount rounded up to 4 (1-byte items) or 2 (2-byte items).
    int rowWidth() const { return rowWidth_; }
    std::uint32_t defaultItem() const { return fillItem_; }

    // The value that clearing, inserting, deleting and scrolling put into vacated cells; cells
    // already stored keep their values.
    void setDefaultItem(std::uint32_t item) { fillItem_ = item; }

    void clear();
    // Cells fromCol..toCol (inclusive, clipped to the row) of one row take the fill item.
    void clearItems(int row, int fromCol, int toCol);
    // Items right of col move left by count; the last count items of the row become fill.
    void deleteItems(int count, int row, int col);
    // Items from col move right by count (those pushed off the end are lost); count cells at col
    // become fill.
    void insertItems(int count, int row, int col);
    // Raises TerminalBufferError "TerminalArray.getItemPtr: invalid item size" for an impossible
    // item size. Rows are contiguous: the pointer reaches the row's remaining items.
    void* getItemPtr(int row, int col);
    const void* getItemPtr(int row, int col) const;
    // Every stored item equal to oldItem becomes newItem.
    void replaceItems(std::uint32_t oldItem, std::uint32_t newItem);
    // count > 0 moves rows top+count..bottom up to top, filling the last count rows of the range;
    // count < 0 moves them down; |count| beyond the range fills it all. top/bottom may be reversed.
    void scrollRows(int count, int top, int bottom);
    // Copies items (of itemSize bytes each) to the row from col; what passes the row's end is dropped.
    void writeItems(const void* data, int count, int row, int col);
    void writeDupItems(std::uint32_t item, int count, int row, int col);
    // Resizing keeps the contents aligned at the bottom and each row's first columns.
    void taSetColCount(int n);
    void taSetRowCount(int n);

    // Fast row access for the buffer and painters (no checks; row must lie inside the grid).
    template <class T> T* rowData(int row) {
        return reinterpret_cast<T*>(data_.data()) + static_cast<std::size_t>(physicalRow(row)) * rowWidth_;
    }
    template <class T> const T* rowData(int row) const {
        return reinterpret_cast<const T*>(data_.data()) +
               static_cast<std::size_t>(physicalRow(row)) * rowWidth_;
    }

  private:
    // Rows live in a ring so that scrolling the whole grid by a row costs one row, not the grid.
    int physicalRow(int row) const {
        int p = row + base_;
        return p >= rowCount_ ? p - rowCount_ : p;
    }
    void fillItems(std::uint8_t* at, int count) const;
    std::uint8_t* rowBytes(int row) {
        return reinterpret_cast<std::uint8_t*>(data_.data()) +
               static_cast<std::size_t>(physicalRow(row)) * rowWidth_ * itemSize_;
    }
    void resize(int rows, int cols);

    int rowWidth_ = 0;
    int colCount_ = 0;
    std::uint32_t fillItem_ = 0;
    std::vector<std::uint32_t> data_; // words, so that 4-byte items are accessed as what they are
    int itemSize_ = 1;
    int rowCount_ = 0;
    int base_ = 0; // physical index of row 0
};

} // namespace brimwell::terminal
