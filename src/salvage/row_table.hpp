// RowTable: many rows kept compactly for a long-lived reader.
//
// Rows are encoded back to back in 1 MiB blocks: a varint (count << 1 |
// has_tail), then per field a varint (length << 1 | is_ascii) and the UTF-8
// bytes, then with has_tail a varint count of empty fields that end the row.
// Memory is about the size of the field text, with no per-field heap object;
// a run of trailing empty fields (padding, a row of delimiters) costs a few
// bytes whatever its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../parser/row_buffer.hpp"

namespace brinewick {

class RowTable {
public:
    void push_row(const RowBuffer& row);

    [[nodiscard]] std::size_t size() const noexcept { return rows_; }
    [[nodiscard]] std::size_t memory_bytes() const noexcept;

    // Sequential access: a cursor walks the rows in order.
    class Cursor {
    public:
        // Fills `fields` with views into the table (valid while it lives)
        // and `ascii` with one flag per field; false after the last row.
        bool next(std::vector<std::string_view>& fields, std::vector<bool>* ascii = nullptr);
        // The next row without collecting it: `begin(count)`, then
        // `field(text, is_ascii)` per field, in order. Either may return
        // false to stop early: the cursor then stays on this row, so the next
        // call visits it again. False at the end.
        template <typename Begin, typename Field>
        bool visit_next(Begin&& begin, Field&& field);
        [[nodiscard]] std::size_t row_index() const noexcept { return row_; }

    private:
        friend class RowTable;
        explicit Cursor(const RowTable* table) : table_(table) {}
        const RowTable* table_;
        std::size_t block_ = 0;
        std::size_t offset_ = 0;
        std::size_t row_ = 0;
    };
    [[nodiscard]] Cursor cursor() const { return Cursor(this); }

    // LEB128: seven bits per byte, low bits first, high bit set on all but the last.
    static std::size_t get_varint(const unsigned char*& in) noexcept {
        std::size_t value = 0;
        unsigned shift = 0;
        for (;;) {
            const unsigned char b = *in++;
            value |= static_cast<std::size_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return value;
            shift += 7;
        }
    }

    // Every row as owned strings (tests and small callers).
    [[nodiscard]] std::vector<std::vector<std::string>> to_vectors() const;

private:
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
    std::vector<std::string> blocks_;
    std::size_t rows_ = 0;
};

template <typename Begin, typename Field>
bool RowTable::Cursor::visit_next(Begin&& begin, Field&& field) {
    const std::vector<std::string>& blocks = table_->blocks_;
    while (block_ < blocks.size() && offset_ >= blocks[block_].size()) {
        ++block_;
        offset_ = 0;
    }
    if (block_ >= blocks.size()) return false;
    const auto* base = reinterpret_cast<const unsigned char*>(blocks[block_].data());
    const unsigned char* in = base + offset_;
    const std::size_t header = get_varint(in);
    const std::size_t held = header >> 1;
    std::size_t tail = 0;
    if ((header & 1) != 0) tail = get_varint(in);
    if (!begin(held + tail)) return true;
    for (std::size_t i = 0; i < held; ++i) {
        const std::size_t tag = get_varint(in);
        const std::size_t len = tag >> 1;
        if (!field(std::string_view(reinterpret_cast<const char*>(in), len), (tag & 1) != 0)) return true;
        in += len;
    }
    for (std::size_t i = 0; i < tail; ++i) {
        if (!field(std::string_view(), true)) return true;
    }
    offset_ = static_cast<std::size_t>(in - base);
    ++row_;
    return true;
}

}  // namespace brinewick
