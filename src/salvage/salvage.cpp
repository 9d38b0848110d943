#include "salvage.hpp"

#include <cstdio>
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
    TableSink(RowTable& rows, std::vector<QuarantineRecord>& quarantine, bool keep_quarantine)
        : rows_(rows), quarantine_(quarantine), keep_quarantine_(keep_quarantine) {}
    bool clean_row(const RowBuffer& row) override {
        rows_.push_row(row);
        return true;
    }
    void quarantine_row(QuarantineRecord record) override { quarantine_.push_back(std::move(record)); }
    void quarantine_parsed(const RowBuffer& row, std::string_view reason, std::size_t line) override {
        if (keep_quarantine_) RowSink::quarantine_parsed(row, reason, line);
    }

private:
    RowTable& rows_;
    std::vector<QuarantineRecord>& quarantine_;
    bool keep_quarantine_;
};

}  // namespace

std::string too_few_columns_reason(std::size_t expected) {
    return "Row has too few columns (expected " + std::to_string(expected) + ")";
}

std::string extra_columns_reason(std::size_t expected) {
    return "Row has extra columns (expected " + std::to_string(expected) + ")";
}

Dialect settle_dialect(std::string_view text, const SalvageOptions& options,
                       CancelCheck* cancel) {
    const SniffedDialect sniffed = sniff_dialect(text, options.delimiter, options.expected_columns, cancel);
    return Dialect{sniffed.delimiter, sniffed.columns};
}

std::string sniffed_quote_clash(std::uint8_t delimiter, std::uint8_t quote) {
    if (delimiter != quote) return {};
    char shown[8];
    if (quote >= 0x20 && quote < 0x7f) {
        std::snprintf(shown, sizeof shown, "'%c'", quote);
    } else {
        std::snprintf(shown, sizeof shown, "'\\x%02x'", quote);
    }
    return std::string("quote_char ") + shown + " is the sniffed delimiter; pass delimiter= or another quote_char";
}

RowVerdict classify_row(RowBuffer& row, const SalvageOptions& options, const Dialect& dialect) {
    const std::size_t expected = dialect.expected_columns;
    const std::size_t fields = row.size();
    if (expected == 0 || fields == expected) return RowVerdict::Kept;
    if (fields < expected) {
        if (!options.fill_ragged_rows) return RowVerdict::TooFew;
        row.pad_to(expected);  // counted, not stored: any width costs the same
        return RowVerdict::Padded;
    }
    if (!options.merge_overflow) return RowVerdict::TooMany;
    row.merge_tail(expected - 1, dialect.delimiter);
    return RowVerdict::Merged;
}

SalvageSummary classify_rows(std::string_view text, const SalvageOptions& options,
                             const Dialect& dialect, RowSink& sink, CancelCheck* cancel) {
    const std::size_t expected = dialect.expected_columns;
    SalvageSummary summary;
    summary.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.inferred_columns = expected;

    ResilientParser parser(text, dialect.delimiter, options.quote_char, options.repair_quotes);
    parser.set_cancel_check(cancel);
    RowBuffer row;
    std::string too_few;
    std::string extra;

    auto quarantine = [&](std::string& reason, std::string (*make)(std::size_t),
                          std::size_t line) {
        if (reason.empty()) reason = make(expected);
        sink.quarantine_parsed(row, reason, line);
        ++summary.quarantined_rows;
    };

    for (;;) {
        // The row begins on the line the parser stands on before reading it.
        const std::size_t line = parser.line();
        const std::size_t start = parser.position();
        if (!parser.next_row(row)) break;
        ++summary.total_rows;

        const RowVerdict verdict = classify_row(row, options, dialect);
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

        // Copies of the row's bytes that follow give the same row and the
        // same verdict: handed over in one call. (Set-aside rows carry their
        // own line numbers, so they never come here.)
        if (const std::size_t copies = parser.skip_repeats(start, line)) {
            if (!sink.clean_row_repeated(row, copies)) return summary;
            summary.total_rows += copies;
            summary.salvaged_rows += copies;
            if (verdict != RowVerdict::Kept) summary.repaired_rows += copies;
        }
    }
    return summary;
}

SalvageOutcome salvage_slice(std::string_view text, const SalvageOptions& options,
                             CancelCheck* cancel, bool keep_quarantine) {
    SalvageOutcome outcome;
    if (text.empty()) return outcome;  // comma and zero counters, options aside
    const Dialect dialect = settle_dialect(text, options, cancel);
    if (was_cancelled(cancel)) return outcome;
    if (!options.delimiter) {
        outcome.refused = sniffed_quote_clash(dialect.delimiter, options.quote_char);
        if (!outcome.refused.empty()) return outcome;
    }
    TableSink sink(outcome.rows, outcome.quarantine, keep_quarantine);
    outcome.summary = classify_rows(text, options, dialect, sink, cancel);
    return outcome;
}

}  // namespace brinewick
