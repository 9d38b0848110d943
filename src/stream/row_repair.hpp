// The repair stage: for a row whose reading under the parser's fixed rules
// does not have the dialect's width, the other readings of the same bytes,
// and the one that fits.
//
// Only rows that need it pay: a row of the expected width, on one line, with
// no text after a closing quote, is left as the parser made it. Otherwise
// the candidates are read from the row's first line only: the csv module's
// reading (a quote inside a quoted field closes it, text after a closing
// quote joins the field with its blanks kept), the fixed reading with the
// blanks kept, and each of the line's first quotes read as an ordinary
// character under either; on each, empty surplus fields at the row's end may
// be dropped. The reading with exactly the expected width and the fewest
// quotes read otherwise than the fixed rules read them is kept; when none
// fits, the parser's row stays.
//
// The window is counted in lines: the candidates read the line the row
// began on, and a row whose quoted field closes on a later line is cut only
// when that first line reads as a fitting row and the line after it reads
// as a row of exactly the width (what the lines a stray quote swallows look
// like). A quoted field that runs past its line is left alone when its row
// fits, however long it is, so a legitimately quoted field is never cut; a
// quote that never closes before the input's end is always ended at its
// line's break. So a stray quote costs its own line, and the stage reads at
// most two lines of a row. Lines, not bytes: a long single-line field is
// never at risk, and a row then always ends at a line break, which is where
// the parallel pipeline's chunks are cut.
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
// row that is final: its end is known.
RowNotes repair_row(ResilientParser& parser, std::string_view text, std::size_t start, std::size_t line,
                    RowBuffer& row, const RepairSettings& settings);

}  // namespace brinewick::stream
