// The Arrow reader's rows on every core: the chunk pipeline with workers
// that classify rows and write their cells straight into Arrow builders, one
// per chunk, and an ordered consumer that turns each placed chunk into a
// record batch. Rows, records, line numbers and inferred types are those of
// one pass on one thread; only the cuts between batches follow the chunks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "../stream/chunk_pipeline.hpp"
#include "../stream/input_window.hpp"
#include "../stream/records.hpp"
#include "batch_builder.hpp"
#include "schema_scan.hpp"

namespace brinewick::arrow {

// The records' columns are those of stream/records.hpp.
struct QuarantineRecord {
    std::uint64_t line = 0;
    std::uint64_t byte_offset = 0;
    std::string reason;
    std::optional<stream::FieldCounts> counts{};
    std::string raw;  // the row's input text, invalid UTF-8 replaced by U+FFFD
};

struct ChangeRecord {
    std::uint64_t line = 0;
    std::uint64_t byte_offset = 0;
    stream::ChangeKind kind = stream::ChangeKind::Padded;
    std::string column;  // the column's name, for a type error; else empty (null in the table)
    std::optional<stream::FieldCounts> counts{};
    std::string detail;
};

struct ReadRecords {
    std::vector<QuarantineRecord> quarantine;
    std::vector<ChangeRecord> changes;
};

enum class HeaderMode : std::uint8_t {
    None,      // every clean row is data
    FirstRow,  // the first clean row names the columns
    AtOffset,  // the clean row at header_offset is the header (found by an earlier pass)
};

struct RowPlan {
    SalvageOptions options;
    Dialect dialect;
    // The builders' columns. With variable_width, rows wider than them add
    // string columns (a pass that finds the table's width).
    std::shared_ptr<std::vector<ColumnSpec>> columns = std::make_shared<std::vector<ColumnSpec>>();
    bool variable_width = false;
    BatchOptions batch;
    bool infer = false;  // observe every value for type inference
    bool tolerant = false;  // ... counting what each type misses (type_errors="null")
    char decimal = 0;       // the only decimal mark the types may read (0: per column)
    // Types to check every data row's values against, each misfit recorded
    // as a type_error change (a tolerant read's second look); empty: none.
    std::vector<ColumnSpec> check;
    HeaderMode header = HeaderMode::None;
    std::uint64_t header_offset = 0;
    bool keep_records = true;
    // Rows that are clean as they stand are taken by their field texts, past
    // the full parse and the row's verdict (off: every row goes through
    // them, which gives the same result; for comparing the two).
    bool clean_rows_by_fields = true;
    // Cells a chunk's reading may hold (bytes) before it stops building and
    // leaves its rows to the consumer, which builds them in bounded batches.
    std::size_t held_limit = std::size_t{64} << 20;
    // Cleared by the consumer once no more cells are wanted (a pass that
    // keeps batches only up to a limit); null: cells are always built.
    const std::atomic<bool>* build = nullptr;
};

// What the ordered consumer hands on. Each returns false to stop the run.
struct RowOutput {
    // FirstRow: the header's fields, once, before any batch.
    std::function<bool(const std::vector<std::string>&)> on_header;
    // A finished batch (ownership passes); its width may be below the
    // table's with variable_width.
    std::function<bool(ArrowArray&)> on_batch;
    // Instead, with BatchOptions::typed_copies: the batch and its typed copies (both passed on).
    std::function<bool(ArrowArray&, TypedCopies&)> on_typed_batch;
    // Where the parse stands after each chunk (see CutHook); may be empty.
    stream::pipeline::CutHook on_cut;
};

struct RowResult {
    stream::StreamSummary summary;  // dialect fields left to the caller
    SchemaScanner scanner;           // header, width and inference of the clean rows
    ReadRecords records;
    std::optional<std::uint64_t> header_offset;  // where the header row stood
    std::size_t line_after = 1;                  // the line after the last row
    explicit RowResult(ScanOptions options) : scanner(options) {}
};

// Runs `plan` over the window, whose view starts at the span's first byte
// (behind any BOM), on `jobs` threads.
// A cell the plan's types refuse (the file changed since an earlier pass)
// fails the run as Status::Kind::Invalid, the refusal's text its message.
[[nodiscard]] Result<RowResult> run_row_pipeline(
    stream::InputWindow& window, const RowPlan& plan, const RowOutput& output, std::size_t jobs,
    std::size_t chunk_size, const stream::pipeline::Span& span, stream::StreamControl& control);

}  // namespace brinewick::arrow
