#include "record_tables.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "array_stream.hpp"
#include "batch_builder.hpp"

namespace brinewick::arrow {
namespace {

// A column's type by its name: the numbers are int64, the rest text.
ColumnType record_column_type(std::string_view name) noexcept {
    return name == "line" || name == "byte_offset" || name == "expected" || name == "found" ? ColumnType::Int64
                                                                                             : ColumnType::Utf8;
}

template <std::size_t N>
std::vector<ColumnSpec> record_columns(const std::array<std::string_view, N>& names) {
    std::vector<ColumnSpec> specs;
    for (const std::string_view name : names) specs.push_back({std::string(name), record_column_type(name)});
    return specs;
}

// One record's cells in column order: a null cell is nullopt.
using Cells = std::vector<std::optional<std::string_view>>;

// One of the two tables, a bounded batch per call.
class RecordsProducer final : public BatchProducer {
public:
    RecordsProducer(std::shared_ptr<const ReadRecords> records, bool quarantine)
        : records_(std::move(records)),
          quarantine_(quarantine),
          specs_(quarantine ? record_columns(stream::kQuarantineColumns) : record_columns(stream::kChangesColumns)) {
        for (const ColumnSpec& spec : specs_) columns_.emplace_back(spec.type);
        cells_.resize(specs_.size());
    }

    Status schema(ArrowSchema* out) override {
        export_schema(specs_, false, out);
        return Status::ok();
    }

    Status next(ArrowArray* out) override {
        const std::size_t count = quarantine_ ? records_->quarantine.size() : records_->changes.size();
        std::size_t rows = 0;
        while (next_ < count && rows < limits_.max_rows && bytes() < limits_.max_bytes) {
            fill(next_);
            if (!fits()) {
                if (rows > 0) break;  // the record opens the next batch
                return Status::invalid("a record's text is too long for an Arrow string column");
            }
            for (std::size_t i = 0; i < cells_.size(); ++i) {
                if (!cells_[i]) {
                    columns_[i].append_null();
                } else if (!columns_[i].append(*cells_[i])) {
                    return Status::internal("a record's cell was refused");
                }
            }
            ++rows;
            ++next_;
        }
        if (rows > 0) assemble_batch(rows, columns_, out);
        return Status::ok();
    }

private:
    // The cells of record `index`, into cells_ (their text in the scratch strings).
    void fill(std::size_t index) {
        std::size_t n = 0;
        std::size_t numbers = 0;
        const auto number = [&](std::uint64_t value) {
            char* const at = digits_[numbers++];
            const auto end = std::to_chars(at, at + sizeof digits_[0], value).ptr;
            cells_[n++] = std::string_view(at, static_cast<std::size_t>(end - at));
        };
        const auto counts = [&](const std::optional<stream::FieldCounts>& c) {
            if (c) {
                number(c->expected);
                number(c->found);
            } else {
                cells_[n++] = std::nullopt;
                cells_[n++] = std::nullopt;
            }
        };
        if (quarantine_) {
            const QuarantineRecord& r = records_->quarantine[index];
            number(r.line);
            number(r.byte_offset);
            cells_[n++] = r.reason;
            counts(r.counts);
            cells_[n++] = r.raw;
        } else {
            const ChangeRecord& r = records_->changes[index];
            number(r.line);
            number(r.byte_offset);
            cells_[n++] = stream::change_kind_name(r.kind);
            cells_[n++] = r.column.empty() ? std::nullopt : std::optional<std::string_view>(r.column);
            counts(r.counts);
            cells_[n++] = r.detail;
        }
    }

    // Whether every text cell still fits its column's 32-bit offsets.
    [[nodiscard]] bool fits() const noexcept {
        for (std::size_t i = 0; i < cells_.size(); ++i) {
            if (cells_[i] && columns_[i].type() == ColumnType::Utf8 && !columns_[i].string_room(cells_[i]->size())) {
                return false;
            }
        }
        return true;
    }

    [[nodiscard]] std::size_t bytes() const noexcept {
        std::size_t total = 0;
        for (const ColumnBuilder& c : columns_) total += c.bytes();
        return total;
    }

    std::shared_ptr<const ReadRecords> records_;
    bool quarantine_;
    std::vector<ColumnSpec> specs_;
    std::vector<ColumnBuilder> columns_;
    BatchLimits limits_;
    Cells cells_;
    char digits_[4][24] = {};
    std::size_t next_ = 0;
};

}  // namespace

bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), true), out);
}

bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), false), out);
}

}  // namespace brinewick::arrow
