#include "salvage.hpp"

#include <utility>

#include "../heuristics/heuristics.hpp"
#include "../parser/resilient_parser.hpp"
#include "../parser/utf8.hpp"

namespace brinewick {
namespace {

// Keeps clean rows in a table and records in a vector, for readers of the
// whole outcome.
class TableSink final : public RowSink {
public:
    TableSink(RowTable& rows, std::vector<QuarantineRecord>& quarantine)
        : rows_(rows), quarantine_(quarantine) {}
    bool clean_row(const RowBuffer& row) override {
        rows_.push_row(row);
        return true;
    }
    void quarantine_row(QuarantineRecord record) override { quarantine_.push_back(std::move(record)); }

private:
    RowTable& rows_;
    std::vector<QuarantineRecord>& quarantine_;
};

// Fields from `first` on become one field, joined by the delimiter character.
void merge_overflow_fields(RowBuffer& row, std::size_t first, std::uint8_t delimiter,
                           std::string& scratch) {
    scratch.clear();
    bool ascii = delimiter < 0x80;
    for (std::size_t i = first; i < row.size(); ++i) {
        if (i > first) append_latin1_char(scratch, delimiter);
        scratch.append(row.field(i));
        ascii = ascii && row.field_is_ascii(i);
    }
    row.truncate(first);
    row.push_text_field(scratch, ascii, true);  // it holds the delimiter now
}

}  // namespace

std::string too_few_columns_reason(std::size_t expected) {
    return "Row has too few columns (expected " + std::to_string(expected) + ")";
}

std::string extra_columns_reason(std::size_t expected) {
    return "Row has extra columns (expected " + std::to_string(expected) + ")";
}

Dialect settle_dialect(std::string_view text, const SalvageOptions& options) {
    Dialect dialect;
    dialect.delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(text);
    dialect.expected_columns = options.expected_columns
                                   ? *options.expected_columns
                                   : infer_column_count(text, dialect.delimiter);
    return dialect;
}

RowVerdict classify_row(RowBuffer& row, const SalvageOptions& options, const Dialect& dialect,
                        std::string& scratch) {
    const std::size_t expected = dialect.expected_columns;
    const std::size_t fields = row.size();
    if (expected == 0 || fields == expected) return RowVerdict::Kept;
    if (fields < expected) {
        if (!options.fill_ragged_rows) return RowVerdict::TooFew;
        for (std::size_t i = fields; i < expected; ++i) row.push_text_field({}, true, false);
        return RowVerdict::Padded;
    }
    if (!options.merge_overflow) return RowVerdict::TooMany;
    merge_overflow_fields(row, expected - 1, dialect.delimiter, scratch);
    return RowVerdict::Merged;
}

SalvageSummary classify_rows(std::string_view text, const SalvageOptions& options,
                             const Dialect& dialect, RowSink& sink) {
    const std::size_t expected = dialect.expected_columns;
    SalvageSummary summary;
    summary.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.inferred_columns = expected;

    ResilientParser parser(text, dialect.delimiter, options.quote_char, options.repair_quotes);
    RowBuffer row;
    std::string scratch;
    std::string too_few;
    std::string extra;

    auto quarantine = [&](std::string& reason, std::string (*make)(std::size_t),
                          std::size_t line) {
        if (reason.empty()) reason = make(expected);
        sink.quarantine_row(QuarantineRecord{row.to_strings(), reason, line});
        ++summary.quarantined_rows;
    };

    for (;;) {
        // The row begins on the line the parser stands on before reading it.
        const std::size_t line = parser.line();
        if (!parser.next_row(row)) break;
        ++summary.total_rows;

        const RowVerdict verdict = classify_row(row, options, dialect, scratch);
        if (verdict == RowVerdict::TooFew) {
            quarantine(too_few, &too_few_columns_reason, line);
            continue;
        }
        if (verdict == RowVerdict::TooMany) {
            quarantine(extra, &extra_columns_reason, line);
            continue;
        }
        if (!sink.clean_row(row)) return summary;
        ++summary.salvaged_rows;
        if (verdict != RowVerdict::Kept) ++summary.repaired_rows;
    }
    return summary;
}

SalvageOutcome salvage_slice(std::string_view text, const SalvageOptions& options) {
    SalvageOutcome outcome;
    if (text.empty()) return outcome;  // comma and zero counters, options aside
    const Dialect dialect = settle_dialect(text, options);
    TableSink sink(outcome.rows, outcome.quarantine);
    outcome.summary = classify_rows(text, options, dialect, sink);
    return outcome;
}

}  // namespace brinewick
