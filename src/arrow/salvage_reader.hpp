// The reader that turns a damaged CSV file into a stream of Arrow record
// batches: the salvage classifies rows exactly as brinewick.salvage does, and
// the clean rows go straight into Arrow buffers.
//
// Passes (see arrow.hpp for why), each on the chunk pipeline (parallel_read.hpp):
//   - scan_input is pass 1: the whole file once, for the header, the width,
//     the column types, the summary and the quarantine and change records.
//   - make_salvage_stream runs the salvage again on a worker thread and hands
//     out bounded batches as the consumer pulls them. Given the columns from
//     pass 1 it checks that the file still says what it said then; without
//     them (all strings, a fixed width) it is the only pass, and names the
//     columns from the first clean row.
// The worker runs at most kBatchesAhead batches ahead of the consumer, so
// memory stays a few batches however large the file.
//
// No Python here: the waiting side is abstracted by Waiter, which the
// extension implements to release the interpreter lock and watch for Ctrl-C.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "../salvage/salvage.hpp"
#include "../stream/stream_rows.hpp"
#include "../stream/stream_salvage.hpp"
#include "array_stream.hpp"
#include "batch_builder.hpp"
#include "parallel_read.hpp"
#include "schema_scan.hpp"

namespace brinewick::arrow {

struct ReadSettings {
    SalvageOptions options;
    bool header = true;         // the first clean row names the columns
    bool infer = true;          // types="infer"; false keeps every column a string
    bool empty_as_null = true;  // an empty (or padded) field is null, not ""
    TypeOverrides overrides;    // dtypes
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
};

// Finished batches owned until a stream takes them; released otherwise.
class KeptBatches {
public:
    KeptBatches() = default;
    KeptBatches(const KeptBatches&) = delete;
    KeptBatches& operator=(const KeptBatches&) = delete;
    ~KeptBatches() { clear(); }

    void push(const ArrowArray& batch) { batches_.push_back(batch); }  // reserve first: may throw
    void reserve_one() { batches_.reserve(batches_.size() + 1); }
    void clear() noexcept;
    [[nodiscard]] bool empty() const noexcept { return batches_.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return batches_.size(); }
    // Moves out the oldest batch; false when none is left.
    [[nodiscard]] bool pop(ArrowArray* out) noexcept;
    // Converts string batches to `columns` on `threads` threads, each
    // string batch freed once converted. On a value that does not fit,
    // returns its message and leaves no batch.
    [[nodiscard]] std::string convert(const std::vector<ColumnSpec>& columns, std::size_t threads);

    bool large_strings = false;
    // The batches hold every column as strings, as read: each is converted
    // to the final columns when handed out.
    bool strings = false;
    // The file as pass 1 found it: a stream takes the batches only while
    // the path still names that file, unchanged.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t mtime_ns = 0;
        bool operator==(const Identity&) const = default;
    };
    Identity identity;

private:
    std::vector<ArrowArray> batches_;
    std::size_t next_ = 0;
};

struct ScanResult {
    std::vector<ColumnSpec> columns;
    ReadReport report;
    // Pass 1's batches of `columns`, the very batches pass 2 would make; null
    // when pass 1 kept none (they passed keep_limit, the file moved or was
    // read on one thread).
    std::unique_ptr<KeptBatches> kept;
    // The settled dialect and the boundaries (ReadSettings::block_size);
    // none when the file is read on one thread (a line break as delimiter
    // or quote, or an empty file).
    std::optional<Dialect> dialect;
    std::vector<Boundary> boundaries;
};

// Why a read failed: the input (open, read, cancel) or the schema (dtypes).
struct ReadFailure {
    std::optional<stream::StreamError> stream;  // set for input failures
    std::string message;                         // set for schema failures
};

// One line for a stream error, as a consumer's exception text shows it.
[[nodiscard]] std::string describe(const stream::StreamError& error);

// Pass 1 over `path`.
[[nodiscard]] std::variant<ScanResult, ReadFailure> scan_input(const std::string& path,
                                                               const ReadSettings& settings,
                                                               stream::StreamControl& control);

// How a thread that wants a batch waits for the worker. `slice` blocks for
// at most a few tens of ms and returns true once the batch (or the end) is
// there. Returns false to give up: the stream then fails with ECANCELED.
class Waiter {
public:
    virtual ~Waiter() = default;
    [[nodiscard]] virtual bool wait(const std::function<bool()>& slice) = 0;
};

// Called once by the worker when a stream reaches the end of the file.
using ReportSink = std::function<void(const ReadReport&)>;

inline constexpr std::size_t kBatchesAhead = 2;
inline constexpr std::chrono::milliseconds kWaitSlice{20};

// An ArrowArrayStream over a fresh salvage of `path`, opened now (so an
// open error is returned at once, and a file unlinked later stays readable).
// `columns`: the schema from pass 1, or nullopt for a single pass.
// `expected`: pass 1's report, to detect a file that changed in between and
// to know which row is the header.
[[nodiscard]] std::optional<stream::StreamError> make_salvage_stream(
    const std::string& path, const ReadSettings& settings, std::optional<std::vector<ColumnSpec>> columns,
    std::optional<ReadReport> expected, std::shared_ptr<Waiter> waiter, ReportSink on_report,
    ArrowArrayStream* out);

// What `path` names now, if it is a regular file that was last modified
// long enough ago that a later write cannot share its timestamp (file
// systems stamp in ticks of up to a second or two).
[[nodiscard]] std::optional<KeptBatches::Identity> settled_identity(const std::string& path) noexcept;
// What `path` names now, however recent.
[[nodiscard]] std::optional<KeptBatches::Identity> current_identity(const std::string& path) noexcept;

// The rows of one part of `path`, from a boundary pass 1 noted (or the
// start) to the next (or the end), exactly as reading the whole file gives
// them: `columns` and `dialect` are the whole file's, `header_offset` the
// row that named the columns. Batches come back kept in memory.
struct SpanResult {
    std::unique_ptr<KeptBatches> batches;
    ReadReport report;
};
[[nodiscard]] std::variant<SpanResult, ReadFailure> read_span(const std::string& path, const ReadSettings& settings,
                                                              const Dialect& dialect,
                                                              const std::vector<ColumnSpec>& columns,
                                                              std::optional<std::uint64_t> header_offset,
                                                              const Boundary& start, std::optional<std::uint64_t> end,
                                                              stream::StreamControl& control);

// A stream over batches pass 1 kept (`columns` is their schema).
[[nodiscard]] bool make_kept_stream(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept,
                                    ArrowArrayStream* out);

// The quarantine ("line", "byte_offset", "reason", "raw") or the change
// records ("line", "byte_offset", "change", "detail") as a stream.
[[nodiscard]] bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);
[[nodiscard]] bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);

}  // namespace brinewick::arrow
