// The chunk-parallel pipeline under both the parallel salvage and the
// parallel Arrow reader: the input is cut at line breaks into chunks that
// worker threads parse and classify, and one ordered consumer places their
// results while later chunks are parsed. What a worker makes of a row (clean
// CSV bytes, Arrow cells, nothing but counts) is a Formatter's business; the
// pipeline only decides which rows count and on which line each stands.
//
// A chunk starts either at a row or inside a quoted field that began
// earlier (at a line break nothing else is possible: a break outside quotes
// ends the row, and the stray-quote look-ahead never leaves its line). Each
// worker reads its chunk both ways at once: from a row start, and from
// inside a quoted field until that field's row ends and the two readings
// meet at a common row start, after which they are one. The consumer keeps
// the reading that the previous chunk's true end selects, and parses the row
// that crosses the boundary again from its first byte.
//
// A Formatter F provides
//   using Reading = ...;  // derives from ReadingState; clear() empties it
//   using Mark = ...;     // a reading's state at a row start; has `line`
//   void prepare(Reading&, std::size_t text_size, std::uint64_t text_offset);
//   void add(Reading&, RowBuffer& row, const ResilientParser::RowEvents&, const RowInfo&,
//            std::size_t line_after, std::size_t start);  // start: in the text the consumer has
//   Mark mark(Reading&, std::size_t line);  // where the readings meet; Mark{} is a reading's start
// and, optionally, for rows of the expected width that a writer puts as they stand,
//   void add_line(Reading&, const ResilientParser::VerbatimLine&, std::string_view text, std::size_t start);
// and an Emitter E provides
//   std::optional<StreamError> emit(Reading&, const Mark& from, std::size_t base,
//                                   std::string_view text, std::size_t start, std::uint64_t text_offset);
// which puts out the reading's rows from `from` on, its line numbers placed
// with `base` standing for from.line; its rows start at `start` of `text`,
// whose first byte is at `text_offset` in the file.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "../parser/field_counter.hpp"
#include "../parser/resilient_parser.hpp"
#include "../parser/row_buffer.hpp"
#include "input_window.hpp"
#include "stream_rows.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream::pipeline {

[[nodiscard]] inline StreamError out_of_memory() {
    return StreamError::io_failure({}, IoError{IoError::Kind::OutOfMemory, 0});
}
[[nodiscard]] inline bool is_break(std::uint8_t byte) noexcept { return byte == '\r' || byte == '\n'; }

// A piece of the input that ends at a line break (never between a CR and
// its LF), or at the input's end.
struct Chunk {
    // The text stands at [begin, begin + size), the quote at begin - 1. The
    // storage is the input window's buffer, handed over rather than copied.
    memory::Bytes storage;
    std::size_t begin = 1;
    std::size_t size = 0;
    std::uint64_t offset = 0;  // file offset of the text's first byte
    bool last = false;         // the text ends where the input ends
    [[nodiscard]] std::string_view text() const noexcept { return {storage.data() + begin, size}; }
    // The text behind one quote: parsed from its start, the row opens inside
    // a quoted field, which is how a row that began earlier goes on here.
    [[nodiscard]] std::string_view quoted_text() const noexcept { return {storage.data() + begin - 1, size + 1}; }
};

// Cuts the next chunk off the front of the window: the last line break
// within chunk_size bytes, else the first one after (a line longer than a
// chunk), else the input's end. With `limit`, the chunk ends at most there
// (a cut point, `limit` bytes into the window). `reuse` is a chunk already
// placed, whose memory is used again when it is large enough (fresh pages
// cost a fault each).
[[nodiscard]] std::variant<std::shared_ptr<Chunk>, StreamError> next_chunk(
    InputWindow& window, std::size_t chunk_size, std::uint8_t quote_char, std::shared_ptr<Chunk> reuse,
    std::optional<std::uint64_t> limit = std::nullopt);

// Whether a chunk may end after byte i of `view`: i is an LF, or a CR whose
// next byte is known and is not an LF.
[[nodiscard]] inline bool cut_after(std::string_view view, std::size_t i, bool at_end) noexcept {
    if (view[i] == '\n') return true;
    if (view[i] != '\r') return false;
    return i + 1 < view.size() ? view[i + 1] != '\n' : at_end;
}

// Adds to `to` what `from` counted beyond `less` (a reading placed from a mark on).
inline void add_counts(StreamSummary& to, const StreamSummary& from, const StreamSummary& less) noexcept {
    to.counters.total_rows += from.counters.total_rows - less.counters.total_rows;
    to.counters.salvaged_rows += from.counters.salvaged_rows - less.counters.salvaged_rows;
    to.counters.repaired_rows += from.counters.repaired_rows - less.counters.repaired_rows;
    to.counters.quarantined_rows += from.counters.quarantined_rows - less.counters.quarantined_rows;
    to.changed_rows += from.changed_rows - less.changed_rows;
    for (std::size_t kind = 0; kind < kChangeKindCount; ++kind) to.changes[kind] += from.changes[kind] - less.changes[kind];
}

// What every thread needs to parse rows.
struct Shared {
    const SalvageOptions* options;
    Dialect dialect;
    const std::atomic<bool>* cancel;
    const std::atomic<bool>* abort;  // the consumer failed: stop too
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
    std::optional<StreamError> error;
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
        error.reset();
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

// Reads `chunk` both ways in step: whichever reading stands at the earlier
// row start parses its next row, until both stand at the same one; from
// there they would be the same, so the quoted reading stops. On input that
// never gets them in step (a quote storm) both read the whole chunk: twice
// the work, never more.
template <class F>
void parse_chunk(const Chunk& chunk, ResultOf<F>& out, const Shared& shared, F& formatter) {
    const SalvageOptions& options = *shared.options;
    const std::uint8_t delimiter = shared.dialect.delimiter;
    CancelCheck check(&go_on, const_cast<Shared*>(&shared));
    if (!check.go_on()) {
        out.error = StreamError::cancelled();
        return;
    }
    RowBuffer row;
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

    // A row the formatter copies through as it stands, read without its
    // fields from `start` of `view` (`at` in the text the consumer has);
    // false, with nothing read, for any other row.
    const std::size_t columns = shared.dialect.expected_columns;
    const auto take_line = [&](ResilientParser& parser, typename F::Reading& reading, std::string_view view,
                               std::size_t start, std::size_t at) {
        if constexpr (TakesLines<F>) {
            if (columns == 0) return false;
            const auto verbatim = parser.next_verbatim_line(columns);
            if (!verbatim) return false;
            reading.end_line = parser.line();
            formatter.add_line(reading, *verbatim, view.substr(start, verbatim->end - start), at);
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
        info.line = line;
        info.byte_offset = chunk.offset + start;
        info.raw = row_text(text, start, from_row.position(), unclosed);
        formatter.add(out.from_row, row, from_row.row_events(), info, from_row.line(), start);
        row_pos = from_row.position();
        row_line = from_row.line();
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
        info.line = line;
        info.byte_offset = chunk.offset + start - 1;
        info.raw = row_text(quoted, start, from_quote.position(), unclosed);
        formatter.add(out.from_quote, row, from_quote.row_events(), info, from_quote.line(), start - 1);
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
    if (check.stopped()) out.error = StreamError::cancelled();
}

template <class F>
struct Job {
    std::shared_ptr<Chunk> chunk;
    ResultOf<F> result;
    bool done = false;  // guarded by the pool's mutex
};

// How long the consumer waits for a chunk before looking at the cancel flag.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(5);

template <class F>
class WorkerPool {
public:
    // `make` builds each thread's formatter (on that thread).
    WorkerPool(std::size_t threads, const Shared& shared, std::function<F()> make, std::atomic<bool>& abort)
        : shared_(shared), make_(std::move(make)), abort_(abort) {
        threads_.reserve(threads);
        try {
            for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
        } catch (...) {
            stop();
            throw;
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stop(); }

    void submit(std::shared_ptr<Job<F>> job) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(job));
        }
        work_.notify_one();
    }
    [[nodiscard]] bool done(const Job<F>& job) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return job.done;
    }
    // Parses the oldest chunk no thread has taken yet, on the calling
    // thread with `formatter`; false when there is none.
    bool help(F& formatter) {
        std::shared_ptr<Job<F>> job;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) return false;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        execute(*job, &formatter);
        return true;
    }
    // Waits for `job`; false when the run is cancelled first.
    [[nodiscard]] bool wait(const Job<F>& job, const std::atomic<bool>& cancel) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!job.done) {
            if (cancel.load(std::memory_order_relaxed)) return false;
            finished_.wait_for(lock, kWaitSlice);
        }
        return true;
    }

private:
    void stop() noexcept {
        abort_.store(true);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

    void run() {
        std::optional<F> formatter;
        for (;;) {
            std::shared_ptr<Job<F>> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            F* target = nullptr;
            try {
                if (!formatter) formatter.emplace(make_());
                target = &*formatter;
            } catch (const std::bad_alloc&) {
                job->result.error = out_of_memory();
            } catch (const std::length_error&) {
                job->result.error = out_of_memory();
            } catch (...) {
                job->result.fault = true;
            }
            execute(*job, target);
        }
    }

    // Parses the job's chunk (unless it already failed: `formatter` null)
    // and marks it done.
    void execute(Job<F>& job, F* formatter) noexcept {
        if (formatter != nullptr) {
            try {
                parse_chunk<F>(*job.chunk, job.result, shared_, *formatter);
            } catch (const std::bad_alloc&) {
                job.result.error = out_of_memory();
            } catch (const std::length_error&) {
                job.result.error = out_of_memory();
            } catch (...) {
                job.result.fault = true;  // the consumer rethrows it, as the one-thread run would
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            job.done = true;
        }
        finished_.notify_all();
    }

    const Shared& shared_;
    std::function<F()> make_;
    std::atomic<bool>& abort_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job<F>>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

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
template <class F, class E>
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

    [[nodiscard]] std::optional<StreamError> place(const std::shared_ptr<Chunk>& chunk, ResultOf<F>& result) {
        if (done_) return std::nullopt;
        if (past_end_) return finish(chunk, result);
        if (auto error = place_rows(chunk, result)) return error;
        if (end_ && chunk->offset + chunk->size >= *end_) {
            past_end_ = true;
            // Without a row running on (or with only the previous span's
            // one), nothing after the end belongs to this span.
            done_ = !in_row_ || skip_open_;
        }
        return std::nullopt;
    }

private:
    std::optional<StreamError> place_rows(const std::shared_ptr<Chunk>& chunk, ResultOf<F>& result) {
        if (!in_row_) {
            if (auto error = emitter_.emit(result.from_row, Mark{}, line_, chunk->text(), 0, chunk->offset)) return error;
            settle(chunk, result.from_row, Mark{}, line_);
            return std::nullopt;
        }
        std::size_t after = 0;
        if (skip_open_) {
            // The open row is the previous span's: only its lines count here.
            if (result.continued_open) {
                line_ += result.continued_line;
                end_line_ = line_;
                return std::nullopt;
            }
            skip_open_ = false;
            after = line_ + result.continued_line;
        } else {
            held_.push_back(chunk);
            if (result.continued_open) {  // all of it inside the open row
                end_line_ += result.continued_line;
                return std::nullopt;
            }
            auto stitched = stitch(chunk, result);
            if (auto* error = std::get_if<StreamError>(&stitched)) return *error;
            after = std::get<std::size_t>(stitched);
        }
        Mark start;
        start.line = result.continued_line;
        if (auto error = emitter_.emit(result.from_quote, start, after, chunk->text(), result.continued_end,
                                       chunk->offset)) {
            return error;
        }
        if (!result.met) {
            settle(chunk, result.from_quote, start, after);
            return std::nullopt;
        }
        const std::size_t at_meeting = after + (result.from_quote.line - result.continued_line);
        if (auto error = emitter_.emit(result.from_row, result.meeting, at_meeting, chunk->text(),
                                       result.meeting_start, chunk->offset)) {
            return error;
        }
        settle(chunk, result.from_row, result.meeting, at_meeting);
        return std::nullopt;
    }

    // A chunk past the span's end: it only finishes the row that runs on.
    std::optional<StreamError> finish(const std::shared_ptr<Chunk>& chunk, const ResultOf<F>& result) {
        held_.push_back(chunk);
        if (result.continued_open) return std::nullopt;
        auto stitched = stitch(chunk, result);
        if (auto* error = std::get_if<StreamError>(&stitched)) return *error;
        line_ = std::get<std::size_t>(stitched);
        in_row_ = false;
        done_ = true;
        return std::nullopt;
    }

    // The row that crosses into `chunk`, parsed again from its first byte
    // and emitted; returns the line after it.
    std::variant<std::size_t, StreamError> stitch(const std::shared_ptr<Chunk>& chunk, const ResultOf<F>& result) {
        std::string bytes;
        for (const auto& piece : held_) {
            const std::size_t from =
                open_offset_ > piece->offset ? static_cast<std::size_t>(open_offset_ - piece->offset) : 0;
            const std::size_t to = piece == chunk ? result.continued_end : piece->size;
            bytes.append(piece->text().substr(from, to - from));
        }
        held_.clear();
        const SalvageOptions& options = *shared_.options;
        ResilientParser parser(bytes, shared_.dialect.delimiter, options.quote_char, options.repair_quotes, 0,
                               line_);
        CancelCheck check(&go_on, const_cast<Shared*>(&shared_));
        parser.set_cancel_check(&check);
        RowBuffer row;
        if (!parser.next_row(row) || check.stopped()) return StreamError::cancelled();
        RowInfo info;
        info.line = line_;
        info.byte_offset = open_offset_;
        info.raw = row_text(bytes, 0, parser.position(), parser.row_events().unclosed_quote);
        stitched_.clear();
        formatter_.prepare(stitched_, bytes.size(), open_offset_);
        formatter_.add(stitched_, row, parser.row_events(), info, parser.line(), 0);
        if (auto error = emitter_.emit(stitched_, Mark{}, 0, bytes, 0, open_offset_)) return *error;
        return parser.line();
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
};

// Told where the parse stands after each chunk placed, but the last: the
// chunk's end offset, the line there, and whether a row runs on past it.
using CutHook = std::function<void(std::uint64_t offset, std::size_t line, bool in_row)>;

// Runs the pipeline over the window (its view starts at the span's first
// byte, behind any BOM): cuts chunks, parses them on `jobs` threads with
// at most two chunks per thread in flight, and places them in order.
// Returns the line after the last row placed.
template <class F, class E>
[[nodiscard]] std::variant<std::size_t, StreamError> run_pipeline(
    InputWindow& window, std::size_t jobs, std::size_t chunk_size, const Shared& shared,
    std::function<F()> make_formatter, E& emitter, const Span& span, std::atomic<bool>& abort,
    const std::atomic<bool>& cancel, const CutHook& on_cut = nullptr) {
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    F formatter = make_formatter();
    Placer<F, E> placer(shared, formatter, emitter, span);
    // The consumer parses too whenever it has nothing to read or place, so
    // `jobs` threads in all parse: one fewer in the pool. A pool as large
    // as `jobs` would leave the consumer sharing a core, and the workers
    // waiting on it for chunks while another core stood idle.
    WorkerPool<F> pool(std::max<std::size_t>(jobs, 1) - 1, shared, std::move(make_formatter), abort);
    const std::size_t in_flight = 2 * std::max<std::size_t>(jobs, 1);  // one parsed, one waiting
    std::deque<std::shared_ptr<Job<F>>> queued;
    std::vector<std::shared_ptr<Job<F>>> spare;  // placed, their memory kept for later chunks
    bool input_done = false;
    bool past_end = false;  // the chunk that ends the span is cut
    for (;;) {
        while (!queued.empty() && pool.done(*queued.front())) {
            Job<F>& job = *queued.front();
            if (job.result.fault) throw std::runtime_error("a salvage worker failed");
            if (job.result.error) {
                // Reported as the one-thread run reports it, naming the input.
                if (job.result.error->what == StreamError::What::Io) throw std::bad_alloc();
                return *job.result.error;
            }
            if (auto error = placer.place(job.chunk, job.result)) return *error;
            if (on_cut && !job.chunk->last) {
                on_cut(job.chunk->offset + job.chunk->size, placer.end_line(), placer.in_row());
            }
            std::shared_ptr<Job<F>> done = std::move(queued.front());
            queued.pop_front();
            // No worker holds it any more; the placer may still hold its chunk.
            done->result.clear();
            done->done = false;
            if (done->chunk.use_count() != 1) done->chunk.reset();
            spare.push_back(std::move(done));
        }
        if (placer.done() || (input_done && queued.empty())) break;
        // Past the span's end a chunk is cut only while the row that runs
        // on still needs one, so nothing more than that is read.
        const bool want = !input_done && queued.size() < in_flight && (!past_end || queued.empty());
        if (want) {
            std::shared_ptr<Job<F>> job;
            if (spare.empty()) {
                job = std::make_shared<Job<F>>();
            } else {
                job = std::move(spare.back());
                spare.pop_back();
            }
            std::optional<std::uint64_t> limit;
            if (span.end && !past_end) limit = *span.end > window.offset() ? *span.end - window.offset() : 0;
            auto next = next_chunk(window, chunk_size, shared.options->quote_char, std::move(job->chunk), limit);
            if (auto* error = std::get_if<StreamError>(&next)) return *error;
            job->chunk = std::move(std::get<std::shared_ptr<Chunk>>(next));
            input_done = job->chunk->last;
            if (span.end && job->chunk->offset + job->chunk->size >= *span.end) past_end = true;
            pool.submit(job);
            queued.push_back(std::move(job));
            continue;
        }
        if (queued.empty()) break;
        if (pool.help(formatter)) continue;
        if (!pool.wait(*queued.front(), cancel)) return StreamError::cancelled();
    }
    if (cancel.load(std::memory_order_relaxed)) return StreamError::cancelled();
    return placer.line();
}

}  // namespace brinewick::stream::pipeline
