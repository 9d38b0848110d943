// Pass 1: every row of the file once, on the chunk pipeline, for the
// columns (header, width, types), the summary and the records. It also
// keeps the string batches it builds, while they stay under keep_limit, so
// that a file that stands still is read only once: the first stream hands
// them out, converted to the final types.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "../stream/stream_rows.hpp"
#include "column_names.hpp"
#include "read_pass.hpp"

namespace brinewick::arrow {
namespace {

using stream::InputWindow;
using stream::StreamControl;

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

// The table's columns once every row is scanned: names, inferred types (or
// strings), overrides applied. Fails as Invalid on a bad override.
Status final_columns(const SchemaScanner& scanner, const ReadSettings& settings,
                                         std::vector<ColumnSpec>& out) {
    auto columns = scanner.columns(settings.overrides);
    if (auto* message = std::get_if<std::string>(&columns)) return Status::invalid(std::move(*message));
    out = std::move(std::get<std::vector<ColumnSpec>>(columns));
    if (!settings.infer) {
        for (ColumnSpec& spec : out) {
            const bool named = std::any_of(settings.overrides.begin(), settings.overrides.end(),
                                           [&](const auto& o) { return o.first == spec.name; });
            if (!named) spec.type = ColumnType::Utf8;
        }
    }
    return Status::ok();
}

// A tolerant read's second look at the rows, once the types are known: the
// records again, in order, each value its column's type cannot hold among
// them as a type_error change, and the counts with those changes.
Status record_type_errors(const std::string& path, const Dialect& dialect, const ReadSettings& settings,
                          const ScanOptions& scan, const std::vector<ColumnSpec>& columns,
                          std::optional<std::uint64_t> header_offset, StreamControl& control, RowResult& rows) {
    auto opened = stream::open_input(path, settings.read_size, control, settings.encoding, settings.open_input);
    if (!opened.is_ok()) return std::move(opened).status();
    InputWindow& window = opened.value().window;
    BRINEWICK_RETURN_IF_ERROR(stream::skip_bom(window));
    RowPlan plan = row_plan(settings, dialect, batch_options(settings, window));
    plan.columns = std::make_shared<std::vector<ColumnSpec>>(string_columns(table_width(dialect)));
    plan.variable_width = !fixed_width(settings.options);
    plan.header = scan.header && header_offset ? HeaderMode::AtOffset : HeaderMode::None;
    plan.header_offset = header_offset.value_or(0);
    const std::atomic<bool> build{false};
    plan.build = &build;
    plan.check = columns;
    RowOutput output;
    output.on_batch = [](ArrowArray& array) {
        if (array.release != nullptr) array.release(&array);
        return true;
    };
    auto ran = run_row_pipeline(window, plan, output, settings.jobs, settings.chunk_size, stream::pipeline::Span{},
                                control);
    if (!ran.is_ok()) return std::move(ran).status();
    rows.records = std::move(ran.value().records);
    rows.summary.changes = ran.value().summary.changes;
    rows.summary.changed_rows = ran.value().summary.changed_rows;
    return Status::ok();
}

// An empty file: no row, so no column (and no dtypes entry can name one).
Result<ScanResult> scan_empty(const InputWindow& window, const ReadSettings& settings, const ScanOptions& scan,
                              PassClock::time_point started, StreamControl& control) {
    ScanResult result;
    result.report.summary = empty_summary(window, control);
    BRINEWICK_RETURN_IF_ERROR(final_columns(SchemaScanner(scan), settings, result.columns));
    result.report.records = std::make_shared<const ReadRecords>();
    result.report.seconds = seconds_since(started);
    return result;
}

Result<ScanResult> scan_rows(const std::string& path, InputWindow& window, const Dialect& dialect,
                             const ReadSettings& settings, const ScanOptions& scan,
                             const std::optional<KeptBatches::Identity>& before, PassClock::time_point started,
                             StreamControl& control) {
    BRINEWICK_RETURN_IF_ERROR(stream::skip_bom(window));
    const BatchOptions batch = batch_options(settings, window);
    const bool fixed = fixed_width(settings.options);
    RowPlan plan = row_plan(settings, dialect, batch);
    plan.columns = std::make_shared<std::vector<ColumnSpec>>(string_columns(table_width(dialect)));
    plan.variable_width = !fixed;
    plan.infer = scan.infer;
    plan.tolerant = scan.tolerant;
    plan.decimal = scan.decimal;
    plan.header = scan.header ? HeaderMode::FirstRow : HeaderMode::None;
    // Typed as well as kept: a column whose type holds is then not read twice.
    plan.batch.typed_copies = scan.infer && settings.keep_limit > 0;
    plan.batch.decimal = scan.decimal;
    std::atomic<bool> build{settings.keep_limit > 0};
    plan.build = &build;
    auto kept = std::make_unique<KeptBatches>();
    kept->large_strings = batch.large_strings;
    kept->strings = true;
    kept->null_misfits = settings.null_type_errors;
    kept->thousands = settings.thousands;
    std::size_t kept_bytes = 0;
    RowOutput output;
    std::vector<Boundary> boundaries;
    if (settings.block_size > 0 && window.can_rewind()) {
        // A row open at a cut may still be ended at its first line by the
        // repair stage, which reads the rows after it again: with repairs,
        // parts start only where no row is open, which nothing revises.
        const bool repairs = settings.options.repair_columns;
        output.on_cut = [&, repairs](std::uint64_t offset, std::size_t line, bool in_row) {
            if (repairs && in_row) return;
            const std::uint64_t last = boundaries.empty() ? 0 : boundaries.back().offset;
            if (offset - last >= settings.block_size) boundaries.push_back({offset, line, in_row});
        };
    }
    output.on_typed_batch = [&](ArrowArray& array, TypedCopies& copies) {
        struct Release {
            ArrowArray* a;
            ~Release() {
                if (a->release != nullptr) a->release(a);
            }
        } release{&array};
        if (!build.load(std::memory_order_relaxed)) return true;
        kept_bytes += string_batch_bytes(array, batch.large_strings) + copies.bytes();
        if (kept_bytes > settings.keep_limit) {
            build.store(false);
            kept->clear();
            return true;
        }
        kept->reserve_one();
        kept->push(array, std::move(copies));
        array.release = nullptr;
        return true;
    };
    auto ran = run_row_pipeline(window, plan, output, settings.jobs, settings.chunk_size, stream::pipeline::Span{},
                                control);
    if (!ran.is_ok()) return std::move(ran).status();
    RowResult& rows = ran.value();
    // A fixed width holds without a clean row too, as in a single pass.
    if (fixed) rows.scanner.merge(0, table_width(dialect), {});
    ScanResult result;
    BRINEWICK_RETURN_IF_ERROR(final_columns(rows.scanner, settings, result.columns));
    if (scan.tolerant && rows.scanner.has_misfits(result.columns)) {
        BRINEWICK_RETURN_IF_ERROR(record_type_errors(path, dialect, settings, scan, result.columns,
                                                     rows.header_offset, control, rows));
    }
    result.report.summary = pass_summary(rows, dialect);
    result.report.header_offset = rows.header_offset;
    result.report.records = std::make_shared<const ReadRecords>(std::move(rows.records));
    result.dialect = dialect;
    result.boundaries = std::move(boundaries);
    // A file that moved under the pass gave rows of two files.
    const auto now = current_identity(path);
    if (before && now && *before != *now) return changed_input("the file was written to during the first pass");
    result.report.identity = now;
    // Kept only for a file that stood still through the pass.
    const auto after = settled_identity(path);
    if (build.load() && before && after && *before == *after) {
        kept->identity = *after;
        // Converted here, on every core, rather than one batch at a time as
        // the consumer pulls them. String columns pass through untouched.
        const bool all_strings = std::all_of(result.columns.begin(), result.columns.end(),
                                             [](const ColumnSpec& c) { return c.type == ColumnType::Utf8; });
        if (!all_strings && kept->convert(result.columns, settings.jobs).empty()) result.kept = std::move(kept);
        if (all_strings) {
            kept->drop_copies();
            result.kept = std::move(kept);
        }
    }
    result.report.seconds = seconds_since(started);
    return result;
}

Result<ScanResult> scan_decoded(const std::string& path, InputWindow& window, const ReadSettings& settings,
                                const std::optional<KeptBatches::Identity>& before, PassClock::time_point started,
                                StreamControl& control) {
    // Forcing a type needs every value checked, with types="str" too.
    bool forced = false;
    for (const auto& [name, type] : settings.overrides) forced = forced || type != ColumnType::Utf8;
    const ScanOptions scan{settings.header, settings.infer || forced, settings.empty_as_null,
                           settings.null_type_errors, settings.decimal};
    auto settled = stream::settle_dialect_or_empty(window, settings.options);
    if (!settled.is_ok()) return std::move(settled).status();
    const auto& dialect = settled.value();
    if (dialect) return scan_rows(path, window, *dialect, settings, scan, before, started, control);
    auto empty = scan_empty(window, settings, scan, started, control);
    if (empty.is_ok() && before == current_identity(path)) empty.value().report.identity = before;
    return empty;
}

}  // namespace

Result<ScanResult> scan_input(const std::string& path, const ReadSettings& settings, StreamControl& control) {
    const auto started = PassClock::now();
    const auto before = current_identity(path);
    auto opened = stream::open_input(path, settings.read_size, control, settings.encoding, settings.open_input);
    if (!opened.is_ok()) return std::move(opened).status();
    InputWindow& window = opened.value().window;
    // Decoded text cannot be entered part way (its offsets are not the
    // file's): such a file is read as one part.
    ReadSettings own = settings;
    if (!window.can_rewind()) own.block_size = 0;
    auto scanned = scan_decoded(path, window, own, before, started, control);
    if (scanned.is_ok()) {
        stream::note_decoding(scanned.value().report.summary, *opened.value().state);
    }
    return scanned;
}

}  // namespace brinewick::arrow
