#include "resilient_parser.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "utf8.hpp"

namespace brinewick {
namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

inline bool is_blank(unsigned char b) noexcept { return b == ' ' || b == '\t'; }

inline bool starts_with_bom(std::string_view text) noexcept {
    return text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
           static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF;
}

#if defined(__x86_64__)
// The baseline x86-64 has no popcount instruction and the build targets it,
// so a plain __builtin_popcountll is a library call: next_verbatim_line,
// which counts a block's delimiters with it, has a build for CPUs with one.
bool cpu_counts_bits() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("popcnt") != 0;
    }();
    return has;
}
#endif

// What next_verbatim_line's walk tells a caller that wants no fields.
struct NoFields {
    static constexpr bool kRecords = false;
    bool delimiters(std::size_t, std::uint64_t) noexcept { return true; }
    bool quoted(std::size_t, std::size_t, bool) noexcept { return true; }
    bool last(std::size_t) noexcept { return true; }
};

// Where the walk puts next_plain_row's fields: each delimiter ends the
// field that is open, unless a quoted one already ended there.
struct FieldPlaces {
    static constexpr bool kRecords = true;
    static constexpr std::size_t kEnded = static_cast<std::size_t>(-1);
    std::span<ResilientParser::PlainField> out;
    std::size_t count = 0;
    std::size_t open;  // where the open field's text starts, or kEnded

    bool add(std::size_t begin, std::size_t end, bool doubled) noexcept {
        if (count == out.size()) return false;
        out[count++] = {begin, end, doubled};
        return true;
    }
    // The delimiters at the set bits of `bits`, bit 0 standing at `from`.
    bool delimiters(std::size_t from, std::uint64_t bits) noexcept {
        for (; bits != 0; bits &= bits - 1) {
            const std::size_t at = from + static_cast<std::size_t>(__builtin_ctzll(bits));
            if (open != kEnded && !add(open, at, false)) return false;
            open = at + 1;
        }
        return true;
    }
    bool quoted(std::size_t begin, std::size_t end, bool doubled) noexcept {
        open = kEnded;
        return add(begin, end, doubled);
    }
    bool last(std::size_t at) noexcept { return open == kEnded || add(open, at, false); }
};

}  // namespace

ResilientParser::ResilientParser(std::string_view text, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes) noexcept
    : text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      position_(starts_with_bom(text) ? 3 : 0),
      repair_quotes_(repair_quotes),
      delimiter_(delimiter),
      quote_char_(quote_char),
      scanner_(text_, size_, delimiter, quote_char),
      // A field start tests the quote and the delimiter before the line break.
      breaks_end_rows_(delimiter != kCR && delimiter != kLF && quote_char != kCR && quote_char != kLF),
      ascii_dialect_(delimiter < 0x80 && quote_char < 0x80) {
    mark_plain_ends();
#if defined(__x86_64__)
    counts_bits_ = cpu_counts_bits();
#endif
}

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
      scanner_(text_, size_, delimiter, quote_char),
      breaks_end_rows_(delimiter != kCR && delimiter != kLF && quote_char != kCR && quote_char != kLF),
      ascii_dialect_(delimiter < 0x80 && quote_char < 0x80) {
    mark_plain_ends();
#if defined(__x86_64__)
    counts_bits_ = cpu_counts_bits();
#endif
}

void ResilientParser::mark_plain_ends() noexcept {
    ends_plain_.fill(false);
    ends_plain_[quote_char_] = true;
    ends_plain_[delimiter_] = true;
    ends_plain_[kCR] = true;
    ends_plain_[kLF] = true;
}

std::optional<ParsedRow> ResilientParser::next_row() {
    RowBuffer row;
    if (!next_row(row)) return std::nullopt;
    return row.to_strings();
}

// An empty line is the one row whose whole cost is the call itself, so a
// file of line breaks is cheap only if such a row skips the state machine.
// The test stays inline and the taking out of line, so both calls remain
// tail calls and other rows pay a few instructions.
inline bool ResilientParser::at_empty_line() const noexcept {
    const std::size_t pos = position_;
    if (pos >= size_) return false;
    const unsigned char b = text_[pos];
    return b <= kCR && (b == kCR || b == kLF) && breaks_end_rows_;
}

template <typename Row>
bool ResilientParser::take_empty_line(Row& row, bool decode) {
    // Same row as the general path: one empty view field at the break.
    // Asked here too: a text of only line breaks never reaches parse_row.
    const std::size_t pos = position_;
    if (pos >= next_check_ && !keep_going(pos)) return false;
    const bool crlf = text_[pos] == kCR && pos + 1 < size_ && text_[pos + 1] == kLF;
    row.reset(reinterpret_cast<const char*>(text_), pos);
    events_ = RowEvents{};
    row.push_view_field(pos, 0, false, false, decode);
    if constexpr (std::is_same_v<Row, RowBuffer>) {
        if (decode && ascii_dialect_ && !escape_ && !trim_leading_whitespace_) row.set_verbatim_end(pos);
    }
    position_ = pos + (crlf ? 2 : 1);
    ++line_;
    return true;
}

bool ResilientParser::next_row(RowBuffer& row) {
    if (at_empty_line()) return take_empty_line(row, true);
    return parse_row<true>(row);
}

bool ResilientParser::next_row_raw(RowBuffer& row) {
    if (at_empty_line()) return take_empty_line(row, false);
    return parse_row<false>(row);
}

bool ResilientParser::next_row_count(FieldCounter& row) {
    if (at_empty_line()) return take_empty_line(row, false);
    return parse_row<false>(row);
}

std::size_t ResilientParser::skip_empty_lines() noexcept {
    if (!breaks_end_rows_) return 0;
    std::size_t rows = 0;
    position_ = scan::skip_line_breaks(text_, position_, size_, rows);
    line_ += rows;
    return rows;
}

std::size_t ResilientParser::skip_copies(std::size_t row_start, std::size_t row_line) noexcept {
    const std::size_t end = position_;
    // A row read to the end of the text stands at the size; one that ended
    // at a line break holds it as its last byte, and a copy is parsed from
    // the same state (a field start) over the same bytes, its look-aheads
    // never passing that break. So copies give the same row.
    if (end >= next_check_ && !keep_going(end)) return 0;
    const std::size_t limit = next_check_ < size_ ? (next_check_ > end ? next_check_ : end) : size_;
    const std::size_t period = end - row_start;
    const std::size_t same = scan::end_of_repeats(text_, end, limit, period);
    std::size_t copies = (same - end) / period;
    // A row ending in a lone CR: its last copy would take an LF that
    // follows it as part of its break, and end elsewhere.
    if (copies != 0 && text_[end - 1] == kCR) {
        const std::size_t after = end + copies * period;
        if (after < size_ && text_[after] == kLF) --copies;
    }
    position_ = end + copies * period;
    line_ += copies * (line_ - row_line);
    return copies;
}

template <typename Fields>
inline std::optional<ResilientParser::VerbatimLine> ResilientParser::read_verbatim_line(std::size_t fields,
                                                                                         Fields& out) noexcept {
    // Each rule below is one under which the state machine would leave the
    // row as it stands; anything else goes back to it. The walk goes by the
    // scanner's block masks: between quotes a block costs a count of its
    // delimiters, and only quotes and the line break are visited one by one.
    if (!ascii_dialect_ || escape_ || trim_leading_whitespace_ || !breaks_end_rows_ || delimiter_ == quote_char_) {
        return std::nullopt;
    }
    const unsigned char* t = text_;
    const std::size_t start = position_;
    // The cancel question is asked at the row's start and every interval
    // after, as the state machine asks it; a stop leaves the row unread.
    std::size_t limit = next_check_ < size_ ? next_check_ : size_;
    const auto unreadable = [&](std::size_t at) {  // true: `at` is past the text, or the run stops
        while (at >= limit) {
            if (limit == size_ || !keep_going(at)) return true;
            limit = next_check_ < size_ ? next_check_ : size_;
        }
        return false;
    };
    const unsigned char delim = delimiter_;
    const unsigned char quote = quote_char_;
    std::size_t delimiters = 0;
    std::size_t quoted = 0;      // quoted fields
    std::size_t quoted_raw = 0;  // bytes between their quotes
    std::size_t doubled = 0;     // doubled quotes in them
    std::uint64_t high = 0;
    std::size_t i = start;
    for (;;) {
        // Outside quotes: to the next quote or line break.
        scan::BlockScanner::Masks m{};
        std::uint64_t stops = 0;
        for (;;) {
            if (unreadable(i)) return std::nullopt;
            m = scanner_.masks_from(i);
            stops = m.quotes | m.line_ends;
            if (stops != 0) break;
            if constexpr (Fields::kRecords) {
                if (!out.delimiters(i, m.delimiters)) return std::nullopt;
            } else {
                delimiters += static_cast<std::size_t>(__builtin_popcountll(m.delimiters));
            }
            high |= m.highs;
            i = (i | 63) + 1;
        }
        const std::uint64_t before = scan::BlockScanner::below(stops);
        if constexpr (Fields::kRecords) {
            if (!out.delimiters(i, m.delimiters & before)) return std::nullopt;
        } else {
            delimiters += static_cast<std::size_t>(__builtin_popcountll(m.delimiters & before));
        }
        high |= m.highs & before;
        const std::size_t at = i + static_cast<std::size_t>(__builtin_ctzll(stops));
        if (unreadable(at)) return std::nullopt;
        if (t[at] != quote) {  // the line break ends the row
            if constexpr (Fields::kRecords) {
                if (!out.last(at) || out.count != fields) return std::nullopt;
            } else if (delimiters + 1 != fields) {
                return std::nullopt;
            }
            if (high != 0 && !utf8_known_valid(start, at)) return std::nullopt;
            std::size_t next = at + 1;
            if (t[at] == kCR && next < size_ && t[next] == kLF) ++next;
            position_ = next;
            ++line_;
            const std::size_t special = quoted_raw - doubled;
            return VerbatimLine{at, (at - start) - delimiters - 2 * quoted - doubled, special};
        }
        // A quote opens a field only at its start; inside a plain field it
        // is text, which a reader takes as it stands but a writer would quote.
        if (at != start && t[at - 1] != delim) {
            if constexpr (!Fields::kRecords) return std::nullopt;
            i = at + 1;
            continue;
        }
        // Inside quotes: to the quote that closes, past doubled ones; the
        // field must hold the delimiter or a doubled quote, or a writer
        // would put it without quotes.
        const std::size_t open = at;
        const std::size_t doubled_before = doubled;
        bool needs_quotes = false;
        i = at + 1;
        for (;;) {
            if (unreadable(i)) return std::nullopt;
            m = scanner_.masks_from(i);
            const std::uint64_t inside = m.quotes != 0 ? scan::BlockScanner::below(m.quotes) : ~std::uint64_t{0};
            // A line break inside quotes makes a row of several lines.
            if ((m.line_ends & inside) != 0) return std::nullopt;
            needs_quotes |= (m.delimiters & inside) != 0;
            high |= m.highs & inside;
            if (m.quotes == 0) {
                i = (i | 63) + 1;
                continue;
            }
            const std::size_t q = i + static_cast<std::size_t>(__builtin_ctzll(m.quotes));
            if (unreadable(q + 1)) return std::nullopt;
            const unsigned char after = t[q + 1];
            if (after == quote) {
                ++doubled;
                needs_quotes = true;
                i = q + 2;
                continue;
            }
            if (after != delim && after != kCR && after != kLF) return std::nullopt;  // text after the quote
            if constexpr (Fields::kRecords) {
                // A reader takes the field alike, needed or not.
                if (!out.quoted(open + 1, q, doubled != doubled_before)) return std::nullopt;
            } else if (!needs_quotes) {
                return std::nullopt;
            }
            ++quoted;
            quoted_raw += q - open - 1;
            i = q + 1;
            break;
        }
    }
}

#if defined(__x86_64__)
[[gnu::target("popcnt")]] std::optional<ResilientParser::VerbatimLine> ResilientParser::verbatim_line_popcnt(
    std::size_t fields) noexcept {
    NoFields none;
    return read_verbatim_line(fields, none);
}
#endif

std::optional<ResilientParser::VerbatimLine> ResilientParser::next_verbatim_line(std::size_t fields) noexcept {
#if defined(__x86_64__)
    if (counts_bits_) return verbatim_line_popcnt(fields);
#endif
    NoFields none;
    return read_verbatim_line(fields, none);
}

std::optional<std::size_t> ResilientParser::next_plain_row(std::span<PlainField> fields) noexcept {
    FieldPlaces places{fields, 0, position_};
    const auto line = read_verbatim_line(fields.size(), places);
    if (!line) return std::nullopt;
    return line->end;
}

bool ResilientParser::quote_closes(std::size_t q) noexcept {
    const unsigned char* t = text_;
    const std::size_t n = size_;
    const unsigned char delim = delimiter_;
    // Blanks are passed over here, but never the delimiter itself: with the
    // tab as delimiter, `"a"\t"b"` must close at the tab, not skip it and
    // take the next field's quote for the closing one.
    const auto skippable = [delim](unsigned char b) { return is_blank(b) && b != delim; };
    std::size_t i = q + 1;
    while (i < n && skippable(t[i])) ++i;
    if (i >= n) return true;                                           // only blanks to the end
    if (t[i] == delim || t[i] == kCR || t[i] == kLF) return true;  // field ends here

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
            while (j < n && skippable(t[j])) ++j;
            if (j >= n || t[j] == delim || t[j] == kCR || t[j] == kLF) {
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

std::size_t ResilientParser::find_quote_or_escape(std::size_t pos, std::size_t& lfs,
                                                  scan::RunFlags& flags) noexcept {
    return scan::find_any2_counting_lf(text_, pos, size_, quote_char_, *escape_, delimiter_, kCR, lfs, flags);
}

bool ResilientParser::keep_going(std::size_t pos) noexcept {
    if (cancel_ == nullptr || cancel_->go_on()) {
        next_check_ = pos + CancelCheck::kInterval < pos ? kNoCheck : pos + CancelCheck::kInterval;
        return true;
    }
    position_ = size_;
    next_check_ = kNoCheck;
    return false;
}

bool ResilientParser::extend_utf8_stretch(std::size_t from, std::size_t to) noexcept {
    // A Latin-1 quote or delimiter can split a character between two fields,
    // and an escape byte may be anything: then each field is checked alone.
    if (!ascii_dialect_ || escape_) return false;
    if (from < utf8_from_ || from > utf8_to_) {
        // Past a fault (or before the stretch): a new stretch from this
        // field's start, which follows an ASCII byte or starts the text.
        utf8_from_ = utf8_to_ = from;
    }
    // Ahead by a block, so that the next fields are covered too; a block
    // end that cuts a character ends the stretch before it.
    constexpr std::size_t kAhead = std::size_t{16} << 10;
    std::size_t end = size_ - utf8_to_ > kAhead ? utf8_to_ + kAhead : size_;
    if (end < to) end = to;
    utf8_to_ += valid_utf8_prefix(text_ + utf8_to_, end - utf8_to_);
    return to <= utf8_to_;
}

template <bool Decode, typename Row>
inline void ResilientParser::close_field(Row& row, std::size_t from, std::size_t to, bool quoted,
                                         bool& verbatim) {
    if constexpr (Decode) {
        // A writer quotes exactly the fields holding the quote, the
        // delimiter or a line break: a quoted field is written as it stands
        // only if it holds one, a plain field only if it holds none.
        verbatim &= row.open_field_special() == quoted;
        bool valid = (!row.open_field_high()) | ((from >= utf8_from_) & (to <= utf8_to_));
        if (!valid) [[unlikely]] valid = extend_utf8_stretch(from, to);
        row.complete_field(true, valid);
    } else {
        (void)quoted;
        (void)verbatim;
        row.complete_field(false);
    }
}

template <bool Decode, typename Row>
inline void ResilientParser::finish_row(Row& row, std::size_t end, bool verbatim) {
    if constexpr (Decode) {
        if (verbatim && events_.stray_quotes == 0 && events_.text_after_quote == 0 &&
            !events_.unclosed_quote && !row.decode_repaired()) {
            row.set_verbatim_end(end);
        }
    } else {
        (void)row;
        (void)end;
        (void)verbatim;
    }
}

template <bool Decode, typename Row>
bool ResilientParser::parse_row(Row& row) {
    row.reset(reinterpret_cast<const char*>(text_), position_);
    events_ = RowEvents{};
    const unsigned char* t = text_;
    const std::size_t n = size_;
    std::size_t pos = position_;
    if (pos >= n) return false;

    const unsigned char delim = delimiter_;
    const unsigned char quote = quote_char_;
    // A byte taken into a field one at a time: note what it is.
    const auto take_byte = [&](std::size_t at) {
        const unsigned char b = t[at];
        row.append_span(at, 1, b >= 0x80, b == quote || b == delim || b == kCR || b == kLF);
    };
    ParseState state = ParseState::FieldStart;
    std::size_t field_from = pos;  // where the open field's first piece may start
    bool quoted = false;           // the open field began with the quote
    // Every field so far stands in the source as a writer would put it, so
    // the row's clean line is its source text. Blanks dropped, an escape
    // byte or a Latin-1 quote or delimiter rule that out from the start.
    bool verbatim = Decode && ascii_dialect_ && !escape_ && !trim_leading_whitespace_;

    while (pos < n) {
        // One compare per step; a row of millions of doubled quotes is
        // millions of steps, so a long row is asked about from inside.
        if (pos >= next_check_ && !keep_going(pos)) return false;
        switch (state) {
            case ParseState::FieldStart: {
            field_start:  // also entered straight from a field's end, when the loop's tests would pass
                field_from = pos;
                quoted = false;
                if (trim_leading_whitespace_) {
                    while (pos < n && is_blank(t[pos])) ++pos;
                    if (pos >= n) goto end_of_text;
                }
                const unsigned char b = t[pos];
                if (b == quote) {  // opening quote
                    ++pos;
                    quoted = true;
                    state = ParseState::Quoted;
                    if (pos < n && pos < next_check_) goto quoted_scan;  // the loop's tests, passed
                    break;
                }
                if (b == delim) {  // empty field, placed so it can join a bare run
                    if (pos + 1 < n && t[pos + 1] == delim) [[unlikely]] {
                        // A run of delimiters goes in at once, up to the next check.
                        const std::size_t stop = next_check_ < n ? next_check_ : n;
                        std::size_t end = pos + 1;
                        // Eight bytes a step while they are all the delimiter.
                        const std::uint64_t all_delim = 0x0101010101010101ULL * delim;
                        for (std::uint64_t word; end + 8 <= stop; end += 8) {
                            std::memcpy(&word, t + end, 8);
                            if (word != all_delim) break;
                        }
                        while (end < stop && t[end] == delim) ++end;
                        row.push_empty_views(pos, end - pos, Decode);
                        pos = end;
                        break;
                    }
                    row.push_view_field(pos, 0, false, false, Decode);
                    ++pos;
                    break;
                }
                if (b == kCR || b == kLF) goto end_of_line;
                if constexpr (std::is_same_v<Row, FieldCounter>) {
                    // Only counting, and the first field is held: whole
                    // blocks of plain fields are counted by their delimiters.
                    if (!row.empty() && !trim_leading_whitespace_ && b != quote) {
                        const std::size_t stop = next_check_ < n ? next_check_ : n;
                        const scan::BlockScanner::Counted counted = scanner_.count_plain_fields(pos, stop);
                        if (counted.delimiters != 0) {
                            row.add_fields(counted.delimiters);
                            pos = counted.resume;
                            break;
                        }
                    }
                }
                // Plain fields: most end at the delimiter and are closed here
                // at once, and while the next one starts plainly too it is
                // taken in this loop, without a trip through the switch. One
                // that ends the row goes the long way.
                const std::size_t plain_stop = next_check_ < n ? next_check_ : n;
                const bool trim = trim_leading_whitespace_;
                for (;;) {
                    const scan::Run run = scanner_.find_unquoted_end(pos);
                    if (!run.at_delimiter) {
                        field_from = pos;
                        row.append_span(pos, run.end - pos, run.high, run.watched);
                        pos = run.end;
                        state = ParseState::Unquoted;
                        if (pos >= n) goto end_of_text;
                        goto end_of_line;
                    }
                    if constexpr (Decode) {
                        // Tested without a branch on the field's own bytes:
                        // ASCII and high fields mix at random.
                        bool valid = (!run.high) | ((pos >= utf8_from_) & (run.end <= utf8_to_));
                        if (!valid) [[unlikely]] valid = extend_utf8_stretch(pos, run.end);
                        row.push_view_field(pos, run.end - pos, run.high, run.watched, true, valid);
                        verbatim &= !run.watched;
                    } else {
                        row.push_view_field(pos, run.end - pos, run.high, run.watched, false);
                    }
                    pos = run.end + 1;
                    // A counter goes on by whole blocks from the field start.
                    if constexpr (std::is_same_v<Row, FieldCounter>) break;
                    if (pos >= plain_stop || trim) break;
                    if (ends_plain_[t[pos]]) goto field_start;  // the next field is not plain
                }
                break;
            }
            case ParseState::Unquoted: {
                // Everything up to the delimiter or line end, quotes included.
                const scan::Run run = scanner_.find_unquoted_end(pos);
                row.append_span(pos, run.end - pos, run.high, run.watched);
                pos = run.end;
                if (pos >= n) goto end_of_text;
                if (!run.at_delimiter) goto end_of_line;
                close_field<Decode>(row, field_from, pos, quoted, verbatim);
                ++pos;
                state = ParseState::FieldStart;
                break;
            }
            case ParseState::Quoted: {
            quoted_scan:
                std::size_t lfs = 0;  // LFs inside a quoted field count as lines
                scan::RunFlags flags;
                const std::size_t stop =
                    escape_ ? find_quote_or_escape(pos, lfs, flags) : scanner_.find_quote(pos, lfs, flags);
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
                    // A run of k doubled quotes gives k quotes, and the k
                    // bytes from here are quotes: take them as one span
                    // rather than k single bytes. The run ends at the next
                    // cancel question, so a row of only quotes is still asked.
                    const std::size_t ask_in = next_check_ > pos ? next_check_ - pos : 0;
                    const std::size_t most = ask_in <= 2 ? 1 : ask_in / 2 + ask_in % 2;  // pairs before asking
                    const std::size_t run_to = most >= (n - pos) / 2 ? n : pos + 2 * most;
                    // The quotes run to the first byte unlike the one before it.
                    const std::size_t k = (scan::end_of_repeats(t, pos + 2, run_to, 1) - pos) / 2;
                    row.append_span(pos, k, quote >= 0x80, true);
                    pos += 2 * k;
                    break;
                }
                // The usual closing quote, right before the delimiter or the
                // line break, closes on every rule: the field ends here.
                if (const unsigned char next = t[pos + 1]; next == delim) {
                    close_field<Decode>(row, field_from, pos + 1, quoted, verbatim);
                    pos += 2;
                    state = ParseState::FieldStart;
                    if (pos < n && pos < next_check_) goto field_start;  // the loop's tests, passed
                    break;
                } else if (next == kCR || next == kLF) {
                    ++pos;
                    state = ParseState::AfterQuote;
                    goto end_of_line;
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
                    close_field<Decode>(row, field_from, pos, quoted, verbatim);
                    ++pos;
                    state = ParseState::FieldStart;
                    break;
                }
                if (is_blank(b)) {  // blanks after the closing quote are dropped
                    verbatim = false;
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
    close_field<Decode>(row, field_from, pos, quoted, verbatim);
    finish_row<Decode>(row, pos, verbatim);
    return true;

end_of_line:
    // LF, CR LF and a lone CR each end one row; an empty last field sits at the break.
    if (state == ParseState::FieldStart) row.append_span(pos, 0, false, false);
    const std::size_t line_end = pos;
    if (t[pos] == kCR) {
        ++pos;
        if (pos < n && t[pos] == kLF) ++pos;
    } else {
        ++pos;
    }
    ++line_;
    position_ = pos;
    close_field<Decode>(row, field_from, pos, quoted, verbatim);
    finish_row<Decode>(row, line_end, verbatim);
    return true;
}

template bool ResilientParser::parse_row<true>(RowBuffer&);
template bool ResilientParser::parse_row<false>(RowBuffer&);
template bool ResilientParser::parse_row<false>(FieldCounter&);

}  // namespace brinewick
