#include "schema_scan.hpp"

#include <cstring>

#include "column_names.hpp"

namespace brinewick::arrow {

void SchemaScanner::add_row(const RowBuffer& row) {
    struct Fields {
        const RowBuffer& row;
        std::string_view operator[](std::size_t i) const noexcept { return row.field(i); }
    };
    add_fields(Fields{row}, row.size());
}

void SchemaScanner::add_row(std::span<const std::string_view> fields) { add_fields(fields, fields.size()); }

template <typename Fields>
void SchemaScanner::add_fields(const Fields& fields, std::size_t n) {
    if (n > width_) width_ = n;
    if (options_.header && !header_done_) {
        header_done_ = true;
        header_.reserve(n);
        for (std::size_t i = 0; i < n; ++i) header_.emplace_back(fields[i]);
        return;
    }
    ++data_rows_;
    if (!options_.infer) return;
    if (inference_.size() < n) inference_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        ColumnInference& col = inference_[i];
        if (col.settled_as_string()) continue;
        const std::string_view v = fields[i];
        if (options_.null_cell(v)) continue;
        col.observe(v, options_.tolerant, options_.thousands);
    }
}

bool SchemaScanner::has_misfits(std::span<const ColumnSpec> columns) const noexcept {
    for (std::size_t i = 0; i < columns.size() && i < inference_.size(); ++i) {
        if (inference_[i].misfits(columns[i].type) != 0) return true;
    }
    return false;
}

void SchemaScanner::merge(std::size_t data_rows, std::size_t width, std::span<const ColumnInference> inference) {
    data_rows_ += data_rows;
    if (width > width_) width_ = width;
    if (!options_.infer) return;
    if (inference_.size() < inference.size()) inference_.resize(inference.size());
    for (std::size_t i = 0; i < inference.size(); ++i) inference_[i].merge(inference[i]);
}

std::variant<std::vector<ColumnSpec>, std::string> SchemaScanner::columns(const TypeOverrides& overrides) const {
    std::vector<std::string_view> header(header_.begin(), header_.end());
    std::vector<ColumnSpec> specs = named_columns(header, width_);
    for (std::size_t i = 0; i < specs.size() && i < inference_.size(); ++i) specs[i].type = inference_[i].result(options_.decimal, options_.thousands);
    for (const auto& [name, type] : overrides) {
        std::size_t i = 0;
        while (i < specs.size() && specs[i].name != name) ++i;
        if (i == specs.size()) return "dtypes names a column the table does not have: '" + name + "'";
        if (type != ColumnType::Utf8 && specs[i].type != type) {
            // Only a type every value already fits can be forced: pass 1 saw them all.
            const bool fits = options_.infer && i < inference_.size() && inference_[i].admits(type);
            if (!fits) {
                return "column '" + name + "' cannot be " + std::string(column_type_name(type)) +
                       ": some of its values are not in that type's format";
            }
        }
        specs[i].type = type;
    }
    return specs;
}

namespace {

// Cell `i` of a string column array as a view, or null.
struct StringCells {
    const ArrowArray* array;
    bool large;
    [[nodiscard]] bool is_null(std::size_t i) const noexcept {
        const auto* bits = static_cast<const std::uint8_t*>(array->buffers[0]);
        const std::size_t k = i + static_cast<std::size_t>(array->offset);
        return bits != nullptr && (bits[k / 8] & (1u << (k % 8))) == 0;
    }
    [[nodiscard]] std::string_view text(std::size_t i) const noexcept {
        const std::size_t k = i + static_cast<std::size_t>(array->offset);
        const auto* data = static_cast<const char*>(array->buffers[2]);
        if (large) {
            const auto* off = static_cast<const std::int64_t*>(array->buffers[1]);
            return {data + off[k], static_cast<std::size_t>(off[k + 1] - off[k])};
        }
        const auto* off = static_cast<const std::int32_t*>(array->buffers[1]);
        return {data + off[k], static_cast<std::size_t>(off[k + 1] - off[k])};
    }
};

}  // namespace

std::string convert_batch(ArrowArray* in, bool in_large_strings, std::span<const ColumnSpec> columns,
                          bool large_strings, ArrowArray* out, bool null_misfits, char thousands,
                          TypedCopies* copies) {
    struct Releaser {
        ArrowArray* a;
        ~Releaser() {
            if (a->release != nullptr) a->release(a);
        }
    } releaser{in};
    const auto rows = static_cast<std::size_t>(in->length);
    const auto have = static_cast<std::size_t>(in->n_children);
    std::vector<ColumnBuilder> builders;
    std::vector<ArrowArray*> moved(columns.size(), nullptr);
    builders.reserve(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        builders.emplace_back(columns[c].type, large_strings, thousands);
        ColumnBuilder& b = builders.back();
        if (c < have && columns[c].type == ColumnType::Utf8 && in_large_strings == large_strings) {
            moved[c] = in->children[c];  // already what it should be
            continue;
        }
        if (copies != nullptr && c < copies->columns.size() && copies->columns[c].release != nullptr &&
            copies->types[c] == columns[c].type) {
            moved[c] = &copies->columns[c];  // read in this type as the batch was built
            continue;
        }
        if (c >= have) {
            for (std::size_t r = 0; r < rows; ++r) b.append_null();
            continue;
        }
        const StringCells cells{in->children[c], in_large_strings};
        for (std::size_t r = 0; r < rows; ++r) {
            if (cells.is_null(r)) {
                b.append_null();
            } else if (!b.append(cells.text(r))) {
                if (null_misfits && b.type() != ColumnType::Utf8) {
                    b.append_null();
                    continue;
                }
                constexpr std::size_t kShown = 60;
                const std::string_view v = cells.text(r);
                return "column '" + columns[c].name + "' is " + std::string(column_type_name(b.type())) +
                       " but holds '" + std::string(v.substr(0, kShown)) + (v.size() > kShown ? "...'" : "'");
            }
        }
    }
    assemble_batch(rows, builders, out, moved);
    return {};
}

}  // namespace brinewick::arrow
