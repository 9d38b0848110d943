// The placer: the chunks' readings put in input order by the one consumer,
// which keeps the reading that the previous chunk's true end selects and
// parses the row that crosses a boundary again from its first byte. What
// placing a reading puts out is an Emitter's business (ChunkEmitter below).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "../memory/block_cache.hpp"
#include "../parser/cancel_check.hpp"
#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "chunk_cutter.hpp"
#include "chunk_reading.hpp"
#include "stream_rows.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream::pipeline {

// An Emitter puts out placed readings:
//   emit(reading, from, base, text, start, text_offset)
// puts out the reading's rows from `from` on, its line numbers placed with
// `base` standing for from.line; its rows start at `start` of `text`, whose
// first byte is at `text_offset` in the file.
template <class E, class F>
concept ChunkEmitter = requires(E& e, typename F::Reading& reading, const typename F::Mark& from, std::size_t n,
                                std::string_view text, std::uint64_t text_offset) {
    { e.emit(reading, from, n, text, n, text_offset) } -> std::convertible_to<Status>;
};

// Adds to `to` what `from` counted beyond `less` (a reading placed from a mark on).
inline void add_counts(StreamSummary& to, const StreamSummary& from, const StreamSummary& less) noexcept {
    to.counters.total_rows += from.counters.total_rows - less.counters.total_rows;
    to.counters.salvaged_rows += from.counters.salvaged_rows - less.counters.salvaged_rows;
    to.counters.repaired_rows += from.counters.repaired_rows - less.counters.repaired_rows;
    to.counters.quarantined_rows += from.counters.quarantined_rows - less.counters.quarantined_rows;
    to.changed_rows += from.changed_rows - less.changed_rows;
    to.preamble_rows += from.preamble_rows - less.preamble_rows;
    to.comment_rows += from.comment_rows - less.comment_rows;
    to.repeated_headers += from.repeated_headers - less.repeated_headers;
    to.reordered_headers += from.reordered_headers - less.reordered_headers;
    to.nul_rows += from.nul_rows - less.nul_rows;
    for (std::size_t kind = 0; kind < kChangeKindCount; ++kind) to.changes[kind] += from.changes[kind] - less.changes[kind];
}

// Where a run over part of a file begins and ends. The whole input is
// {line 1, at a row, no end}.
struct Span {
    std::size_t first_line = 1;
    // The span starts inside a row that began before it: that row is the
    // previous span's, so it is skipped, and the span's rows start after it.
    bool start_in_row = false;
    // File offset (a cut point) where the span ends: rows that start before
    // it are read whole, reading past it when they run on; none after it.
    std::optional<std::uint64_t> end;
};

// Places the chunks' results in input order, knowing at each chunk where
// the true parse stands: at a row start, or inside a row that began at
// open_offset.
template <ChunkFormatter F, ChunkEmitter<F> E>
class Placer {
public:
    using Reading = typename F::Reading;
    using Mark = typename F::Mark;

    Placer(const Shared& shared, F& formatter, E& emitter, const Span& span)
        : shared_(shared),
          formatter_(formatter),
          emitter_(emitter),
          end_(span.end),
          line_(span.first_line),
          end_line_(span.first_line),
          in_row_(span.start_in_row),
          skip_open_(span.start_in_row) {}

    // Whether the parse stands inside a row that runs on into later input.
    [[nodiscard]] bool in_row() const noexcept { return in_row_; }
    // Every row of the span is placed.
    [[nodiscard]] bool done() const noexcept { return done_; }
    // The line after everything placed (where the next row would begin).
    [[nodiscard]] std::size_t line() const noexcept { return line_; }
    // The line at the end of the last chunk placed, a row that runs on
    // counted up to there.
    [[nodiscard]] std::size_t end_line() const noexcept { return end_line_; }

    [[nodiscard]] Status place(const std::shared_ptr<Chunk>& chunk, ResultOf<F>& result) {
        if (done_) return Status::ok();
        if (past_end_) return finish(chunk, result);
        BRINEWICK_RETURN_IF_ERROR(place_rows(chunk, result));
        if (end_ && chunk->offset + chunk->size >= *end_) {
            past_end_ = true;
            // Without a row running on (or with only the previous span's
            // one), nothing after the end belongs to this span.
            done_ = !in_row_ || skip_open_;
        }
        return Status::ok();
    }

private:
    Status place_rows(const std::shared_ptr<Chunk>& chunk, ResultOf<F>& result) {
        if (!in_row_) {
            BRINEWICK_RETURN_IF_ERROR(emitter_.emit(result.from_row, Mark{}, line_, chunk->text(), 0, chunk->offset));
            settle(chunk, result.from_row, Mark{}, line_);
            return Status::ok();
        }
        std::size_t after = 0;
        if (skip_open_) {
            // The open row is the previous span's: only its lines count here.
            if (result.continued_open) {
                line_ += result.continued_line;
                end_line_ = line_;
                return Status::ok();
            }
            skip_open_ = false;
            after = line_ + result.continued_line;
        } else {
            held_.push_back(chunk);
            if (result.continued_open) {  // all of it inside the open row
                end_line_ += result.continued_line;
                return Status::ok();
            }
            auto stitched = stitch(chunk, result);
            if (!stitched.is_ok()) return std::move(stitched).status();
            if (contained_) return reread(chunk);
            after = stitched.value();
        }
        Mark start;
        start.line = result.continued_line;
        BRINEWICK_RETURN_IF_ERROR(
            emitter_.emit(result.from_quote, start, after, chunk->text(), result.continued_end, chunk->offset));
        if (!result.met) {
            settle(chunk, result.from_quote, start, after);
            return Status::ok();
        }
        const std::size_t at_meeting = after + (result.from_quote.line - result.continued_line);
        BRINEWICK_RETURN_IF_ERROR(emitter_.emit(result.from_row, result.meeting, at_meeting, chunk->text(),
                                                result.meeting_start, chunk->offset));
        settle(chunk, result.from_row, result.meeting, at_meeting);
        return Status::ok();
    }

    // A chunk past the span's end: it only finishes the row that runs on.
    Status finish(const std::shared_ptr<Chunk>& chunk, const ResultOf<F>& result) {
        held_.push_back(chunk);
        if (result.continued_open) return Status::ok();
        auto stitched = stitch(chunk, result);
        if (!stitched.is_ok()) return std::move(stitched).status();
        if (contained_) {
            BRINEWICK_RETURN_IF_ERROR(reread(chunk));
            done_ = !in_row_;
            return Status::ok();
        }
        line_ = stitched.value();
        in_row_ = false;
        done_ = true;
        return Status::ok();
    }

    // The row that crosses into `chunk`, parsed again from its first byte
    // and emitted; returns the line after it. When the repair stage cuts it
    // at its first line break instead, nothing is emitted, contained_ is
    // set and the held chunks are kept for reread.
    Result<std::size_t> stitch(const std::shared_ptr<Chunk>& chunk, const ResultOf<F>& result) {
        const auto piece_range = [&](const Chunk& piece) {
            const std::size_t from =
                open_offset_ > piece.offset ? static_cast<std::size_t>(open_offset_ - piece.offset) : 0;
            const std::size_t to = &piece == chunk.get() ? result.continued_end : piece.size;
            return std::pair{from, to - from};
        };
        // Sized once, and each held chunk let go as soon as it is copied
        // (only the placer holds them): the row's bytes are in memory about
        // once while they are joined, not twice.
        std::size_t total = 0;
        for (const auto& piece : held_) total += piece_range(*piece).second;
        std::string bytes;
        bytes.reserve(total);
        std::size_t in_chunk = 0;  // of the row's bytes, those `chunk` holds
        for (auto& piece : held_) {
            const auto [from, size] = piece_range(*piece);
            bytes.append(piece->text().substr(from, size));
            if (piece != chunk) {
                // Straight back to the system, not to the block cache: a row
                // over many chunks would otherwise stand in memory twice.
                if (piece.use_count() == 1) memory::free_now(piece->storage.release());
                piece.reset();
            } else {
                in_chunk = size;
            }
        }
        const SalvageOptions& options = *shared_.options;
        ResilientParser parser(bytes, shared_.dialect.delimiter, options.quote_char, options.repair_quotes, 0,
                               line_);
        CancelCheck check(&go_on, const_cast<Shared*>(&shared_));
        parser.set_cancel_check(&check);
        RowBuffer row;
        row.set_fallback(shared_.fallback);
        if (!parser.next_row(row) || check.stopped()) return Status::cancelled();
        const std::size_t fixed_end = parser.position();
        const RowNotes notes =
            repair_row(parser, bytes, 0, line_, row, repair_settings(options, shared_.dialect));
        contained_ = parser.position() < fixed_end;
        held_.clear();
        if (contained_) {
            // What the chunks let go held of the row, for reread.
            bytes.resize(bytes.size() - in_chunk);
            before_chunk_ = std::move(bytes);
            return line_;
        }
        RowInfo info;
        info.line = line_;
        info.byte_offset = open_offset_;
        info.raw = row_text(bytes, 0, parser.position(), notes.unclosed_quote);
        stitched_.clear();
        formatter_.prepare(stitched_, bytes.size(), open_offset_);
        formatter_.add(stitched_, row, notes, info, parser.line(), 0);
        BRINEWICK_RETURN_IF_ERROR(emitter_.emit(stitched_, Mark{}, 0, bytes, 0, open_offset_));
        return parser.line();
    }

    // After stitch cut the open row at its first line break: the rows from
    // there to the end of `chunk` were read by the workers as inside that
    // row, so they are read again here, in order, from the row's start (the
    // cut row first). Only rows whose quote ran past a chunk pay for it.
    Status reread(const std::shared_ptr<Chunk>& chunk) {
        contained_ = false;
        const std::size_t from =
            open_offset_ > chunk->offset ? static_cast<std::size_t>(open_offset_ - chunk->offset) : 0;
        auto again = std::make_shared<Chunk>();
        const std::size_t size = before_chunk_.size() + (chunk->size - from);
        again->storage.reserve(size + 1);
        // The byte before the text is where the quoted reading starts.
        const char quote = static_cast<char>(shared_.options->quote_char);
        again->storage.append(std::string_view{&quote, 1});
        again->storage.append(std::string_view{before_chunk_});
        again->storage.append(chunk->text().substr(from));
        std::string().swap(before_chunk_);
        again->begin = 1;
        again->size = size;
        again->offset = open_offset_;
        again->last = chunk->last;
        ResultOf<F> result;
        parse_chunk(*again, result, shared_, formatter_);
        if (!result.error.is_ok()) return std::move(result.error);
        BRINEWICK_RETURN_IF_ERROR(
            emitter_.emit(result.from_row, Mark{}, line_, again->text(), 0, again->offset));
        settle(chunk, result.from_row, Mark{}, line_);
        // A row left open may have begun anywhere in what was read again,
        // which holds all of it.
        if (in_row_) held_.assign(1, again);
        return Status::ok();
    }

    // Where the parse stands after `reading`, placed with `base` at from.line.
    void settle(const std::shared_ptr<Chunk>& chunk, const Reading& reading, const Mark& from, std::size_t base) {
        line_ = base + (reading.line - from.line);
        end_line_ = reading.open ? base + (reading.end_line - from.line) : line_;
        in_row_ = reading.open;
        held_.clear();
        if (in_row_) {
            open_offset_ = reading.open_offset;
            held_.push_back(chunk);
        }
    }

    const Shared& shared_;
    F& formatter_;
    E& emitter_;
    std::optional<std::uint64_t> end_;
    std::size_t line_;
    std::size_t end_line_ = 0;
    bool in_row_;
    bool skip_open_;
    bool past_end_ = false;
    bool done_ = false;
    std::uint64_t open_offset_ = 0;
    std::vector<std::shared_ptr<Chunk>> held_;  // the chunks the open row stands in
    Reading stitched_;
    bool contained_ = false;  // stitch cut the open row short: reread the held chunks
    std::string before_chunk_;  // then: the row's bytes in the chunks before the last
};

}  // namespace brinewick::stream::pipeline
