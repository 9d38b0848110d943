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
                    std::optional<std::vector<ColumnSpec>> columns, std::optional<StreamSummary> expected,
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
            bool stopped = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stopped = stopping_;
            }
            if (stopped && error->what == StreamError::What::Cancelled) {
                fail(ECANCELED, "interrupted while reading the input");
            } else {
                fail(errno_of(*error), describe(*error));  // a no-op after append's own failure
            }
            return;
        }
        const StreamSummary& summary = std::get<StreamSummary>(streamed);
        if (expected_) {
            const StreamSummary& before = *expected_;
            if (summary.bytes_read != before.bytes_read || summary.counters.total_rows != before.counters.total_rows ||
                summary.counters.salvaged_rows != before.counters.salvaged_rows ||
                summary.counters.quarantined_rows != before.counters.quarantined_rows) {
                fail(EINVAL, "the input changed while it was read: " + std::to_string(before.bytes_read) +
                                 " bytes and " + std::to_string(before.counters.salvaged_rows) +
                                 " clean rows on the first pass, " + std::to_string(summary.bytes_read) +
                                 " bytes and " + std::to_string(summary.counters.salvaged_rows) + " now");
                return;
            }
        }
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
    std::optional<StreamSummary> expected_;
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


// Pass 1 of a typed read building the batches too, so that a file whose
// values agree with its first rows is read once. The first kProbeRows data
// rows are held as text until the scanner has seen them; their inferred
// types are the guess, and from then on every row goes into a BatchBuilder
// of those types, cut into batches exactly as pass 2 cuts them. The batches
// count only when the whole file infers the guessed columns: a type's
// candidates only narrow, so a guess that every later value still parses as
// is the type the full scan picks, and the final comparison catches the
// rest (a column null in the probe, a row wider than the guess).
class FirstPassBatches {
public:
    static constexpr std::size_t kProbeRows = 1024;

    FirstPassBatches(const ReadSettings& settings, bool large_strings) : limit_(settings.keep_limit) {
        options_.limits = settings.limits;
        options_.empty_as_null = settings.empty_as_null;
        options_.large_strings = large_strings;
        kept_ = std::make_unique<KeptBatches>();
        kept_->large_strings = large_strings;
    }

    // A data row (not the header), after the scanner has seen it.
    void add(const RowBuffer& row, const SchemaScanner& scanner) {
        if (!kept_) return;
        if (!builder_) {
            const std::size_t n = row.size();
            for (std::size_t i = 0; i < n; ++i) {
                const std::string_view f = row.field(i);
                probe_text_.append(f.data(), f.size());
                probe_ends_.push_back(probe_text_.size());
            }
            probe_widths_.push_back(n);
            if (probe_widths_.size() == kProbeRows) guess(scanner);
            return;
        }
        if (!append(row)) abandon();
    }

    // The kept batches when `columns` (the full scan's) are the guessed ones.
    [[nodiscard]] std::unique_ptr<KeptBatches> finish(const SchemaScanner& scanner,
                                                      const std::vector<ColumnSpec>& columns) {
        if (kept_ && !builder_) guess(scanner);
        if (!kept_) return nullptr;
        if (builder_->rows() > 0 && !deliver()) return nullptr;
        const bool same = columns.size() == guessed_.size() &&
                          std::equal(columns.begin(), columns.end(), guessed_.begin(),
                                     [](const ColumnSpec& a, const ColumnSpec& b) {
                                         return a.type == b.type && a.name == b.name;
                                     });
        if (!same) return nullptr;
        return std::move(kept_);
    }

private:
    void guess(const SchemaScanner& scanner) {
        auto columns = scanner.columns();
        if (auto* specs = std::get_if<std::vector<ColumnSpec>>(&columns)) {
            guessed_ = *specs;
            builder_.emplace(std::move(*specs), options_);
        } else {
            abandon();
            return;
        }
        std::vector<std::string_view> fields;
        std::size_t at = 0;
        std::size_t field = 0;
        for (const std::size_t width : probe_widths_) {
            fields.clear();
            for (std::size_t i = 0; i < width; ++i, ++field) {
                fields.emplace_back(probe_text_.data() + at, probe_ends_[field] - at);
                at = probe_ends_[field];
            }
            if (!append(std::span<const std::string_view>(fields))) {
                abandon();
                break;
            }
        }
        std::string().swap(probe_text_);
        std::vector<std::size_t>().swap(probe_ends_);
        std::vector<std::size_t>().swap(probe_widths_);
    }

    // SalvageProducer::append's cuts, so the batches match pass 2's.
    template <typename Row>
    bool append(const Row& row) {
        for (;;) {
            switch (builder_->append_row(row)) {
                case AppendResult::Ok: return !builder_->full() || deliver();
                case AppendResult::Full:
                    if (!deliver()) return false;
                    continue;
                case AppendResult::Error: return false;
            }
        }
    }

    bool deliver() {
        bytes_ += builder_->bytes();
        if (bytes_ > limit_) return false;
        kept_->reserve_one();
        ArrowArray batch{};
        builder_->finish(&batch);
        kept_->push(batch);
        return true;
    }

    void abandon() noexcept {
        kept_.reset();
        builder_.reset();
    }

    std::size_t limit_;
    BatchOptions options_;
    std::unique_ptr<KeptBatches> kept_;  // null once the guess is given up
    std::optional<BatchBuilder> builder_;  // set once the guess is made
    std::vector<ColumnSpec> guessed_;
    std::size_t bytes_ = 0;
    std::string probe_text_;                // the probe rows' fields, back to back
    std::vector<std::size_t> probe_ends_;   // where each field ends in probe_text_
    std::vector<std::size_t> probe_widths_; // fields per probe row
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

    int next(ArrowArray* out, std::string&) override {
        (void)kept_->pop(out);  // none left: `out` stays released, the end
        return 0;
    }

private:
    std::vector<ColumnSpec> columns_;
    std::unique_ptr<KeptBatches> kept_;
};

}  // namespace

void KeptBatches::clear() noexcept {
    for (std::size_t i = next_; i < batches_.size(); ++i) {
        if (batches_[i].release != nullptr) batches_[i].release(&batches_[i]);
    }
    batches_.clear();
    next_ = 0;
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
    SchemaScanner scanner({settings.header, settings.infer || forced, settings.empty_as_null});
    std::optional<FirstPassBatches> building;
    const bool fixed_width = !settings.options.expected_columns || *settings.options.expected_columns != 0;
    if (settings.infer && settings.overrides.empty() && fixed_width && settings.keep_limit > 0) {
        building.emplace(settings, needs_large_strings(regular_file_size(control).value_or(UINT64_MAX)));
    }
    bool header_pending = settings.header;
    auto records = std::make_shared<ReadRecords>();
    ReadSink sink(records.get());
    sink.on_row = [&](const RowBuffer& row) {
        scanner.add_row(row);
        if (header_pending) {
            header_pending = false;
        } else if (building) {
            building->add(row, scanner);
        }
        return true;
    };
    auto streamed = stream::stream_rows(window, settings.options, sink, control);
    if (auto* error = std::get_if<StreamError>(&streamed)) return ReadFailure{*error, {}};

    auto columns = scanner.columns(settings.overrides);
    if (auto* message = std::get_if<std::string>(&columns)) return ReadFailure{std::nullopt, *message};
    ScanResult result;
    result.columns = std::move(std::get<std::vector<ColumnSpec>>(columns));
    if (!settings.infer) {
        for (ColumnSpec& spec : result.columns) {
            const bool named = std::any_of(settings.overrides.begin(), settings.overrides.end(),
                                           [&](const auto& o) { return o.first == spec.name; });
            if (!named) spec.type = ColumnType::Utf8;
        }
    }
    result.report.summary = std::get<StreamSummary>(streamed);
    result.report.records = std::move(records);
    if (building) {
        result.kept = building->finish(scanner, result.columns);
        // Kept only for a file that stood still through the pass.
        const auto after = settled_identity(path);
        if (result.kept && before && after && *before == *after) {
            result.kept->identity = *after;
        } else {
            result.kept.reset();
        }
    }
    result.report.seconds = seconds_since(started);
    return result;
}

std::optional<StreamError> make_salvage_stream(const std::string& path, const ReadSettings& settings,
                                               std::optional<std::vector<ColumnSpec>> columns,
                                               std::optional<StreamSummary> expected,
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
