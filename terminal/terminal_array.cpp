// One cell property of the terminal as a grid whose rows sit in a ring (see the header).
#include "terminal/terminal_array.h"

#include <algorithm>
#include <cstring>

namespace brimwell::terminal {

namespace {

int normalisedItemSize(int itemSize) {
    return (itemSize == 1 || itemSize == 2 || itemSize == 4) ? itemSize : 1;
}

int rowWidthFor(int cols, int itemSize) {
    if (cols <= 0) return 0;
    if (itemSize == 1) return (cols + 3) / 4 * 4;
    if (itemSize == 2) return (cols + 1) / 2 * 2;
    return cols;
}

std::size_t wordsFor(int rows, int rowWidth, int itemSize) {
    std::size_t bytes = static_cast<std::size_t>(rows) * rowWidth * itemSize;
    return (bytes + 3) / 4;
}

} // namespace

TerminalArray::TerminalArray(int rows, int cols, int itemSize) : itemSize_(normalisedItemSize(itemSize)) {
    resize(std::max(rows, 0), std::max(cols, 0));
}

void TerminalArray::fillItems(std::uint8_t* at, int count) const {
    if (count <= 0) return;
    switch (itemSize_) {
    case 1:
        std::memset(at, static_cast<int>(fillItem_ & 0xFF), static_cast<std::size_t>(count));
        break;
    case 2: {
        auto* p = reinterpret_cast<std::uint16_t*>(at);
        std::fill(p, p + count, static_cast<std::uint16_t>(fillItem_));
        break;
    }
    default: {
        auto* p = reinterpret_cast<std::uint32_t*>(at);
        std::fill(p, p + count, fillItem_);
        break;
    }
    }
}

void TerminalArray::resize(int rows, int cols) {
    int newWidth = rowWidthFor(cols, itemSize_);
    std::vector<std::uint32_t> fresh(rows > 0 && cols > 0 ? wordsFor(rows, newWidth, itemSize_) : 0);
    auto rowAt = [&](int r) {
        return reinterpret_cast<std::uint8_t*>(fresh.data()) +
               static_cast<std::size_t>(r) * newWidth * itemSize_;
    };
    for (int r = 0; r < rows && cols > 0; ++r)
        fillItems(rowAt(r), newWidth);
    // Keep the contents aligned at the bottom: the newest rows survive a shrink.
    int keepRows = std::min(rows, rowCount_);
    int keepCols = std::min(cols, colCount_);
    if (!data_.empty() && keepRows > 0 && keepCols > 0) {
        for (int i = 0; i < keepRows; ++i) {
            int oldRow = rowCount_ - keepRows + i;
            int newRow = rows - keepRows + i;
            std::memcpy(rowAt(newRow), rowBytes(oldRow), static_cast<std::size_t>(keepCols) * itemSize_);
        }
    }
    data_ = std::move(fresh);
    rowCount_ = rows;
    colCount_ = cols;
    rowWidth_ = newWidth;
    base_ = 0;
}

void TerminalArray::clear() {
    for (int r = 0; r < rowCount_; ++r)
        fillItems(rowBytes(r), rowWidth_);
}

void TerminalArray::clearItems(int row, int fromCol, int toCol) {
    if (row < 0 || row >= rowCount_) return;
    fromCol = std::max(fromCol, 0);
    toCol = std::min(toCol, colCount_ - 1);
    if (fromCol > toCol) return;
    fillItems(rowBytes(row) + static_cast<std::size_t>(fromCol) * itemSize_, toCol - fromCol + 1);
}

void TerminalArray::deleteItems(int count, int row, int col) {
    if (row < 0 || row >= rowCount_ || col < 0 || col >= colCount_ || count <= 0) return;
    count = std::min(count, colCount_ - col);
    std::uint8_t* base = rowBytes(row);
    int moved = colCount_ - col - count;
    if (moved > 0)
        std::memmove(base + static_cast<std::size_t>(col) * itemSize_,
                     base + static_cast<std::size_t>(col + count) * itemSize_,
                     static_cast<std::size_t>(moved) * itemSize_);
    fillItems(base + static_cast<std::size_t>(colCount_ - count) * itemSize_, count);
}

void TerminalArray::insertItems(int count, int row, int col) {
    if (row < 0 || row >= rowCount_ || col < 0 || col >= colCount_ || count <= 0) return;
    count = std::min(count, colCount_ - col);
    std::uint8_t* base = rowBytes(row);
    int moved = colCount_ - col - count;
    if (moved > 0)
        std::memmove(base + static_cast<std::size_t>(col + count) * itemSize_,
                     base + static_cast<std::size_t>(col) * itemSize_,
                     static_cast<std::size_t>(moved) * itemSize_);
    fillItems(base + static_cast<std::size_t>(col) * itemSize_, count);
}

void* TerminalArray::getItemPtr(int row, int col) {
    if (itemSize_ != 1 && itemSize_ != 2 && itemSize_ != 4)
        throw TerminalBufferError("TQuavTerminalArray.GetItemPtr: invalid item size");
    if (row < 0 || row >= rowCount_ || col < 0 || col >= colCount_) return nullptr;
    return rowBytes(row) + static_cast<std::size_t>(col) * itemSize_;
}

const void* TerminalArray::getItemPtr(int row, int col) const {
    return const_cast<TerminalArray*>(this)->getItemPtr(row, col);
}

void TerminalArray::replaceItems(std::uint32_t oldItem, std::uint32_t newItem) {
    for (int r = 0; r < rowCount_; ++r) {
        std::uint8_t* base = rowBytes(r);
        switch (itemSize_) {
        case 1:
            std::replace(base, base + colCount_, static_cast<std::uint8_t>(oldItem),
                         static_cast<std::uint8_t>(newItem));
            break;
        case 2: {
            auto* p = reinterpret_cast<std::uint16_t*>(base);
            std::replace(p, p + colCount_, static_cast<std::uint16_t>(oldItem),
                         static_cast<std::uint16_t>(newItem));
            break;
        }
        default: {
            auto* p = reinterpret_cast<std::uint32_t*>(base);
            std::replace(p, p + colCount_, oldItem, newItem);
            break;
        }
        }
    }
}

void TerminalArray::scrollRows(int count, int top, int bottom) {
    if (top > bottom) std::swap(top, bottom);
    top = std::max(top, 0);
    bottom = std::min(bottom, rowCount_ - 1);
    if (count == 0 || rowCount_ == 0 || colCount_ == 0 || top > bottom) return;
    int span = bottom - top;
    int n = count > 0 ? count : -count;
    if (n > span) {
        for (int r = top; r <= bottom; ++r)
            fillItems(rowBytes(r), rowWidth_);
        return;
    }
    if (top == 0 && bottom == rowCount_ - 1) {
        // The whole ring turns: no row is copied.
        if (count > 0) {
            base_ = (base_ + n) % rowCount_;
            for (int r = rowCount_ - n; r < rowCount_; ++r)
                fillItems(rowBytes(r), rowWidth_);
        } else {
            base_ = (base_ + rowCount_ - n) % rowCount_;
            for (int r = 0; r < n; ++r)
                fillItems(rowBytes(r), rowWidth_);
        }
        return;
    }
    std::size_t rowBytesLen = static_cast<std::size_t>(rowWidth_) * itemSize_;
    if (count > 0) {
        for (int r = top; r <= bottom - n; ++r)
            std::memcpy(rowBytes(r), rowBytes(r + n), rowBytesLen);
        for (int r = bottom - n + 1; r <= bottom; ++r)
            fillItems(rowBytes(r), rowWidth_);
    } else {
        for (int r = bottom; r >= top + n; --r)
            std::memcpy(rowBytes(r), rowBytes(r - n), rowBytesLen);
        for (int r = top; r < top + n; ++r)
            fillItems(rowBytes(r), rowWidth_);
    }
}

void TerminalArray::writeItems(const void* data, int count, int row, int col) {
    if (row < 0 || row >= rowCount_ || col < 0 || col >= colCount_ || count <= 0) return;
    count = std::min(count, colCount_ - col);
    std::memcpy(rowBytes(row) + static_cast<std::size_t>(col) * itemSize_, data,
                static_cast<std::size_t>(count) * itemSize_);
}

void TerminalArray::writeDupItems(std::uint32_t item, int count, int row, int col) {
    if (row < 0 || row >= rowCount_ || col < 0 || col >= colCount_ || count <= 0) return;
    count = std::min(count, colCount_ - col);
    std::uint32_t saved = fillItem_;
    fillItem_ = item;
    fillItems(rowBytes(row) + static_cast<std::size_t>(col) * itemSize_, count);
    fillItem_ = saved;
}

void TerminalArray::taSetColCount(int n) {
    n = std::max(n, 0);
    if (n != colCount_) resize(rowCount_, n);
}

void TerminalArray::taSetRowCount(int n) {
    n = std::max(n, 0);
    if (n != rowCount_) resize(n, colCount_);
}

} // namespace brimwell::terminal
