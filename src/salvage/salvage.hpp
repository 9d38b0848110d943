// Row salvage: settle the dialect, parse, and sort every row into the clean
// rows (as parsed, padded or merged) or the quarantine.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "../error/salvage_error.hpp"
#include "../parser/cancel_check.hpp"
#include "../parser/row_buffer.hpp"
#include "row_table.hpp"

namespace brinewick {

struct SalvageOptions {
    std::optional<std::uint8_t> delimiter;  // absent: sniffed
    std::uint8_t quote_char = '"';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::size_t> expected_columns;  // absent: inferred; 0: no width check
    bool repair_quotes = true;
    // The package's repair stage (rows that do not fit read again by width);
    // the backend never sets it, so its rows stay the fixed rules' rows.
    bool repair_columns = false;
    // The package's table stage: a blank line is dropped (and recorded)
    // rather than padded; the backend never sets it.
    bool skip_blank_lines = false;
    // The package's table search; the backend sets none of these, so its
    // table always starts at the first row.
    bool find_header = false;                   // the header may stand below a preamble
    std::size_t first_line = 1;                 // lines above it are preamble (skip_rows, header_row)
    std::optional<std::uint8_t> comment;        // rows that begin with it are set aside
    bool skip_repeated_headers = false;         // a later row equal to the header is set aside
};

struct QuarantineRecord {
    std::vector<std::string> fields;  // as parsed: neither padded nor merged
    std::string reason;
    std::size_t line = 0;  // line on which the row begins
};

struct SalvageSummary {
    char32_t detected_delimiter = U',';
    std::size_t total_rows = 0;
    std::size_t salvaged_rows = 0;
    std::size_t repaired_rows = 0;
    std::size_t quarantined_rows = 0;
    std::size_t inferred_columns = 0;
};

struct SalvageOutcome {
    // Set when the sniffed delimiter is the quote; nothing else is then.
    std::string refused;
    RowTable rows;
    std::vector<QuarantineRecord> quarantine;
    SalvageSummary summary;
};

// Receives the classifier's results. `clean_row` returns false to stop the
// run (a sink that failed, say to write); the classifier then returns at once.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual bool clean_row(const RowBuffer& row) = 0;
    // The same clean row `count` more times (rows repeated in the input).
    virtual bool clean_row_repeated(const RowBuffer& row, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!clean_row(row)) return false;
        }
        return true;
    }
    virtual void quarantine_row(QuarantineRecord record) = 0;
    // The classifier hands a quarantined row over here, as parsed. A sink
    // that can use the row as it stands overrides this and skips the
    // record's string per field.
    virtual void quarantine_parsed(const RowBuffer& row, std::string_view reason, std::size_t line) {
        quarantine_row(QuarantineRecord{row.to_strings(), std::string(reason), line});
    }
};

// The dialect a run settles on before any row is classified.
struct Dialect {
    std::uint8_t delimiter = ',';
    std::size_t expected_columns = 0;
    // Where the table starts: rows that begin before this offset are its
    // preamble (titles, notes, an export's parameters), set aside.
    std::uint64_t table_offset = 0;
    std::size_t table_line = 1;
    // The header's text (its line, without the break and any BOM): a later
    // row with the same text is a repeated header. Empty: none is looked for.
    std::string header_text{};
    // What the rows above the header are known by when they come again
    // (files joined end to end, each with its preamble), each key ended by
    // a line break; and the first bytes of those keys, a cheap first look.
    std::string preamble_keys{};
    std::bitset<256> preamble_starts{};
    // The first row is Excel's "sep=;" line, which names the delimiter: it
    // is dropped (and recorded), not read as a row.
    bool separator_line = false;
};

// Every parse below asks `cancel` (none: never) as it goes. Once it says
// stop, the run ends early and what it returns is incomplete: the caller
// tells by cancel->stopped() and discards it.

// Settles delimiter and expected column count for a non-empty text.
[[nodiscard]] Dialect settle_dialect(std::string_view text, const SalvageOptions& options,
                                     CancelCheck* cancel = nullptr);

// Why a sniffed `delimiter` cannot be used with `quote`: every field would
// open a quote. Empty when the two differ.
[[nodiscard]] std::string sniffed_quote_clash(std::uint8_t delimiter, std::uint8_t quote);

// What classification does with one parsed row.
enum class RowVerdict : std::uint8_t {
    Kept,     // already the dialect's width (or no width is checked)
    Padded,   // empty fields added
    Merged,   // surplus fields joined into the last column
    TooFew,   // set aside: too few columns and padding is off
    TooMany,  // set aside: extra columns and merging is off
    // Set aside by the package's table stage whatever their width.
    Preamble,        // above the table's header
    Comment,         // begins with the comment character
    RepeatedHeader,  // the header again (files joined end to end)
    ReorderedHeader,  // the header's names in another order (a file joined whose columns are)
    NulPadding,      // nothing but NUL bytes (a file padded or cut short on disk)
};

[[nodiscard]] constexpr bool is_set_aside(RowVerdict verdict) noexcept {
    return verdict != RowVerdict::Kept && verdict != RowVerdict::Padded && verdict != RowVerdict::Merged;
}

// Brings `row` to the dialect's width in place where the options allow, or
// says why it is set aside (then `row` is as parsed).
RowVerdict classify_row(RowBuffer& row, const SalvageOptions& options, const Dialect& dialect);

// Parses `text` under `dialect` and feeds every row to `sink`; returns the
// counters (complete only when neither the sink nor `cancel` stopped the run).
SalvageSummary classify_rows(std::string_view text, const SalvageOptions& options,
                             const Dialect& dialect, RowSink& sink, CancelCheck* cancel = nullptr);

// The whole classification of a text held in memory. Without
// `keep_quarantine` the records are only counted (a caller that drops them
// need not pay for them).
[[nodiscard]] SalvageOutcome salvage_slice(std::string_view text, const SalvageOptions& options,
                                           CancelCheck* cancel = nullptr,
                                           bool keep_quarantine = true);

// Text of a reason, with the expected count filled in.
[[nodiscard]] std::string too_few_columns_reason(std::size_t expected);
[[nodiscard]] std::string extra_columns_reason(std::size_t expected);

}  // namespace brinewick
