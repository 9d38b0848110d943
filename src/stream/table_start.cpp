#include "table_start.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <tuple>
#include <utility>

#include "../heuristics/heuristics.hpp"
#include "../parser/field_counter.hpp"
#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "row_repair.hpp"
#include "stream_rows.hpp"

namespace brinewick::stream {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::size_t filled_fields(const SampleRow& row) noexcept {
    return static_cast<std::size_t>(std::count_if(row.fields.begin(), row.fields.end(),
                                                  [](const std::string& f) { return !trimmed(f).empty(); }));
}

// Names: no field holds a value, and at least half are filled.
bool reads_as_names(const SampleRow& row) noexcept {
    if (row.big) return false;
    const std::size_t filled = filled_fields(row);
    if (filled == 0 || 2 * filled < row.fields.size()) return false;
    return std::none_of(row.fields.begin(), row.fields.end(), [](const std::string& f) { return looks_like_value(f); });
}

// A year as a pivot table names a column by it: 19xx or 20xx.
bool is_year(std::string_view field) noexcept {
    const std::string_view text = trimmed(field);
    return text.size() == 4 && std::all_of(text.begin(), text.end(), is_digit) &&
           (text.starts_with("19") || text.starts_with("20"));
}

// A pivot table's header ("region,2022,2023"): names but for distinct years,
// beside at least one name.
bool reads_as_names_and_years(const SampleRow& row) noexcept {
    if (row.big || reads_as_names(row)) return false;
    std::vector<std::string_view> years;
    bool named = false;
    for (const std::string& field : row.fields) {
        if (is_year(field)) {
            years.push_back(trimmed(field));
        } else if (looks_like_value(field)) {
            return false;
        } else {
            named = named || !trimmed(field).empty();
        }
    }
    std::sort(years.begin(), years.end());
    return named && !years.empty() && std::adjacent_find(years.begin(), years.end()) == years.end();
}

// A note: a row that begins with '#' (or the comment character). One of
// the table's width that reads as names is a header written after a '#'
// (as some tools write theirs), not a note.
bool is_note_text(std::string_view text, std::optional<std::uint8_t> comment) noexcept {
    if (text.empty()) return false;
    const auto first = static_cast<std::uint8_t>(text.front());
    return first == '#' || (comment && first == *comment);
}

bool is_note(const SampleRow& row, std::size_t columns, std::optional<std::uint8_t> comment) noexcept {
    if (!is_note_text(trimmed(row.raw), comment)) return false;
    return row.width != columns || !reads_as_names(row);
}

// The commonest count of 2 or more among `seen` (indexed by count; a tie
// goes to the larger), 0 when none.
std::size_t commonest_width(const std::vector<std::size_t>& seen) noexcept {
    std::size_t width = 0;
    for (std::size_t w = 2; w < seen.size(); ++w) {
        if (seen[w] != 0 && (width == 0 || seen[w] >= seen[width])) width = w;
    }
    return width;
}

// A title spread over the table's width, as spreadsheets export one: its
// text in the first cell, the others empty.
bool is_title(const SampleRow& row, std::size_t columns) noexcept {
    return columns >= 3 && !row.big && row.width == columns && filled_fields(row) <= 1 && !row.fields.empty() &&
           !trimmed(row.fields.front()).empty();
}

// A row that cannot be the table's: another width, a spread title, a note.
bool reads_as_preamble(const SampleRow& row, std::size_t columns, std::optional<std::uint8_t> comment) noexcept {
    return row.width != columns || is_title(row, columns) || is_note(row, columns, comment) ||
           (!row.big && filled_fields(row) == 0);
}

}  // namespace

bool looks_like_value(std::string_view field) noexcept {
    const std::string_view text = trimmed(field);
    bool digit = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_digit(c)) {
            digit = true;
            continue;
        }
        // Signs, separators of numbers, dates and times, currency and
        // percent; an exponent, the T of an ISO timestamp and AM/PM.
        if (std::strchr("+-.,:/ %$'()", c) != nullptr && c != '\0') continue;
        if (static_cast<unsigned char>(c) >= 0x80) continue;  // a currency sign, a narrow space
        if ((c == 'e' || c == 'E' || c == 'T') && i > 0 && is_digit(text[i - 1])) continue;
        if (text.size() - i == 2 && i > 0) {
            const std::string_view tail = text.substr(i);
            if (tail == "AM" || tail == "PM" || tail == "am" || tail == "pm") break;
        }
        return false;
    }
    return digit;
}

std::optional<std::size_t> find_header_row(std::span<const SampleRow> rows, std::size_t columns,
                                           std::optional<std::uint8_t> comment, bool typed_only) {
    if (columns < 2) return std::nullopt;  // one column: a title reads as a header would
    std::vector<std::size_t> filled;  // the non-blank rows, by index
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].blank) filled.push_back(i);
    }
    if (filled.empty()) return std::nullopt;
    const SampleRow& first = rows[filled.front()];
    if (first.width == columns && !is_title(first, columns) && !is_note(first, columns, comment)) {
        return std::nullopt;  // the usual file: its first row is its header
    }
    bool only_titles = true;  // every row above is a title or a note
    const std::size_t searched = std::min(filled.size(), kHeaderSearchRows);
    for (std::size_t k = 0; k < searched; ++k) {
        const SampleRow& row = rows[filled[k]];
        if (row.open_quote) return std::nullopt;
        if (reads_as_preamble(row, columns, comment)) {
            only_titles = only_titles && (filled_fields(row) <= 1 || is_note(row, columns, comment));
            continue;
        }
        // Years name columns only over values that are not years: a row of
        // a name and years over more of the same is data.
        const bool pivot = k != 0 && reads_as_names_and_years(row);
        if (k == 0 || !(pivot || reads_as_names(row))) return std::nullopt;  // data before any header
        // The rows under it settle into the column count...
        std::size_t under = 0;
        std::size_t fitting = 0;
        std::vector<std::size_t> values(columns, 0);
        for (std::size_t j = k + 1; j < filled.size() && under < kRowsUnderHeader; ++j) {
            const SampleRow& below = rows[filled[j]];
            if (below.raw == row.raw && !row.big) continue;  // repeated, as files joined end to end repeat it
            ++under;
            if (below.width != columns) continue;
            ++fitting;
            if (below.big) continue;
            for (std::size_t c = 0; c < columns; ++c) {
                values[c] += looks_like_value(below.fields[c]) ? 1 : 0;
                if (pivot && is_year(row.fields[c]) && is_year(below.fields[c])) return std::nullopt;
            }
        }
        if (fitting == 0 || 2 * fitting < under) return std::nullopt;
        // ...and it names a column of numbers or dates, or stands under
        // nothing but titles (a table of text has no other tell).
        bool typed = false;
        for (std::size_t c = 0; c < columns && !typed; ++c) {
            typed = fitting != 0 && 2 * values[c] > fitting && !trimmed(row.fields[c]).empty();
        }
        const bool all_named = filled_fields(row) == columns;
        if (typed || (!typed_only && only_titles && all_named)) return filled[k];
        return std::nullopt;
    }
    return std::nullopt;
}

namespace {

constexpr std::uint8_t kDelimiterCandidates[] = {',', ';', '\t', '|'};
constexpr std::size_t kSniffedRows = 50;
// Another candidate within this share of the winner's score is a near tie.
constexpr double kNearTie = 0.85;

// How one candidate splits the first rows, notes ('#' lines) left out.
struct Split {
    double score = 0.0;        // the heuristics' own: share of rows at the commonest width (2+), by log width
    double settled = 0.0;      // share of the rows from the first at that width on that have it
    bool header_fits = false;  // that first row is the first row: nothing above the table
    std::size_t typed = 0;     // columns whose values below that row are all numbers or dates
    std::size_t rows = 0;
    std::size_t first_width = 0;

    // What breaks a near tie, in order.
    [[nodiscard]] auto key() const noexcept { return std::tuple{settled, header_fits, typed}; }
};

Split split_under(std::string_view text, std::uint8_t delimiter, std::optional<std::uint8_t> comment) {
    Split out;
    // A bounded look: the text up to kSampleBytes, where a row cut short
    // counts only when it is the first. A long row is counted, never copied
    // (a row of 100 million commas would be 100 million strings).
    const bool cut = text.size() > kSampleBytes;
    if (cut) text = text.substr(0, kSampleBytes);
    struct Sampled {
        std::size_t width = 0;
        std::vector<std::string> fields;  // empty for a long row
    };
    RowBuffer row;
    FieldCounter counter;
    std::vector<Sampled> rows;
    std::size_t position = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    std::size_t read = 0;  // non-blank rows, notes included: the heuristics' own sample
    while (read < kSniffedRows) {
        position += leading_breaks(text.substr(position));  // blank lines, a long run of them in one step
        const std::size_t start = position;
        ResilientParser parser(text, delimiter, '"', true, start, 1);
        if (!parser.next_row_count(counter)) break;
        position = parser.position();
        if (cut && position >= text.size() && read != 0) break;
        if (position - start > kSampleRowBytes) {
            ++read;
            if (!is_note_text(text.substr(start, 1), comment)) rows.push_back({counter.size(), {}});
            continue;
        }
        ResilientParser again(text, delimiter, '"', true, start, 1);
        (void)again.next_row(row);
        if (row.size() == 1 && is_blank_text(row.field(0))) continue;
        ++read;
        if (is_note_text(row.field(0), comment)) continue;
        Sampled& sampled = rows.emplace_back();
        sampled.width = row.size();
        for (std::size_t i = 0; i < row.size(); ++i) sampled.fields.emplace_back(row.field(i));
    }
    out.rows = rows.size();
    if (rows.empty()) return out;
    out.first_width = rows.front().width;
    if (rows.size() < 2) return out;
    std::vector<std::size_t> seen;
    for (const auto& r : rows) {
        if (r.width >= seen.size()) seen.resize(r.width + 1, 0);
        ++seen[r.width];
    }
    const std::size_t mode = commonest_width(seen);
    if (mode == 0) return out;
    out.score = static_cast<double>(seen[mode]) / static_cast<double>(rows.size()) *
                std::max(std::log(static_cast<double>(mode)), 1.0);
    std::size_t head = 0;
    while (rows[head].width != mode) ++head;
    out.header_fits = head == 0;
    out.settled = static_cast<double>(seen[mode]) / static_cast<double>(rows.size() - head);
    for (std::size_t c = 0; c < mode; ++c) {
        std::size_t values = 0;
        bool all = true;
        for (std::size_t r = head + 1; r < rows.size() && all; ++r) {
            if (rows[r].width != mode) continue;
            all = !rows[r].fields.empty() && looks_like_value(rows[r].fields[c]);
            ++values;
        }
        if (all && values != 0) ++out.typed;
    }
    return out;
}

}  // namespace

std::optional<std::uint8_t> table_delimiter(std::string_view text, std::uint8_t sniffed, bool whole,
                                            std::optional<std::uint8_t> comment) {
    Split splits[std::size(kDelimiterCandidates)];
    const auto* found = std::find(std::begin(kDelimiterCandidates), std::end(kDelimiterCandidates), sniffed);
    const std::size_t winner =
        found == std::end(kDelimiterCandidates) ? 0 : static_cast<std::size_t>(found - kDelimiterCandidates);
    splits[winner] = split_under(text, kDelimiterCandidates[winner], comment);
    // One row (the whole input): the candidate that splits it most. One
    // absent from the text leaves the row whole, so it is not parsed: a
    // single row of megabytes would be, once per candidate.
    if (whole && splits[winner].rows == 1) {
        const std::string_view looked = text.substr(0, kSampleBytes);
        std::size_t best = winner;
        for (std::size_t i = 0; i < std::size(kDelimiterCandidates); ++i) {
            if (i == winner || std::memchr(looked.data(), kDelimiterCandidates[i], looked.size()) == nullptr) continue;
            splits[i] = split_under(text, kDelimiterCandidates[i], comment);
            if (splits[i].rows == 1 && splits[i].first_width > splits[best].first_width) best = i;
        }
        if (best != winner && splits[best].first_width >= 2) return kDelimiterCandidates[best];
        return std::nullopt;
    }
    double top = splits[winner].score;
    for (std::size_t i = 0; i < std::size(kDelimiterCandidates); ++i) {
        if (i == winner) continue;
        splits[i] = split_under(text, kDelimiterCandidates[i], comment);
        top = std::max(top, splits[i].score);
    }
    if (top <= 0.0) return std::nullopt;
    // Among the candidates that score near the best (notes left out), the
    // one whose table settles best; the sniffed one keeps a tie.
    std::size_t best = winner;
    const bool winner_near = splits[winner].score >= kNearTie * top;
    for (std::size_t i = 0; i < std::size(kDelimiterCandidates); ++i) {
        if (i == winner || splits[i].score < kNearTie * top) continue;
        if (!winner_near && best == winner) {
            best = i;
            continue;
        }
        const Split& other = splits[best];
        if (splits[i].key() > other.key() || (splits[i].key() == other.key() && splits[i].score > other.score)) best = i;
    }
    if (best == winner) return std::nullopt;
    return kDelimiterCandidates[best];
}

bool may_be_set_aside(std::string_view view, std::size_t start, std::uint64_t offset, const SalvageOptions& options,
                      const Dialect& dialect) noexcept {
    if (offset < dialect.table_offset) return true;
    if (start >= view.size()) return true;
    if (view[start] == '\0' && options.skip_blank_lines) return true;
    if (options.comment && static_cast<std::uint8_t>(view[start]) == *options.comment) return true;
    if (!dialect.preamble_keys.empty() && offset > dialect.table_offset) {
        std::string_view front = view.substr(start);
        if (front.starts_with("\xEF\xBB\xBF")) front.remove_prefix(3);
        if (front.empty() || dialect.preamble_starts.test(static_cast<unsigned char>(front.front()))) return true;
    }
    const std::string_view header = dialect.header_text;
    if (header.empty() || offset <= dialect.table_offset) return false;
    std::string_view rest = view.substr(start);
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    // Too short to tell, or the header's bytes: the full look decides.
    // (The first byte settles nearly every row without a call.)
    if (rest.size() <= header.size()) return true;
    if (rest.front() == header.front() && rest.starts_with(header)) return true;
    // The header's names in another order: a line of the header's length
    // that starts as one of its names does.
    const char after = rest[header.size()];
    if (after != '\n' && after != '\r') return false;
    for (std::size_t at = 0;;) {
        if (at < header.size() && header[at] == rest.front()) return true;
        const std::size_t next = header.find(static_cast<char>(dialect.delimiter), at);
        if (next == std::string_view::npos) return false;
        at = next + 1;
    }
}

bool names_header_reordered(std::string_view raw, std::string_view header, std::uint8_t delimiter,
                            std::uint8_t quote) noexcept {
    const auto q = static_cast<char>(quote);
    if (raw == header || header.find(q) != std::string_view::npos || raw.find(q) != std::string_view::npos) {
        return false;
    }
    try {
        const auto names = [delimiter](std::string_view text) {
            std::vector<std::string_view> out;
            for (;;) {
                const std::size_t end = text.find(static_cast<char>(delimiter));
                out.push_back(text.substr(0, end));
                if (end == std::string_view::npos) break;
                text.remove_prefix(end + 1);
            }
            std::sort(out.begin(), out.end());
            return out;
        };
        const std::vector<std::string_view> ours = names(header);
        return ours.size() >= 2 && names(raw) == ours;
    } catch (const std::bad_alloc&) {
        return false;  // too little memory to compare: kept as a row
    }
}

bool repeats_preamble(std::string_view raw, const Dialect& dialect) noexcept {
    if (raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    if (raw.empty() || !dialect.preamble_starts.test(static_cast<unsigned char>(raw.front()))) return false;
    const std::string_view key = preamble_key(raw);
    std::string_view keys = dialect.preamble_keys;
    while (!keys.empty()) {
        const std::size_t end = keys.find('\n');
        if (keys.substr(0, end) == key) return true;
        keys.remove_prefix(end + 1);
    }
    return false;
}

void set_preamble_keys(Dialect& dialect, std::string keys) {
    dialect.preamble_starts.reset();
    for (std::size_t at = 0; at < keys.size(); at = keys.find('\n', at) + 1) {
        dialect.preamble_starts.set(static_cast<unsigned char>(keys[at]));
    }
    dialect.preamble_keys = std::move(keys);
}

std::string_view set_aside_reason(RowVerdict verdict) noexcept {
    switch (verdict) {
        case RowVerdict::Preamble: return "preamble";
        case RowVerdict::Comment: return "comment";
        case RowVerdict::RepeatedHeader: return "repeated_header";
        case RowVerdict::ReorderedHeader: return "reordered_header";
        case RowVerdict::NulPadding: return "nul_padding";
        default: return {};
    }
}

namespace {

// The input's first rows, parsed as the run will parse them, until the
// search has what it needs or the input ends. The rows from the first line
// asked for on stop where they pass kSampleBytes (the first of them always
// counts): the sample is the same whatever the sizes of the reads.
Status read_sample(InputWindow& window, const SalvageOptions& options, const Dialect& dialect,
                   std::vector<SampleRow>& rows) {
    const RepairSettings repair = repair_settings(options, dialect);
    const std::size_t wanted = options.find_header ? kHeaderSearchRows + kRowsUnderHeader : 1;
    for (;;) {
        rows.clear();
        const std::string_view view = window.view();
        std::size_t position = window.offset() == 0 && starts_with_bom(view) ? 3 : 0;
        std::size_t line = 1;
        RowBuffer row;
        FieldCounter counter;
        std::size_t counted = 0;  // non-blank rows from the first line asked for
        std::optional<std::size_t> base;  // where the first of those starts
        for (;;) {
            // A run of line breaks after a blank row holds no row the search
            // uses: passed over without a row each, so 50 MB of blank lines
            // cost neither a parse per line nor a row in memory.
            if (base && !rows.empty() && rows.back().blank) {
                while (position < view.size() && (view[position] == '\n' || view[position] == '\r')) {
                    std::size_t next = position + 1;
                    if (view[position] == '\r' && next == view.size() && !window.at_end()) break;
                    if (view[position] == '\r' && next < view.size() && view[next] == '\n') ++next;
                    if (next - *base > kSampleBytes) return Status::ok();
                    position = next;
                    ++line;
                }
                // The view ends in the run (or on a CR that may begin a CRLF).
                if (position >= view.size() || view[position] == '\r') break;
            }
            // Counted first: a huge row is measured, never copied.
            ResilientParser measure(view, dialect.delimiter, options.quote_char, options.repair_quotes, position, line);
            if (!measure.next_row_count(counter)) break;
            if (measure.position() >= view.size() && !window.at_end()) break;  // not final yet
            const std::size_t start = position;
            if (line >= options.first_line) {
                if (!base) {
                    base = start;
                } else if (measure.position() - *base > kSampleBytes) {
                    return Status::ok();
                }
            }
            SampleRow& sample = rows.emplace_back();
            sample.offset = window.offset() + start;
            sample.line = line;
            sample.width = counter.size();
            if (measure.position() - start > kSampleRowBytes) {
                sample.big = true;
                sample.open_quote = measure.row_events().unclosed_quote;
                position = measure.position();
                line = measure.line();
            } else {
                ResilientParser parser(view, dialect.delimiter, options.quote_char, options.repair_quotes, start, line);
                (void)parser.next_row(row);
                const RowNotes notes = repair_row(parser, view, start, line, row, repair);
                position = parser.position();
                line = parser.line();
                sample.width = row.size();
                sample.blank = row.size() == 1 && is_blank_text(row.field(0));
                if (sample.line >= options.first_line) {
                    sample.raw = std::string(row_text(view, start, position, notes.unclosed_quote));
                    sample.open_quote = notes.unclosed_quote;
                    for (std::size_t i = 0; i < row.size(); ++i) sample.fields.emplace_back(row.field(i));
                }
            }
            if (sample.line >= options.first_line && !sample.blank && ++counted >= wanted) return Status::ok();
        }
        if (window.at_end()) return Status::ok();
        BRINEWICK_RETURN_IF_ERROR(window.read_more(std::max(window.read_size(), view.size())));
    }
}

}  // namespace

namespace {

// The width of a table under one-cell title lines: the commonest width (2
// or more) of the rows from the first wider row on, when four in five of
// them have it. nullopt: no such table.
std::optional<std::size_t> width_below_titles(std::span<const SampleRow> rows, std::size_t first_line) {
    std::size_t k = 0;
    while (k < rows.size() && (rows[k].line < first_line || rows[k].blank || rows[k].width == 1)) ++k;
    if (k == 0 || k >= rows.size()) return std::nullopt;
    std::vector<std::size_t> seen;
    std::size_t total = 0;
    for (std::size_t i = k; i < rows.size(); ++i) {
        if (rows[i].blank) continue;
        if (rows[i].width >= seen.size()) seen.resize(rows[i].width + 1, 0);
        ++seen[rows[i].width];
        ++total;
    }
    const std::size_t width = commonest_width(seen);
    if (width == 0 || seen[width] < 2 || 5 * seen[width] < 4 * total) return std::nullopt;
    return width;
}

// Whether the rows of `width` among `rows` (two at least) all end in an
// empty field, the rows of other widths being few.
bool rows_end_in_a_delimiter(std::span<const SampleRow> rows, std::size_t width) {
    std::size_t ending = 0;
    std::size_t total = 0;
    for (const SampleRow& row : rows) {
        if (row.blank) continue;
        ++total;
        if (row.width != width) continue;
        if (row.big || row.fields.size() != width || !row.fields.back().empty()) return false;
        ++ending;
    }
    return ending >= 2 && 5 * ending >= 4 * total;
}

// The first row at or below the first line asked for, blank ones passed over.
std::size_t first_table_row(std::span<const SampleRow> rows, std::size_t first_line) {
    std::size_t i = 0;
    while (i < rows.size() && (rows[i].line < first_line || rows[i].blank)) ++i;
    return i;
}

}  // namespace

Status locate_table(InputWindow& window, const SalvageOptions& options, Dialect& dialect) {
    std::vector<SampleRow> rows;
    BRINEWICK_RETURN_IF_ERROR(read_sample(window, options, dialect, rows));
    // More title lines than rows of data make the commonest width 1; the
    // table under them has its own, taken when a header over numbers or
    // dates heads it.
    if (options.find_header && !options.expected_columns && dialect.expected_columns == 1) {
        if (const auto width = width_below_titles(rows, options.first_line)) {
            Dialect wider = dialect;
            wider.expected_columns = *width;
            std::vector<SampleRow> again;
            BRINEWICK_RETURN_IF_ERROR(read_sample(window, options, wider, again));
            const std::size_t from = first_table_row(again, options.first_line);
            const std::span<const SampleRow> searched(again.data() + from, again.size() - from);
            if (from < again.size() && find_header_row(searched, *width, options.comment, true)) {
                dialect.expected_columns = *width;
                rows = std::move(again);
            }
        }
    }
    // Rows that begin above the first line asked for are preamble, and so
    // are blank rows above the table's first row when it may move.
    std::size_t table = options.find_header || options.first_line > 1 ? first_table_row(rows, options.first_line) : 0;
    if (options.find_header && table < rows.size()) {
        const std::span<const SampleRow> searched(rows.data() + table, rows.size() - table);
        if (const auto found = find_header_row(searched, dialect.expected_columns, options.comment)) table += *found;
    }
    if (table >= rows.size()) {
        // Nothing below the preamble: every row is set aside or blank.
        if (table != 0) dialect.table_offset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return Status::ok();
    }
    const SampleRow& header = rows[table];
    // Exports that end every data row with a delimiter (as some banks write
    // them) have one empty field more than their header: the table takes the
    // header's width, and the repair drops that field from each row, with a
    // record, rather than a column of nothing being added.
    if (options.find_header && options.repair_columns && !options.expected_columns && !header.big &&
        !header.open_quote && header.width >= 2 && header.width + 1 == dialect.expected_columns &&
        rows_end_in_a_delimiter(std::span(rows).subspan(table + 1), dialect.expected_columns)) {
        dialect.expected_columns = header.width;
    }
    // The header's own offset (behind a BOM, for one), so that only rows
    // after it can repeat it.
    dialect.table_offset = header.offset;
    dialect.table_line = header.line;
    if (options.skip_repeated_headers && !header.open_quote && !header.blank && !header.big) {
        // In one column a value equal to the header is as likely a value: a
        // file of one repeated word would be all set aside, row by row.
        if (header.width >= 2) dialect.header_text = header.raw;
        // Joined exports repeat their preamble above the header too.
        std::string keys;
        for (std::size_t i = 0, taken = 0; i < table && taken < kPreambleKeys; ++i) {
            const SampleRow& row = rows[i];
            const std::string_view key = preamble_key(row.raw);
            if (row.blank || row.big || row.open_quote || key.empty() || key.size() > kPreambleKeyBytes ||
                key.find_first_of("\r\n") != std::string_view::npos) {
                continue;
            }
            keys.append(key).push_back('\n');
            ++taken;
        }
        set_preamble_keys(dialect, std::move(keys));
    }
    return Status::ok();
}

}  // namespace brinewick::stream
