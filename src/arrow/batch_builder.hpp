// Rows straight into Arrow buffers: one ColumnBuilder per column, and a
// BatchBuilder that cuts the rows into struct arrays (record batches) of a
// bounded size. Each finished array owns its buffers; its release callback
// frees them once and marks it released, and a parent releases its children.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../error/status.hpp"
#include "../parser/row_buffer.hpp"
#include "buffer.hpp"
#include "c_data.hpp"
#include "values.hpp"

namespace brinewick::arrow {

struct ColumnSpec {
    std::string name;
    ColumnType type = ColumnType::Utf8;
};

// One column's cells: validity bitmap (allocated at the first null, so a
// column without nulls exports none), offsets and bytes for strings, values
// for the fixed-width types (bool bit-packed).
class ColumnBuilder {
public:
    // `large_strings`: 64-bit offsets ("U") instead of 32-bit ("u");
    // `thousands`: the separator numbers may group digits with (0: none).
    explicit ColumnBuilder(ColumnType type, bool large_strings = false, char thousands = 0);

    [[nodiscard]] ColumnType type() const noexcept { return type_; }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }
    [[nodiscard]] std::int64_t null_count() const noexcept { return null_count_; }
    // Bytes held in the buffers so far.
    [[nodiscard]] std::size_t bytes() const noexcept {
        return validity_.size() + offsets_.size() + values_.size();
    }
    // Whether `more` string bytes still fit under 32-bit offsets.
    [[nodiscard]] bool string_room(std::size_t more) const noexcept {
        return large_ || values_.size() + more <= static_cast<std::size_t>(INT32_MAX);
    }

    // Appends `text` read in the column's format (values.hpp). False, with
    // nothing appended, when the text is not in that format (or, for a
    // string, would pass the 32-bit offset range).
    // Inlined: the per-cell call was a tenth of building a string batch.
    [[nodiscard, gnu::always_inline]] bool append(std::string_view text) {
        if (nulls_pending_) [[unlikely]] write_pending_nulls();
        if (type_ != ColumnType::Utf8) {
            // The commonest typed cells inline too; the others through the switch.
            if (type_ == ColumnType::Float64 && thousands_ == 0) {
                double v = 0;
                return parse_float64(text, v) && push_fixed(v);
            }
            if (type_ == ColumnType::Int64 && thousands_ == 0) {
                std::int64_t v = 0;
                return parse_int64(text, v) && push_fixed(v);
            }
            if (type_ == ColumnType::Date32) {
                std::int32_t v = 0;
                return parse_date32(text, v) && push_fixed(v);
            }
            return append_typed(text);
        }
        if (!string_room(text.size())) return false;
        if (offsets_.empty()) [[unlikely]] start_offsets();
        values_.append(text);
        if (large_) {
            offsets_.push(static_cast<std::int64_t>(values_.size()));
        } else {
            offsets_.push(static_cast<std::int32_t>(values_.size()));
        }
        if (has_validity_) set_valid(true);
        ++length_;
        return true;
    }
    void append_null();
    // Drops the cells from `length` on.
    void truncate(std::size_t length) noexcept;
    // Drops the first `count` cells, moving the rest to the front.
    void drop_front(std::size_t count) noexcept;
    // Moves the cells into `out` (which gets its own release callback) and
    // starts again empty. Throws std::bad_alloc, leaving `out` untouched.
    void finish(ArrowArray* out);
    // finish for a caller that owns the struct: `out` gets the cells with its
    // buffer pointers in `slots` (three), and its release and private_data
    // null for the caller to set; the buffers' blocks go to the caller, to be
    // given back with OwnedBuffer::free_released. Throws as finish does.
    void finish_into(ArrowArray* out, const void** slots);
    // An Int64 column becomes Float64, each value the double its text reads
    // as (an int64's nearest double, which parse_float64 gives too).
    void ints_to_floats() noexcept;

private:
    [[nodiscard]] bool append_typed(std::string_view text);
    // A fixed-width value read: stored, and the cell marked valid.
    template <typename T>
    [[gnu::always_inline]] bool push_fixed(T value) {
        values_.push(value);
        if (has_validity_) set_valid(true);
        ++length_;
        return true;
    }
    // Inlined: a column with nulls sets a bit for every cell.
    void set_valid(bool valid) {
        const std::size_t need = length_ / 8 + 1;
        if (validity_.size() < need) validity_.resize_zeroed(need);
        const auto bit = static_cast<std::uint8_t>(1u << (length_ % 8));
        std::uint8_t& byte = validity_.data()[length_ / 8];
        byte = static_cast<std::uint8_t>(valid ? (byte | bit) : (byte & ~bit));
    }
    void start_offsets();
    // finish_into for a column without a cell, or only null ones: no block.
    // False when the cells are more than the shared zeros cover.
    [[nodiscard]] bool finish_as_zeros(ArrowArray* out, const void** slots) noexcept;
    // Fills `out` but for release and private_data, its buffers in `slots`.
    void hand_out(ArrowArray* out, const void** slots, std::size_t n_buffers,
                  std::int64_t null_count) const noexcept;
    // Writes the cells of a column null so far into its buffers.
    void write_pending_nulls();
    // After cells were cut: no validity when no null is left, else the
    // validity cut to `bytes`.
    void drop_validity_if_all_valid(std::size_t bytes) noexcept;

    // The counts first and the flags together: one builder per column.
    std::size_t length_ = 0;
    std::int64_t null_count_ = 0;
    ColumnType type_;
    bool large_;
    char thousands_;
    bool has_validity_ = false;
    // Every cell so far is null and none is written yet: a column that stays
    // empty (wide files are mostly such columns) takes no buffer at all.
    bool nulls_pending_ = false;
    OwnedBuffer validity_;  // bit i set: cell i is valid
    OwnedBuffer offsets_;  // strings only: length + 1 entries, or none before the first cell
    OwnedBuffer values_;   // string bytes, or the fixed-width values
};

struct BatchLimits {
    std::size_t max_rows = std::size_t{1} << 16;
    std::size_t max_bytes = std::size_t{32} << 20;  // buffer bytes, all columns
};

struct BatchOptions {
    BatchLimits limits;
    bool empty_as_null = true;   // "" is null rather than an empty string
    bool large_strings = false;  // 64-bit string offsets for the whole stream
    bool null_misfits = false;   // a value its column's type cannot hold is null (type_errors="null")
    char thousands = 0;          // thousands="," and the like: numbers may group digits (0: none)
    NullTexts null_texts{};      // null_values: texts read as null besides ""
    // String columns also read each value in the type its column seems to
    // have (TypedCopies), so a batch kept as strings need not be read again
    // once the types are known. `decimal` as for ScanOptions.
    bool typed_copies = false;
    char decimal = 0;

    [[nodiscard]] bool null_cell(std::string_view value) const noexcept {
        return value.empty() ? empty_as_null : null_texts.contains(value);
    }
};

// A batch's string columns as read in the types they seemed to have (a
// typed column built beside each string one, given up at its first value
// that the type refuses, or, with null_misfits, null there): column i as
// types[i] where one was kept, else released. Owns what it holds.
struct TypedCopies {
    std::vector<ArrowArray> columns;
    std::vector<ColumnType> types;

    TypedCopies() = default;
    TypedCopies(TypedCopies&& other) noexcept = default;
    TypedCopies& operator=(TypedCopies&& other) noexcept;
    TypedCopies(const TypedCopies&) = delete;
    TypedCopies& operator=(const TypedCopies&) = delete;
    ~TypedCopies() { clear(); }
    void clear() noexcept;
    // Bytes held in the kept columns' buffers.
    [[nodiscard]] std::size_t bytes() const noexcept;
};

enum class AppendResult : std::uint8_t {
    Ok,
    Full,     // nothing appended: 32-bit offsets cannot take the row; finish the batch, append again
    Refused,  // nothing appended: refusal() says why
};

class BatchBuilder {
public:
    BatchBuilder(std::vector<ColumnSpec> columns, BatchOptions options);
    // Builders of one table share its specs, rather than a copy each.
    BatchBuilder(std::shared_ptr<std::vector<ColumnSpec>> columns, BatchOptions options);

    [[nodiscard]] const std::vector<ColumnSpec>& columns() const noexcept { return *specs_; }
    [[nodiscard]] const std::shared_ptr<std::vector<ColumnSpec>>& shared_columns() const noexcept { return specs_; }
    [[nodiscard]] const BatchOptions& options() const noexcept { return options_; }

    // One row. A row narrower than the table gets nulls for its missing
    // cells; a wider one, or a value not in its column's format, is refused.
    [[nodiscard]] AppendResult append_row(const RowBuffer& row);
    [[nodiscard]] AppendResult append_row(std::span<const std::string_view> fields);

    // Adds columns on the right, null in the rows already appended: for
    // rows wider than any before when the width is not known in advance.
    // Throws std::bad_alloc, leaving the builder as it was.
    void add_columns(std::span<const ColumnSpec> more);

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    // Drops the first `count` rows (rows read before the true start of a
    // chunk, or a header), moving the rest to the front.
    void drop_front(std::size_t count) noexcept;
    // Drops every row, keeping the columns.
    void clear() noexcept;
    // Approximate buffer bytes of the current batch.
    [[nodiscard]] std::size_t bytes() const noexcept { return bytes_; }
    // A limit is reached: finish the batch before appending more. A single
    // row larger than max_bytes still makes a batch of its own.
    [[nodiscard]] bool full() const noexcept {
        return rows_ >= options_.limits.max_rows || bytes_ >= options_.limits.max_bytes;
    }
    // With typed_copies: for each value of the last row appended, the
    // types it certainly fits, as its column's typed copy read it
    // (ColumnInference::fitting; 0: not read, or a null cell).
    [[nodiscard]] std::span<const ColumnInference::TypeSet> read_fits() const noexcept { return fits_; }
    // Why the last refused row was refused (Status::Kind::Invalid).
    [[nodiscard]] const Status& refusal() const noexcept { return refusal_; }

    // The rows so far as a struct array (one child per column); the builder
    // then starts an empty batch. Throws std::bad_alloc, `out` untouched.
    void finish(ArrowArray* out);
    // finish, with the typed copies of its string columns (typed_copies).
    void finish(ArrowArray* out, TypedCopies& copies);
    // The schema of every batch this builder makes. Throws std::bad_alloc.
    void export_schema(ArrowSchema* out) const;

private:
    template <typename Fields>
    AppendResult append_fields(const Fields& fields, std::size_t n);

    // One string column's typed copy: undecided until its first value,
    // which picks the type; dropped at a value the type refuses. An
    // undecided copy's cells are the batch's rows so far, all null.
    enum class CopyState : std::uint8_t { Undecided, Live, Dropped };
    struct LiveCopy {
        ColumnBuilder column;
        bool negative_zero = false;  // an Int64 copy read "-0": as floats it would be -0.0
        // What a value it reads fits, up to DBL_DIG bytes and longer (read_fits).
        ColumnInference::TypeSet fits_short = 0;
        ColumnInference::TypeSet fits_long = 0;
    };
    // A value for copy i that a live copy did not take: an undecided copy
    // picks its type from it; a refusing one turns float, takes a null or is dropped.
    void copy_value(std::size_t i, std::string_view value);
    void set_fits(LiveCopy& copy) const noexcept;
    void truncate_copies(std::size_t rows) noexcept;
    void reset_copies() noexcept;

    std::shared_ptr<std::vector<ColumnSpec>> specs_;  // never null
    BatchOptions options_;
    std::vector<ColumnBuilder> builders_;
    std::size_t rows_ = 0;
    std::size_t bytes_ = 0;
    std::size_t fixed_row_bytes_ = 0;
    Status refusal_;
    // One per column with typed_copies, else none. Apart, so that a column
    // whose copy never goes live (wide tables are mostly such) holds a few bytes;
    // a copy's cells stay from batch to batch, its blocks at the size they reached.
    std::vector<CopyState> copy_states_;
    std::vector<std::unique_ptr<LiveCopy>> copies_;
    std::vector<ColumnInference::TypeSet> fits_;  // as copies_: read_fits
};

// The columns' cells as one struct array of `rows` rows (every builder
// holds that many cells); every builder then starts empty. Where `moved[i]`
// is given, that finished array becomes child i instead (and is marked
// released), so a column can pass through without a copy. Throws
// std::bad_alloc: the cells are dropped, `out` and `moved` untouched.
void assemble_batch(std::size_t rows, std::span<ColumnBuilder> columns, ArrowArray* out,
                    std::span<ArrowArray* const> moved = {});

// The Arrow format string of a column type ("u"/"U", "l", "g", "b", "tdD", "tsu:", "tsu:UTC").
[[nodiscard]] const char* arrow_format(ColumnType type, bool large_strings) noexcept;

// A struct schema with one nullable child per column. Throws std::bad_alloc.
void export_schema(std::span<const ColumnSpec> columns, bool large_strings, ArrowSchema* out);

}  // namespace brinewick::arrow
