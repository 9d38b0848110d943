// Rows from a rolling input window, and the consumer interface they feed.
//
// One rule decides when a row parsed from the window is final: it ended
// strictly before the window's end (so the parser never looked past what is
// in view: its stray-quote look-ahead stops at a line break, and a CR as the
// last byte in view might still be followed by an LF), or the window holds the
// input's end. Any other row is parsed again from its start once more input
// is in view. RowReader is the only place that applies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "../salvage/salvage.hpp"
#include "input_window.hpp"
#include "row_repair.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream {

// A row boundary: all a parser needs to resume there (never inside a BOM).
struct RowBoundary {
    std::uint64_t offset = 0;  // file offset of the row's first byte
    std::size_t line = 1;      // line on which the row begins
};

// Where a row stands in the input.
struct RowInfo {
    std::size_t line = 0;           // line on which it begins
    std::uint64_t byte_offset = 0;  // file offset of its first byte (a BOM counts)
    std::string_view raw;           // its input bytes, without the line break that ends it
};

// One change made to a clean row. What `count` holds depends on the kind:
//   Padded, Merged: the fields as parsed;   BlankLine: 1 (its one field), 0 when skipped
//   StrayQuote: quotes kept as text;        TextAfterQuote: fields with text after the quote
//   UnclosedQuote: lines the row spans;     InvalidUtf8: U+FFFD replacements made
//   Requoted: quotes read otherwise;        TrailingEmpty: empty fields dropped
//   QuoteContained: lines the quote ran on over before the row was cut at its first break
//   Transcoded: fields read through the fallback encoding, named by `encoding`
// `columns` is the column count for Padded, Merged, BlankLine, Requoted and
// TrailingEmpty, else 0. `parsed`: for Requoted and TrailingEmpty, the fields
// the fixed rules read before the repair (Padded and Merged have them in `count`).
struct RowChange {
    ChangeKind kind;
    std::size_t count = 0;
    std::size_t columns = 0;
    std::string_view encoding{};  // a static name
    std::size_t parsed = 0;
};

// The detail text of a change record ("2 of 5 fields; 3 empty fields added"),
// as the changes file and the Arrow reader both give it.
void append_change_detail(std::string& out, const RowChange& change);

// The consumer of classified rows: the file writers, or an Arrow builder.
// Views in `row` and `info.raw` are valid only during the call. Returning
// false stops the run; failure() then says why.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    // Called once, before any row, when the dialect is settled (not for an
    // empty input, which has none).
    virtual bool start(const Dialect& dialect) = 0;
    virtual bool clean_row(const RowBuffer& row, const RowInfo& info,
                           std::span<const RowChange> changes) = 0;
    // `parsed`: the row as parsed, neither padded nor merged.
    virtual bool quarantined_row(const RowBuffer& parsed, const RowInfo& info,
                                 std::string_view reason) = 0;
    // `copies` more rows the same as the one clean_row was just given, each
    // `size` bytes and `lines` lines after the one before (a run of blank
    // lines read at once).
    virtual bool clean_row_copies(const RowBuffer& row, RowInfo info, std::span<const RowChange> changes,
                                  std::size_t copies, std::size_t size, std::size_t lines) {
        for (std::size_t i = 0; i < copies; ++i) {
            info.line += lines;
            info.byte_offset += size;
            if (!clean_row(row, info, changes)) return false;
        }
        return true;
    }
    // A row dropped from the table (a skipped blank line): only its record.
    virtual bool skipped_row(const RowInfo& info, const RowChange& change) = 0;
    // `copies` more rows dropped as the one skipped_row was just given, each
    // `size` bytes and `lines` lines after the one before.
    virtual bool skipped_row_copies(RowInfo info, const RowChange& change, std::size_t copies, std::size_t size,
                                    std::size_t lines) {
        for (std::size_t i = 0; i < copies; ++i) {
            info.line += lines;
            info.byte_offset += size;
            if (!skipped_row(info, change)) return false;
        }
        return true;
    }
    [[nodiscard]] virtual Status failure() const = 0;
    // True for a sink that takes kept rows that a writer puts as they stand
    // as their text alone (clean_line), without their fields.
    [[nodiscard]] virtual bool takes_lines() const noexcept { return false; }
    // Such a row: `text` (its line, without the break) and its shape. Only
    // called when takes_lines().
    virtual bool clean_line(std::string_view text, const ResilientParser::VerbatimLine& shape) {
        (void)text;
        (void)shape;
        return false;
    }
};

class RowReader {
public:
    // Starts at the input's first row (behind a BOM), or at `from` when
    // given (a boundary reported earlier, whose bytes are in view).
    RowReader(InputWindow& window, const Dialect& dialect, const SalvageOptions& options,
              std::optional<RowBoundary> from = std::nullopt);

    enum class Step { Row, End, Failed };
    // The next final row, read into `row` (decoded) and described by `info`.
    Step next(RowBuffer& row, RowInfo& info);

    // When the next row is a final line of `fields` fields that a writer
    // puts as it stands (ResilientParser::next_verbatim_line), reads it and
    // returns its text, the line break left out; else reads nothing.
    std::optional<std::string_view> next_verbatim_line(std::size_t fields, ResilientParser::VerbatimLine& shape);

    // After a row from next(): passes over the exact copies of its bytes
    // that follow it in view, each of which would be read as the same row
    // (a run of blank lines), and returns how many. The copies are final
    // rows like any other; the next call to next() reads the row after them.
    std::size_t skip_repeats();
    // Whether the next row may be one the table stage sets aside
    // (may_be_set_aside): then it is read with next(), not as a verbatim line.
    [[nodiscard]] bool next_may_be_set_aside(const SalvageOptions& options, const Dialect& dialect) const noexcept;
    // The bytes and lines of each copy skip_repeats passed.
    [[nodiscard]] std::size_t repeat_size() const noexcept { return position_ - repeated_start_; }
    [[nodiscard]] std::size_t repeat_lines() const noexcept { return line_ - repeated_line_; }

    // What the parser repaired in the row last returned, and the line it
    // stood on after that row.
    [[nodiscard]] const RowNotes& events() const noexcept { return notes_; }
    [[nodiscard]] std::size_t line_after() const noexcept { return parser_->line(); }
    // Where the next row starts.
    [[nodiscard]] RowBoundary boundary() const noexcept { return {window_.offset() + position_, line_}; }
    [[nodiscard]] const Status& error() const noexcept { return error_; }

private:
    void restart_parser();
    // Settles the BOM and makes the parser; false when that needs a read.
    bool ready();

    InputWindow& window_;
    std::uint8_t delimiter_;
    std::uint8_t quote_char_;
    bool repair_quotes_;
    RepairSettings repair_;
    RowNotes notes_;  // of the row last returned by next()
    bool started_;            // the BOM question is settled
    // Rows that start at or before this offset (the header and the rows
    // above it) are never taken as copies of the row before them.
    std::optional<std::uint64_t> distinct_through_;
    std::size_t position_ = 0;  // in view: start of the next row
    std::size_t line_ = 1;
    // Where the row last returned by next() starts, and its line; npos
    // when the last row came from elsewhere.
    std::size_t repeated_start_ = std::string_view::npos;
    std::size_t repeated_line_ = 0;
    std::optional<ResilientParser> parser_;
    // Lets one huge row stop part way on a cancel; what it then yields is
    // never published, since a cancelled run keeps none of its outputs.
    CancelCheck cancel_;
    Status error_;
};

[[nodiscard]] bool starts_with_bom(std::string_view text) noexcept;

// Line breaks at the front of `text`.
[[nodiscard]] inline std::size_t leading_breaks(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == '\n' || text[i] == '\r')) ++i;
    return i;
}
// Drops a BOM at the front of the window, reading enough to tell; for the
// input's very start only.
[[nodiscard]] Status skip_bom(InputWindow& window);

// Settles the dialect on the shortest prefix of the input that decides it,
// reading more into `window` as needed (nothing is discarded).
[[nodiscard]] Result<Dialect> settle_dialect_streamed(InputWindow& window, const SalvageOptions& options);
// The same, after waiting for the input's first bytes; nullopt when the input
// is empty (it has no dialect: comma and zero counters, options aside).
[[nodiscard]] Result<std::optional<Dialect>> settle_dialect_or_empty(InputWindow& window,
                                                                    const SalvageOptions& options);

// The text of a row parsed from `view` over [start, end): without the line
// break that ends it (a row that ran to the end inside quotes keeps all).
[[nodiscard]] std::string_view row_text(std::string_view view, std::size_t start, std::size_t end,
                                        bool unclosed_quote) noexcept;

// Classifies `row` (padding or merging it in place where the options allow)
// and lists, in the order of ChangeKind, the changes its clean form records.
// `line_after` is the parser's line after the row, in the frame of info.line.
RowVerdict describe_row(RowBuffer& row, const RowNotes& events, const RowInfo& info,
                        std::size_t line_after, const SalvageOptions& options, const Dialect& dialect,
                        std::vector<RowChange>& changes);

// True when `changes` (from describe_row) say the row is dropped rather
// than kept (a blank line under SalvageOptions::skip_blank_lines, Excel's
// sep= line): it goes to no table, only to the change records.
[[nodiscard]] inline bool row_skipped(std::span<const RowChange> changes) noexcept {
    return changes.size() == 1 && changes.front().count == 0 &&
           (changes.front().kind == ChangeKind::BlankLine || changes.front().kind == ChangeKind::SeparatorLine);
}

// Whether a row just parsed (neither padded nor merged) is a blank line that
// the options drop.
[[nodiscard]] bool skips_blank_row(const RowBuffer& row, const SalvageOptions& options);

// Adds `rows` rows classified alike (one, or a row and its copies) to the counters.
void count_row(StreamSummary& summary, RowVerdict verdict, std::span<const RowChange> changes,
               std::size_t rows = 1) noexcept;

// Reads the input in `window` to its end: settles the dialect on the
// shortest prefix that decides it, classifies every row as the in-memory
// salvage does and feeds `sink`. Looks at control.cancel every few thousand
// rows and before every read; keeps control.bytes_done current.
[[nodiscard]] Result<StreamSummary> stream_rows(InputWindow& window, const SalvageOptions& options,
                                                StreamSink& sink, StreamControl& control);

// stream_rows once the dialect is settled: `settled` is what
// settle_dialect_or_empty gave for `window` (none for an empty input).
[[nodiscard]] Result<StreamSummary> stream_settled_rows(InputWindow& window, const std::optional<Dialect>& settled,
                                                        const SalvageOptions& options, StreamSink& sink,
                                                        StreamControl& control);

}  // namespace brinewick::stream
