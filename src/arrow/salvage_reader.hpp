// The reader that turns a damaged CSV file into a stream of Arrow record
// batches: the salvage classifies rows exactly as brinewick.salvage does, and
// the clean rows go straight into Arrow buffers.
//
// Passes (see arrow.hpp for why), each on the chunk pipeline (parallel_read.hpp):
//   - scan_input is pass 1: the whole file once, for the header, the width,
//     the column types, the summary and the quarantine and change records.
//   - make_salvage_stream runs the salvage again on a worker thread and hands
//     out bounded batches as the consumer pulls them (batch_queue.hpp). Given
//     the columns from pass 1 it checks that the file still says what it said
//     then; without them (all strings, a fixed width) it is the only pass,
//     and names the columns from the first clean row.
//   - read_span reads one part of the file, from a row boundary pass 1 noted.
//
// The chunk pipeline cuts the input at line breaks, so rows must start at
// them: the dialect never has a line break (CR or LF) as its delimiter or
// quote. Every entry refuses one before it gets here. An empty file has no
// dialect, no row and no column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../salvage/salvage.hpp"
#include "../stream/stream_salvage.hpp"
#include "array_stream.hpp"
#include "batch_builder.hpp"
#include "batch_queue.hpp"
#include "kept_batches.hpp"
#include "parallel_read.hpp"
#include "record_tables.hpp"
#include "schema_scan.hpp"

namespace brinewick::arrow {

struct ReadSettings {
    SalvageOptions options;     // neither delimiter nor quote_char a line break
    stream::EncodingRequest encoding;
    bool header = true;         // the first clean row names the columns
    bool infer = true;          // types="infer"; false keeps every column a string
    bool empty_as_null = true;  // an empty (or padded) field is null, not ""
    TypeOverrides overrides;    // dtypes
    // type_errors="null": a column takes the type 99% of its values fit,
    // the others null and recorded as type_error changes.
    bool null_type_errors = false;
    char decimal = 0;  // decimal="," or "." (0: decided per column)
    char thousands = 0;  // thousands=",", ".", " " or "'" (0: none)
    NullTexts null_texts;  // null_values: texts read as null besides ""
    BatchLimits limits;
    std::size_t read_size = std::size_t{1} << 20;
    // Pass 1 also builds the batches as strings and keeps them while they
    // stay under this many buffer bytes: converted to the final columns,
    // the first stream hands them out instead of reading the file again.
    // 0: never.
    std::size_t keep_limit = std::size_t{256} << 20;
    // Threads that parse and classify, and the bytes of input each takes at
    // a time (tests use tiny pieces). Results are the same for any values.
    std::size_t jobs = 1;
    std::size_t chunk_size = std::size_t{1} << 20;
    // Pass 1 notes a row boundary every block_size bytes or so (0: none),
    // where a reader of part of the file may start.
    std::uint64_t block_size = 0;
    // Opens the input when it is not a file by its path.
    stream::SourceOpener open_input;
    // Rows that are clean as they stand are read by their field texts alone
    // (RowPlan::clean_rows_by_fields); off, every row takes the full parse.
    // Results are the same either way.
    bool clean_rows_by_fields = true;
};

// Where the parse stands at a line break: the offset just after it, the line
// there, and whether a row that began earlier runs on past it.
struct Boundary {
    std::uint64_t offset = 0;
    std::size_t line = 1;
    bool in_row = false;
};

// One pass over the file is enough only when nothing needs every row first:
// no inference, no overrides to check, and a fixed width.
[[nodiscard]] bool needs_scan(const ReadSettings& settings) noexcept;

// 64-bit string offsets when a field could pass 2 GiB: decoding may triple
// the size of invalid UTF-8, so a file above a third of that turns them on.
// Fixed by the file's size, so every pass and every stream of one file
// agrees on it.
[[nodiscard]] bool needs_large_strings(std::uint64_t file_size) noexcept;

// A finished pass: what the salvage counted and set aside.
struct ReadReport {
    stream::StreamSummary summary;
    std::optional<std::uint64_t> header_offset;  // where the row that named the columns stood
    std::shared_ptr<const ReadRecords> records;
    double seconds = 0;  // wall-clock time of the pass
    // The file the pass read (none for a stream): a later pass that finds
    // another, or this one changed, fails rather than mix the two.
    std::optional<KeptBatches::Identity> identity;
};

struct ScanResult {
    std::vector<ColumnSpec> columns;
    ReadReport report;
    // Pass 1's batches of `columns`, the very batches pass 2 would make; null
    // when pass 1 kept none (they passed keep_limit, the file moved, or it
    // was empty).
    std::unique_ptr<KeptBatches> kept;
    // The settled dialect and the boundaries (ReadSettings::block_size);
    // none for an empty file, which settles no dialect.
    std::optional<Dialect> dialect;
    std::vector<Boundary> boundaries;
};

// Pass 1 over `path`. Fails on the input (open, read, cancel), or as
// Status::Kind::Invalid on the schema (a dtypes entry that does not fit).
[[nodiscard]] Result<ScanResult> scan_input(const std::string& path, const ReadSettings& settings,
                                            stream::StreamControl& control);

// Called once by the worker when a stream reaches the end of the file.
using ReportSink = std::function<void(const ReadReport&)>;

// An ArrowArrayStream over a fresh salvage of `path`, opened now (so an
// open error is returned at once, and a file unlinked later stays readable).
// `columns`: the schema from pass 1, or nullopt for a single pass.
// `expected`: pass 1's report, to detect a file that changed in between and
// to know which row is the header.
[[nodiscard]] Status make_salvage_stream(
    const std::string& path, const ReadSettings& settings, std::optional<std::vector<ColumnSpec>> columns,
    std::optional<ReadReport> expected, std::shared_ptr<Waiter> waiter, ReportSink on_report,
    ArrowArrayStream* out);

// The rows of one part of `path`, from a boundary pass 1 noted (or the
// start) to the next (or the end), exactly as reading the whole file gives
// them: `columns` and `dialect` are the whole file's, `header_offset` the
// row that named the columns. Batches come back kept in memory.
struct SpanResult {
    std::unique_ptr<KeptBatches> batches;
    ReadReport report;
};
[[nodiscard]] Result<SpanResult> read_span(const std::string& path, const ReadSettings& settings, const Dialect& dialect,
                                           const std::vector<ColumnSpec>& columns,
                                           std::optional<std::uint64_t> header_offset, const Boundary& start,
                                           std::optional<std::uint64_t> end, stream::StreamControl& control);

}  // namespace brinewick::arrow
