// ResilientParser: a CSV tokenizer that never rejects input.
//
// Contract: every byte sequence yields rows. Quoted fields, doubled quotes,
// text after a closing quote, stray quotes inside a quoted field (when
// repair_quotes is on), quotes that never close and any mix of LF, CR LF and
// lone CR are settled by fixed rules. Each byte is examined a bounded number
// of times, so parsing is linear in the input on every input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_scan.hpp"
#include "cancel_check.hpp"
#include "field_counter.hpp"
#include "row_buffer.hpp"

namespace brinewick {

enum class ParseState : std::uint8_t {
    FieldStart,  // a field has begun, nothing read into it yet
    Unquoted,    // inside a field that did not open with the quote
    Quoted,      // inside a quoted field, before its closing quote
    AfterQuote,  // after the closing quote, before the field ends
};

// One row: owned UTF-8 field texts, always at least one.
using ParsedRow = std::vector<std::string>;

class ResilientParser {
public:
    // Starts behind a leading UTF-8 byte-order mark; `text` must outlive the parser.
    ResilientParser(std::string_view text, std::uint8_t delimiter, std::uint8_t quote_char,
                    bool repair_quotes) noexcept;
    // Starts at `position` of `text`, counting lines from `line`, with no
    // byte-order-mark skipping: for resuming mid-input at a row boundary.
    ResilientParser(std::string_view text, std::uint8_t delimiter, std::uint8_t quote_char,
                    bool repair_quotes, std::size_t position, std::size_t line) noexcept;

    // Next row, or nullopt at the end of the input (and on every later call).
    std::optional<ParsedRow> next_row();

    // Same rows, written into a reusable buffer; false at the end of the input.
    // Fields are decoded leniently as UTF-8.
    bool next_row(RowBuffer& row);

    // Same rows, with the raw field bytes left undecoded (for callers that
    // only count fields or look at a few of them).
    bool next_row_raw(RowBuffer& row);

    // Same rows again, kept only as a field count and the raw first field.
    bool next_row_count(FieldCounter& row);

    // The shape of a row that a writer puts exactly as it stands.
    struct VerbatimLine {
        std::size_t end;           // where its text ends, before its line break
        std::size_t text_size;     // bytes of its field texts, a doubled quote counted once
        std::size_t special_size;  // of those, in its quoted fields
    };
    // When the next row is one line of exactly `fields` fields, each either
    // plain without a quote or quoted and holding the delimiter or a doubled
    // quote, in well-formed UTF-8 and ended by a line break, reads it and
    // returns its shape: next_row would give that row, verbatim, with
    // nothing repaired. Otherwise reads nothing. For callers that only copy
    // such rows through, without looking at their fields.
    std::optional<VerbatimLine> next_verbatim_line(std::size_t fields) noexcept;

    // A field of a row next_plain_row read: where its text stands in the
    // parser's text (a quoted field's between its quotes), and whether that
    // holds doubled quotes, each of which stands for one quote.
    struct PlainField {
        std::size_t begin;
        std::size_t end;
        bool doubled;
    };
    // When the next row is one that next_verbatim_line takes, or would take
    // but that a writer would put a field of it otherwise (quoted though it
    // needs no quotes, or holding a quote without being quoted), and has
    // exactly `fields.size()` fields: reads it, puts its fields into `fields` and
    // returns where its text ends, before its line break. next_row would
    // give those fields, with nothing repaired. Otherwise reads nothing. For
    // callers that take a clean row by its field texts alone.
    std::optional<std::size_t> next_plain_row(std::span<PlainField> fields) noexcept;

    // At the start of a row, passes over a run of line breaks, each of which
    // would be read as a row of one empty field; returns how many such rows.
    // Skips nothing when the delimiter or the quote is CR or LF, since those
    // tests come before the line-break test.
    std::size_t skip_empty_lines() noexcept;

    // After a row that began at `row_start` on line `row_line` and ended at
    // a line break: passes over the exact copies of its bytes that follow it
    // at once, each of which would be read as the same row, and returns how
    // many. A file of one line repeated (blank lines, lone CRs) then costs a
    // compare per byte rather than a parse per row. Stops at the next cancel
    // question, which the next row asks.
    std::size_t skip_repeats(std::size_t row_start, std::size_t row_line) noexcept {
        // Asked after every row: most rows are turned away inline, by the
        // byte after the row and the one where a copy's break would be.
        const std::size_t end = position_;
        if (row_start >= end || end >= size_ || text_[end] != text_[row_start]) return 0;
        const std::size_t copy_break = end + (end - row_start) - 1;
        if (copy_break >= size_ || text_[copy_break] != text_[end - 1]) return 0;
        return skip_copies(row_start, row_line);
    }

    // Moves the parser to `position`, a row start, counting lines from
    // `line`: for a caller that takes the last row as ending earlier than
    // the parser read it.
    void resume_at(std::size_t position, std::size_t line) noexcept {
        position_ = position;
        line_ = line;
        memo_valid_ = false;
    }

    // 1 plus the line breaks consumed so far.
    [[nodiscard]] std::size_t line() const noexcept { return line_; }
    [[nodiscard]] std::size_t position() const noexcept { return position_; }

    // The quote repairs made in the row last returned. Counted only on the
    // rare branches that make them, so plain rows pay one reset per row.
    struct RowEvents {
        std::uint32_t stray_quotes = 0;      // quotes inside a quoted field kept as text
        std::uint32_t text_after_quote = 0;  // fields with text after their closing quote
        bool unclosed_quote = false;         // the row ended at the end of the text inside quotes
    };
    [[nodiscard]] const RowEvents& row_events() const noexcept { return events_; }

    // Options that the salvage engine never sets; kept for completeness.
    void set_escape(std::optional<std::uint8_t> escape) noexcept {
        escape_ = escape;
        utf8_from_ = utf8_to_ = 0;
    }
    void set_trim_leading_whitespace(bool on) noexcept { trim_leading_whitespace_ = on; }

    // Asks `cancel` (none: never) at the start and after every
    // CancelCheck::kInterval bytes, inside a long row too; once it says stop,
    // the parser stands at the end of the text and yields no more rows.
    void set_cancel_check(CancelCheck* cancel) noexcept {
        cancel_ = cancel;
        next_check_ = cancel != nullptr && cancel->active() ? position_ : kNoCheck;
    }

private:
    template <bool Decode, typename Row>
    bool parse_row(Row& row);
    // next_verbatim_line's walk, inlined into each of its builds.
    // `Fields` is told where each field stands, for next_plain_row, or is
    // NoFields, for next_verbatim_line.
    template <typename Fields>
    [[gnu::always_inline]] std::optional<VerbatimLine> read_verbatim_line(std::size_t fields, Fields& out) noexcept;
#if defined(__x86_64__)
    std::optional<VerbatimLine> verbatim_line_popcnt(std::size_t fields) noexcept;
    bool counts_bits_ = false;  // the CPU has a popcount instruction
#endif
    // True when the next row is an empty line; take_empty_line reads it.
    [[nodiscard]] bool at_empty_line() const noexcept;
    template <typename Row>
    bool take_empty_line(Row& row, bool decode);
    // skip_repeats past its first tests.
    std::size_t skip_copies(std::size_t row_start, std::size_t row_line) noexcept;
    // Stray-quote test for a candidate closing quote at `q` (the byte after
    // it exists and is not the quote): true when it closes the field.
    bool quote_closes(std::size_t q) noexcept;
    void mark_plain_ends() noexcept;
    // The quoted scan with an escape byte set: out of line, so that its
    // byte broadcasts are not made at the start of every row.
    [[gnu::noinline]] std::size_t find_quote_or_escape(std::size_t pos, std::size_t& lfs,
                                                       scan::RunFlags& flags) noexcept;
    // Asks the cancel check at `pos`; false (and the parser at the end) to stop.
    bool keep_going(std::size_t pos) noexcept;
    // Closes the open field, whose pieces all lie in [from, to); `quoted`:
    // it began with the quote. Clears `verbatim` when a writer would not
    // put the field as it stands.
    template <bool Decode, typename Row>
    [[gnu::always_inline]] void close_field(Row& row, std::size_t from, std::size_t to, bool quoted,
                                            bool& verbatim);
    // At the end of a row whose text ends at `end` (before its line break):
    // marks it verbatim when it is, with nothing repaired.
    template <bool Decode, typename Row>
    void finish_row(Row& row, std::size_t end, bool verbatim);
    // True when [from, to) lies in a stretch of the text already found to be
    // well-formed UTF-8, so a field taken from it needs no check of its own.
    // Sound because, while the quote and the delimiter are ASCII, every
    // piece of a field starts and ends next to an ASCII byte (the quote, the
    // delimiter, a line break, a dropped blank) or at the text's ends, and
    // an ASCII byte is a whole character in well-formed text.
    [[nodiscard]] bool utf8_known_valid(std::size_t from, std::size_t to) noexcept {
        return (from >= utf8_from_ && to <= utf8_to_) || extend_utf8_stretch(from, to);
    }
    // Validates on from the stretch's end (or starts a new stretch at
    // `from`), a block of text at a time; true when it then covers [from, to).
    bool extend_utf8_stretch(std::size_t from, std::size_t to) noexcept;

    static constexpr std::size_t kNoCheck = static_cast<std::size_t>(-1);

    const unsigned char* text_;
    std::size_t size_;
    std::size_t position_;
    std::size_t line_ = 1;
    RowEvents events_;
    std::optional<std::uint8_t> escape_;
    bool repair_quotes_;
    bool trim_leading_whitespace_ = false;
    std::uint8_t delimiter_;
    std::uint8_t quote_char_;
    scan::BlockScanner scanner_;
    CancelCheck* cancel_ = nullptr;
    std::size_t next_check_ = kNoCheck;  // position at which to ask again
    bool breaks_end_rows_;  // a CR or LF at a field start ends the row
    bool ascii_dialect_;    // the quote and the delimiter are both ASCII
    // Bytes that a plain field cannot start with: the quote, the delimiter, CR, LF.
    std::array<bool, 256> ends_plain_;
    // [utf8_from_, utf8_to_): well-formed UTF-8, both ends character boundaries.
    std::size_t utf8_from_ = 0;
    std::size_t utf8_to_ = 0;

    // Look-ahead memo: over [memo_from_, memo_end_) of the current line the
    // first quote in closing position is memo_quote_ (or none when
    // memo_found_ is false). Later queries inside that range need no rescan.
    bool memo_valid_ = false;
    bool memo_found_ = false;
    std::size_t memo_from_ = 0;
    std::size_t memo_end_ = 0;
    std::size_t memo_quote_ = 0;
};

}  // namespace brinewick
