#include "row_repair.hpp"

#include "stream_rows.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace brinewick::stream {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// Quotes of a line each tried as an ordinary character: damage touches one
// or two quotes, and the bound keeps a line full of quotes linear.
constexpr std::size_t kFlipQuotes = 16;

inline bool is_blank(unsigned char b) noexcept { return b == ' ' || b == '\t'; }
inline bool is_break(unsigned char b) noexcept { return b == '\r' || b == '\n'; }

// How a reading takes one quote of the line.
enum class Role : std::uint8_t { Text, Open, Close, Doubled };

// How a quote inside a quoted field that is followed by other text is read:
// by the fixed rules' look-ahead (it closes unless a later quote on the line
// could), or as the csv module does (it always closes).
enum class Mode : std::uint8_t { Fixed, Csv };

// A stretch of a row: its first line, the line after, or the whole row
// (line breaks then stand only inside quoted fields).
struct Line {
    const unsigned char* t = nullptr;
    std::size_t from = 0;
    std::size_t to = 0;
    bool at_text_end = false;  // `to` is the text's end rather than a line break
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    bool repair_quotes = true;
    std::vector<std::size_t> quotes;  // where the quote stands, in order
    // Per quote: a later quote on its line stands in closing position (the
    // fixed rules' look-ahead, which keeps this one as text).
    std::vector<bool> later_closing;

    // A quote at `q` followed, past blanks, by the delimiter or its line's end.
    [[nodiscard]] bool closing_position(std::size_t q) const noexcept {
        std::size_t j = q + 1;
        while (j < to && is_blank(t[j]) && t[j] != delimiter) ++j;
        return j >= to || t[j] == delimiter || is_break(t[j]);
    }
    [[nodiscard]] std::size_t quote_index(std::size_t at) const noexcept {
        return static_cast<std::size_t>(std::lower_bound(quotes.begin(), quotes.end(), at) - quotes.begin());
    }
    // Finds the quotes of [from, to) and what the look-ahead says of each.
    std::vector<std::size_t> line_of;  // scan's scratch: the line of each quote
    void scan() {
        quotes.clear();
        line_of.clear();
        std::size_t line = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (t[i] == '\n' || (t[i] == '\r' && (i + 1 >= to || t[i + 1] != '\n'))) ++line;
            if (t[i] != quote) continue;
            quotes.push_back(i);
            line_of.push_back(line);
        }
        later_closing.assign(quotes.size(), false);
        bool seen = false;  // a closing-position quote later on the current line
        for (std::size_t i = quotes.size(); i-- > 0;) {
            if (i + 1 < quotes.size() && line_of[i + 1] != line_of[i]) seen = false;
            later_closing[i] = seen;
            seen = seen || closing_position(quotes[i]);
        }
    }
};

// One way of reading the line.
struct Reading {
    std::size_t fields = 0;
    std::size_t empty_tail = 0;    // empty fields at its end
    bool closed = true;            // no quoted field is open at the line's end
    bool unclosed = false;         // a quoted field ran to the text's end
    std::uint32_t stray = 0;       // quotes kept as text inside quoted fields
    std::uint32_t after = 0;       // fields with text after their closing quote
    std::vector<Role> roles;       // per quote of the line
};

// Reads `line` under `mode`, the quote at `flip` (if any) taken as an
// ordinary character; with `row`, builds its fields there too.
void read_line(const Line& line, Mode mode, std::size_t flip, Reading& out, RowBuffer* row) {
    out.fields = 0;
    out.empty_tail = 0;
    out.closed = true;
    out.unclosed = false;
    out.stray = 0;
    out.after = 0;
    out.roles.assign(line.quotes.size(), Role::Text);  // keeps its memory from row to row
    const unsigned char* t = line.t;
    const std::size_t to = line.to;
    const unsigned char delim = line.delimiter;
    const unsigned char quote = line.quote;
    const auto set_role = [&](std::size_t at, Role role) { out.roles[line.quote_index(at)] = role; };
    bool field_empty = true;
    const auto append = [&](std::size_t at, std::size_t size) {
        if (size == 0) return;
        field_empty = false;
        if (row == nullptr) return;
        bool high = false;
        bool special = false;
        for (std::size_t i = at; i < at + size; ++i) {
            high |= t[i] >= 0x80;
            special |= t[i] == quote || t[i] == delim || is_break(t[i]);
        }
        row->append_span(at, size, high, special);
    };
    const auto close_field = [&] {
        ++out.fields;
        out.empty_tail = field_empty ? out.empty_tail + 1 : 0;
        field_empty = true;
        if (row != nullptr) row->complete_field(true);
    };

    std::size_t pos = line.from;
    for (;;) {
        // At a field's start.
        if (pos >= to) {  // the line ends with an empty field
            close_field();
            return;
        }
        bool after_quote = false;
        if (is_break(t[pos])) {  // a row break inside the stretch: not this row
            out.closed = false;
            return;
        }
        if (t[pos] == quote && pos != flip) {  // opening quote
            set_role(pos, Role::Open);
            ++pos;
            for (;;) {  // inside the quotes
                const void* found = std::memchr(t + pos, quote, to - pos);
                const std::size_t q = found != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(found) - t) : to;
                append(pos, q - pos);
                if (q >= to) {  // no closing quote on the line
                    out.unclosed = line.at_text_end;
                    out.closed = line.at_text_end;
                    close_field();
                    return;
                }
                if (q == flip) {  // taken as an ordinary character
                    append(q, 1);
                    ++out.stray;
                    pos = q + 1;
                    continue;
                }
                if (q + 1 < to && t[q + 1] == quote) {  // save "" as "
                    set_role(q, Role::Doubled);
                    set_role(q + 1, Role::Doubled);
                    append(q, 1);
                    pos = q + 2;
                    continue;
                }
                const bool closes = q + 1 >= to || t[q + 1] == delim || is_break(t[q + 1]) || mode == Mode::Csv ||
                                    !line.repair_quotes || line.closing_position(q) ||
                                    !line.later_closing[line.quote_index(q)];
                if (closes) {
                    set_role(q, Role::Close);
                    pos = q + 1;
                    after_quote = true;
                    break;
                }
                append(q, 1);  // stray quote, kept in the field
                ++out.stray;
                pos = q + 1;
            }
        }
        if (after_quote) {
            // Blanks before the delimiter or the line's end are dropped, as
            // the fixed rules drop them; before other text they are kept
            // with it, as the csv module keeps them.
            std::size_t e = pos;
            while (e < to && is_blank(t[e]) && t[e] != delim) ++e;
            if (e >= to) {
                close_field();
                return;
            }
            if (is_break(t[e])) {  // a row break inside the stretch: not this row
                out.closed = false;
                return;
            }
            if (t[e] == delim) {
                close_field();
                pos = e + 1;
                continue;
            }
            ++out.after;
        }
        // Plain text to the delimiter or the line's end, quotes included.
        const void* found = std::memchr(t + pos, delim, to - pos);
        const std::size_t d = found != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(found) - t) : to;
        for (std::size_t i = pos; i < d; ++i) {
            if (is_break(t[i])) {  // a row break inside the stretch: not this row
                out.closed = false;
                return;
            }
        }
        append(pos, d - pos);
        close_field();
        if (d >= to) return;
        pos = d + 1;
    }
}

std::uint32_t departures(const Reading& reading, const Reading& base) noexcept {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < reading.roles.size(); ++i) n += reading.roles[i] != base.roles[i] ? 1 : 0;
    return n;
}

// Empty fields to drop from a reading of `fields` ending in `empty_tail`
// empty ones to reach `columns`; kNone when that does not give the width.
std::size_t fitting_drop(std::size_t fields, std::size_t empty_tail, std::size_t columns) noexcept {
    if (fields == columns) return 0;
    if (fields > columns && empty_tail >= fields - columns) return fields - columns;
    return kNone;
}

// Whether the row is wider than `columns` only by empty fields at its end.
bool whole_fits_after_drop(const RowBuffer& row, std::size_t columns) {
    if (row.size() <= columns) return false;
    for (std::size_t i = columns; i < row.size(); ++i) {
        if (!row.field(i).empty()) return false;
    }
    return true;
}

// Among readings with as few departures, the one that leaves the fewest
// quotes as text and joins the least text after closing quotes: each is a
// place where the writer's intent is guessed.
std::uint32_t guesses(const Reading& reading) noexcept {
    std::uint32_t n = reading.after;
    for (const Role role : reading.roles) n += role == Role::Text ? 1 : 0;
    return n;
}

struct Choice {
    Mode mode = Mode::Fixed;
    std::size_t flip = kNone;
    std::uint32_t cost = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t guessed = 0;
    std::size_t drop = 0;
    [[nodiscard]] bool found() const noexcept { return cost != std::numeric_limits<std::uint32_t>::max(); }
};

struct Scratch {
    Line first;
    Line whole;
    Reading base;
    Reading reading;
    std::vector<std::size_t> flips;
};

}  // namespace

RowNotes repair_row_stage(ResilientParser& parser, std::string_view text, std::size_t start, std::size_t line,
                          RowBuffer& row, const RepairSettings& settings) {
    RowNotes notes(parser.row_events());
    const std::size_t end = parser.position();
    notes.repair.parsed_fields = row.size();
    // A blank or a line break as quote or delimiter would need other line rules.
    const auto odd = [](std::uint8_t b) { return is_blank(b) || is_break(b); };
    if (odd(settings.quote) || odd(settings.delimiter)) return notes;
    const std::size_t columns = settings.columns;
    const std::string_view raw = row_text(text, start, end, notes.unclosed_quote);
    const std::size_t raw_end = start + raw.size();

    // Scratch kept from row to row: the rows that get here are few, but a
    // damaged file has them by the thousand.
    thread_local Scratch scratch;
    Line& first = scratch.first;
    first.t = reinterpret_cast<const unsigned char*>(text.data());
    first.from = start;
    first.delimiter = settings.delimiter;
    first.quote = settings.quote;
    first.repair_quotes = settings.repair_quotes;
    std::size_t le = start;
    while (le < raw_end && !is_break(first.t[le])) ++le;
    const bool multi = le < raw_end;
    first.to = le;
    first.at_text_end = !multi && raw_end == text.size();

    const auto drop_trailing = [&] {
        const std::size_t dropped = row.size() - columns;
        row.truncate(columns);
        notes.repair.trailing_empty = static_cast<std::uint32_t>(dropped);
        return notes;
    };
    if (!multi && notes.stray_quotes == 0 && notes.text_after_quote == 0 && !notes.unclosed_quote) {
        // Every quote on the line stands where a writer puts one: the row
        // is short or long as written, and reading a sound quoted field
        // otherwise would only split it. Only empty surplus fields can go.
        if (whole_fits_after_drop(row, columns)) return drop_trailing();
        return notes;
    }
    // From here the stage reads past the row's first line, so copies of
    // the row's bytes may read otherwise (above, the row alone decided).
    notes.looked = true;

    if (multi && !notes.unclosed_quote) {
        // A quoted field that closes lines later may be a long legitimate
        // one: it is cut only when the row that would start on the next
        // line reads, under the fixed rules and within this row's bytes, as
        // a row of exactly the width, as the rows a stray quote swallows do.
        std::size_t next_from = le + 1;
        if (first.t[le] == '\r' && next_from < raw_end && first.t[next_from] == '\n') ++next_from;
        ResilientParser next_row(text.substr(0, raw_end), settings.delimiter, settings.quote, settings.repair_quotes,
                                 next_from, 0);
        // That row may itself open a quoted field that the stray quote's
        // field closed on: then it runs to this row's end, and what it holds
        // so far must not pass the width.
        FieldCounter counted;
        const bool read = next_row.next_row_count(counted);
        bool next_fits = read && (next_row.row_events().unclosed_quote ? counted.size() <= columns
                                                                        : counted.size() == columns);
        if (read && !next_fits && columns >= 3 && counted.size() > columns &&
            !next_row.row_events().unclosed_quote) {
            // Wider only by empty fields at its end (trailing delimiters),
            // with most of its fields filled: a row of the width too, since
            // the stage drops them. (A line of a long quoted field with a
            // few commas in it is not.)
            thread_local RowBuffer fields;
            ResilientParser again(text.substr(0, raw_end), settings.delimiter, settings.quote, settings.repair_quotes,
                                  next_from, 0);
            if (again.next_row(fields) && whole_fits_after_drop(fields, columns)) {
                std::size_t filled = 0;
                for (std::size_t i = 0; i < columns; ++i) filled += fields.field(i).empty() ? 0 : 1;
                next_fits = 2 * filled > columns;
            }
        }
        if (!next_fits) {
            // Kept whole: only its surplus empty fields dropped, or the
            // blanks before text after a closing quote kept.
            if (whole_fits_after_drop(row, columns)) return drop_trailing();
            if (row.size() != columns || notes.text_after_quote == 0) return notes;
            Line& whole = scratch.whole;
            whole.t = first.t;
            whole.from = start;
            whole.to = raw_end;
            whole.at_text_end = false;
            whole.delimiter = first.delimiter;
            whole.quote = first.quote;
            whole.repair_quotes = first.repair_quotes;
            whole.scan();
            Reading& reading = scratch.reading;
            read_line(whole, Mode::Fixed, kNone, reading, nullptr);
            if (!reading.closed || reading.fields != columns) return notes;
            row.reset(text.data(), start);
            read_line(whole, Mode::Fixed, kNone, reading, &row);
            ResilientParser::RowEvents& events = notes;
            events.stray_quotes = reading.stray;
            events.text_after_quote = reading.after;
            return notes;
        }
    } else if (multi && whole_fits_after_drop(row, columns)) {
        return drop_trailing();
    }

    first.scan();
    Choice best;
    Reading& reading = scratch.reading;
    Reading& base = scratch.base;
    read_line(first, Mode::Fixed, kNone, base, nullptr);
    const auto consider = [&](Mode mode, std::size_t flip, const Reading& r) {
        if (!r.closed) return;
        const std::size_t drop = fitting_drop(r.fields, r.empty_tail, columns);
        if (drop == kNone) return;
        const std::uint32_t cost = departures(r, base) + (drop != 0 ? 1u : 0u);
        const std::uint32_t guessed = guesses(r);
        if (cost < best.cost || (cost == best.cost && guessed < best.guessed)) {
            best = Choice{mode, flip, cost, guessed, drop};
        }
    };

    // The quotes tried as ordinary characters: the line's first ones, and
    // the one the fixed reading leaves open at the line's end.
    std::vector<std::size_t>& flips = scratch.flips;
    flips.assign(first.quotes.begin(),
                 first.quotes.begin() + static_cast<std::ptrdiff_t>(std::min(first.quotes.size(), kFlipQuotes)));
    for (std::size_t i = base.roles.size(); i-- > 0;) {
        if (base.roles[i] != Role::Open) continue;
        if (i >= kFlipQuotes && !base.closed) flips.push_back(first.quotes[i]);
        break;
    }

    consider(Mode::Fixed, kNone, base);
    // A single line of the right width needs only its blanks kept.
    if (multi || row.size() != columns) {
        read_line(first, Mode::Csv, kNone, reading, nullptr);
        consider(Mode::Csv, kNone, reading);
        // Where the csv module's reading takes every quote as the fixed one
        // does, its flips are left out: the fixed reading's stand for them.
        const bool csv_differs = reading.roles != base.roles;
        for (const Mode mode : {Mode::Fixed, Mode::Csv}) {
            if (mode == Mode::Csv && !csv_differs) break;
            for (const std::size_t flip : flips) {
                // A quote the reading already takes as text reads the same flipped.
                if (mode == Mode::Fixed && base.roles[first.quote_index(flip)] == Role::Text) continue;
                read_line(first, mode, flip, reading, nullptr);
                consider(mode, flip, reading);
            }
        }
    }

    if (!best.found()) {
        if (!(multi && notes.unclosed_quote)) return notes;  // nothing fits: the parser's row stays
        // A quote that never closes stays on its own line whatever its
        // width: the closed reading with the fewest departures.
        for (const std::size_t flip : flips) {
            read_line(first, Mode::Fixed, flip, reading, nullptr);
            if (!reading.closed) continue;
            const std::uint32_t cost = departures(reading, base);
            if (cost < best.cost) best = Choice{Mode::Fixed, flip, cost, 0, 0};
        }
        if (!best.found()) return notes;
    }

    std::size_t lines = 1;
    if (multi) {
        for (std::size_t i = start; i < raw_end; ++i) {
            if (first.t[i] == '\n' || (first.t[i] == '\r' && (i + 1 >= raw_end || first.t[i + 1] != '\n'))) ++lines;
        }
        // A final line break opens no new line.
        if (is_break(first.t[raw_end - 1])) --lines;
    }
    row.reset(text.data(), start);
    read_line(first, best.mode, best.flip, reading, &row);
    if (best.drop != 0) row.truncate(columns);
    ResilientParser::RowEvents& events = notes;
    events.stray_quotes = reading.stray;
    events.text_after_quote = reading.after;
    events.unclosed_quote = reading.unclosed;
    notes.repair.requoted = best.cost - (best.drop != 0 ? 1u : 0u);
    notes.repair.trailing_empty = static_cast<std::uint32_t>(best.drop);
    if (multi) {
        notes.repair.contained_lines = lines;
        std::size_t next = le + 1;
        if (first.t[le] == '\r' && next < text.size() && first.t[next] == '\n') ++next;
        parser.resume_at(next, line + 1);
    }
    return notes;
}

}  // namespace brinewick::stream
