// The salvage behind a stream (make_salvage_stream): every row of the file
// on the chunk pipeline, run on a BatchQueue's worker thread, each batch
// handed on as the pipeline places it. As a second pass it builds pass 1's
// columns and checks that the file still reads as it did then; as the only
// pass it names string columns from the first clean row.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../stream/stream_rows.hpp"
#include "column_names.hpp"
#include "read_pass.hpp"

namespace brinewick::arrow {
namespace {

using stream::InputWindow;
using stream::StreamControl;
using stream::StreamSummary;

// Why a second pass that counted `now` did not read the file the first
// pass counted `before` in; ok when the counts agree.
Status changed_since(const StreamSummary& before, const StreamSummary& now) {
    if (now.bytes_read == before.bytes_read && now.counters.total_rows == before.counters.total_rows &&
        now.counters.salvaged_rows == before.counters.salvaged_rows &&
        now.counters.quarantined_rows == before.counters.quarantined_rows) {
        return Status::ok();
    }
    return changed_input(std::to_string(before.bytes_read) + " bytes and " +
                         std::to_string(before.counters.salvaged_rows) + " clean rows on the first pass, " +
                         std::to_string(now.bytes_read) + " bytes and " + std::to_string(now.counters.salvaged_rows) +
                         " now");
}

class SalvagePass final : public BatchPass {
public:
    // `columns`: pass 1's (with `expected`), else none.
    SalvagePass(std::unique_ptr<StreamControl> control, stream::OpenedInput opened, std::string path,
                std::optional<KeptBatches::Identity> identity, const ReadSettings& settings,
                const BatchOptions& batch, std::vector<ColumnSpec> columns, std::optional<ReadReport> expected,
                ReportSink on_report)
        : control_(std::move(control)),
          window_(std::move(opened.window)),
          decode_(std::move(opened.state)),
          path_(std::move(path)),
          identity_(identity),
          settings_(settings),
          batch_(batch),
          columns_(std::move(columns)),
          expected_(std::move(expected)),
          on_report_(std::move(on_report)) {}

    void cancel() noexcept override { control_->cancel.store(true); }

    void run(BatchQueue& queue) override {
        // Pass 1's columns and report describe the file it read, not another.
        if (expected_ && expected_->identity && identity_ != expected_->identity) {
            return queue.fail(changed_input("the file was written to or replaced since its first pass"));
        }
        auto settled = stream::settle_dialect_or_empty(window_, settings_.options);
        if (!settled.is_ok()) return queue.fail(std::move(settled).status());
        const auto& dialect = settled.value();
        const auto started = PassClock::now();
        if (dialect) {
            run_rows(queue, *dialect, started);
        } else {  // an empty file: no row, and no column
            finish(queue, empty_summary(window_, *control_), std::nullopt, ReadRecords{}, 0, started);
        }
    }

private:
    void run_rows(BatchQueue& queue, const Dialect& dialect, PassClock::time_point started) {
        if (Status error = stream::skip_bom(window_); !error.is_ok()) return queue.fail(std::move(error));
        const std::size_t width = table_width(dialect);
        RowPlan plan = row_plan(settings_, dialect, batch_);
        plan.keep_records = !expected_;
        if (expected_) {
            plan.columns = std::make_shared<std::vector<ColumnSpec>>(columns_);
            const auto& header = expected_->header_offset;
            plan.header = header ? HeaderMode::AtOffset : HeaderMode::None;
            plan.header_offset = header.value_or(0);
        } else {
            plan.columns = std::make_shared<std::vector<ColumnSpec>>(string_columns(width));
            plan.header = settings_.header ? HeaderMode::FirstRow : HeaderMode::None;
            if (!settings_.header) queue.publish(named_columns({}, width));
        }
        RowOutput output;
        output.on_header = [&](const std::vector<std::string>& header) {
            std::vector<std::string_view> names(header.begin(), header.end());
            queue.publish(named_columns(names, std::max(width, header.size())));
            return true;
        };
        output.on_batch = [&](ArrowArray& batch) {
            // A file rewritten under the pass: no batch of the new text goes out.
            if (Status why = still_same(); !why.is_ok()) {
                if (batch.release != nullptr) batch.release(&batch);
                queue.fail(std::move(why));
                return false;
            }
            return queue.deliver(batch);
        };
        auto ran = run_row_pipeline(window_, plan, output, settings_.jobs, settings_.chunk_size,
                                    stream::pipeline::Span{}, *control_);
        if (!ran.is_ok()) {
            if (Status why = still_same(); !why.is_ok()) return queue.fail(std::move(why));
            return queue.fail(input_changed_if_refused(std::move(ran).status()));
        }
        RowResult& rows = ran.value();
        finish(queue, pass_summary(rows, dialect), rows.header_offset, std::move(rows.records), width, started);
    }

    // After the last batch: a second pass checked against the first, the
    // columns named if no clean row did (`width` of them), the report.
    void finish(BatchQueue& queue, StreamSummary summary, std::optional<std::uint64_t> header_offset,
                ReadRecords records, std::size_t width, PassClock::time_point started) {
        stream::note_decoding(summary, *decode_);
        if (Status why = still_same(); !why.is_ok()) return queue.fail(std::move(why));
        if (expected_) {
            if (Status why = changed_since(expected_->summary, summary); !why.is_ok()) return queue.fail(std::move(why));
        }
        if (!queue.published()) queue.publish(named_columns({}, width));
        if (!on_report_) return;
        ReadReport report;
        report.summary = summary;
        report.header_offset = header_offset;
        report.records = expected_ ? nullptr : std::make_shared<const ReadRecords>(std::move(records));
        report.seconds = seconds_since(started);
        on_report_(report);
    }

    // Ok while the path names the file the pass opened, unchanged.
    [[nodiscard]] Status still_same() const {
        if (!identity_ || current_identity(path_) == identity_) return Status::ok();
        return changed_input("the file was written to or replaced while the table was read");
    }

    std::unique_ptr<StreamControl> control_;  // before window_: the window points at it
    InputWindow window_;
    std::shared_ptr<stream::DecodeState> decode_;
    std::string path_;
    std::optional<KeptBatches::Identity> identity_;  // none for a stream
    ReadSettings settings_;
    BatchOptions batch_;
    std::vector<ColumnSpec> columns_;
    std::optional<ReadReport> expected_;
    ReportSink on_report_;
};

}  // namespace

Status make_salvage_stream(const std::string& path, const ReadSettings& settings,
                           std::optional<std::vector<ColumnSpec>> columns, std::optional<ReadReport> expected,
                           std::shared_ptr<Waiter> waiter, ReportSink on_report, ArrowArrayStream* out) {
    auto control = std::make_unique<StreamControl>();
    const auto identity = current_identity(path);
    auto opened = stream::open_input(path, settings.read_size, *control, settings.encoding, settings.open_input);
    if (!opened.is_ok()) return std::move(opened).status();
    const BatchOptions batch = batch_options(settings, opened.value().window);
    auto pass = std::make_unique<SalvagePass>(std::move(control), std::move(opened).value(), path, identity, settings,
                                              batch, columns.value_or(std::vector<ColumnSpec>{}),
                                              std::move(expected), std::move(on_report));
    auto queue = std::make_unique<BatchQueue>(std::move(pass), std::move(waiter), batch.large_strings,
                                              std::move(columns));
    if (!make_array_stream(std::move(queue), out)) return Status::out_of_memory();
    return Status::ok();
}

}  // namespace brinewick::arrow
