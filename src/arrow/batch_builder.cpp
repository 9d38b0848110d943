#include "batch_builder.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace brinewick::arrow {

std::atomic<std::int64_t> detail::live_buffer_count{0};

std::int64_t live_buffers() noexcept { return detail::live_buffer_count.load(std::memory_order_relaxed); }

namespace {

// The buffers of an array with no cell or only null cells are all zeros: up
// to this size they point here rather than at blocks of their own. Consumers
// only read an imported array's buffers.
constexpr std::size_t kZerosSize = 4096;
alignas(64) constexpr std::uint8_t kZeros[kZerosSize] = {};

// Gives back the blocks of a column array's buffers (the shared zeros are none).
void free_column_buffers(const ArrowArray* array) noexcept {
    for (std::int64_t i = 0; i < array->n_buffers; ++i) {
        const void* b = array->buffers[i];
        if (b != nullptr && b != kZeros) OwnedBuffer::free_released(static_cast<std::uint8_t*>(const_cast<void*>(b)));
    }
}

// What a column array finished on its own owns: its buffer pointers.
struct ColumnPrivate {
    const void* pointers[3] = {nullptr, nullptr, nullptr};
};

void release_column(ArrowArray* array) noexcept {
    if (array == nullptr || array->release == nullptr) return;
    free_column_buffers(array);
    delete static_cast<ColumnPrivate*>(array->private_data);
    array->release = nullptr;
}

// What a finished batch owns, in a few blocks whatever its width: its
// children's structs and their buffer pointers. Each child owns its
// buffers and holds a reference, so one that a consumer moves out outlives
// the batch.
struct BatchPrivate {
    std::atomic<std::size_t> references{1};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    std::vector<std::array<const void*, 3>> buffers;
    const void* validity[1] = {nullptr};  // a struct array's validity: none
};

void drop_reference(BatchPrivate* p) noexcept {
    if (p->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p;
}

void release_batch_child(ArrowArray* array) noexcept {
    if (array == nullptr || array->release == nullptr) return;
    free_column_buffers(array);
    drop_reference(static_cast<BatchPrivate*>(array->private_data));
    array->release = nullptr;
}

void release_batch(ArrowArray* array) noexcept {
    if (array == nullptr || array->release == nullptr) return;
    auto* p = static_cast<BatchPrivate*>(array->private_data);
    for (ArrowArray& child : p->children) {
        if (child.release != nullptr) child.release(&child);  // skips children moved out
    }
    array->release = nullptr;
    drop_reference(p);
}

// What an exported schema owns, in three blocks whatever its width: the
// children's structs, the pointers to them and every name, end to end. The
// formats are static strings. The parent and each child hold a reference,
// so a child that a consumer moves out outlives the parent.
struct SchemaPrivate {
    std::atomic<std::size_t> references{1};
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
    std::string names;  // each name followed by its NUL
};

void drop_reference(SchemaPrivate* p) noexcept {
    if (p->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p;
}

void release_schema_child(ArrowSchema* schema) noexcept {
    if (schema == nullptr || schema->release == nullptr) return;
    drop_reference(static_cast<SchemaPrivate*>(schema->private_data));
    schema->release = nullptr;
}

void release_schema(ArrowSchema* schema) noexcept {
    if (schema == nullptr || schema->release == nullptr) return;
    auto* p = static_cast<SchemaPrivate*>(schema->private_data);
    for (ArrowSchema& child : p->children) {
        if (child.release != nullptr) child.release(&child);  // skips children moved out
    }
    schema->release = nullptr;
    drop_reference(p);
}

std::size_t fixed_width(ColumnType type, bool large) noexcept {
    switch (type) {
        case ColumnType::Utf8: return large ? 8 : 4;  // the offset
        case ColumnType::Date32:
        case ColumnType::Date32DayFirst:
        case ColumnType::Date32MonthFirst:
        case ColumnType::Date32DayFirstDots: return 4;
        case ColumnType::Bool: return 1;  // an eighth, rounded up
        case ColumnType::Int64:
        case ColumnType::Float64:
        case ColumnType::Float64DecimalComma:
        case ColumnType::Int64Commas:
        case ColumnType::Float64Commas:
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc:
        case ColumnType::TimestampDayFirst:
        case ColumnType::TimestampMonthFirst:
        case ColumnType::TimestampDayFirstDots: return 8;
    }
    return 8;
}

}  // namespace

const char* arrow_format(ColumnType type, bool large_strings) noexcept {
    switch (type) {
        case ColumnType::Utf8: return large_strings ? "U" : "u";
        case ColumnType::Int64:
        case ColumnType::Int64Commas: return "l";
        case ColumnType::Float64:
        case ColumnType::Float64DecimalComma:
        case ColumnType::Float64Commas: return "g";
        case ColumnType::Bool: return "b";
        case ColumnType::Date32:
        case ColumnType::Date32DayFirst:
        case ColumnType::Date32MonthFirst:
        case ColumnType::Date32DayFirstDots: return "tdD";
        case ColumnType::Timestamp:
        case ColumnType::TimestampDayFirst:
        case ColumnType::TimestampMonthFirst:
        case ColumnType::TimestampDayFirstDots: return "tsu:";
        case ColumnType::TimestampUtc: return "tsu:UTC";
    }
    return "u";
}

void export_schema(std::span<const ColumnSpec> columns, bool large_strings, ArrowSchema* out) {
    auto p = std::make_unique<SchemaPrivate>();
    std::size_t name_bytes = 0;
    for (const ColumnSpec& c : columns) name_bytes += c.name.size() + 1;
    p->names.reserve(name_bytes);
    for (const ColumnSpec& c : columns) p->names.append(c.name).push_back('\0');
    p->children.resize(columns.size());
    p->pointers.resize(columns.size());
    // Nothing below allocates: the children go out with the parent.
    const char* name = p->names.data();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        ArrowSchema& child = p->children[i];
        child.format = arrow_format(columns[i].type, large_strings);
        child.name = name;
        child.metadata = nullptr;
        child.flags = ARROW_FLAG_NULLABLE;
        child.n_children = 0;
        child.children = nullptr;
        child.dictionary = nullptr;
        child.release = release_schema_child;
        child.private_data = p.get();
        p->pointers[i] = &child;
        name += columns[i].name.size() + 1;
    }
    p->references.store(columns.size() + 1, std::memory_order_relaxed);
    out->format = "+s";
    out->name = "";
    out->metadata = nullptr;
    out->flags = 0;
    out->n_children = static_cast<std::int64_t>(columns.size());
    out->children = p->pointers.empty() ? nullptr : p->pointers.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = p.release();
}

// Nothing is allocated before the first cell: a table of a million columns
// would otherwise hold a block per column before reading a row.
ColumnBuilder::ColumnBuilder(ColumnType type, bool large_strings, char thousands)
    : type_(type), large_(large_strings), thousands_(thousands) {}

void ColumnBuilder::start_offsets() {
    if (type_ != ColumnType::Utf8) return;
    if (large_) {
        offsets_.push(std::int64_t{0});
    } else {
        offsets_.push(std::int32_t{0});
    }
}

void ColumnBuilder::write_pending_nulls() {
    const std::size_t n = length_;
    validity_.clear();
    offsets_.clear();
    values_.clear();
    validity_.resize_zeroed(n / 8 + 1);
    switch (type_) {
        case ColumnType::Utf8: offsets_.resize_zeroed((n + 1) * (large_ ? 8 : 4)); break;
        case ColumnType::Bool: values_.resize_zeroed(n / 8 + 1); break;
        default: values_.resize_zeroed(n * fixed_width(type_, large_)); break;
    }
    has_validity_ = true;
    nulls_pending_ = false;
}

void ColumnBuilder::append_null() {
    if (nulls_pending_ || length_ == 0) {
        nulls_pending_ = true;
        ++null_count_;
        ++length_;
        return;
    }
    if (!has_validity_) {
        // First null: every earlier cell was valid.
        validity_.resize_zeroed(length_ / 8 + 1);
        for (std::size_t i = 0; i < length_ / 8; ++i) validity_.data()[i] = 0xFF;
        validity_.data()[length_ / 8] = static_cast<std::uint8_t>((1u << (length_ % 8)) - 1);
        has_validity_ = true;
    }
    set_valid(false);
    switch (type_) {
        case ColumnType::Utf8:
            if (offsets_.empty()) start_offsets();
            if (large_) {
                offsets_.push(static_cast<std::int64_t>(values_.size()));
            } else {
                offsets_.push(static_cast<std::int32_t>(values_.size()));
            }
            break;
        case ColumnType::Bool:
            values_.resize_zeroed(length_ / 8 + 1);
            break;
        default:
            values_.resize_zeroed(values_.size() + fixed_width(type_, large_));
            break;
    }
    ++null_count_;
    ++length_;
}

bool ColumnBuilder::append_typed(std::string_view text) {
    switch (type_) {
        case ColumnType::Utf8: return false;  // handled inline
        case ColumnType::Int64: {
            std::int64_t v = 0;
            if (!parse_int64(text, v, thousands_)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Float64: {
            double v = 0;
            if (!parse_float64(text, v, thousands_)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Float64DecimalComma: {
            double v = 0;
            if (!parse_decimal_comma(text, v, thousands_)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Int64Commas: {
            std::int64_t v = 0;
            if (!parse_grouped_int64(text, v, ',')) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Float64Commas: {
            double v = 0;
            if (!parse_grouped_float64(text, v, ',')) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Date32DayFirst:
        case ColumnType::Date32MonthFirst:
        case ColumnType::Date32DayFirstDots: {
            std::int32_t v = 0;
            const char separator = type_ == ColumnType::Date32DayFirstDots ? '.' : '/';
            if (!parse_date32_parts(text, separator, type_ != ColumnType::Date32MonthFirst, v)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Bool: {
            bool v = false;
            if (!parse_bool(text, v)) return false;
            values_.resize_zeroed(length_ / 8 + 1);
            const auto bit = static_cast<std::uint8_t>(1u << (length_ % 8));
            std::uint8_t& byte = values_.data()[length_ / 8];
            byte = static_cast<std::uint8_t>(v ? (byte | bit) : (byte & ~bit));
            break;
        }
        case ColumnType::Date32: {
            std::int32_t v = 0;
            if (!parse_date32(text, v)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc: {
            std::int64_t v = 0;
            bool zoned = false;
            if (!parse_timestamp(text, v, zoned)) return false;
            if (zoned != (type_ == ColumnType::TimestampUtc)) return false;
            values_.push(v);
            break;
        }
        case ColumnType::TimestampDayFirst:
        case ColumnType::TimestampMonthFirst:
        case ColumnType::TimestampDayFirstDots: {
            std::int64_t v = 0;
            const char separator = type_ == ColumnType::TimestampDayFirstDots ? '.' : '/';
            if (!parse_timestamp_parts(text, separator, type_ != ColumnType::TimestampMonthFirst, v)) return false;
            values_.push(v);
            break;
        }
    }
    if (has_validity_) set_valid(true);
    ++length_;
    return true;
}

// Cells cut off took their nulls with them: a column left all valid has no
// validity, as if it never had a null, so that the batches of one file are
// the same bytes whichever rows a thread happened to read and drop.
void ColumnBuilder::drop_validity_if_all_valid(std::size_t bytes) noexcept {
    if (!has_validity_) return;
    if (null_count_ == 0) {
        validity_.clear();
        has_validity_ = false;
    } else {
        validity_.shrink(bytes);
    }
}

void ColumnBuilder::truncate(std::size_t length) noexcept {
    if (length >= length_) return;
    if (nulls_pending_) {
        length_ = length;
        null_count_ = static_cast<std::int64_t>(length);
        nulls_pending_ = length != 0;
        return;
    }
    if (has_validity_) {
        for (std::size_t i = length; i < length_; ++i) {
            if ((validity_.data()[i / 8] & (1u << (i % 8))) == 0) --null_count_;
        }
    } else {
        null_count_ = 0;
    }
    switch (type_) {
        case ColumnType::Utf8:
            if (large_) {
                std::int64_t end = 0;
                std::memcpy(&end, offsets_.data() + length * 8, 8);
                values_.shrink(static_cast<std::size_t>(end));
                offsets_.shrink((length + 1) * 8);
            } else {
                std::int32_t end = 0;
                std::memcpy(&end, offsets_.data() + length * 4, 4);
                values_.shrink(static_cast<std::size_t>(end));
                offsets_.shrink((length + 1) * 4);
            }
            break;
        case ColumnType::Bool:
            values_.shrink((length + 7) / 8);
            break;
        default:
            values_.shrink(length * fixed_width(type_, large_));
            break;
    }
    drop_validity_if_all_valid((length + 7) / 8);
    length_ = length;
}

namespace {

bool bit_at(const std::uint8_t* bits, std::size_t i) noexcept { return (bits[i / 8] >> (i % 8)) & 1u; }

void put_bit(std::uint8_t* bits, std::size_t i, bool on) noexcept {
    const auto bit = static_cast<std::uint8_t>(1u << (i % 8));
    bits[i / 8] = static_cast<std::uint8_t>(on ? (bits[i / 8] | bit) : (bits[i / 8] & ~bit));
}

// Moves bits [count, length) to the front; reads stay ahead of writes.
void shift_bits(std::uint8_t* bits, std::size_t count, std::size_t length) noexcept {
    for (std::size_t i = 0; i + count < length; ++i) put_bit(bits, i, bit_at(bits, i + count));
}

}  // namespace

void ColumnBuilder::drop_front(std::size_t count) noexcept {
    if (count == 0) return;
    if (count >= length_) {
        truncate(0);
        return;
    }
    const std::size_t keep = length_ - count;
    if (nulls_pending_) {
        length_ = keep;
        null_count_ = static_cast<std::int64_t>(keep);
        return;
    }
    if (has_validity_) {
        shift_bits(validity_.data(), count, length_);
        std::int64_t nulls = 0;
        for (std::size_t i = 0; i < keep; ++i) nulls += bit_at(validity_.data(), i) ? 0 : 1;
        null_count_ = nulls;
        drop_validity_if_all_valid((keep + 7) / 8);
    }
    switch (type_) {
        case ColumnType::Utf8: {
            const std::size_t w = large_ ? 8 : 4;
            std::uint8_t* off = offsets_.data();
            std::int64_t base = 0;
            std::int64_t end = 0;
            if (large_) {
                std::memcpy(&base, off + count * 8, 8);
                std::memcpy(&end, off + length_ * 8, 8);
                for (std::size_t i = 0; i <= keep; ++i) {
                    std::int64_t v = 0;
                    std::memcpy(&v, off + (i + count) * 8, 8);
                    v -= base;
                    std::memcpy(off + i * 8, &v, 8);
                }
            } else {
                std::int32_t b32 = 0;
                std::int32_t e32 = 0;
                std::memcpy(&b32, off + count * 4, 4);
                std::memcpy(&e32, off + length_ * 4, 4);
                base = b32;
                end = e32;
                for (std::size_t i = 0; i <= keep; ++i) {
                    std::int32_t v = 0;
                    std::memcpy(&v, off + (i + count) * 4, 4);
                    v -= b32;
                    std::memcpy(off + i * 4, &v, 4);
                }
            }
            offsets_.shrink((keep + 1) * w);
            const auto bytes = static_cast<std::size_t>(end - base);
            if (bytes != 0) std::memmove(values_.data(), values_.data() + base, bytes);
            values_.shrink(bytes);
            break;
        }
        case ColumnType::Bool:
            shift_bits(values_.data(), count, length_);
            values_.shrink((keep + 7) / 8);
            break;
        default: {
            const std::size_t w = fixed_width(type_, large_);
            std::memmove(values_.data(), values_.data() + count * w, keep * w);
            values_.shrink(keep * w);
            break;
        }
    }
    length_ = keep;
}

bool ColumnBuilder::finish_as_zeros(ArrowArray* out, const void** slots) noexcept {
    const std::size_t n = length_;
    if (!nulls_pending_ && n != 0) return false;
    const std::size_t w = fixed_width(type_, large_);
    const std::size_t values = type_ == ColumnType::Bool ? (n + 7) / 8 : (type_ == ColumnType::Utf8 ? 0 : n * w);
    const std::size_t offsets = type_ == ColumnType::Utf8 ? (n + 1) * w : 0;
    if (std::max(values, offsets) > kZerosSize || (n + 7) / 8 > kZerosSize) return false;
    std::size_t k = 0;
    slots[k++] = n != 0 ? kZeros : nullptr;  // validity: every cell null
    if (type_ == ColumnType::Utf8) slots[k++] = kZeros;
    slots[k++] = kZeros;
    hand_out(out, slots, k, static_cast<std::int64_t>(n));
    // The blocks kept from an earlier batch stay for the next one.
    validity_.clear();
    offsets_.clear();
    values_.clear();
    has_validity_ = nulls_pending_ = false;
    length_ = 0;
    null_count_ = 0;
    return true;
}

void ColumnBuilder::hand_out(ArrowArray* out, const void** slots, std::size_t n_buffers,
                             std::int64_t null_count) const noexcept {
    out->length = static_cast<std::int64_t>(length_);
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(n_buffers);
    out->n_children = 0;
    out->buffers = slots;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = nullptr;
    out->private_data = nullptr;
}

void ColumnBuilder::finish_into(ArrowArray* out, const void** slots) {
    if (finish_as_zeros(out, slots)) return;
    if (nulls_pending_) write_pending_nulls();
    // Everything that can fail comes first: every handed-over buffer holds a
    // block, and the next batch's first offset is ready.
    if (type_ == ColumnType::Utf8 && offsets_.empty()) start_offsets();
    if (has_validity_) validity_.reserve_more(1);
    values_.reserve_more(1);
    const std::size_t values_used = values_.size();
    const std::size_t offsets_used = offsets_.size();
    std::size_t n = 0;
    slots[n++] = has_validity_ ? validity_.release() : nullptr;
    if (type_ == ColumnType::Utf8) slots[n++] = offsets_.release();
    slots[n++] = values_.release();
    hand_out(out, slots, n, null_count_);

    // The next batch will likely be about as large: first blocks of this
    // size save the copies of growing step by step, and are taken only at
    // the next batch's first cell.
    offsets_.set_first_capacity(offsets_used);
    values_.set_first_capacity(values_used + values_used / 8);
    has_validity_ = false;
    length_ = 0;
    null_count_ = 0;
}

void ColumnBuilder::ints_to_floats() noexcept {
    if (type_ != ColumnType::Int64) return;
    if (!nulls_pending_) {
        std::uint8_t* data = values_.data();
        for (std::size_t i = 0; i < length_; ++i) {
            std::int64_t v = 0;
            std::memcpy(&v, data + i * 8, 8);
            const auto d = static_cast<double>(v);
            std::memcpy(data + i * 8, &d, 8);
        }
    }
    type_ = ColumnType::Float64;
}

void ColumnBuilder::finish(ArrowArray* out) {
    auto p = std::make_unique<ColumnPrivate>();
    finish_into(out, p->pointers);
    out->release = release_column;
    out->private_data = p.release();
}

BatchBuilder::BatchBuilder(std::vector<ColumnSpec> columns, BatchOptions options)
    : BatchBuilder(std::make_shared<std::vector<ColumnSpec>>(std::move(columns)), options) {}

BatchBuilder::BatchBuilder(std::shared_ptr<std::vector<ColumnSpec>> columns, BatchOptions options)
    : specs_(std::move(columns)), options_(options) {
    builders_.reserve(specs_->size());
    for (const ColumnSpec& c : *specs_) {
        builders_.emplace_back(c.type, options_.large_strings, options_.thousands);
        fixed_row_bytes_ += fixed_width(c.type, options_.large_strings);
    }
    if (options_.typed_copies) {
        copy_states_.resize(builders_.size(), CopyState::Undecided);
        copies_.resize(builders_.size());
        fits_.resize(builders_.size(), 0);
        for (std::size_t i = 0; i < builders_.size(); ++i) {
            if (builders_[i].type() != ColumnType::Utf8) copy_states_[i] = CopyState::Dropped;
        }
    }
}

void BatchBuilder::add_columns(std::span<const ColumnSpec> more) {
    std::vector<ColumnSpec> specs(more.begin(), more.end());
    std::vector<ColumnBuilder> added;
    added.reserve(more.size());
    for (const ColumnSpec& c : more) {
        added.emplace_back(c.type, options_.large_strings, options_.thousands);
        for (std::size_t r = 0; r < rows_; ++r) added.back().append_null();
    }
    // Specs shared with another builder are copied before they grow.
    std::shared_ptr<std::vector<ColumnSpec>> grown =
        specs_.use_count() > 1 ? std::make_shared<std::vector<ColumnSpec>>(*specs_) : specs_;
    grown->reserve(grown->size() + more.size());
    builders_.reserve(builders_.size() + more.size());
    if (options_.typed_copies) {
        copy_states_.reserve(builders_.size() + more.size());
        copies_.reserve(builders_.size() + more.size());
        fits_.reserve(builders_.size() + more.size());
    }
    // Nothing below allocates.
    specs_ = std::move(grown);
    for (std::size_t i = 0; i < more.size(); ++i) {
        specs_->push_back(std::move(specs[i]));
        builders_.push_back(std::move(added[i]));
        fixed_row_bytes_ += fixed_width(more[i].type, options_.large_strings);
        if (options_.typed_copies) {
            fits_.push_back(0);
            copy_states_.push_back(more[i].type == ColumnType::Utf8 ? CopyState::Undecided : CopyState::Dropped);
            copies_.emplace_back();
        }
    }
}

AppendResult BatchBuilder::append_row(const RowBuffer& row) {
    struct Fields {
        const RowBuffer& row;
        std::string_view operator[](std::size_t i) const noexcept { return row.field(i); }
    };
    return append_fields(Fields{row}, row.size());
}

AppendResult BatchBuilder::append_row(std::span<const std::string_view> fields) {
    return append_fields(fields, fields.size());
}

template <typename Fields>
AppendResult BatchBuilder::append_fields(const Fields& fields, std::size_t n) {
    const std::size_t width = builders_.size();
    if (n > width) {
        refusal_ = Status::invalid("a row has " + std::to_string(n) + " fields but the table has " +
                                   std::to_string(width) + " columns");
        return AppendResult::Refused;
    }
    std::size_t text = 0;
    std::size_t i = 0;
    AppendResult refused = AppendResult::Ok;
    const bool copying = !copies_.empty();
    try {
        for (; i < n; ++i) {
            const std::string_view value = fields[i];
            ColumnBuilder& col = builders_[i];
            if (options_.null_cell(value)) {
                col.append_null();
                if (copying) {
                    fits_[i] = 0;
                    if (copy_states_[i] == CopyState::Live) copies_[i]->column.append_null();
                }
                continue;
            }
            if (col.append(value)) {
                text += value.size();
                if (copying) {
                    const CopyState state = copy_states_[i];
                    LiveCopy* copy = copies_[i].get();
                    if (state == CopyState::Live && copy->column.append(value)) {
                        fits_[i] = value.size() <= DBL_DIG ? copy->fits_short : copy->fits_long;
                        // As floats the integers would read "-0" as 0.0.
                        if (value.size() == 2 && value[0] == '-' && value[1] == '0') copy->negative_zero = true;
                    } else if (state != CopyState::Dropped) {
                        copy_value(i, value);
                    }
                }
                continue;
            }
            if (col.type() != ColumnType::Utf8 && options_.null_misfits) {
                col.append_null();  // the first pass recorded it as a type error
                continue;
            }
            if (col.type() == ColumnType::Utf8) {
                // Past 32-bit offsets: a new batch takes the row, unless it is the first.
                if (rows_ > 0) {
                    refused = AppendResult::Full;
                    break;
                }
                refusal_ = Status::invalid("a value of " + std::to_string(value.size()) + " bytes in column '" +
                                           (*specs_)[i].name + "' is past the 2 GiB reach of 32-bit string offsets");
            } else {
                constexpr std::size_t kShown = 60;
                refusal_ = Status::invalid("column '" + (*specs_)[i].name + "' is " +
                                           std::string(column_type_name(col.type())) + " but holds '" +
                                           std::string(value.substr(0, kShown)) +
                                           (value.size() > kShown ? "...'" : "'"));
            }
            refused = AppendResult::Refused;
            break;
        }
        if (i == n) {
            for (std::size_t k = n; k < width; ++k) {
                builders_[k].append_null();  // missing cells
                if (copying && copy_states_[k] == CopyState::Live) copies_[k]->column.append_null();
            }
        }
    } catch (...) {
        for (std::size_t k = 0; k < width; ++k) builders_[k].truncate(rows_);
        truncate_copies(rows_);
        throw;
    }
    if (refused != AppendResult::Ok) {
        for (std::size_t k = 0; k < i; ++k) builders_[k].truncate(rows_);
        truncate_copies(rows_);
        return refused;
    }
    ++rows_;
    bytes_ += text + fixed_row_bytes_;
    return AppendResult::Ok;
}

void BatchBuilder::copy_value(std::size_t i, std::string_view value) {
    fits_[i] = 0;  // stays so while the copy is dropped
    if (copy_states_[i] == CopyState::Undecided) {
        // The type this value alone would give its column.
        ColumnInference one;
        one.observe(value, false, options_.thousands);
        const ColumnType type = one.result(options_.decimal, options_.thousands);
        if (type == ColumnType::Utf8) {
            copy_states_[i] = CopyState::Dropped;
            return;
        }
        std::unique_ptr<LiveCopy>& made = copies_[i];
        if (!made || made->column.type() != type) {
            made = std::make_unique<LiveCopy>(LiveCopy{ColumnBuilder(type, options_.large_strings, options_.thousands)});
        }
        made->negative_zero = false;
        made->column.truncate(0);  // in case nulls were cut short by a failed allocation
        for (std::size_t k = 0; k < rows_; ++k) made->column.append_null();  // the rows so far
        copy_states_[i] = CopyState::Live;
        set_fits(*made);
        if (made->column.append(value)) {
            fits_[i] = value.size() <= DBL_DIG ? made->fits_short : made->fits_long;
            if (value == "-0") made->negative_zero = true;
            return;
        }
    }
    // The copy's type refuses the value.
    LiveCopy& copy = *copies_[i];
    ColumnBuilder& column = copy.column;
    if (column.type() == ColumnType::Int64 && !copy.negative_zero) {
        // "17" then "2.5": the integers so far read the same as floats.
        double v = 0;
        if (parse_float64(value, v, options_.thousands)) {
            column.ints_to_floats();
            set_fits(copy);
            if (column.append(value)) {
                fits_[i] = copy.fits_short;
                return;
            }
        }
    }
    if (options_.null_misfits) {
        column.append_null();  // as the conversion makes it, should the type hold
        return;
    }
    copy_states_[i] = CopyState::Dropped;
    copies_[i].reset();
}

void BatchBuilder::set_fits(LiveCopy& copy) const noexcept {
    copy.fits_short = ColumnInference::fitting(copy.column.type(), DBL_DIG, options_.thousands);
    copy.fits_long = ColumnInference::fitting(copy.column.type(), DBL_DIG + 1, options_.thousands);
}

void BatchBuilder::truncate_copies(std::size_t rows) noexcept {
    for (std::size_t i = 0; i < copies_.size(); ++i) {
        if (copy_states_[i] == CopyState::Live) copies_[i]->column.truncate(rows);
    }
}

void BatchBuilder::reset_copies() noexcept {
    for (std::size_t i = 0; i < copies_.size(); ++i) {
        copy_states_[i] = builders_[i].type() == ColumnType::Utf8 ? CopyState::Undecided : CopyState::Dropped;
        if (copies_[i]) copies_[i]->column.truncate(0);
    }
}

TypedCopies& TypedCopies::operator=(TypedCopies&& other) noexcept {
    if (this != &other) {
        clear();
        columns = std::move(other.columns);
        types = std::move(other.types);
    }
    return *this;
}

void TypedCopies::clear() noexcept {
    for (ArrowArray& a : columns) {
        if (a.release != nullptr) a.release(&a);
    }
    columns.clear();
    types.clear();
}

std::size_t TypedCopies::bytes() const noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ArrowArray& a = columns[i];
        if (a.release == nullptr) continue;
        const auto n = static_cast<std::size_t>(a.length);
        if (a.buffers[0] != nullptr) bytes += (n + 7) / 8;
        bytes += types[i] == ColumnType::Bool ? (n + 7) / 8 : n * fixed_width(types[i], false);
    }
    return bytes;
}

void assemble_batch(std::size_t rows, std::span<ColumnBuilder> columns, ArrowArray* out,
                    std::span<ArrowArray* const> moved) {
    auto p = std::make_unique<BatchPrivate>();
    p->children.resize(columns.size());  // zeroed: release null until finished
    p->pointers.resize(columns.size());
    p->buffers.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) p->pointers[i] = &p->children[i];
    auto is_moved = [&](std::size_t i) { return i < moved.size() && moved[i] != nullptr; };
    std::size_t done = 0;
    try {
        for (; done < columns.size(); ++done) {
            if (is_moved(done)) continue;
            columns[done].finish_into(&p->children[done], p->buffers[done].data());
            p->children[done].release = release_batch_child;
            p->children[done].private_data = p.get();
        }
    } catch (...) {
        // Columns already handed over go with the half-built batch, and the
        // rest are cut back, so every builder is empty and consistent.
        for (std::size_t k = 0; k < done; ++k) {
            if (p->children[k].release != nullptr) free_column_buffers(&p->children[k]);
        }
        for (ColumnBuilder& b : columns) b.truncate(0);
        throw;
    }
    // Nothing fails from here: take the moved arrays over.
    std::size_t references = 1;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (is_moved(i)) {
            p->children[i] = *moved[i];
            moved[i]->release = nullptr;
        } else {
            ++references;
        }
    }
    p->references.store(references, std::memory_order_relaxed);
    out->length = static_cast<std::int64_t>(rows);
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<std::int64_t>(columns.size());
    out->buffers = p->validity;
    out->children = p->pointers.empty() ? nullptr : p->pointers.data();
    out->dictionary = nullptr;
    out->release = release_batch;
    out->private_data = p.release();
}

void BatchBuilder::drop_front(std::size_t count) noexcept {
    if (count == 0) return;
    count = std::min(count, rows_);
    std::size_t bytes = 0;
    for (ColumnBuilder& b : builders_) {
        b.drop_front(count);
        bytes += b.bytes();
    }
    rows_ -= count;
    bytes_ = bytes;
    for (std::size_t i = 0; i < copies_.size(); ++i) {
        if (copy_states_[i] == CopyState::Live) copies_[i]->column.drop_front(count);
    }
}

void BatchBuilder::clear() noexcept {
    for (ColumnBuilder& b : builders_) b.truncate(0);
    rows_ = bytes_ = 0;
    reset_copies();
}

void BatchBuilder::finish(ArrowArray* out) {
    const std::size_t rows = rows_;
    rows_ = bytes_ = 0;  // on failure too: the builders are emptied either way
    reset_copies();
    assemble_batch(rows, builders_, out);
}

void BatchBuilder::finish(ArrowArray* out, TypedCopies& copies) {
    copies.clear();
    try {
        const auto live = [this](std::size_t i) {
            return copy_states_[i] == CopyState::Live && copies_[i]->column.length() == rows_;
        };
        for (std::size_t i = 0; i < copies_.size(); ++i) {
            if (!live(i)) continue;
            if (copies.columns.empty()) {  // else none: wide tables hold nothing per column
                copies.columns.resize(copies_.size());  // zeroed: released
                copies.types.resize(copies_.size(), ColumnType::Utf8);
            }
            copies.types[i] = copies_[i]->column.type();
            copies_[i]->column.finish(&copies.columns[i]);
        }
    } catch (...) {
        copies.clear();
        finish(out);
        return;
    }
    finish(out);
}

void BatchBuilder::export_schema(ArrowSchema* out) const {
    arrow::export_schema(*specs_, options_.large_strings, out);
}

}  // namespace brinewick::arrow
