#include "parallel_salvage.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "../salvage/csv_writer.hpp"
#include "records.hpp"

namespace brinewick::stream {
namespace {

// Rows between looks at the stop flags inside a worker: a few ms of parsing.
constexpr std::size_t kCheckRows = 4096;
// How long the writer waits for a chunk before looking at the cancel flag.
constexpr auto kWaitSlice = std::chrono::milliseconds(5);

StreamError cancelled_error() {
    StreamError error;
    error.what = StreamError::What::Cancelled;
    error.message = "cancelled";
    return error;
}

StreamError out_of_memory() {
    StreamError error;
    error.io = IoError{IoError::Kind::OutOfMemory, 0};
    error.message = error.io.message();
    return error;
}

bool starts_with_bom(std::string_view text) noexcept {
    return text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
           static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF;
}

bool is_break(std::uint8_t byte) noexcept { return byte == '\r' || byte == '\n'; }

// Bytes that grow without being zero-filled first: clean lines are written
// straight into the room they will occupy.
class ByteBuffer {
public:
    [[nodiscard]] char* room(std::size_t size) {
        if (capacity_ - size_ < size) grow(size);
        return data_.get() + size_;
    }
    void commit(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }
    void append(std::string_view bytes) {
        char* at = room(bytes.size());
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        size_ += bytes.size();
    }
    [[nodiscard]] std::string_view view(std::size_t from) const noexcept {
        return {data_.get() + from, size_ - from};
    }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void reserve(std::size_t size) {
        if (capacity_ - size_ < size) grow(size);
    }

private:
    void grow(std::size_t more) {
        std::size_t capacity = std::max<std::size_t>({capacity_ * 2, size_ + more, 1u << 16});
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A piece of the input that ends at a line break (never between a CR and
// its LF), or at the input's end.
struct Chunk {
    std::unique_ptr<char[]> storage;  // [0] holds the quote, then the text
    std::size_t capacity = 0;         // of storage: kept when the chunk is used again
    std::size_t size = 0;
    std::uint64_t offset = 0;  // file offset of the text's first byte
    bool last = false;         // the text ends where the input ends
    [[nodiscard]] std::string_view text() const noexcept { return {storage.get() + 1, size}; }
    // The text behind one quote: parsed from its start, the row opens inside
    // a quoted field, which is how a row that began earlier goes on here.
    [[nodiscard]] std::string_view quoted_text() const noexcept { return {storage.get(), size + 1}; }
};

// A clean line left for the writer to produce in pieces (one too long to
// hold, or past what a chunk's output may hold): where it goes in the clean
// bytes, and where its row starts in the chunk's text.
struct Deferred {
    std::size_t clean_at;
    std::size_t start;
};

// A record's line (relative to its reading until the writer places it) and
// where its tail ends in the reading's tail text.
struct Record {
    std::size_t line;
    std::size_t end;
};

// The rows of one way of reading a chunk, ready to write but for the line
// numbers of their records, which are relative to where the reading began.
struct Reading {
    ByteBuffer clean;
    std::vector<Deferred> deferred;
    std::string quarantine_tails;
    std::vector<Record> quarantine;
    std::string change_tails;
    std::vector<Record> changes;
    StreamSummary counts;
    // Line at which the reading stopped: the chunk's end, or the row it left
    // open (one that runs on past the chunk inside a quoted field).
    std::size_t line = 0;
    bool open = false;
    std::uint64_t open_offset = 0;

    // Empties it, keeping the memory for the next chunk.
    void clear() noexcept {
        clean.clear();
        deferred.clear();
        quarantine_tails.clear();
        quarantine.clear();
        change_tails.clear();
        changes.clear();
        counts = StreamSummary{};
        line = 0;
        open = false;
        open_offset = 0;
    }
};

// A reading's state at one of its row starts.
struct Mark {
    std::size_t clean = 0;
    std::size_t deferred = 0;
    std::size_t quarantine = 0;
    std::size_t changes = 0;
    StreamSummary counts;
    std::size_t line = 0;
};

Mark mark(const Reading& reading, std::size_t line) {
    return {reading.clean.size(), reading.deferred.size(), reading.quarantine.size(), reading.changes.size(),
            reading.counts, line};
}

struct ChunkResult {
    Reading from_row;  // the chunk read as starting at a row
    // The chunk read as starting inside a quoted field: either that field
    // runs past the chunk's end (continued_open), or its row ends at
    // continued_end after continued_line lines, and from_quote holds the
    // rows after it up to where they meet from_row's.
    bool continued_open = false;
    std::size_t continued_end = 0;
    std::size_t continued_line = 0;
    Reading from_quote;
    bool met = false;
    Mark meeting;  // from_row's state where the readings met
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
        error.reset();
        fault = false;
    }
};

// What every thread needs to turn parsed rows into output.
struct Context {
    const SalvageOptions* options;
    Dialect dialect;
    bool keep_quarantine;
    bool keep_changes;
    const std::atomic<bool>* cancel;
    const std::atomic<bool>* abort;  // the writer failed: stop too
};

bool go_on(void* context) {
    const auto* run = static_cast<const Context*>(context);
    return !run->cancel->load(std::memory_order_relaxed) && !run->abort->load(std::memory_order_relaxed);
}

// Clean bytes a reading holds before it leaves lines to the writer: a row
// padded to a huge width must not be built whole, nor a chunk of short rows
// padded wide held at once.
constexpr std::size_t kHeldLine = std::size_t{1} << 20;

// Classifies rows and writes their clean lines and record tails into a Reading.
class RowFormatter {
public:
    RowFormatter(const Context& context, std::size_t held_limit)
        : context_(context),
          held_limit_(held_limit),
          too_few_(too_few_columns_reason(context.dialect.expected_columns)),
          extra_(extra_columns_reason(context.dialect.expected_columns)) {}

    // `start`: where the row starts in the text the writer will have.
    void add(Reading& reading, RowBuffer& row, const ResilientParser::RowEvents& events, const RowInfo& info,
             std::size_t line_after, std::size_t start) {
        const RowVerdict verdict =
            describe_row(row, events, info, line_after, *context_.options, context_.dialect, changes_);
        if (verdict == RowVerdict::TooFew || verdict == RowVerdict::TooMany) {
            if (context_.keep_quarantine) {
                append_quarantine_tail(reading.quarantine_tails, info.byte_offset,
                                       verdict == RowVerdict::TooFew ? too_few_ : extra_, info.raw);
                reading.quarantine.push_back({info.line, reading.quarantine_tails.size()});
            }
        } else {
            const std::size_t bound = clean_line_bound(row);
            if (bound > kHeldLine || reading.clean.size() + bound > held_limit_) {
                reading.deferred.push_back({reading.clean.size(), start});
            } else {
                write_clean(reading.clean, row);
            }
            if (context_.keep_changes) {
                for (const RowChange& change : changes_) {
                    append_change_tail(reading.change_tails, info.byte_offset, change);
                    reading.changes.push_back({info.line, reading.change_tails.size()});
                }
            }
        }
        count_row(reading.counts, verdict, changes_);
    }

private:
    void write_clean(ByteBuffer& out, const RowBuffer& row) {
        const std::uint8_t delimiter = context_.dialect.delimiter;
        const std::uint8_t quote = context_.options->quote_char;
        if (delimiter < 0x80 && quote < 0x80) {
            char* room = out.room(clean_line_bound(row));
            out.commit(write_clean_line(room, row, delimiter, quote));
            return;
        }
        line_.clear();
        append_clean_line(line_, row, delimiter, quote);
        out.append(line_);
    }

    const Context& context_;
    std::size_t held_limit_;
    std::string too_few_;
    std::string extra_;
    std::vector<RowChange> changes_;
    std::string line_;
};

// Reads `chunk` both ways in step: whichever reading stands at the earlier
// row start parses its next row, until both stand at the same one; from
// there they would be the same, so the quoted reading stops. On input that
// never gets them in step (a quote storm) both read the whole chunk: twice
// the work, never more.
void parse_chunk(const Chunk& chunk, ChunkResult& out, const Context& context, std::size_t held_limit) {
    const SalvageOptions& options = *context.options;
    const std::uint8_t delimiter = context.dialect.delimiter;
    CancelCheck check(&go_on, const_cast<Context*>(&context));
    if (!check.go_on()) {
        out.error = cancelled_error();
        return;
    }
    RowFormatter formatter(context, held_limit);
    RowBuffer row;
    RowInfo info;

    const std::string_view text = chunk.text();
    // Clean output is about the input's size: grown once, not by doubling.
    out.from_row.clean.reserve(text.size() + text.size() / 8);
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
        if (from_quote.row_events().unclosed_quote && !chunk.last) {
            out.continued_open = true;
        } else {
            out.continued_end = from_quote.position() - 1;
            out.continued_line = from_quote.line();
            quote_active = true;
        }
    }

    const auto step_row = [&] {
        const std::size_t start = from_row.position();
        const std::size_t line = from_row.line();
        if (!from_row.next_row(row)) {
            row_done = true;
            row_pos = text.size();
            return;
        }
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
        if (!from_quote.next_row(row)) {
            quote_active = false;
            out.from_quote.line = from_quote.line();
            return;
        }
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
                out.meeting = mark(out.from_row, row_line);
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
    if (check.stopped()) out.error = cancelled_error();
}

struct Job {
    std::shared_ptr<Chunk> chunk;
    ChunkResult result;
    bool done = false;  // guarded by the pool's mutex
};

class WorkerPool {
public:
    WorkerPool(std::size_t threads, const Context& context, std::size_t held_limit, std::atomic<bool>& abort)
        : context_(context), held_limit_(held_limit), abort_(abort) {
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

    void submit(std::shared_ptr<Job> job) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(job));
        }
        work_.notify_one();
    }
    [[nodiscard]] bool done(const Job& job) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return job.done;
    }
    // Waits for `job`; false when the run is cancelled first.
    [[nodiscard]] bool wait(const Job& job, const std::atomic<bool>& cancel) {
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
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            try {
                parse_chunk(*job->chunk, job->result, context_, held_limit_);
            } catch (const std::bad_alloc&) {
                job->result.error = out_of_memory();
            } catch (const std::length_error&) {
                job->result.error = out_of_memory();
            } catch (...) {
                job->result.fault = true;  // the coordinator rethrows it, as the one-thread run would
            }
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                job->done = true;
            }
            finished_.notify_all();
        }
    }

    const Context& context_;
    std::size_t held_limit_;
    std::atomic<bool>& abort_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// A chunk may end after byte i when i is an LF, or a CR whose next byte is
// known and is not an LF.
bool cut_after(std::string_view view, std::size_t i, bool at_end) noexcept {
    if (view[i] == '\n') return true;
    if (view[i] != '\r') return false;
    return i + 1 < view.size() ? view[i + 1] != '\n' : at_end;
}

// Cuts the next chunk off the front of the window: the last line break
// within chunk_size bytes, else the first one after (a line longer than a
// chunk), else the input's end.
// `chunk` is one already written, whose memory is used again when it is
// large enough (fresh pages cost a fault each).
std::variant<std::shared_ptr<Chunk>, StreamError> next_chunk(InputWindow& window, std::size_t chunk_size,
                                                             std::uint8_t quote_char, std::shared_ptr<Chunk> chunk) {
    std::size_t searched = 0;  // bytes looked at for a forward cut
    bool looked_back = false;
    std::size_t cut = 0;
    bool last = false;
    for (;;) {
        const std::string_view view = window.view();
        if (view.size() < chunk_size && !window.at_end()) {
            if (auto error = window.read_more(std::max(window.read_size(), chunk_size - view.size()))) return *error;
            continue;
        }
        if (window.at_end() && view.size() <= chunk_size) {
            cut = view.size();
            last = true;
            break;
        }
        bool found = false;
        if (!looked_back) {
            looked_back = true;
            const std::size_t limit = std::min(view.size(), chunk_size);
            for (std::size_t i = limit; i-- > 0;) {
                if (is_break(static_cast<std::uint8_t>(view[i])) && cut_after(view, i, window.at_end())) {
                    cut = i + 1;
                    found = true;
                    break;
                }
            }
            searched = limit;
        }
        // A CR as the last byte looked at may have had its LF read since.
        for (std::size_t i = searched == 0 ? 0 : searched - 1; !found && i < view.size(); ++i) {
            if (is_break(static_cast<std::uint8_t>(view[i])) && cut_after(view, i, window.at_end())) {
                cut = i + 1;
                found = true;
            }
        }
        if (found) break;
        searched = view.size();
        if (window.at_end()) {
            cut = view.size();
            last = true;
            break;
        }
        if (auto error = window.read_more(std::max(window.read_size(), view.size()))) return *error;
    }
    if (!chunk) chunk = std::make_shared<Chunk>();
    if (chunk->capacity < cut + 1) {
        chunk->capacity = std::max(cut + 1, chunk_size + 1);
        chunk->storage.reset(new char[chunk->capacity]);
    }
    chunk->storage[0] = static_cast<char>(quote_char);
    if (cut != 0) std::memcpy(chunk->storage.get() + 1, window.view().data(), cut);
    chunk->size = cut;
    chunk->offset = window.offset();
    chunk->last = last;
    window.discard_before(cut);
    return chunk;
}

void add_counts(StreamSummary& to, const StreamSummary& from, const StreamSummary& less) noexcept {
    to.counters.total_rows += from.counters.total_rows - less.counters.total_rows;
    to.counters.salvaged_rows += from.counters.salvaged_rows - less.counters.salvaged_rows;
    to.counters.repaired_rows += from.counters.repaired_rows - less.counters.repaired_rows;
    to.counters.quarantined_rows += from.counters.quarantined_rows - less.counters.quarantined_rows;
    to.changed_rows += from.changed_rows - less.changed_rows;
    for (std::size_t kind = 0; kind < kChangeKindCount; ++kind) to.changes[kind] += from.changes[kind] - less.changes[kind];
}

// Puts the chunks' results out in input order, knowing at each chunk where
// the true parse stands: at a row start, or inside a row that began at
// open_offset.
class OrderedWriter {
public:
    OrderedWriter(const ParallelOutputs& outputs, const Context& context, StreamSummary& summary)
        : outputs_(outputs), context_(context), formatter_(context, kHeldLine), summary_(summary) {}

    [[nodiscard]] std::optional<StreamError> write(const std::shared_ptr<Chunk>& chunk, const ChunkResult& result) {
        if (!in_row_) {
            if (auto error = emit(result.from_row, Mark{}, line_, chunk->text())) return error;
            return settle(chunk, result.from_row, Mark{}, line_);
        }
        held_.push_back(chunk);
        if (result.continued_open) return std::nullopt;  // all of it inside the open row

        // The row that crosses into this chunk, parsed again from its first byte.
        std::string bytes;
        for (const auto& piece : held_) {
            const std::size_t from =
                open_offset_ > piece->offset ? static_cast<std::size_t>(open_offset_ - piece->offset) : 0;
            const std::size_t to = piece == chunk ? result.continued_end : piece->size;
            bytes.append(piece->text().substr(from, to - from));
        }
        held_.clear();
        const SalvageOptions& options = *context_.options;
        ResilientParser parser(bytes, context_.dialect.delimiter, options.quote_char, options.repair_quotes, 0,
                               line_);
        CancelCheck check(&go_on, const_cast<Context*>(&context_));
        parser.set_cancel_check(&check);
        RowBuffer row;
        if (!parser.next_row(row) || check.stopped()) return cancelled_error();
        RowInfo info;
        info.line = line_;
        info.byte_offset = open_offset_;
        info.raw = row_text(bytes, 0, parser.position(), parser.row_events().unclosed_quote);
        Reading stitched;
        formatter_.add(stitched, row, parser.row_events(), info, parser.line(), 0);
        if (auto error = emit(stitched, Mark{}, 0, bytes)) return error;
        const std::size_t after = parser.line();

        Mark start;
        start.line = result.continued_line;
        if (auto error = emit(result.from_quote, start, after, chunk->text())) return error;
        if (!result.met) return settle(chunk, result.from_quote, start, after);
        const std::size_t at_meeting = after + (result.from_quote.line - result.continued_line);
        if (auto error = emit(result.from_row, result.meeting, at_meeting, chunk->text())) return error;
        return settle(chunk, result.from_row, result.meeting, at_meeting);
    }

private:
    // Where the parse stands after `reading`, placed with `base` at from.line.
    std::optional<StreamError> settle(const std::shared_ptr<Chunk>& chunk, const Reading& reading, const Mark& from,
                                      std::size_t base) {
        line_ = base + (reading.line - from.line);
        in_row_ = reading.open;
        held_.clear();
        if (in_row_) {
            open_offset_ = reading.open_offset;
            held_.push_back(chunk);
        }
        return std::nullopt;
    }

    // Writes `reading` from `from` on, its line numbers placed with `base`
    // standing for from.line; `text` holds the rows it left to the writer.
    std::optional<StreamError> emit(const Reading& reading, const Mark& from, std::size_t base,
                                    std::string_view text) {
        add_counts(summary_, reading.counts, from.counts);
        const std::string_view clean = reading.clean.view(0);
        std::size_t at = from.clean;
        for (std::size_t i = from.deferred; i < reading.deferred.size(); ++i) {
            const Deferred& left = reading.deferred[i];
            if (left.clean_at > at) {
                if (auto error = outputs_.clean->write(clean.substr(at, left.clean_at - at))) return error;
            }
            at = left.clean_at;
            if (auto error = write_in_pieces(text, left.start)) return error;
        }
        if (clean.size() > at) {
            if (auto error = outputs_.clean->write(clean.substr(at))) return error;
        }
        if (outputs_.quarantine != nullptr) {
            if (auto error = emit_records(*outputs_.quarantine, reading.quarantine_tails, reading.quarantine,
                                          from.quarantine, from.line, base)) {
                return error;
            }
        }
        if (outputs_.changes != nullptr) {
            if (auto error = emit_records(*outputs_.changes, reading.change_tails, reading.changes, from.changes,
                                          from.line, base)) {
                return error;
            }
        }
        return std::nullopt;
    }

    // Parses the row at `start` of `text` again, fits it, and writes its
    // clean line a field (or 1 KiB of padding) at a time.
    std::optional<StreamError> write_in_pieces(std::string_view text, std::size_t start) {
        const SalvageOptions& options = *context_.options;
        ResilientParser parser(text, context_.dialect.delimiter, options.quote_char, options.repair_quotes, start, 0);
        CancelCheck check(&go_on, const_cast<Context*>(&context_));
        parser.set_cancel_check(&check);
        RowBuffer row;
        if (!parser.next_row(row) || check.stopped()) return cancelled_error();
        classify_row(row, options, context_.dialect);
        struct ToOutput final : PieceWriter {
            explicit ToOutput(AtomicOutput& o) : output(o) {}
            bool write(std::string_view piece) override {
                error = output.write(piece);
                return !error;
            }
            AtomicOutput& output;
            std::optional<StreamError> error;
        } out(*outputs_.clean);
        if (!write_clean_line_in_pieces(out, row, context_.dialect.delimiter, options.quote_char)) {
            return out.error ? out.error : cancelled_error();
        }
        return std::nullopt;
    }

    std::optional<StreamError> emit_records(AtomicOutput& output, const std::string& tails,
                                            const std::vector<Record>& records, std::size_t first,
                                            std::size_t from_line, std::size_t base) {
        if (first >= records.size()) return std::nullopt;
        text_.clear();
        std::size_t begin = first == 0 ? 0 : records[first - 1].end;
        for (std::size_t i = first; i < records.size(); ++i) {
            append_number(text_, base + (records[i].line - from_line));
            text_.append(tails, begin, records[i].end - begin);
            begin = records[i].end;
        }
        return output.write(text_);
    }

    const ParallelOutputs& outputs_;
    const Context& context_;
    RowFormatter formatter_;
    StreamSummary& summary_;
    bool in_row_ = false;
    std::size_t line_ = 1;
    std::uint64_t open_offset_ = 0;
    std::vector<std::shared_ptr<Chunk>> held_;  // the chunks the open row stands in
    std::string text_;
};

}  // namespace

std::variant<StreamSummary, StreamError> parallel_stream_rows(InputWindow& window, const StreamSettings& settings,
                                                              const ParallelOutputs& outputs, StreamSink& sink,
                                                              StreamControl& control) {
    const SalvageOptions& options = settings.options;
    StreamSummary summary;
    auto settled = settle_dialect_or_empty(window, options);
    if (auto* error = std::get_if<StreamError>(&settled)) return *error;
    if (!std::get<std::optional<Dialect>>(settled)) {
        summary.bytes_read = window.bytes_read();
        control.bytes_done.store(summary.bytes_read);
        return summary;
    }
    const Dialect dialect = *std::get<std::optional<Dialect>>(settled);
    // With a line break for delimiter or quote a line break need not end a
    // row outside quotes, so chunks could not start at rows.
    if (is_break(dialect.delimiter) || is_break(options.quote_char)) {
        return stream_rows(window, options, sink, control);
    }
    summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.counters.inferred_columns = dialect.expected_columns;
    if (!sink.start(dialect)) return sink.failure();

    // A BOM is skipped only at the very start of the input.
    while (window.view().size() < 3 && !window.at_end()) {
        if (auto error = window.read_more(window.read_size())) return *error;
    }
    if (starts_with_bom(window.view())) window.discard_before(3);

    std::atomic<bool> abort{false};
    const Context context{&options,
                          dialect,
                          outputs.quarantine != nullptr,
                          outputs.changes != nullptr,
                          &control.cancel,
                          &abort};
    const std::size_t chunk_size = std::max<std::size_t>(settings.chunk_size, 1);
    try {
        OrderedWriter writer(outputs, context, summary);
        // What a chunk's readings may hold of clean output before leaving
        // lines to the writer: room for the usual growth from quoting.
        const std::size_t held_limit = chunk_size > (std::size_t{1} << 40) ? chunk_size : 4 * chunk_size + kHeldLine;
        WorkerPool pool(settings.jobs, context, held_limit, abort);
        // Two chunks per thread in flight: one parsed, one waiting.
        const std::size_t in_flight = 2 * settings.jobs;
        std::deque<std::shared_ptr<Job>> jobs;
        std::vector<std::shared_ptr<Job>> spare;  // written, their memory kept for later chunks
        bool input_done = false;
        for (;;) {
            while (!jobs.empty() && pool.done(*jobs.front())) {
                const Job& job = *jobs.front();
                if (job.result.fault) throw std::runtime_error("a salvage worker failed");
                if (job.result.error) {
                    // Reported as the one-thread run reports it, naming the input.
                    if (job.result.error->what == StreamError::What::Io) throw std::bad_alloc();
                    return *job.result.error;
                }
                if (auto error = writer.write(job.chunk, job.result)) return *error;
                std::shared_ptr<Job> done = std::move(jobs.front());
                jobs.pop_front();
                // No worker holds it any more; the writer may still hold its chunk.
                done->result.clear();
                done->done = false;
                if (done->chunk.use_count() != 1) done->chunk.reset();
                spare.push_back(std::move(done));
            }
            if (input_done && jobs.empty()) break;
            if (!input_done && jobs.size() < in_flight) {
                std::shared_ptr<Job> job;
                if (spare.empty()) {
                    job = std::make_shared<Job>();
                } else {
                    job = std::move(spare.back());
                    spare.pop_back();
                }
                auto next = next_chunk(window, chunk_size, options.quote_char, std::move(job->chunk));
                if (auto* error = std::get_if<StreamError>(&next)) return *error;
                job->chunk = std::move(std::get<std::shared_ptr<Chunk>>(next));
                input_done = job->chunk->last;
                pool.submit(job);
                jobs.push_back(std::move(job));
                continue;
            }
            if (!pool.wait(*jobs.front(), control.cancel)) return cancelled_error();
        }
    } catch (const std::system_error& failure) {  // no thread could be started
        StreamError error;
        error.io = IoError::from_errno(failure.code().value());
        error.path = outputs.clean->target();
        error.message = error.io.message();
        return error;
    }
    if (control.cancel.load(std::memory_order_relaxed)) return cancelled_error();
    summary.bytes_read = window.bytes_read();
    control.bytes_done.store(summary.bytes_read);
    return summary;
}

}  // namespace brinewick::stream
