#include "salvage_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/stat.h>
#include <time.h>

#include "../parser/utf8.hpp"
#include "../stream/input_window.hpp"
#include "column_names.hpp"

namespace brinewick::arrow {
namespace {

using stream::ChangeKind;
using stream::InputWindow;
using stream::RowChange;
using stream::RowInfo;
using stream::StreamControl;
using stream::StreamError;
using stream::StreamSummary;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Feeds the clean rows of one pass to whoever needs them, and keeps the
// quarantine and change records when asked to.
class ReadSink final : public stream::StreamSink {
public:
    explicit ReadSink(ReadRecords* records) : records_(records) {}

    std::function<bool(const Dialect&)> on_start;
    std::function<bool(const RowBuffer&)> on_row;

    bool start(const Dialect& dialect) override { return on_start ? on_start(dialect) : true; }

    bool clean_row(const RowBuffer& row, const RowInfo& info, std::span<const RowChange> changes) override {
        if (records_ != nullptr) {
            for (const RowChange& change : changes) {
                ChangeRecord& record = records_->changes.emplace_back();
                record.line = info.line;
                record.byte_offset = info.byte_offset;
                record.kind = change.kind;
                stream::append_change_detail(record.detail, change);
            }
        }
        return on_row ? on_row(row) : true;
    }

    bool quarantined_row(const RowBuffer&, const RowInfo& info, std::string_view reason) override {
        if (records_ == nullptr) return true;
        QuarantineRecord& record = records_->quarantine.emplace_back();
        record.line = info.line;
        record.byte_offset = info.byte_offset;
        record.reason.assign(reason);
        append_lenient_utf8(record.raw, reinterpret_cast<const unsigned char*>(info.raw.data()), info.raw.size());
        return true;
    }

    // Only reached when a hook stopped the run; the producer knows why.
    [[nodiscard]] StreamError failure() const override {
        StreamError error;
        error.what = StreamError::What::Cancelled;
        error.message = "stopped";
        return error;
    }

private:
    ReadRecords* records_;
};

// Whether the chunk pipeline can read this dialect: rows must start at line
// breaks, which a line break as delimiter or quote would not promise.
bool pipelined(const Dialect& dialect, const SalvageOptions& options) noexcept {
    return !stream::pipeline::is_break(dialect.delimiter) && !stream::pipeline::is_break(options.quote_char);
}

std::vector<ColumnSpec> string_columns(std::size_t width) {
    return std::vector<ColumnSpec>(width, ColumnSpec{{}, ColumnType::Utf8});
}

std::vector<ColumnSpec> named_columns(std::span<const std::string_view> header, std::size_t width) {
    std::vector<ColumnSpec> specs;
    for (std::string& name : column_names(header, width)) specs.push_back({std::move(name), ColumnType::Utf8});
    return specs;
}

RowPlan row_plan(const ReadSettings& settings, const Dialect& dialect, const BatchOptions& batch) {
    RowPlan plan;
    plan.options = settings.options;
    plan.dialect = dialect;
    plan.batch = batch;
    // A chunk's cells are about its size; far more means padding to a huge
    // width, which the consumer then builds in bounded batches instead.
    plan.held_limit = 4 * settings.chunk_size + (std::size_t{64} << 10);
    return plan;
}

// A cell the column types refused, as the row pipeline reports it.
bool is_refusal(const StreamError& error) noexcept {
    return error.what == StreamError::What::Io && error.io.kind == IoError::Kind::Os && error.io.code == EINVAL &&
           !error.message.empty() && error.path.empty();
}

// Buffer bytes of a batch of string columns.
std::size_t string_batch_bytes(const ArrowArray& batch, bool large) noexcept {
    std::size_t bytes = 0;
    for (std::int64_t c = 0; c < batch.n_children; ++c) {
        const ArrowArray& child = *batch.children[c];
        const auto n = static_cast<std::size_t>(child.length);
        if (child.buffers[0] != nullptr) bytes += (n + 7) / 8;
        if (large) {
            bytes += (n + 1) * 8 + static_cast<std::size_t>(static_cast<const std::int64_t*>(child.buffers[1])[n]);
        } else {
            bytes += (n + 1) * 4 + static_cast<std::size_t>(static_cast<const std::int32_t*>(child.buffers[1])[n]);
        }
    }
    return bytes;
}

std::optional<std::uint64_t> regular_file_size(const StreamControl& control) {
    const std::int64_t total = control.bytes_total.load();
    if (total < 0) return std::nullopt;
    return static_cast<std::uint64_t>(total);
}

int errno_of(const StreamError& error) {
    if (error.what == StreamError::What::Cancelled) return ECANCELED;
    if (error.what == StreamError::What::Io) {
        if (error.io.kind == IoError::Kind::Os && error.io.code != 0) return error.io.code;
        if (error.io.kind == IoError::Kind::OutOfMemory) return ENOMEM;
    }
    return EIO;
}

// The pass-2 (or only) salvage on a worker thread, a few batches ahead of
// the consumer.
class SalvageProducer final : public BatchProducer {
public:
    SalvageProducer(std::unique_ptr<StreamControl> control, InputWindow window, const ReadSettings& settings,
                    std::optional<std::vector<ColumnSpec>> columns, std::optional<ReadReport> expected,
                    std::shared_ptr<Waiter> waiter, ReportSink on_report)
        : control_(std::move(control)),
          window_(std::move(window)),
          settings_(settings),
          expected_(std::move(expected)),
          waiter_(std::move(waiter)),
          on_report_(std::move(on_report)) {
        const auto size = regular_file_size(*control_);
        batch_options_.limits = settings_.limits;
        batch_options_.empty_as_null = settings_.empty_as_null;
        batch_options_.large_strings = needs_large_strings(size.value_or(UINT64_MAX));
        if (columns) {
            columns_ = std::move(*columns);
            published_ = true;
        }
    }

    SalvageProducer(const SalvageProducer&) = delete;
    SalvageProducer& operator=(const SalvageProducer&) = delete;

    ~SalvageProducer() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        control_->cancel.store(true);
        worker_ready_.notify_all();
        if (worker_.joinable()) worker_.join();
        for (ArrowArray& batch : ready_) {
            if (batch.release != nullptr) batch.release(&batch);
        }
    }

    int schema(ArrowSchema* out, std::string& error) override {
        if (const int code = start(error)) return code;
        if (!wait([this] { return published_ || done_; }, error)) return ECANCELED;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!published_) {
            error = message_;
            return code_ != 0 ? code_ : EIO;
        }
        export_schema(columns_, batch_options_.large_strings, out);
        return 0;
    }

    int next(ArrowArray* out, std::string& error) override {
        if (const int code = start(error)) return code;
        if (!wait([this] { return !ready_.empty() || done_; }, error)) return ECANCELED;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready_.empty()) {
            *out = ready_.front();
            ready_.pop_front();
            worker_ready_.notify_all();
            return 0;
        }
        if (code_ != 0) {
            error = message_;
            return code_;
        }
        return 0;  // the end: `out` stays released
    }

private:
    int start(std::string& error) {
        if (started_) return 0;
        try {
            worker_ = std::thread([this] { run(); });
        } catch (const std::system_error& e) {
            error = std::string("cannot start the reading thread: ") + e.what();
            return EAGAIN;
        }
        started_ = true;
        return 0;
    }

    template <typename Ready>
    bool wait(Ready ready, std::string& error) {
        const bool got = waiter_->wait([&] {
            std::unique_lock<std::mutex> lock(mutex_);
            return consumer_ready_.wait_for(lock, kWaitSlice, ready);
        });
        if (got) return true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        control_->cancel.store(true);
        worker_ready_.notify_all();
        error = "interrupted while reading the input";
        return false;
    }

    void publish(std::vector<ColumnSpec> columns) {
        std::lock_guard<std::mutex> lock(mutex_);
        columns_ = std::move(columns);
        published_ = true;
        consumer_ready_.notify_all();
    }

    // Hands the builder's rows to the consumer, waiting while it is
    // kBatchesAhead behind. False when the consumer has gone.
    bool deliver(BatchBuilder& builder) {
        ArrowArray batch{};
        builder.finish(&batch);
        return deliver(batch);
    }

    bool deliver(ArrowArray& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        worker_ready_.wait(lock, [this] { return ready_.size() < kBatchesAhead || stopping_; });
        if (stopping_) {
            lock.unlock();
            batch.release(&batch);
            return false;
        }
        ready_.push_back(batch);
        consumer_ready_.notify_all();
        return true;
    }

    bool append(BatchBuilder& builder, const RowBuffer& row) {
        for (;;) {
            switch (builder.append_row(row)) {
                case AppendResult::Ok:
                    return !builder.full() || deliver(builder);
                case AppendResult::Full:
                    if (!deliver(builder)) return false;
                    continue;
                case AppendResult::Error:
                    fail(EINVAL, expected_ ? "the input changed while it was read: " + builder.error()
                                           : builder.error());
                    return false;
            }
        }
    }

    void fail(int code, std::string message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (code_ != 0) return;
        code_ = code;
        message_ = std::move(message);
    }

    void run() noexcept {
        try {
            run_pass();
        } catch (const std::bad_alloc&) {
            fail(ENOMEM, "out of memory while building an Arrow batch");
        } catch (const std::exception& e) {
            fail(EIO, e.what());
        } catch (...) {
            fail(EIO, "the reader failed");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        consumer_ready_.notify_all();
    }

    void run_pass() {
        auto settled = stream::settle_dialect_or_empty(window_, settings_.options);
        if (auto* error = std::get_if<StreamError>(&settled)) {
            fail(errno_of(*error), describe(*error));
            return;
        }
        const auto& dialect = std::get<std::optional<Dialect>>(settled);
        if (dialect && pipelined(*dialect, settings_.options)) {
            run_pipelined(*dialect);
        } else {
            run_streamed();
        }
    }

    // The pass on the chunk pipeline: every row of the file, on settings.jobs threads.
    void run_pipelined(const Dialect& dialect) {
        const auto started = Clock::now();
        const bool one_pass = !expected_.has_value();
        if (auto error = stream::skip_bom(window_)) {
            fail(errno_of(*error), describe(*error));
            return;
        }
        const std::size_t width = std::max<std::size_t>(dialect.expected_columns, 1);
        RowPlan plan = row_plan(settings_, dialect, batch_options_);
        plan.keep_records = one_pass;
        if (one_pass) {
            plan.columns = string_columns(width);
            plan.header = settings_.header ? HeaderMode::FirstRow : HeaderMode::None;
            if (!settings_.header) publish(named_columns({}, width));
        } else {
            plan.columns = columns_;
            const auto& header = expected_->header_offset;
            plan.header = header ? HeaderMode::AtOffset : HeaderMode::None;
            plan.header_offset = header.value_or(0);
        }
        RowOutput output;
        output.on_header = [&](const std::vector<std::string>& header) {
            std::vector<std::string_view> names(header.begin(), header.end());
            publish(named_columns(names, std::max(width, header.size())));
            return true;
        };
        output.on_batch = [&](ArrowArray& batch) { return deliver(batch); };
        auto ran = run_row_pipeline(window_, plan, output, settings_.jobs, settings_.chunk_size,
                                    stream::pipeline::Span{}, *control_);
        if (auto* error = std::get_if<StreamError>(&ran)) {
            fail_with(*error);
            return;
        }
        RowResult& result = std::get<RowResult>(ran);
        StreamSummary summary = result.summary;
        summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
        summary.counters.inferred_columns = dialect.expected_columns;
        if (!finish_pass(summary)) return;
        if (!published_) publish(named_columns({}, width));
        if (on_report_) {
            ReadReport report;
            report.summary = summary;
            report.header_offset = result.header_offset;
            report.records = one_pass ? std::make_shared<const ReadRecords>(std::move(result.records)) : nullptr;
            report.seconds = seconds_since(started);
            on_report_(report);
        }
    }

    void fail_with(const StreamError& error) {
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped = stopping_;
        }
        if (stopped && error.what == StreamError::What::Cancelled) {
            fail(ECANCELED, "interrupted while reading the input");
        } else if (is_refusal(error)) {
            fail(EINVAL, "the input changed while it was read: " + error.message);
        } else {
            fail(errno_of(error), describe(error));
        }
    }

    // Checks a second pass against the first; false when the file changed.
    bool finish_pass(const StreamSummary& summary) {
        if (!expected_) return true;
        const StreamSummary& before = expected_->summary;
        if (summary.bytes_read != before.bytes_read || summary.counters.total_rows != before.counters.total_rows ||
            summary.counters.salvaged_rows != before.counters.salvaged_rows ||
            summary.counters.quarantined_rows != before.counters.quarantined_rows) {
            fail(EINVAL, "the input changed while it was read: " + std::to_string(before.bytes_read) +
                             " bytes and " + std::to_string(before.counters.salvaged_rows) +
                             " clean rows on the first pass, " + std::to_string(summary.bytes_read) +
                             " bytes and " + std::to_string(summary.counters.salvaged_rows) + " now");
            return false;
        }
        return true;
    }

    // The pass on one thread, for dialects whose delimiter or quote is a
    // line break (rows then need not start at line breaks) and empty input.
    void run_streamed() {
        const auto started = Clock::now();
        const bool one_pass = !expected_.has_value();
        auto records = std::make_shared<ReadRecords>();
        ReadSink sink(one_pass ? records.get() : nullptr);
        std::optional<BatchBuilder> builder;
        if (!one_pass) builder.emplace(columns_, batch_options_);
        bool header_pending = settings_.header;
        std::size_t width = 0;

        if (one_pass) {
            sink.on_start = [&](const Dialect& dialect) {
                // A width of 0 comes only from input without a non-blank row:
                // its rows are blank lines, one field each.
                width = std::max<std::size_t>(dialect.expected_columns, 1);
                if (!settings_.header) {
                    std::vector<ColumnSpec> specs;
                    for (std::string& name : column_names({}, width)) specs.push_back({std::move(name), ColumnType::Utf8});
                    builder.emplace(specs, batch_options_);
                    publish(std::move(specs));
                }
                return true;
            };
        }
        sink.on_row = [&](const RowBuffer& row) {
            if (header_pending) {
                header_pending = false;
                if (one_pass) {
                    std::vector<std::string_view> header;
                    header.reserve(row.size());
                    for (std::size_t i = 0; i < row.size(); ++i) header.push_back(row.field(i));
                    std::vector<ColumnSpec> specs;
                    for (std::string& name : column_names(header, std::max(width, row.size()))) {
                        specs.push_back({std::move(name), ColumnType::Utf8});
                    }
                    builder.emplace(specs, batch_options_);
                    publish(std::move(specs));
                }
                return true;
            }
            return append(*builder, row);
        };

        auto streamed = stream::stream_rows(window_, settings_.options, sink, *control_);
        if (auto* error = std::get_if<StreamError>(&streamed)) {
            fail_with(*error);  // a no-op after append's own failure
            return;
        }
        const StreamSummary& summary = std::get<StreamSummary>(streamed);
        if (!finish_pass(summary)) return;
        if (!published_) {
            // No clean row named the columns (or the input was empty).
            std::vector<ColumnSpec> specs;
            for (std::string& name : column_names({}, width)) specs.push_back({std::move(name), ColumnType::Utf8});
            publish(std::move(specs));
        }
        if (builder && builder->rows() > 0 && !deliver(*builder)) return;
        if (on_report_) {
            ReadReport report;
            report.summary = summary;
            report.records = one_pass ? std::shared_ptr<const ReadRecords>(std::move(records)) : nullptr;
            report.seconds = seconds_since(started);
            on_report_(report);
        }
    }

    std::unique_ptr<StreamControl> control_;  // before window_: the window points at it
    InputWindow window_;
    ReadSettings settings_;
    std::optional<ReadReport> expected_;
    std::shared_ptr<Waiter> waiter_;
    ReportSink on_report_;
    BatchOptions batch_options_;
    bool started_ = false;  // consumer side only
    std::thread worker_;

    std::mutex mutex_;
    std::condition_variable consumer_ready_;
    std::condition_variable worker_ready_;
    std::vector<ColumnSpec> columns_;  // written once under mutex_, then read-only
    bool published_ = false;
    std::deque<ArrowArray> ready_;
    bool done_ = false;
    bool stopping_ = false;
    int code_ = 0;
    std::string message_;
};

// Record tables: built from the kept records in batches, on the caller's thread.
class RecordsProducer final : public BatchProducer {
public:
    RecordsProducer(std::shared_ptr<const ReadRecords> records, bool quarantine)
        : records_(std::move(records)),
          quarantine_(quarantine),
          builder_(
              {{"line", ColumnType::Int64},
               {"byte_offset", ColumnType::Int64},
               {quarantine ? "reason" : "change", ColumnType::Utf8},
               {quarantine ? "raw" : "detail", ColumnType::Utf8}},
              BatchOptions{BatchLimits{}, false, false}) {}

    int schema(ArrowSchema* out, std::string&) override {
        builder_.export_schema(out);
        return 0;
    }

    int next(ArrowArray* out, std::string& error) override {
        const std::size_t count = quarantine_ ? records_->quarantine.size() : records_->changes.size();
        char line[24];
        char offset[24];
        while (next_ < count && !builder_.full()) {
            std::uint64_t line_no = 0;
            std::uint64_t byte_offset = 0;
            std::string_view third;
            std::string_view fourth;
            if (quarantine_) {
                const QuarantineRecord& r = records_->quarantine[next_];
                line_no = r.line;
                byte_offset = r.byte_offset;
                third = r.reason;
                fourth = r.raw;
            } else {
                const ChangeRecord& r = records_->changes[next_];
                line_no = r.line;
                byte_offset = r.byte_offset;
                third = stream::change_kind_name(r.kind);
                fourth = r.detail;
            }
            const auto l = std::to_chars(line, line + sizeof line, line_no);
            const auto o = std::to_chars(offset, offset + sizeof offset, byte_offset);
            const std::string_view fields[4] = {{line, static_cast<std::size_t>(l.ptr - line)},
                                                {offset, static_cast<std::size_t>(o.ptr - offset)}, third, fourth};
            const AppendResult result = builder_.append_row(std::span<const std::string_view>(fields));
            if (result == AppendResult::Full) break;
            if (result == AppendResult::Error) {
                error = builder_.error();
                return EINVAL;
            }
            ++next_;
        }
        if (builder_.rows() > 0) builder_.finish(out);
        return 0;
    }

private:
    std::shared_ptr<const ReadRecords> records_;
    bool quarantine_;
    BatchBuilder builder_;
    std::size_t next_ = 0;
};


// Batches pass 1 kept, handed out in order.
class KeptProducer final : public BatchProducer {
public:
    KeptProducer(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept)
        : columns_(std::move(columns)), kept_(std::move(kept)) {}

    int schema(ArrowSchema* out, std::string&) override {
        export_schema(columns_, kept_->large_strings, out);
        return 0;
    }

    int next(ArrowArray* out, std::string& error) override {
        if (!kept_->strings) {
            (void)kept_->pop(out);  // none left: `out` stays released, the end
            return 0;
        }
        ArrowArray batch{};
        if (!kept_->pop(&batch)) return 0;
        error = convert_batch(&batch, kept_->large_strings, columns_, kept_->large_strings, out);
        return error.empty() ? 0 : EINVAL;
    }

private:
    std::vector<ColumnSpec> columns_;
    std::unique_ptr<KeptBatches> kept_;
};

// The table's columns once every row is scanned: names, inferred types (or
// strings), overrides applied. Returns the message of a bad override.
std::optional<std::string> final_columns(const SchemaScanner& scanner, const ReadSettings& settings,
                                         std::vector<ColumnSpec>& out) {
    auto columns = scanner.columns(settings.overrides);
    if (auto* message = std::get_if<std::string>(&columns)) return *message;
    out = std::move(std::get<std::vector<ColumnSpec>>(columns));
    if (!settings.infer) {
        for (ColumnSpec& spec : out) {
            const bool named = std::any_of(settings.overrides.begin(), settings.overrides.end(),
                                           [&](const auto& o) { return o.first == spec.name; });
            if (!named) spec.type = ColumnType::Utf8;
        }
    }
    return std::nullopt;
}

// Pass 1 on the chunk pipeline. It also keeps the string batches it builds,
// while they stay under keep_limit, so that a file that stands still is
// read only once: the first stream converts them to the final types.
std::variant<ScanResult, ReadFailure> scan_pipelined(const std::string& path, InputWindow& window,
                                                     const Dialect& dialect, const ReadSettings& settings,
                                                     bool infer, const std::optional<KeptBatches::Identity>& before,
                                                     Clock::time_point started, StreamControl& control) {
    if (auto error = stream::skip_bom(window)) return ReadFailure{*error, {}};
    BatchOptions batch;
    batch.limits = settings.limits;
    batch.empty_as_null = settings.empty_as_null;
    batch.large_strings = needs_large_strings(regular_file_size(control).value_or(UINT64_MAX));
    const bool fixed_width = !settings.options.expected_columns || *settings.options.expected_columns != 0;
    RowPlan plan = row_plan(settings, dialect, batch);
    plan.columns = string_columns(std::max<std::size_t>(dialect.expected_columns, 1));
    plan.variable_width = !fixed_width;
    plan.infer = infer;
    plan.header = settings.header ? HeaderMode::FirstRow : HeaderMode::None;
    std::atomic<bool> build{settings.keep_limit > 0};
    plan.build = &build;
    auto kept = std::make_unique<KeptBatches>();
    kept->large_strings = batch.large_strings;
    kept->strings = true;
    std::size_t kept_bytes = 0;
    RowOutput output;
    std::vector<Boundary> boundaries;
    if (settings.block_size > 0) {
        output.on_cut = [&](std::uint64_t offset, std::size_t line, bool in_row) {
            const std::uint64_t last = boundaries.empty() ? 0 : boundaries.back().offset;
            if (offset - last >= settings.block_size) boundaries.push_back({offset, line, in_row});
        };
    }
    output.on_batch = [&](ArrowArray& array) {
        struct Release {
            ArrowArray* a;
            ~Release() {
                if (a->release != nullptr) a->release(a);
            }
        } release{&array};
        if (!build.load(std::memory_order_relaxed)) return true;
        kept_bytes += string_batch_bytes(array, batch.large_strings);
        if (kept_bytes > settings.keep_limit) {
            build.store(false);
            kept->clear();
            return true;
        }
        kept->reserve_one();
        kept->push(array);
        array.release = nullptr;
        return true;
    };
    auto ran = run_row_pipeline(window, plan, output, settings.jobs, settings.chunk_size, stream::pipeline::Span{},
                                control);
    if (auto* error = std::get_if<StreamError>(&ran)) return ReadFailure{*error, {}};
    RowResult& rows = std::get<RowResult>(ran);
    // A fixed width holds without a clean row too, as in a single pass.
    if (fixed_width) rows.scanner.merge(0, std::max<std::size_t>(dialect.expected_columns, 1), {});
    ScanResult result;
    if (auto message = final_columns(rows.scanner, settings, result.columns)) {
        return ReadFailure{std::nullopt, *message};
    }
    result.report.summary = rows.summary;
    result.report.summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    result.report.summary.counters.inferred_columns = dialect.expected_columns;
    result.report.header_offset = rows.header_offset;
    result.report.records = std::make_shared<const ReadRecords>(std::move(rows.records));
    result.dialect = dialect;
    result.boundaries = std::move(boundaries);
    // Kept only for a file that stood still through the pass.
    const auto after = settled_identity(path);
    if (build.load() && before && after && *before == *after) {
        kept->identity = *after;
        // Converted here, on every core, rather than one batch at a time as
        // the consumer pulls them. String columns pass through untouched.
        const bool all_strings = std::all_of(result.columns.begin(), result.columns.end(),
                                             [](const ColumnSpec& c) { return c.type == ColumnType::Utf8; });
        if (!all_strings && kept->convert(result.columns, settings.jobs).empty()) result.kept = std::move(kept);
        if (all_strings) result.kept = std::move(kept);
    }
    result.report.seconds = seconds_since(started);
    return result;
}

}  // namespace

std::variant<SpanResult, ReadFailure> read_span(const std::string& path, const ReadSettings& settings,
                                               const Dialect& dialect, const std::vector<ColumnSpec>& columns,
                                               std::optional<std::uint64_t> header_offset, const Boundary& start,
                                               std::optional<std::uint64_t> end, StreamControl& control) {
    const auto started = Clock::now();
    auto opened = InputWindow::open(path, settings.read_size, control);
    if (auto* error = std::get_if<StreamError>(&opened)) return ReadFailure{*error, {}};
    InputWindow& window = std::get<InputWindow>(opened);
    const auto size = regular_file_size(control);
    if (start.offset == 0) {
        if (auto error = stream::skip_bom(window)) return ReadFailure{*error, {}};
    } else if (auto error = window.seek(start.offset)) {
        return ReadFailure{*error, {}};
    }
    BatchOptions batch;
    batch.limits = settings.limits;
    batch.empty_as_null = settings.empty_as_null;
    batch.large_strings = needs_large_strings(size.value_or(UINT64_MAX));
    RowPlan plan = row_plan(settings, dialect, batch);
    plan.columns = columns;
    plan.header = header_offset ? HeaderMode::AtOffset : HeaderMode::None;
    plan.header_offset = header_offset.value_or(0);
    SpanResult result;
    result.batches = std::make_unique<KeptBatches>();
    result.batches->large_strings = batch.large_strings;
    RowOutput output;
    output.on_batch = [&](ArrowArray& array) {
        result.batches->reserve_one();
        result.batches->push(array);
        array.release = nullptr;
        return true;
    };
    stream::pipeline::Span span;
    span.first_line = start.line;
    span.start_in_row = start.in_row;
    span.end = end;
    auto ran = run_row_pipeline(window, plan, output, settings.jobs, settings.chunk_size, span, control);
    if (auto* error = std::get_if<StreamError>(&ran)) {
        if (is_refusal(*error)) return ReadFailure{std::nullopt, "the input changed while it was read: " + error->message};
        return ReadFailure{*error, {}};
    }
    RowResult& rows = std::get<RowResult>(ran);
    result.report.summary = rows.summary;
    result.report.summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    result.report.summary.counters.inferred_columns = dialect.expected_columns;
    result.report.summary.bytes_read = window.offset() - start.offset;
    result.report.header_offset = header_offset;
    result.report.records = std::make_shared<const ReadRecords>(std::move(rows.records));
    result.report.seconds = seconds_since(started);
    return result;
}

void KeptBatches::clear() noexcept {
    for (std::size_t i = next_; i < batches_.size(); ++i) {
        if (batches_[i].release != nullptr) batches_[i].release(&batches_[i]);
    }
    batches_.clear();
    next_ = 0;
}

std::string KeptBatches::convert(const std::vector<ColumnSpec>& columns, std::size_t threads) {
    if (!strings) return {};
    const std::size_t n = batches_.size();
    std::vector<ArrowArray> converted(n);
    for (ArrowArray& a : converted) a.release = nullptr;
    std::vector<std::string> errors(n);
    std::atomic<std::size_t> next{next_};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            try {
                errors[i] = convert_batch(&batches_[i], large_strings, columns, large_strings, &converted[i]);
            } catch (const std::bad_alloc&) {
                errors[i] = "out of memory while converting a batch";
                if (batches_[i].release != nullptr) batches_[i].release(&batches_[i]);
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < std::max<std::size_t>(threads, 1); ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: this one converts what the others do not.
    }
    work();
    for (std::thread& t : helpers) t.join();
    std::string error;
    for (std::size_t i = next_; i < n; ++i) {
        if (error.empty() && !errors[i].empty()) error = errors[i];
        batches_[i] = converted[i];  // the string batch was released by the conversion
    }
    strings = false;
    if (!error.empty()) clear();
    return error;
}

bool KeptBatches::pop(ArrowArray* out) noexcept {
    if (next_ == batches_.size()) return false;
    *out = batches_[next_];
    batches_[next_].release = nullptr;
    ++next_;
    return true;
}

bool needs_scan(const ReadSettings& settings) noexcept {
    const bool fixed_width = !settings.options.expected_columns || *settings.options.expected_columns != 0;
    return settings.infer || !settings.overrides.empty() || !fixed_width;
}

bool needs_large_strings(std::uint64_t file_size) noexcept {
    return file_size > static_cast<std::uint64_t>(INT32_MAX) / 3;
}

std::string describe(const StreamError& error) {
    switch (error.what) {
        case StreamError::What::Cancelled: return "interrupted while reading the input";
        case StreamError::What::SameFile: return error.message;
        case StreamError::What::Io: break;
    }
    return error.path.empty() ? error.io.message() : error.path + ": " + error.io.message();
}

std::variant<ScanResult, ReadFailure> scan_input(const std::string& path, const ReadSettings& settings,
                                                 StreamControl& control) {
    const auto started = Clock::now();
    const auto before = current_identity(path);
    auto opened = InputWindow::open(path, settings.read_size, control);
    if (auto* error = std::get_if<StreamError>(&opened)) return ReadFailure{*error, {}};
    InputWindow& window = std::get<InputWindow>(opened);

    // Forcing a type needs every value checked, with types="str" too.
    bool forced = false;
    for (const auto& [name, type] : settings.overrides) forced = forced || type != ColumnType::Utf8;
    auto settled = stream::settle_dialect_or_empty(window, settings.options);
    if (auto* error = std::get_if<StreamError>(&settled)) return ReadFailure{*error, {}};
    if (const auto& dialect = std::get<std::optional<Dialect>>(settled); dialect && pipelined(*dialect, settings.options)) {
        return scan_pipelined(path, window, *dialect, settings, settings.infer || forced, before, started, control);
    }
    SchemaScanner scanner({settings.header, settings.infer || forced, settings.empty_as_null});
    // The one-thread pass (an empty file, or rows that need not start at
    // line breaks) keeps no batches: the stream reads the file again.
    auto records = std::make_shared<ReadRecords>();
    ReadSink sink(records.get());
    sink.on_row = [&](const RowBuffer& row) {
        scanner.add_row(row);
        return true;
    };
    auto streamed = stream::stream_rows(window, settings.options, sink, control);
    if (auto* error = std::get_if<StreamError>(&streamed)) return ReadFailure{*error, {}};

    ScanResult result;
    if (auto message = final_columns(scanner, settings, result.columns)) return ReadFailure{std::nullopt, *message};
    result.report.summary = std::get<StreamSummary>(streamed);
    result.report.records = std::move(records);
    result.report.seconds = seconds_since(started);
    return result;
}

std::optional<StreamError> make_salvage_stream(const std::string& path, const ReadSettings& settings,
                                               std::optional<std::vector<ColumnSpec>> columns,
                                               std::optional<ReadReport> expected,
                                               std::shared_ptr<Waiter> waiter, ReportSink on_report,
                                               ArrowArrayStream* out) {
    auto control = std::make_unique<StreamControl>();
    auto opened = InputWindow::open(path, settings.read_size, *control);
    if (auto* error = std::get_if<StreamError>(&opened)) return *error;
    auto producer = std::make_unique<SalvageProducer>(std::move(control), std::move(std::get<InputWindow>(opened)),
                                                      settings, std::move(columns), std::move(expected),
                                                      std::move(waiter), std::move(on_report));
    if (!make_array_stream(std::move(producer), out)) throw std::bad_alloc();
    return std::nullopt;
}

std::optional<KeptBatches::Identity> current_identity(const std::string& path) noexcept {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    KeptBatches::Identity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

std::optional<KeptBatches::Identity> settled_identity(const std::string& path) noexcept {
    auto id = current_identity(path);
    if (!id) return std::nullopt;
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
    constexpr std::int64_t kSettled = std::int64_t{3} * 1000000000;
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (now_ns - id->mtime_ns < kSettled) return std::nullopt;
    return id;
}

bool make_kept_stream(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<KeptProducer>(std::move(columns), std::move(kept)), out);
}

bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), true), out);
}

bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), false), out);
}

}  // namespace brinewick::arrow
