#include "read_pass.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace brinewick::arrow {

double seconds_since(PassClock::time_point start) {
    return std::chrono::duration<double>(PassClock::now() - start).count();
}

bool fixed_width(const SalvageOptions& options) noexcept {
    return !options.expected_columns || *options.expected_columns != 0;
}

bool needs_scan(const ReadSettings& settings) noexcept {
    return settings.infer || !settings.overrides.empty() || !fixed_width(settings.options);
}

bool needs_large_strings(std::uint64_t file_size) noexcept {
    return file_size > static_cast<std::uint64_t>(INT32_MAX) / 3;
}

BatchOptions batch_options(const ReadSettings& settings, const stream::InputWindow& window) {
    // A size unknown (a stream, a compressed file) could be any size.
    const auto size = window.text_size();
    const std::int64_t total = size ? static_cast<std::int64_t>(*size) : -1;
    BatchOptions batch;
    batch.limits = settings.limits;
    batch.empty_as_null = settings.empty_as_null;
    batch.null_misfits = settings.null_type_errors;
    batch.thousands = settings.thousands;
    batch.null_texts = settings.null_texts;
    batch.large_strings = needs_large_strings(total < 0 ? UINT64_MAX : static_cast<std::uint64_t>(total));
    return batch;
}

RowPlan row_plan(const ReadSettings& settings, const Dialect& dialect, const BatchOptions& batch) {
    RowPlan plan;
    plan.options = settings.options;
    plan.dialect = dialect;
    plan.batch = batch;
    plan.clean_rows_by_fields = settings.clean_rows_by_fields;
    // A chunk's cells are about its size; far more means padding to a huge
    // width, which the consumer then builds in bounded batches instead.
    plan.held_limit = 4 * settings.chunk_size + (std::size_t{64} << 10);
    return plan;
}

std::size_t table_width(const Dialect& dialect) noexcept { return std::max<std::size_t>(dialect.expected_columns, 1); }

stream::StreamSummary pass_summary(const RowResult& rows, const Dialect& dialect) {
    stream::StreamSummary summary = rows.summary;
    summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.counters.inferred_columns = dialect.expected_columns;
    summary.header_line = dialect.table_line;
    return summary;
}

stream::StreamSummary empty_summary(const stream::InputWindow& window, [[maybe_unused]] stream::StreamControl& control) {
    stream::StreamSummary summary;
    window.finish(summary);
    return summary;
}

Status changed_input(std::string_view why) {
    return Status::invalid("the input changed while it was read: " + std::string(why));
}

Status input_changed_if_refused(Status status) {
    if (status.kind() != Status::Kind::Invalid) return status;
    return changed_input(status.message());
}

}  // namespace brinewick::arrow
