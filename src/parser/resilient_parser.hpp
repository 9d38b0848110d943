// ResilientParser: a CSV tokenizer that never rejects input.
//
// Contract: every byte sequence yields rows. Quoted fields, doubled quotes,
// text after a closing quote, stray quotes inside a quoted field (when
// repair_quotes is on), quotes that never close and any mix of LF, CR LF and
// lone CR are settled by fixed rules. Each byte is examined a bounded number
// of times, so parsing is linear in the input on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_scan.hpp"
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
    void set_escape(std::optional<std::uint8_t> escape) noexcept { escape_ = escape; }
    void set_trim_leading_whitespace(bool on) noexcept { trim_leading_whitespace_ = on; }

private:
    template <bool Decode>
    bool parse_row(RowBuffer& row);
    // Stray-quote test for a candidate closing quote at `q` (the byte after
    // it exists and is not the quote): true when it closes the field.
    bool quote_closes(std::size_t q) noexcept;

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
