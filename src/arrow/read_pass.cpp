#include "read_pass.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace brinewick::arrow {

using stream::StreamError;

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

BatchOptions batch_options(const ReadSettings& settings, const stream::StreamControl& control) {
    // A size unknown (not a regular file) could be any size.
    const std::int64_t total = control.bytes_total.load();
    BatchOptions batch;
    batch.limits = settings.limits;
    batch.empty_as_null = settings.empty_as_null;
    batch.large_strings = needs_large_strings(total < 0 ? UINT64_MAX : static_cast<std::uint64_t>(total));
    return batch;
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

std::size_t table_width(const Dialect& dialect) noexcept { return std::max<std::size_t>(dialect.expected_columns, 1); }

stream::StreamSummary pass_summary(const RowResult& rows, const Dialect& dialect) {
    stream::StreamSummary summary = rows.summary;
    summary.counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    summary.counters.inferred_columns = dialect.expected_columns;
    return summary;
}

stream::StreamSummary empty_summary(const stream::InputWindow& window, stream::StreamControl& control) {
    stream::StreamSummary summary;
    summary.bytes_read = window.bytes_read();
    control.bytes_done.store(summary.bytes_read);
    return summary;
}

bool is_refusal(const StreamError& error) noexcept {
    return error.what == StreamError::What::Io && error.io.kind == IoError::Kind::Os && error.io.code == EINVAL &&
           !error.message.empty() && error.path.empty();
}

std::string changed_input(std::string_view why) {
    return "the input changed while it was read: " + std::string(why);
}

int errno_of(const StreamError& error) {
    if (error.what == StreamError::What::Cancelled) return ECANCELED;
    if (error.what == StreamError::What::Io) {
        if (error.io.kind == IoError::Kind::Os && error.io.code != 0) return error.io.code;
        if (error.io.kind == IoError::Kind::OutOfMemory) return ENOMEM;
    }
    return EIO;
}

std::string describe(const StreamError& error) {
    switch (error.what) {
        case StreamError::What::Cancelled: return "interrupted while reading the input";
        case StreamError::What::SameFile: return error.message;
        case StreamError::What::Io: break;
    }
    return error.path.empty() ? error.io.message() : error.path + ": " + error.io.message();
}

}  // namespace brinewick::arrow
