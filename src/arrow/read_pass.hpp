// What the reader's passes (scan_input, the salvage stream, read_span)
// share: the batch options and the row plan made from the caller's
// settings, the summary a pass reports, and how its failures read.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "../stream/input_window.hpp"
#include "parallel_read.hpp"
#include "salvage_reader.hpp"

namespace brinewick::arrow {

using PassClock = std::chrono::steady_clock;
[[nodiscard]] double seconds_since(PassClock::time_point start);

// Whether every row is held to one width (expected_columns=0 turns it off).
[[nodiscard]] bool fixed_width(const SalvageOptions& options) noexcept;

// The batches' options for the file `control` was opened on; every pass
// and stream of one file gets the same.
[[nodiscard]] BatchOptions batch_options(const ReadSettings& settings, const stream::InputWindow& window);

// The plan each pass starts from; it sets the columns and the header.
[[nodiscard]] RowPlan row_plan(const ReadSettings& settings, const Dialect& dialect, const BatchOptions& batch);

// The columns before any clean row says more: the dialect's width, at least
// one (a file of blank lines has rows of one field).
[[nodiscard]] std::size_t table_width(const Dialect& dialect) noexcept;

// What a pass over rows in `dialect` counted.
[[nodiscard]] stream::StreamSummary pass_summary(const RowResult& rows, const Dialect& dialect);
// What a pass over an empty file counted: nothing, with the bytes read
// (none) and the delimiter of a salvage of nothing.
[[nodiscard]] stream::StreamSummary empty_summary(const stream::InputWindow& window, stream::StreamControl& control);

// A file that changed since the pass that chose the column types, `why`
// saying how: a cell the types refused, or other counts.
[[nodiscard]] Status changed_input(std::string_view why);
// `status`, or the changed file it means when the row pipeline failed as
// Invalid on a refused cell.
[[nodiscard]] Status input_changed_if_refused(Status status);

}  // namespace brinewick::arrow
