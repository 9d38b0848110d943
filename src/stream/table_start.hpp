// Where the table inside a file starts: the package's answer to exports
// that put titles, notes or parameters above their header, and to files
// joined end to end that repeat it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../salvage/salvage.hpp"
#include "input_window.hpp"

namespace brinewick::stream {

// One row of the sample the header is looked for in.
struct SampleRow {
    std::uint64_t offset = 0;
    std::size_t line = 1;
    std::size_t width = 0;  // fields
    // Text and fields, for a row of at most kSampleRowBytes (a longer one is
    // `big`: only its width is known) at or below the first line asked for.
    std::string raw;  // its text, without the line break
    std::vector<std::string> fields;
    bool big = false;
    bool blank = false;
    bool open_quote = false;  // ran on inside quotes to the sample's end
};

// Rows among which the header is looked for (non-blank ones), and rows
// under a candidate that must settle into the column count.
inline constexpr std::size_t kHeaderSearchRows = 100;
inline constexpr std::size_t kRowsUnderHeader = 5;
// A longer row is no header and is only measured; the sample stops at
// kSampleBytes of rows.
inline constexpr std::size_t kSampleRowBytes = std::size_t{64} << 10;
inline constexpr std::size_t kSampleBytes = std::size_t{4} << 20;
// Preamble rows remembered to be set aside again, and their longest key.
inline constexpr std::size_t kPreambleKeys = 32;
inline constexpr std::size_t kPreambleKeyBytes = 256;

// Which of `rows` (the input's first, in order, none above `first_line`)
// is the header of a table of `columns` columns: the first row when it
// fits (the usual file), else the first row that reads as names and from
// which the rows settle into the column count, when every row above it
// reads as a preamble. nullopt: none does, and the table starts at the first row.
// `typed_only`: only a header that names a column of numbers or dates.
[[nodiscard]] std::optional<std::size_t> find_header_row(std::span<const SampleRow> rows, std::size_t columns,
                                                         std::optional<std::uint8_t> comment, bool typed_only = false);

// A field that holds a number, a date, a time or an amount rather than a name.
[[nodiscard]] bool looks_like_value(std::string_view field) noexcept;

// The package's second look at a sniffed delimiter, over `text` (the rows
// sniffing read are final in it). The heuristics score each candidate by
// how evenly it splits the first rows; here '#' notes are left out, and
// among the candidates that score near the best, the one whose table
// settles best wins: the most rows at its width from its first such row
// on, then that row being the first row, then the most columns of numbers
// or dates. So values that hold the other character unquoted (RGB
// triples, "1,5" decimals) or title lines with commas do not decide. A
// text of one row takes the candidate that splits it most. nullopt: keep
// the sniffed delimiter.
[[nodiscard]] std::optional<std::uint8_t> table_delimiter(std::string_view text, std::uint8_t sniffed,
                                                          bool whole, std::optional<std::uint8_t> comment);

// Fills the dialect's table start and header text as `options` ask, from
// rows read at the front of `window` (reading more into it as needed,
// nothing discarded), and the column count of a table under more title
// lines than it has rows. The window stands at the input's start.
[[nodiscard]] Status locate_table(InputWindow& window, const SalvageOptions& options, Dialect& dialect);

// True when `options` ask for anything locate_table does.
[[nodiscard]] inline bool wants_table_search(const SalvageOptions& options) noexcept {
    return options.find_header || options.first_line > 1 || options.skip_repeated_headers;
}

// What a preamble row is known by when it comes again: its text (a BOM in
// front left out) up to and including its first ':' ("Period:", whatever
// period follows), else all of it.
[[nodiscard]] inline std::string_view preamble_key(std::string_view raw) noexcept {
    if (raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    const std::size_t colon = raw.find(':');
    return colon != std::string_view::npos && colon >= 2 ? raw.substr(0, colon + 1) : raw;
}

// Whether `raw` repeats a row of the preamble (Dialect::preamble_keys).
[[nodiscard]] bool repeats_preamble(std::string_view raw, const Dialect& dialect) noexcept;

// Sets the dialect's preamble keys (each ended by a line break) and the
// first bytes they start with.
void set_preamble_keys(Dialect& dialect, std::string keys);

// Whether `raw` holds the names of `header` (unquoted, two or more) in
// another order: a file joined whose columns stand otherwise, the rows
// under it in that order.
[[nodiscard]] bool names_header_reordered(std::string_view raw, std::string_view header, std::uint8_t delimiter,
                                          std::uint8_t quote) noexcept;

// The verdict of a row that the table stage sets aside whatever its
// width, from where it starts and its text; nullopt for any other row.
[[nodiscard]] inline std::optional<RowVerdict> set_aside_verdict(std::uint64_t offset, std::string_view raw,
                                                                 const SalvageOptions& options,
                                                                 const Dialect& dialect) noexcept {
    // No writer puts a row of NUL bytes: a file preallocated or cut short
    // on disk is padded with them. Set aside wherever it stands, with blank
    // lines dropped (the setting that keeps those keeps these as rows).
    if (options.skip_blank_lines && !raw.empty() && raw.front() == '\0' &&
        raw.find_first_not_of('\0') == std::string_view::npos) {
        return RowVerdict::NulPadding;
    }
    // A comment says what it is wherever it stands, above the header too.
    if (options.comment && !raw.empty() && static_cast<std::uint8_t>(raw.front()) == *options.comment) {
        return RowVerdict::Comment;
    }
    if (offset < dialect.table_offset) return RowVerdict::Preamble;
    const std::string_view header = dialect.header_text;
    if (!header.empty() && offset > dialect.table_offset) {
        if (raw.size() == header.size() + 3 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
        if (raw == header) return RowVerdict::RepeatedHeader;
        if (raw.size() == header.size() && names_header_reordered(raw, header, dialect.delimiter, options.quote_char)) {
            return RowVerdict::ReorderedHeader;
        }
    }
    if (!dialect.preamble_keys.empty() && offset > dialect.table_offset && repeats_preamble(raw, dialect)) {
        return RowVerdict::Preamble;
    }
    return std::nullopt;
}

// Whether the row that starts at `start` of `view` (`offset` in the input)
// may be one set_aside_verdict sets aside; a cheap look that never misses
// one (it says true when the view is too short to tell).
[[nodiscard]] bool may_be_set_aside(std::string_view view, std::size_t start, std::uint64_t offset,
                                    const SalvageOptions& options, const Dialect& dialect) noexcept;

// True when the table stage may set a row aside at all.
[[nodiscard]] inline bool sets_rows_aside(const SalvageOptions& options, const Dialect& dialect) noexcept {
    return dialect.table_offset != 0 || options.comment || !dialect.header_text.empty() ||
           !dialect.preamble_keys.empty() || options.skip_blank_lines;
}

// The offset through which rows differ from their copies: the header's and
// the rows' above it; nullopt when there is no table stage to tell them apart.
[[nodiscard]] inline std::optional<std::uint64_t> distinct_through(const Dialect& dialect) noexcept {
    if (dialect.table_offset == 0 && dialect.header_text.empty()) return std::nullopt;
    return dialect.table_offset;
}

// Copies of the row that starts at `offset` (its bytes `text`, with or
// without the line break) may not be taken as read alike. A blank row never
// heads the table, so a run of blank lines reads alike wherever it stands.
[[nodiscard]] inline bool copies_differ(std::uint64_t offset, std::string_view text,
                                        std::optional<std::uint64_t> distinct) noexcept {
    return distinct && offset <= *distinct && text.find_first_not_of("\r\n") != std::string_view::npos;
}

// The quarantine's reason for a row the table stage set aside.
[[nodiscard]] std::string_view set_aside_reason(RowVerdict verdict) noexcept;

}  // namespace brinewick::stream
