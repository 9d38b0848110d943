// The repair stage: for a row whose reading under the parser's fixed rules
// does not have the dialect's width, the other readings of the same bytes,
// and the one that fits.
//
// Only rows that need it pay: a row of the expected width on one line, with
// no text after a closing quote, is left as the parser made it. A row on one
// line whose quotes all stand where a writer puts them is short or long as
// written: it only loses empty surplus fields at its end. For the others the
// candidates are read from the row's first line: the fixed reading with the
// blanks before text after a closing quote kept, the csv module's reading
// (a quote inside a quoted field closes it, text after it joins the field
// with its blanks), and each of the line's first quotes read as an ordinary
// character under either; on each, empty surplus fields at the end may be
// dropped. The reading with exactly the expected width and the fewest quotes
// read otherwise than the fixed rules read them (then the fewest quotes left
// as text and texts joined) is kept; when none fits, the parser's row stays.
//
// The window is counted in lines. A quoted field that runs past its line is
// left whole, however long it is, unless its first line reads as a row of
// the width and the row the next line starts reads, within the same bytes,
// as one of exactly the width (what the rows a stray quote swallows look
// like): then the row is cut at its first line break. A quote that never
// closes before the input's end is always ended at its line's break. So a stray quote costs
// its own line, the candidates read one line, and the check of the next row
// reads no further than the row itself. Lines, not bytes: a long field on one
// line is never at risk, and a row still always ends at a line break, where
// the parallel pipeline cuts its chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "../salvage/salvage.hpp"

namespace brinewick::stream {

// What the repair stage did to a row (all zero: nothing).
struct RepairNote {
    std::uint32_t requoted = 0;        // quotes read otherwise than the fixed rules read them
    std::uint32_t trailing_empty = 0;  // empty surplus fields dropped at the row's end
    std::size_t contained_lines = 0;   // lines the fixed reading ran on for, when cut at its first line break
    std::size_t parsed_fields = 0;     // the fields of the fixed reading, once the stage looked at the row
    [[nodiscard]] bool any() const noexcept { return requoted != 0 || trailing_empty != 0 || contained_lines != 0; }
};

// A row's quote events (of the reading kept) and the repair stage's note.
struct RowNotes : ResilientParser::RowEvents {
    RepairNote repair;
    // The stage looked at the row (whatever it then did): copies of its
    // bytes may read otherwise, since it sees past the row's first line.
    bool looked = false;
    RowNotes() = default;
    explicit RowNotes(const ResilientParser::RowEvents& events) : ResilientParser::RowEvents(events) {}
};

// What the stage needs to know; `columns` 0 (no width) or `enabled` false
// turn it off.
struct RepairSettings {
    bool enabled = false;
    std::size_t columns = 0;
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    bool repair_quotes = true;
};

[[nodiscard]] inline RepairSettings repair_settings(const SalvageOptions& options, const Dialect& dialect) noexcept {
    return {options.repair_columns, dialect.expected_columns, dialect.delimiter, options.quote_char,
            options.repair_quotes};
}

// The row `parser` just read from `start` (on line `line`) under the fixed
// rules, into `row`, repaired in place when a fitting reading exists. When
// the row now ends earlier (cut at its first line break) the parser is moved
// back to the row after it. `text` is the parser's text. Call only for a
// row that is final (its end is known) and that repair_passes_over does not
// pass over; repair_row asks it first.
RowNotes repair_row_stage(ResilientParser& parser, std::string_view text, std::size_t start, std::size_t line,
                          RowBuffer& row, const RepairSettings& settings);

// Whether the stage leaves the row as the parser made it without looking:
// it is off, or the row is the usual one (the width, on one line, no text
// after a closing quote). Inline: every row of a clean file is asked, and
// the stage itself is a call with a large frame.
[[nodiscard]] inline bool repair_passes_over(const ResilientParser& parser, std::string_view text, std::size_t start,
                                             std::size_t line, const RowBuffer& row,
                                             const RepairSettings& settings) noexcept {
    if (!settings.enabled || settings.columns == 0) return true;
    const ResilientParser::RowEvents& events = parser.row_events();
    if (row.size() != settings.columns || events.text_after_quote != 0 || events.unclosed_quote) return false;
    // On one line: its line count went up by at most the break that ends it.
    const std::size_t end = parser.position();
    const std::size_t lines_read = parser.line() - line;
    const unsigned char last = end > start ? static_cast<unsigned char>(text[end - 1]) : 0;
    return lines_read == 0 || (lines_read == 1 && (last == '\n' || last == '\r'));
}

// The same, the rows the stage passes over decided inline.
[[nodiscard]] inline RowNotes repair_row(ResilientParser& parser, std::string_view text, std::size_t start,
                                         std::size_t line, RowBuffer& row, const RepairSettings& settings) {
    if (repair_passes_over(parser, text, start, line, row, settings)) return RowNotes(parser.row_events());
    return repair_row_stage(parser, text, start, line, row, settings);
}

}  // namespace brinewick::stream
