// The first pass over the clean rows: the header, the table's width (the
// widest row) and, when types are inferred, each column's type. Then the
// columns with their final names and types, overrides applied; and the
// conversion of string batches to those columns, for input read only once.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "../parser/row_buffer.hpp"
#include "batch_builder.hpp"
#include "values.hpp"

namespace brinewick::arrow {

struct ScanOptions {
    bool header = true;         // the first row names the columns
    bool infer = true;          // false: every column is a string, no value is looked at
    bool empty_as_null = true;  // an empty field is null (not seen by inference)
    bool tolerant = false;      // type_errors="null" (ColumnInference)
    char decimal = 0;           // decimal="," or ".": the only decimal mark (0: per column)
    char thousands = 0;         // thousands=",", ".", " " or "'" (0: none)
    NullTexts null_texts{};     // null_values: texts that are null besides "" (not seen by inference)

    [[nodiscard]] bool null_cell(std::string_view value) const noexcept {
        return value.empty() ? empty_as_null : null_texts.contains(value);
    }
};

// Column name -> type, from the caller (dtypes={"zip": "str"}).
using TypeOverrides = std::vector<std::pair<std::string, ColumnType>>;

class SchemaScanner {
public:
    explicit SchemaScanner(ScanOptions options) : options_(options) {}

    void add_row(const RowBuffer& row);
    void add_row(std::span<const std::string_view> fields);

    // Rows scanned elsewhere (on other threads), in file order after the
    // rows added so far: their data rows, widest row and inference.
    void merge(std::size_t data_rows, std::size_t width, std::span<const ColumnInference> inference);
    // Whether the next row added names the columns.
    [[nodiscard]] bool header_pending() const noexcept { return options_.header && !header_done_; }

    [[nodiscard]] std::size_t width() const noexcept { return width_; }
    [[nodiscard]] std::size_t data_rows() const noexcept { return data_rows_; }
    // The header's fields as read (empty before the first row or without a header).
    [[nodiscard]] const std::vector<std::string>& header() const noexcept { return header_; }

    // Names (column_names.hpp) and types: inferred, or Utf8 without
    // inference, unless overridden. An override naming no column, or
    // forcing a type that some value of the column does not fit, is an
    // error (its text) rather than a surprise halfway through the batches.
    [[nodiscard]] std::variant<std::vector<ColumnSpec>, std::string> columns(
        const TypeOverrides& overrides = {}) const;
    // Whether some value does not fit its column's type in `columns` (a
    // tolerant scan's): those are nulls, each recorded as a type error.
    [[nodiscard]] bool has_misfits(std::span<const ColumnSpec> columns) const noexcept;

private:
    template <typename Fields>
    void add_fields(const Fields& fields, std::size_t n);

    ScanOptions options_;
    bool header_done_ = false;
    std::vector<std::string> header_;
    std::size_t width_ = 0;
    std::size_t data_rows_ = 0;
    std::vector<ColumnInference> inference_;
};

// Rebuilds a batch of string columns (`in`, as a BatchBuilder with all-Utf8
// columns made it; consumed: released on return) as `columns`: each string
// read in its column's type, and columns past `in`'s width all null (the
// table grew wider after the batch was made). Null stays null. On a value
// that does not fit its type, returns the message and leaves `out` untouched,
// or with `null_misfits` makes it null. `thousands` as for ColumnBuilder.
// A column of `copies` (the batch's, as BatchBuilder made them) already in
// its column's type is taken as it is (and marked released) rather than
// read again.
[[nodiscard]] std::string convert_batch(ArrowArray* in, bool in_large_strings,
                                        std::span<const ColumnSpec> columns, bool large_strings,
                                        ArrowArray* out, bool null_misfits = false, char thousands = 0,
                                        TypedCopies* copies = nullptr);

}  // namespace brinewick::arrow
