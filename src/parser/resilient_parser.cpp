#include "resilient_parser.hpp"

namespace brinewick {
namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

inline bool is_blank(unsigned char b) noexcept { return b == ' ' || b == '\t'; }

inline bool starts_with_bom(std::string_view text) noexcept {
    return text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
           static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF;
}

}  // namespace

ResilientParser::ResilientParser(std::string_view text, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes) noexcept
    : text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      position_(starts_with_bom(text) ? 3 : 0),
      repair_quotes_(repair_quotes),
      delimiter_(delimiter),
      quote_char_(quote_char),
      scanner_(text_, size_, delimiter, quote_char) {}

ResilientParser::ResilientParser(std::string_view text, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes,
                                 std::size_t position, std::size_t line) noexcept
    : text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      position_(position),
      line_(line),
      repair_quotes_(repair_quotes),
      delimiter_(delimiter),
      quote_char_(quote_char),
      scanner_(text_, size_, delimiter, quote_char) {}

std::optional<ParsedRow> ResilientParser::next_row() {
    RowBuffer row;
    if (!next_row(row)) return std::nullopt;
    return row.to_strings();
}

bool ResilientParser::next_row(RowBuffer& row) { return parse_row<true>(row); }

bool ResilientParser::next_row_raw(RowBuffer& row) { return parse_row<false>(row); }

bool ResilientParser::quote_closes(std::size_t q) noexcept {
    const unsigned char* t = text_;
    const std::size_t n = size_;
    std::size_t i = q + 1;
    while (i < n && is_blank(t[i])) ++i;
    if (i >= n) return true;                                           // only blanks to the end
    if (t[i] == delimiter_ || t[i] == kCR || t[i] == kLF) return true;  // field ends here

    // Is there a quote in closing position later on this line? Answers for
    // any start inside a range already scanned are remembered, so a line
    // full of quotes is scanned once, not once per quote.
    if (memo_valid_ && i >= memo_from_ && (memo_found_ ? i <= memo_quote_ : i < memo_end_)) {
        return !memo_found_;
    }
    memo_valid_ = true;
    memo_from_ = i;
    for (std::size_t p = i; p < n; ++p) {
        const unsigned char c = t[p];
        if (c == kCR || c == kLF) {  // the look-ahead never leaves the line
            memo_found_ = false;
            memo_end_ = p;
            return true;
        }
        if (c == quote_char_) {
            std::size_t j = p + 1;
            while (j < n && is_blank(t[j])) ++j;
            if (j >= n || t[j] == delimiter_ || t[j] == kCR || t[j] == kLF) {
                memo_found_ = true;  // a later quote closes: this one is stray
                memo_quote_ = p;
                return false;
            }
        }
    }
    memo_found_ = false;
    memo_end_ = n;
    return true;
}

template <bool Decode>
bool ResilientParser::parse_row(RowBuffer& row) {
    row.reset(reinterpret_cast<const char*>(text_));
    events_ = RowEvents{};
    const unsigned char* t = text_;
    const std::size_t n = size_;
    std::size_t pos = position_;
    if (pos >= n) return false;

    const unsigned char delim = delimiter_;
    const unsigned char quote = quote_char_;
    // With no escape byte the quoted scan stops at the quote alone.
    const unsigned char stop2 = escape_ ? *escape_ : quote;
    // A byte taken into a field one at a time: note what it is.
    const auto take_byte = [&](std::size_t at) {
        const unsigned char b = t[at];
        row.append_span(at, 1, b >= 0x80, b == quote || b == delim || b == kCR || b == kLF);
    };
    ParseState state = ParseState::FieldStart;

    while (pos < n) {
        switch (state) {
            case ParseState::FieldStart: {
                if (trim_leading_whitespace_) {
                    while (pos < n && is_blank(t[pos])) ++pos;
                    if (pos >= n) goto end_of_text;
                }
                const unsigned char b = t[pos];
                if (b == quote) {  // opening quote
                    ++pos;
                    state = ParseState::Quoted;
                    break;
                }
                if (b == delim) {  // empty field, placed so it can join a bare run
                    row.push_view_field(pos, 0, false, false, Decode);
                    ++pos;
                    break;
                }
                if (b == kCR || b == kLF) goto end_of_line;
                // A plain field: most end at the delimiter and are closed
                // here at once; one that ends the row goes the long way.
                scan::RunFlags flags;
                const std::size_t end = scanner_.find_unquoted_end(pos, flags);
                if (end < n && t[end] == delim) {
                    row.push_view_field(pos, end - pos, flags.high, flags.watched, Decode);
                    pos = end + 1;
                    break;
                }
                row.append_span(pos, end - pos, flags.high, flags.watched);
                pos = end;
                state = ParseState::Unquoted;
                if (pos >= n) goto end_of_text;
                goto end_of_line;
            }
            case ParseState::Unquoted: {
                // Everything up to the delimiter or line end, quotes included.
                scan::RunFlags flags;
                const std::size_t end = scanner_.find_unquoted_end(pos, flags);
                row.append_span(pos, end - pos, flags.high, flags.watched);
                pos = end;
                if (pos >= n) goto end_of_text;
                if (t[pos] != delim) goto end_of_line;
                row.complete_field(Decode);
                ++pos;
                state = ParseState::FieldStart;
                break;
            }
            case ParseState::Quoted: {
                std::size_t lfs = 0;  // LFs inside a quoted field count as lines
                scan::RunFlags flags;
                const std::size_t stop =
                    escape_ ? scan::find_any2_counting_lf(t, pos, n, quote, stop2, delim, kCR, lfs, flags)
                            : scanner_.find_quote(pos, lfs, flags);
                row.append_span(pos, stop - pos, flags.high, flags.watched);
                line_ += lfs;
                pos = stop;
                if (pos >= n) goto end_of_text;
                const unsigned char b = t[pos];
                if (escape_ && b == *escape_ && pos + 1 < n) {  // escaped byte, taken as is
                    take_byte(pos + 1);
                    pos += 2;
                    break;
                }
                if (b != quote) {  // a trailing escape byte with nothing after it
                    if (b == kLF) ++line_;
                    take_byte(pos);
                    ++pos;
                    break;
                }
                if (pos + 1 == n) {  // quote as the last byte closes
                    ++pos;
                    state = ParseState::AfterQuote;
                    break;
                }
                if (t[pos + 1] == quote) {  // save "" as "
                    take_byte(pos);
                    pos += 2;
                    break;
                }
                if (!repair_quotes_ || quote_closes(pos)) {  // closing quote
                    ++pos;
                    state = ParseState::AfterQuote;
                    break;
                }
                take_byte(pos);  // stray quote, kept in the field
                ++events_.stray_quotes;
                ++pos;
                break;
            }
            case ParseState::AfterQuote: {
                const unsigned char b = t[pos];
                if (b == delim) {  // field ends after its quotes
                    row.complete_field(Decode);
                    ++pos;
                    state = ParseState::FieldStart;
                    break;
                }
                if (is_blank(b)) {  // blanks after the closing quote are dropped
                    ++pos;
                    break;
                }
                if (b == kCR || b == kLF) goto end_of_line;
                take_byte(pos);  // text after the quote joins the field
                ++events_.text_after_quote;
                ++pos;
                state = ParseState::Unquoted;
                break;
            }
        }
    }

end_of_text:
    position_ = pos;
    if (state == ParseState::Quoted) events_.unclosed_quote = true;
    if (state == ParseState::FieldStart && row.empty() && trim_leading_whitespace_) {
        return false;  // only blanks were left
    }
    if (state == ParseState::FieldStart) row.append_span(pos, 0, false, false);
    row.complete_field(Decode);
    return true;

end_of_line:
    // LF, CR LF and a lone CR each end one row; an empty last field sits at the break.
    if (state == ParseState::FieldStart) row.append_span(pos, 0, false, false);
    if (t[pos] == kCR) {
        ++pos;
        if (pos < n && t[pos] == kLF) ++pos;
    } else {
        ++pos;
    }
    ++line_;
    position_ = pos;
    row.complete_field(Decode);
    return true;
}

template bool ResilientParser::parse_row<true>(RowBuffer&);
template bool ResilientParser::parse_row<false>(RowBuffer&);

}  // namespace brinewick
