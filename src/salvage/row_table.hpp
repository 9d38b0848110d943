// RowTable: many rows kept compactly for a long-lived reader.
//
// Rows are encoded back to back in 1 MiB blocks: a varint field count, then
// per field a varint (length << 1 | is_ascii) and the UTF-8 bytes. Memory is
// about the size of the field text, with no per-field heap object.
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

    // Every row as owned strings (tests and small callers).
    [[nodiscard]] std::vector<std::vector<std::string>> to_vectors() const;

private:
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
    std::vector<std::string> blocks_;
    std::size_t rows_ = 0;
};

}  // namespace brinewick
