#include "parallel_salvage.hpp"

#include <algorithm>
#include <cerrno>
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

#include "../memory/buffer.hpp"
#include "../salvage/csv_writer.hpp"
#include "chunk_pipeline.hpp"
#include "records.hpp"
#include "stream_rows.hpp"
#include "table_start.hpp"

namespace brinewick::stream {
namespace parallel_salvage_detail {

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
struct Reading : pipeline::ReadingState {
    // 64 KiB at least: the block cache keeps only blocks of 16 KiB and more.
    memory::Bytes clean = memory::Bytes::starting_at(std::size_t{1} << 16);
    std::vector<Deferred> deferred;
    std::string quarantine_tails;
    std::vector<Record> quarantine;
    std::string change_tails;
    std::vector<Record> changes;
    StreamSummary counts;

    // Empties it, keeping the memory for the next chunk.
    void clear() noexcept {
        clear_state();
        clean.clear();
        deferred.clear();
        quarantine_tails.clear();
        quarantine.clear();
        change_tails.clear();
        changes.clear();
        counts = StreamSummary{};
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

// What every thread needs to turn parsed rows into output.
struct Context {
    const SalvageOptions* options;
    Dialect dialect;
    bool keep_quarantine;
    bool keep_changes;
    const SingleByteTable* fallback;  // for the quarantine's raw text
};

// Clean bytes a reading holds before it leaves lines to the writer: a row
// padded to a huge width must not be built whole, nor a chunk of short rows
// padded wide held at once.
constexpr std::size_t kHeldLine = std::size_t{1} << 20;

// Classifies rows and writes their clean lines and record tails into a Reading.
class RowFormatter {
public:
    using Reading = parallel_salvage_detail::Reading;
    using Mark = parallel_salvage_detail::Mark;

    RowFormatter(const Context& context, std::size_t held_limit)
        : context_(&context),
          held_limit_(held_limit),
          too_few_(too_few_columns_reason(context.dialect.expected_columns)),
          extra_(extra_columns_reason(context.dialect.expected_columns)) {}

    // Clean output is about the input's size: grown once, not by doubling.
    void prepare(Reading& reading, std::size_t text_size, std::uint64_t) {
        reading.clean.reserve_more(text_size + text_size / 8);
    }

    [[nodiscard]] Mark mark(const Reading& reading, std::size_t line) const {
        return {reading.clean.size(), reading.deferred.size(), reading.quarantine.size(), reading.changes.size(),
                reading.counts, line};
    }

    // `start`: where the row starts in the text the writer will have.
    void add(Reading& reading, RowBuffer& row, const stream::RowNotes& events, const RowInfo& info,
             std::size_t line_after, std::size_t start) {
        const RowVerdict verdict =
            describe_row(row, events, info, line_after, *context_->options, context_->dialect, changes_);
        last_ = {verdict, info, start, clean_line_bound(row), reading.clean.size(), 0};
        if (row_skipped(changes_)) {
            add_changes(reading, info);
        } else if (is_set_aside(verdict)) {
            if (context_->keep_quarantine) {
                last_.counts = quarantine_field_counts(context_->dialect.expected_columns, row.size());
                append_quarantine_tail(reading.quarantine_tails, info.byte_offset, reason(verdict), last_.counts,
                                       info.raw, context_->fallback);
                reading.quarantine.push_back({info.line, reading.quarantine_tails.size()});
            }
        } else {
            if (last_.bound > kHeldLine || reading.clean.size() + last_.bound > held_limit_) {
                reading.deferred.push_back({reading.clean.size(), start});
            } else {
                write_clean(reading.clean, row);
            }
            last_.clean_size = reading.clean.size() - last_.clean_at;
            add_changes(reading, info);
        }
        count_row(reading.counts, verdict, changes_);
    }

    // `copies` more rows the same as the one add() was last given, each
    // `size` bytes and `lines` lines after the one before.
    void add_copies(Reading& reading, std::size_t copies, std::size_t size, std::size_t lines) {
        RowInfo info = last_.info;
        const bool quarantined = is_set_aside(last_.verdict);
        // The clean line as add() wrote it (empty when it was left to the writer).
        line_.assign(reading.clean.view(0).substr(last_.clean_at, last_.clean_size));
        std::size_t i = 1;
        if (row_skipped(changes_)) {
            for (; i <= copies; ++i) {
                info.line += lines;
                info.byte_offset += size;
                add_changes(reading, info);
            }
            count_row(reading.counts, last_.verdict, changes_, copies);
            return;
        }
        if (!quarantined && last_.clean_size != 0 && (changes_.empty() || !context_->keep_changes)) {
            // Nothing to record per copy: the copies that stay under the
            // limit are written at once, by doubling.
            const std::size_t at = reading.clean.size();
            if (at + last_.bound <= held_limit_) {
                const std::size_t fit = std::min(copies, (held_limit_ - last_.bound - at) / last_.clean_size + 1);
                const std::size_t total = fit * last_.clean_size;
                char* room = reading.clean.room(total);
                std::memcpy(room, line_.data(), line_.size());
                for (std::size_t done = line_.size(); done < total;) {
                    const std::size_t n = std::min(done, total - done);
                    std::memcpy(room + done, room, n);
                    done += n;
                }
                reading.clean.commit(room + total);
                i += fit;
            }
        }
        for (; i <= copies; ++i) {
            info.line += lines;
            info.byte_offset += size;
            if (quarantined) {
                if (context_->keep_quarantine) {
                    append_quarantine_tail(reading.quarantine_tails, info.byte_offset, reason(last_.verdict),
                                           last_.counts, info.raw, context_->fallback);
                    reading.quarantine.push_back({info.line, reading.quarantine_tails.size()});
                }
                continue;
            }
            if (last_.clean_size == 0 || reading.clean.size() + last_.bound > held_limit_) {
                reading.deferred.push_back({reading.clean.size(), last_.start + i * size});
            } else {
                char* room = reading.clean.room(line_.size());
                std::memcpy(room, line_.data(), line_.size());
                reading.clean.commit(room + line_.size());
            }
            add_changes(reading, info);
        }
        count_row(reading.counts, last_.verdict, changes_, copies);
    }

    // A row that is kept as it stands, with nothing changed: `text`, then an LF.
    void add_line(Reading& reading, const ResilientParser::VerbatimLine& line, std::string_view text,
                  std::size_t start) {
        // The bound a parsed row would have, so rows are left to the writer alike.
        const std::size_t columns = context_->dialect.expected_columns;
        const std::size_t bound = line.text_size + line.special_size + 3 * columns;
        if (bound > kHeldLine || reading.clean.size() + bound > held_limit_) {
            reading.deferred.push_back({reading.clean.size(), start});
        } else {
            char* room = reading.clean.room(text.size() + 1);
            std::memcpy(room, text.data(), text.size());
            room[text.size()] = '\n';
            reading.clean.commit(room + text.size() + 1);
        }
        count_row(reading.counts, RowVerdict::Kept, {});
    }

private:
    [[nodiscard]] std::string_view reason(RowVerdict verdict) const noexcept {
        if (verdict == RowVerdict::TooFew) return too_few_;
        if (verdict == RowVerdict::TooMany) return extra_;
        return set_aside_reason(verdict);
    }

    void add_changes(Reading& reading, const RowInfo& info) {
        if (!context_->keep_changes) return;
        for (const RowChange& change : changes_) {
            append_change_tail(reading.change_tails, info.byte_offset, change);
            reading.changes.push_back({info.line, reading.change_tails.size()});
        }
    }

    void write_clean(memory::Bytes& out, const RowBuffer& row) {
        const std::uint8_t delimiter = context_->dialect.delimiter;
        const std::uint8_t quote = context_->options->quote_char;
        if (delimiter < 0x80 && quote < 0x80) {
            char* room = out.room(clean_line_bound(row));
            out.commit(write_clean_line(room, row, delimiter, quote));
            return;
        }
        line_.clear();
        append_clean_line(line_, row, delimiter, quote);
        out.append(line_);
    }

    const Context* context_;
    std::size_t held_limit_;
    std::string too_few_;
    std::string extra_;
    std::vector<RowChange> changes_;
    std::string line_;
    // The row add() was last given, for add_copies: its verdict and place,
    // its clean line's bound, and where that line stands in the clean bytes.
    struct LastRow {
        RowVerdict verdict = RowVerdict::Kept;
        RowInfo info;
        std::size_t start = 0;
        std::size_t bound = 0;
        std::size_t clean_at = 0;
        std::size_t clean_size = 0;
        std::optional<FieldCounts> counts{};  // a quarantined row's
    } last_;
};

// Kept rows skip their fields only through add_line: a change to its
// signature must not quietly turn that off.
static_assert(pipeline::TakesLines<RowFormatter>);
static_assert(pipeline::TakesCopies<RowFormatter>);

// Writes placed readings to the outputs.
class CsvEmitter {
public:
    CsvEmitter(const ParallelOutputs& outputs, const Context& context, const pipeline::Shared& shared,
               StreamSummary& summary)
        : outputs_(outputs), context_(context), shared_(shared), summary_(summary) {}

    // Writes `reading` from `from` on, its line numbers placed with `base`
    // standing for from.line; `text` holds the rows it left to the writer.
    Status emit(Reading& reading, const Mark& from, std::size_t base, std::string_view text, std::size_t,
                std::uint64_t) {
        pipeline::add_counts(summary_, reading.counts, from.counts);
        const std::string_view clean = reading.clean.view(0);
        std::size_t at = from.clean;
        for (std::size_t i = from.deferred; i < reading.deferred.size(); ++i) {
            const Deferred& left = reading.deferred[i];
            if (left.clean_at > at) {
                BRINEWICK_RETURN_IF_ERROR(outputs_.clean->write(clean.substr(at, left.clean_at - at)));
            }
            at = left.clean_at;
            BRINEWICK_RETURN_IF_ERROR(write_in_pieces(text, left.start));
        }
        if (clean.size() > at) {
            BRINEWICK_RETURN_IF_ERROR(outputs_.clean->write(clean.substr(at)));
        }
        if (outputs_.quarantine != nullptr) {
            BRINEWICK_RETURN_IF_ERROR(emit_records(*outputs_.quarantine, reading.quarantine_tails,
                                                   reading.quarantine, from.quarantine, from.line, base));
        }
        if (outputs_.changes != nullptr) {
            BRINEWICK_RETURN_IF_ERROR(emit_records(*outputs_.changes, reading.change_tails, reading.changes,
                                                   from.changes, from.line, base));
        }
        return Status::ok();
    }

private:
    // Parses the row at `start` of `text` again, fits it, and writes its
    // clean line a field (or 1 KiB of padding) at a time.
    Status write_in_pieces(std::string_view text, std::size_t start) {
        const SalvageOptions& options = *context_.options;
        ResilientParser parser(text, context_.dialect.delimiter, options.quote_char, options.repair_quotes, start, 0);
        CancelCheck check(&pipeline::go_on, const_cast<pipeline::Shared*>(&shared_));
        parser.set_cancel_check(&check);
        RowBuffer row;
        row.set_fallback(shared_.fallback);
        if (!parser.next_row(row) || check.stopped()) return Status::cancelled();
        (void)repair_row(parser, text, start, 0, row, repair_settings(options, context_.dialect));
        classify_row(row, options, context_.dialect);
        OutputPieces out(*outputs_.clean);
        if (!write_clean_line_in_pieces(out, row, context_.dialect.delimiter, options.quote_char)) {
            return out.error.is_ok() ? Status::cancelled() : std::move(out.error);
        }
        return Status::ok();
    }

    Status emit_records(AtomicOutput& output, const std::string& tails, const std::vector<Record>& records,
                        std::size_t first, std::size_t from_line, std::size_t base) {
        if (first >= records.size()) return Status::ok();
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
    const pipeline::Shared& shared_;
    StreamSummary& summary_;
    std::string text_;
};

// A line break as delimiter or quote would let a row go on past a line
// break outside quotes, so chunks cut at breaks could not start at rows. A
// sniffed delimiter never is one; only the options can ask for it.
bool breaks_rows(const SalvageOptions& options) noexcept {
    return (options.delimiter && pipeline::is_break(*options.delimiter)) || pipeline::is_break(options.quote_char);
}

Status line_break_refused() {
    return Status::io(IoError::from_errno(EINVAL), {},
                      "a line break cannot be the delimiter or the quote of a run on several threads");
}

}  // namespace parallel_salvage_detail

Result<StreamSummary> parallel_stream_rows(InputWindow& window, const StreamSettings& settings,
                                           const ParallelOutputs& outputs, StreamControl& control,
                                           StreamSink* one_thread) {
    using namespace parallel_salvage_detail;
    const SalvageOptions& options = settings.options;
    if (breaks_rows(options)) return line_break_refused();
    StreamSummary summary;
    auto settled = settle_dialect_or_empty(window, options);
    if (!settled.is_ok()) return std::move(settled).status();
    const auto& settled_dialect = settled.value();
    // Settling read the whole input over many reads: its rows are few and
    // long. Chunks would each read through the same rows, then the writer
    // once more; one thread reads them once, from the bytes already held.
    const bool held_whole = window.at_end() && window.view().size() / 4 > window.read_size();
    if (one_thread != nullptr && held_whole) {
        return stream_settled_rows(window, settled_dialect, options, *one_thread, control);
    }
    // An empty input has no dialect (comma and zero counters, options
    // aside): its one chunk, empty, goes through the pipeline under those.
    const Dialect dialect = settled_dialect.value_or(Dialect{});
    summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.counters.inferred_columns = dialect.expected_columns;
    summary.header_line = dialect.table_line;

    // A prefix of many reads (a row that runs on, a file of one row) is let
    // go and read again in chunks: held, it would be a second copy of the
    // rows the chunks hold, and its grown buffer would stay to the end.
    if (window.can_rewind() && window.view().size() / 4 > window.read_size()) {
        BRINEWICK_RETURN_IF_ERROR(window.rewind(window.offset()));
    }
    BRINEWICK_RETURN_IF_ERROR(skip_bom(window));

    std::atomic<bool> abort{false};
    const Context context{&options, dialect, outputs.quarantine != nullptr, outputs.changes != nullptr,
                          window.fallback()};
    const pipeline::Shared shared{&options, dialect, &control.cancel, &abort, window.fallback()};
    const std::size_t chunk_size = std::max<std::size_t>(settings.chunk_size, 1);
    // What a chunk's readings may hold of clean output before leaving
    // lines to the writer: room for the usual growth from quoting.
    const std::size_t held_limit = chunk_size > (std::size_t{1} << 40) ? chunk_size : 4 * chunk_size + kHeldLine;
    try {
        CsvEmitter emitter(outputs, context, shared, summary);
        auto ran = pipeline::run_pipeline<RowFormatter, CsvEmitter>(
            window, settings.jobs, chunk_size, shared,
            [&context, held_limit] { return RowFormatter(context, held_limit); }, emitter, pipeline::Span{}, abort,
            control.cancel);
        if (!ran.is_ok()) return std::move(ran).status();
    } catch (const std::system_error& failure) {  // no thread could be started
        return Status::io(IoError::from_errno(failure.code().value()), outputs.clean->target());
    }
    window.finish(summary);
    return summary;
}

}  // namespace brinewick::stream
