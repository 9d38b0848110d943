// One part of the file, between two row boundaries pass 1 noted, read with
// the whole file's dialect and columns; its batches are kept, in order.
#include <memory>
#include <utility>

#include "../stream/stream_rows.hpp"
#include "read_pass.hpp"

namespace brinewick::arrow {

using stream::InputWindow;
using stream::StreamControl;

Result<SpanResult> read_span(const std::string& path, const ReadSettings& settings, const Dialect& dialect,
                             const std::vector<ColumnSpec>& columns, std::optional<std::uint64_t> header_offset,
                             const Boundary& start, std::optional<std::uint64_t> end, StreamControl& control) {
    const auto started = PassClock::now();
    auto opened = stream::open_input(path, settings.read_size, control, settings.encoding, settings.open_input);
    if (!opened.is_ok()) return std::move(opened).status();
    InputWindow& window = opened.value().window;
    const BatchOptions batch = batch_options(settings, window);
    BRINEWICK_RETURN_IF_ERROR(start.offset == 0 ? stream::skip_bom(window) : window.seek(start.offset));
    RowPlan plan = row_plan(settings, dialect, batch);
    plan.columns = std::make_shared<std::vector<ColumnSpec>>(columns);
    plan.header = header_offset ? HeaderMode::AtOffset : HeaderMode::None;
    plan.header_offset = header_offset.value_or(0);
    // The part's values its types cannot hold are nulls: each is recorded, as the whole read records it.
    if (settings.null_type_errors) plan.check = columns;
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
    if (!ran.is_ok()) return input_changed_if_refused(std::move(ran).status());
    RowResult& rows = ran.value();
    result.report.summary = pass_summary(rows, dialect);
    result.report.summary.bytes_read = window.offset() - start.offset;
    stream::note_decoding(result.report.summary, *opened.value().state);
    result.report.header_offset = header_offset;
    result.report.records = std::make_shared<const ReadRecords>(std::move(rows.records));
    result.report.seconds = seconds_since(started);
    return result;
}

}  // namespace brinewick::arrow
