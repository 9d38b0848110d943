// The two readings of a chunk. A chunk starts either at a row or inside a
// quoted field that began earlier (at a line break nothing else is
// possible: a break outside quotes ends the row, and the stray-quote
// look-ahead never leaves its line). A worker reads its chunk both ways at
// once: from a row start, and from inside a quoted field until that field's
// row ends and the two readings meet at a common row start, after which
// they are one.
//
// What a worker makes of a row is a Formatter's business (ChunkFormatter
// below); this file only decides which rows count and on which line each
// stands.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../parser/cancel_check.hpp"
#include "../parser/field_counter.hpp"
#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "chunk_cutter.hpp"
#include "stream_rows.hpp"
#include "stream_salvage.hpp"
#include "table_start.hpp"

namespace brinewick::stream::pipeline {

// What every thread needs to parse rows.
struct Shared {
    const SalvageOptions* options;
    Dialect dialect;
    const std::atomic<bool>* cancel;
    const std::atomic<bool>* abort;  // the consumer failed: stop too
    // For fields that are not UTF-8 (RowBuffer::set_fallback); null: U+FFFD.
    const SingleByteTable* fallback = nullptr;
};

inline bool go_on(void* context) {
    const auto* run = static_cast<const Shared*>(context);
    return !run->cancel->load(std::memory_order_relaxed) && !run->abort->load(std::memory_order_relaxed);
}

// What the pipeline itself needs of a reading.
struct ReadingState {
    // Line at which the reading stopped: the chunk's end, or the row it left
    // open (one that runs on past the chunk inside a quoted field).
    std::size_t line = 0;
    // Line at the chunk's end, the open row's lines included.
    std::size_t end_line = 0;
    bool open = false;
    std::uint64_t open_offset = 0;

    void clear_state() noexcept { *this = ReadingState{}; }
};

// A Formatter turns the rows of a reading into its output. Its Reading (a
// ReadingState and the rows made so far; clear() empties it for the next
// chunk) and its Mark (a reading's state at a row start, `line` among it;
// Mark{} is a reading's start) are its own types. Rows it copies through as
// they stand it may take as their text alone (TakesLines, below).
template <class F>
concept ChunkFormatter =
    std::move_constructible<F> && std::derived_from<typename F::Reading, ReadingState> &&
    std::default_initializable<typename F::Reading> && std::default_initializable<typename F::Mark> &&
    std::copyable<typename F::Mark> &&
    requires(F& f, typename F::Reading& reading, typename F::Mark& mark, RowBuffer& row,
             const RowNotes& events, const RowInfo& info, std::size_t n, std::uint64_t offset) {
        reading.clear();
        mark.line = n;
        // Readies `reading` for a text of n bytes whose first byte is at `offset` in the file.
        f.prepare(reading, n, offset);
        // One parsed row: add(reading, row, events, info, line_after, start), `start` being
        // where the row starts in the text the consumer has.
        f.add(reading, row, events, info, n, n);
        // The reading's state where the two readings meet, at line n.
        { f.mark(reading, n) } -> std::convertible_to<typename F::Mark>;
    };

template <class Reading, class Mark>
struct ChunkResult {
    Reading from_row;  // the chunk read as starting at a row
    // The chunk read as starting inside a quoted field: either that field
    // runs past the chunk's end (continued_open), or its row ends at
    // continued_end after continued_line lines, and from_quote holds the
    // rows after it up to where they meet from_row's. With continued_open,
    // continued_line is the chunk's lines as that row counts them.
    bool continued_open = false;
    std::size_t continued_end = 0;
    std::size_t continued_line = 0;
    Reading from_quote;
    bool met = false;
    Mark meeting;  // from_row's state where the readings met
    std::size_t meeting_start = 0;
    Status error;
    bool fault = false;  // the worker failed other than for memory

    void clear() noexcept {
        from_row.clear();
        continued_open = false;
        continued_end = 0;
        continued_line = 0;
        from_quote.clear();
        met = false;
        meeting = Mark{};
        meeting_start = 0;
        error = Status::ok();
        fault = false;
    }
};

template <class F>
using ResultOf = ChunkResult<typename F::Reading, typename F::Mark>;

// Rows between looks at the stop flags inside a worker: a few ms of parsing.
inline constexpr std::size_t kCheckRows = 4096;

// A formatter that takes rows a writer puts as they stand (Kept, nothing
// changed) as their text alone, without their fields.
template <class F>
concept TakesLines = requires(F& f, typename F::Reading& r, const ResilientParser::VerbatimLine& line,
                              std::string_view text, std::size_t start) { f.add_line(r, line, text, start); };

// A formatter that takes a row that is clean as it stands (Kept, nothing
// changed) by its field texts alone, without a RowBuffer, when
// takes_fields() says it would.
template <class F>
concept TakesFields = requires(F& f, typename F::Reading& r, std::span<const std::string_view> fields,
                               const RowInfo& info, std::size_t n) {
    { f.takes_fields() } -> std::convertible_to<bool>;
    f.add_fields(r, fields, info, n, n);
};

// A formatter that can repeat the row it last added: add_copies(reading,
// copies, size, lines) adds `copies` more rows the same, each `size` bytes
// and `lines` lines after the one before (a run of blank lines read at once).
template <class F>
concept TakesCopies = requires(F& f, typename F::Reading& r, std::size_t n) { f.add_copies(r, n, n, n); };

// Reads `chunk` both ways in step: whichever reading stands at the earlier
// row start parses its next row, until both stand at the same one; from
// there they would be the same, so the quoted reading stops. On input that
// never gets them in step (a quote storm) both read the whole chunk: twice
// the work, never more.
template <ChunkFormatter F>
void parse_chunk(const Chunk& chunk, ResultOf<F>& out, const Shared& shared, F& formatter) {
    const SalvageOptions& options = *shared.options;
    const std::uint8_t delimiter = shared.dialect.delimiter;
    const RepairSettings repair = repair_settings(options, shared.dialect);
    CancelCheck check(&go_on, const_cast<Shared*>(&shared));
    if (!check.go_on()) {
        out.error = Status::cancelled();
        return;
    }
    RowBuffer row;
    row.set_fallback(shared.fallback);
    RowInfo info;

    const std::string_view text = chunk.text();
    formatter.prepare(out.from_row, text.size(), chunk.offset);
    formatter.prepare(out.from_quote, 0, chunk.offset);
    ResilientParser from_row(text, delimiter, options.quote_char, options.repair_quotes, 0, 0);
    from_row.set_cancel_check(&check);
    std::size_t row_pos = 0;
    std::size_t row_line = 0;
    bool row_done = false;

    const std::string_view quoted = chunk.quoted_text();
    ResilientParser from_quote(quoted, delimiter, options.quote_char, options.repair_quotes, 0, 0);
    from_quote.set_cancel_check(&check);
    bool quote_active = false;
    if (chunk.size == 0) {
        out.continued_open = !chunk.last;
    } else {
        FieldCounter counter;
        from_quote.next_row_count(counter);
        out.continued_line = from_quote.line();
        if (from_quote.row_events().unclosed_quote && !chunk.last) {
            out.continued_open = true;
        } else {
            out.continued_end = from_quote.position() - 1;
            quote_active = true;
        }
    }
    out.from_quote.line = out.continued_line;
    out.from_quote.end_line = out.continued_line;

    const std::size_t columns = shared.dialect.expected_columns;
    const bool asides = sets_rows_aside(options, shared.dialect);
    // A clean row's fields, for a formatter that TakesFields. A table
    // wider than kFieldsAtMost goes the full way, so that no chunk holds
    // the places of a row that wide.
    constexpr std::size_t kFieldsAtMost = 1024;
    bool by_fields = false;
    if constexpr (TakesFields<F>) by_fields = columns <= kFieldsAtMost && formatter.takes_fields();
    std::vector<ResilientParser::PlainField> plain(by_fields ? columns : 0);
    std::vector<std::string_view> fields(plain.size());
    std::string unquoted;
    // Whether the row at `start` of `view` may be clean as it stands: the
    // table has a width, the row is not a blank line that may be dropped,
    // and the table stage will not set it aside (it is then read in full).
    const auto may_stand = [&](std::string_view view, std::size_t start, std::size_t at) {
        if (columns == 0 || (options.skip_blank_lines && columns == 1)) return false;
        return !(asides && may_be_set_aside(view, start, chunk.offset + at, options, shared.dialect));
    };
    // A row the formatter copies through as it stands, read without its
    // fields, or takes by its field texts, from `start` of `view` (`at` in
    // the text the consumer has); false, with nothing read, for any other row.
    const auto take_line = [&](ResilientParser& parser, typename F::Reading& reading, std::string_view view,
                               std::size_t start, std::size_t at) {
        if constexpr (TakesLines<F>) {
            if (!may_stand(view, start, at)) return false;
            const auto verbatim = parser.next_verbatim_line(columns);
            if (!verbatim) return false;
            reading.end_line = parser.line();
            formatter.add_line(reading, *verbatim, view.substr(start, verbatim->end - start), at);
            return true;
        } else if constexpr (TakesFields<F>) {
            if (!by_fields || !may_stand(view, start, at)) return false;
            const std::size_t line = parser.line();
            const auto end = parser.next_plain_row(plain);
            if (!end) return false;
            // Doubled quotes stand for one: such a field's text is copied
            // out without them, into room the row's length bounds, so that
            // no copy moves the ones before it.
            unquoted.clear();
            unquoted.reserve(*end - start);
            for (std::size_t k = 0; k < columns; ++k) {
                const ResilientParser::PlainField& f = plain[k];
                if (!f.doubled) {
                    fields[k] = view.substr(f.begin, f.end - f.begin);
                    continue;
                }
                const std::size_t from = unquoted.size();
                for (std::size_t i = f.begin; i < f.end; ++i) {
                    unquoted.push_back(view[i]);
                    if (static_cast<std::uint8_t>(view[i]) == options.quote_char) ++i;
                }
                fields[k] = std::string_view(unquoted).substr(from);
            }
            reading.end_line = parser.line();
            info.line = line;
            info.byte_offset = chunk.offset + at;
            info.raw = view.substr(start, *end - start);
            formatter.add_fields(reading, std::span<const std::string_view>(fields), info, parser.line(), at);
            return true;
        } else {
            return false;
        }
    };
    const auto step_row = [&] {
        const std::size_t start = from_row.position();
        const std::size_t line = from_row.line();
        if (take_line(from_row, out.from_row, text, start, start)) {
            row_pos = from_row.position();
            row_line = from_row.line();
            return;
        }
        if (!from_row.next_row(row)) {
            row_done = true;
            row_pos = text.size();
            return;
        }
        out.from_row.end_line = from_row.line();
        const bool unclosed = from_row.row_events().unclosed_quote;
        if (unclosed && !chunk.last) {  // runs on into the next chunk
            out.from_row.open = true;
            out.from_row.open_offset = chunk.offset + start;
            row_done = true;
            row_pos = start;
            row_line = line;
            return;
        }
        // The repair stage sees only the row's own bytes, so a row reads the
        // same here as in the whole input; a row it cuts at its first line
        // break moves the reading back to the row after that.
        const RowNotes notes = repair_row(from_row, text, start, line, row, repair);
        out.from_row.end_line = from_row.line();
        info.line = line;
        info.byte_offset = chunk.offset + start;
        info.raw = row_text(text, start, from_row.position(), notes.unclosed_quote);
        formatter.add(out.from_row, row, notes, info, from_row.line(), start);
        row_pos = from_row.position();
        row_line = from_row.line();
        if (notes.looked) return;  // its copies may read otherwise
        if (copies_differ(info.byte_offset, info.raw, distinct_through(shared.dialect))) return;
        if constexpr (TakesCopies<F>) {
            // Copies of the row's bytes that follow give the same row.
            if (const std::size_t copies = from_row.skip_repeats(start, line)) {
                formatter.add_copies(out.from_row, copies, row_pos - start, row_line - line);
                row_pos = from_row.position();
                row_line = from_row.line();
                out.from_row.end_line = row_line;
            }
        }
    };
    const auto step_quote = [&] {
        const std::size_t start = from_quote.position();
        const std::size_t line = from_quote.line();
        if (take_line(from_quote, out.from_quote, quoted, start, start - 1)) {
            out.from_quote.line = from_quote.line();
            return;
        }
        if (!from_quote.next_row(row)) {
            quote_active = false;
            out.from_quote.line = from_quote.line();
            return;
        }
        out.from_quote.end_line = from_quote.line();
        const bool unclosed = from_quote.row_events().unclosed_quote;
        if (unclosed && !chunk.last) {
            out.from_quote.open = true;
            out.from_quote.open_offset = chunk.offset + start - 1;
            out.from_quote.line = line;
            quote_active = false;
            return;
        }
        const RowNotes notes = repair_row(from_quote, quoted, start, line, row, repair);
        out.from_quote.end_line = from_quote.line();
        info.line = line;
        info.byte_offset = chunk.offset + start - 1;
        info.raw = row_text(quoted, start, from_quote.position(), notes.unclosed_quote);
        formatter.add(out.from_quote, row, notes, info, from_quote.line(), start - 1);
        out.from_quote.line = from_quote.line();
    };

    std::size_t rows = 0;
    for (;;) {
        if (++rows >= kCheckRows) {
            rows = 0;
            if (!check.go_on()) break;
        }
        if (quote_active) {
            const std::size_t quote_pos = from_quote.position() - 1;
            if (quote_pos == row_pos) {
                out.met = true;
                out.meeting = formatter.mark(out.from_row, row_line);
                out.meeting_start = row_pos;
                out.from_quote.line = from_quote.line();
                quote_active = false;
                continue;
            }
            if (quote_pos < row_pos || row_done) {
                step_quote();
                continue;
            }
        }
        if (row_done) break;
        step_row();
    }
    out.from_row.line = row_line;
    if (!out.from_row.open) out.from_row.end_line = row_line;
    if (check.stopped()) out.error = Status::cancelled();
}

}  // namespace brinewick::stream::pipeline
