#include "parallel_read.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <system_error>

#include "../parser/utf8.hpp"
#include "../stream/table_start.hpp"
#include "column_names.hpp"

namespace brinewick::arrow {
namespace {

using stream::RowChange;
using stream::RowInfo;
using stream::StreamSummary;
namespace pipeline = stream::pipeline;

// The rows of one reading between two marks: the cells of each segment's
// first clean row stay out of its inference, since that row may turn out
// to be the header, which only the consumer can tell.
struct Segment {
    std::vector<ColumnInference> inference;
    std::size_t data_rows = 0;  // clean rows, the first one included
    std::size_t width = 0;
    bool has_first = false;
    std::vector<std::string> first;
    std::uint64_t first_offset = 0;

    void clear() noexcept {
        inference.clear();
        data_rows = 0;
        width = 0;
        has_first = false;
        first.clear();
        first_offset = 0;
    }
};

struct Reading : pipeline::ReadingState {
    // Batches the reading filled (at the batch limits), then the one it
    // fills now: cut like this, a placement that starts after some rows
    // drops them from one batch only.
    std::vector<BatchBuilder> filled;
    std::size_t filled_bytes = 0;
    std::optional<BatchBuilder> builder;
    bool building = false;
    std::vector<ColumnInference::TypeSet> fits;  // a batch's last row's BatchBuilder::read_fits
    // The reading starts where the file's data does, so its first clean row
    // names the columns: it is kept here, out of the cells.
    bool takes_header = false;
    bool has_header = false;
    std::vector<std::string> header;
    std::uint64_t header_offset = 0;
    // Building stopped (the cells passed held_limit, or a row would pass
    // 32-bit offsets): rows after the first `built` clean ones are left to
    // the consumer.
    bool overflow = false;
    std::size_t built = 0;
    std::size_t failures = 0;  // rows whose cells the column types refused
    Status failure;  // the first refusal
    std::size_t parsed = 0;  // rows parsed, clean or not
    std::size_t rows = 0;    // clean data rows
    std::array<Segment, 2> segments;  // before the mark, after it
    int segment = 0;
    std::vector<QuarantineRecord> quarantine;
    std::vector<ChangeRecord> changes;
    StreamSummary counts;

    void clear() noexcept {
        clear_state();
        filled.clear();
        filled_bytes = 0;
        takes_header = false;
        has_header = false;
        header.clear();
        header_offset = 0;
        if (builder) builder->clear();
        building = false;
        overflow = false;
        built = 0;
        failures = 0;
        failure = Status::ok();
        parsed = 0;
        rows = 0;
        for (Segment& s : segments) s.clear();
        segment = 0;
        quarantine.clear();
        changes.clear();
        counts = StreamSummary{};
    }
};

struct Mark {
    std::size_t parsed = 0;
    std::size_t rows = 0;
    std::size_t quarantine = 0;
    std::size_t changes = 0;
    std::size_t failures = 0;
    std::size_t built = 0;
    StreamSummary counts;
    std::size_t line = 0;
    bool second = false;  // from the second segment on
};

// Whether a clean row is the header an earlier pass found.
bool is_known_header(const RowPlan& plan, std::uint64_t offset) noexcept {
    return plan.header == HeaderMode::AtOffset && offset == plan.header_offset;
}

// Appends a row (a RowBuffer or its field texts), widening a
// variable-width table first.
template <typename Row>
AppendResult append_cells(BatchBuilder& builder, const Row& row, bool variable_width) {
    if (variable_width && row.size() > builder.columns().size()) {
        builder.add_columns(string_columns(row.size() - builder.columns().size()));
    }
    return builder.append_row(row);
}

// A parsed row's fields, read as a clean row's field texts are.
struct RowFields {
    const RowBuffer& row;
    [[nodiscard]] std::size_t size() const noexcept { return row.size(); }
    [[nodiscard]] std::string_view operator[](std::size_t i) const noexcept { return row.field(i); }
};
AppendResult append_cells(BatchBuilder& builder, const RowFields& fields, bool variable_width) {
    return append_cells(builder, fields.row, variable_width);
}

class RowFormatter {
public:
    using Reading = arrow::Reading;
    using Mark = arrow::Mark;

    RowFormatter(const RowPlan& plan, std::uint64_t data_start)
        : plan_(&plan),
          data_start_(data_start),
          too_few_(too_few_columns_reason(plan.dialect.expected_columns)),
          extra_(extra_columns_reason(plan.dialect.expected_columns)),
          stash_(plan.infer || plan.header == HeaderMode::FirstRow) {}

    void prepare(Reading& reading, std::size_t, std::uint64_t text_offset) {
        reading.takes_header = plan_->header == HeaderMode::FirstRow && text_offset == data_start_;
        reading.building = plan_->build == nullptr || plan_->build->load(std::memory_order_relaxed);
    }

    [[nodiscard]] Mark mark(Reading& reading, std::size_t line) const {
        reading.segment = 1;
        Mark m;
        m.parsed = reading.parsed;
        m.rows = reading.rows;
        m.quarantine = reading.quarantine.size();
        m.changes = reading.changes.size();
        m.failures = reading.failures;
        m.built = reading.built;
        m.counts = reading.counts;
        m.line = line;
        m.second = true;
        return m;
    }

    void add(Reading& reading, RowBuffer& row, const stream::RowNotes& events, const RowInfo& info,
             std::size_t line_after, std::size_t) {
        ++reading.parsed;
        const RowVerdict verdict =
            stream::describe_row(row, events, info, line_after, plan_->options, plan_->dialect, changes_);
        stream::count_row(reading.counts, verdict, changes_);
        if (is_set_aside(verdict)) {
            if (plan_->keep_records) {
                QuarantineRecord& record = reading.quarantine.emplace_back();
                record.line = info.line;
                record.byte_offset = info.byte_offset;
                const std::string_view aside = stream::set_aside_reason(verdict);
                if (aside.empty()) {
                    record.reason = verdict == RowVerdict::TooFew ? too_few_ : extra_;
                } else {
                    record.reason = aside;
                }
                record.counts = stream::quarantine_field_counts(plan_->dialect.expected_columns, row.size());
                append_text_with_fallback(record.raw, row.fallback(),
                                          reinterpret_cast<const unsigned char*>(info.raw.data()), info.raw.size());
            }
            return;
        }
        if (plan_->keep_records) {
            for (const RowChange& change : changes_) {
                ChangeRecord& record = reading.changes.emplace_back();
                record.line = info.line;
                record.byte_offset = info.byte_offset;
                record.kind = change.kind;
                record.counts = stream::change_field_counts(change);
                stream::append_change_detail(record.detail, change);
            }
        }
        if (stream::row_skipped(changes_)) return;
        take_clean(reading, RowFields{row}, info);
    }

    // Whether add_fields may be given the rows that are clean as they stand.
    [[nodiscard]] bool takes_fields() const noexcept { return plan_->clean_rows_by_fields; }

    // A row that is clean as it stands, by its field texts: what add makes
    // of it, which keeps it with nothing changed.
    void add_fields(Reading& reading, std::span<const std::string_view> fields, const RowInfo& info, std::size_t,
                    std::size_t) {
        ++reading.parsed;
        stream::count_row(reading.counts, RowVerdict::Kept, {});
        take_clean(reading, fields, info);
    }

private:
    // A row kept: the header, or a data row's cells and inference.
    template <typename Fields>
    void take_clean(Reading& reading, const Fields& fields, const RowInfo& info) {
        if (is_known_header(*plan_, info.byte_offset)) return;
        if (reading.takes_header && !reading.has_header) {
            reading.has_header = true;
            reading.header_offset = info.byte_offset;
            for (std::size_t i = 0; i < fields.size(); ++i) reading.header.emplace_back(fields[i]);
            return;
        }
        if (!plan_->check.empty()) check_types(reading, fields, info);
        // Built first: the types its values were read in spare inference a second reading.
        using Fits = std::span<const ColumnInference::TypeSet>;
        const Fits fits = reading.building && !reading.overflow ? build(reading, fields) : Fits();
        observe(reading.segments[static_cast<std::size_t>(reading.segment)], fields, info.byte_offset, fits);
        ++reading.rows;
    }

    // Records each value of a data row that its column's type cannot hold.
    template <typename Fields>
    void check_types(Reading& reading, const Fields& fields, const RowInfo& info) {
        const std::vector<ColumnSpec>& columns = plan_->check;
        std::size_t found = 0;
        for (std::size_t i = 0; i < fields.size() && i < columns.size(); ++i) {
            const ColumnType type = columns[i].type;
            const std::string_view v = fields[i];
            if (type == ColumnType::Utf8 || plan_->batch.null_cell(v)) continue;
            if (fits(type, v, plan_->batch.thousands)) continue;
            ++found;
            if (!plan_->keep_records) continue;
            ChangeRecord& record = reading.changes.emplace_back();
            record.line = info.line;
            record.byte_offset = info.byte_offset;
            record.kind = stream::ChangeKind::TypeError;
            record.column = columns[i].name;
            record.detail.append("column '").append(columns[i].name).append("' is ");
            record.detail.append(column_type_name(type)).append(": '").append(v).append("' read as null");
        }
        if (found == 0) return;
        reading.counts.changes[static_cast<std::size_t>(stream::ChangeKind::TypeError)] += found;
        if (changes_.empty()) ++reading.counts.changed_rows;
    }

    static bool fits(ColumnType type, std::string_view v, char thousands) noexcept {
        ColumnInference one;
        one.observe(v, false, thousands);
        return one.admits(type);
    }

    // `fits`: what each value fits as the row was built (BatchBuilder::read_fits), if it was.
    template <typename Fields>
    void observe(Segment& segment, const Fields& row, std::uint64_t offset,
                 std::span<const ColumnInference::TypeSet> fits) {
        const std::size_t n = row.size();
        ++segment.data_rows;
        segment.width = std::max(segment.width, n);
        if (stash_ && !segment.has_first) {
            segment.has_first = true;
            segment.first_offset = offset;
            segment.first.reserve(n);
            for (std::size_t i = 0; i < n; ++i) segment.first.emplace_back(row[i]);
            return;
        }
        if (!plan_->infer) return;
        if (segment.inference.size() < n) segment.inference.resize(n);
        const bool tolerant = plan_->tolerant;
        const char thousands = plan_->batch.thousands;
        for (std::size_t i = 0; i < n; ++i) {
            ColumnInference& col = segment.inference[i];
            if (col.settled_as_string()) continue;
            if (i < fits.size() && fits[i] != 0) {
                if (col.observe_fitting(fits[i])) continue;
                col.observe(row[i], tolerant, thousands);  // a value read is not null
                continue;
            }
            const std::string_view v = row[i];
            if (plan_->batch.null_cell(v)) continue;
            col.observe(v, tolerant, thousands);
        }
    }

    // The row's BatchBuilder::read_fits, valid until the next row is
    // built; none when it was not appended.
    template <typename Fields>
    std::span<const ColumnInference::TypeSet> build(Reading& reading, const Fields& row) {
        // Made at the first row to build: a reading of only a header (or of
        // rows set aside) holds no builder of the table's width.
        if (!reading.builder) reading.builder.emplace(plan_->columns, plan_->batch);
        for (;;) {
            BatchBuilder& builder = *reading.builder;
            switch (append_cells(builder, row, plan_->variable_width)) {
                case AppendResult::Ok: {
                    ++reading.built;
                    std::span<const ColumnInference::TypeSet> fits = builder.read_fits();
                    if (builder.full()) {
                        reading.fits.assign(fits.begin(), fits.end());  // the builder moves
                        fits = reading.fits;
                        next_batch(reading);
                    }
                    if (reading.filled_bytes + reading.builder->bytes() > plan_->held_limit) reading.overflow = true;
                    return fits;
                }
                case AppendResult::Full:  // past 32-bit offsets: a new batch takes the row
                    next_batch(reading);
                    continue;
                case AppendResult::Refused:
                    // Counted, not fatal: a row read before the chunk's true
                    // start may hold anything, and is dropped with its count.
                    if (reading.failures++ == 0) reading.failure = builder.refusal();
                    return {};
            }
        }
    }

    void next_batch(Reading& reading) {
        std::shared_ptr<std::vector<ColumnSpec>> columns = reading.builder->shared_columns();
        reading.filled_bytes += reading.builder->bytes();
        reading.filled.push_back(std::move(*reading.builder));
        reading.builder.emplace(std::move(columns), plan_->batch);
    }

    const RowPlan* plan_;
    std::uint64_t data_start_;
    std::string too_few_;
    std::string extra_;
    bool stash_;
    std::vector<RowChange> changes_;
};

// Places readings: records and counts in order, line numbers made absolute,
// the header told apart, and each reading's cells finished as a batch.
class RowEmitter {
public:
    RowEmitter(const RowPlan& plan, const RowOutput& output, RowResult& result, const pipeline::Shared& shared)
        : plan_(plan), output_(output), result_(result), shared_(shared) {}

    Status emit(Reading& reading, const Mark& from, std::size_t base, std::string_view text, std::size_t start,
                std::uint64_t text_offset) {
        pipeline::add_counts(result_.summary, reading.counts, from.counts);
        for (std::size_t i = from.quarantine; i < reading.quarantine.size(); ++i) {
            QuarantineRecord& r = reading.quarantine[i];
            r.line = base + (r.line - from.line);
            result_.records.quarantine.push_back(std::move(r));
        }
        for (std::size_t i = from.changes; i < reading.changes.size(); ++i) {
            ChangeRecord& r = reading.changes[i];
            r.line = base + (r.line - from.line);
            result_.records.changes.push_back(std::move(r));
        }
        if (reading.failures > from.failures) return reading.failure;

        if (reading.has_header && !from.second && plan_.header == HeaderMode::FirstRow && !result_.header_offset) {
            result_.header_offset = reading.header_offset;
            std::vector<std::string_view> fields(reading.header.begin(), reading.header.end());
            result_.scanner.add_row(std::span<const std::string_view>(fields));
            if (output_.on_header && !output_.on_header(reading.header)) return Status::cancelled();
        }
        // The segments this placement covers, in file order.
        bool header_here = false;
        for (std::size_t s = from.second ? 1 : 0; s < 2; ++s) {
            Segment& segment = reading.segments[s];
            if (segment.has_first) {
                if (plan_.header == HeaderMode::FirstRow && !result_.header_offset) {
                    header_here = true;
                    result_.header_offset = segment.first_offset;
                    std::vector<std::string_view> fields(segment.first.begin(), segment.first.end());
                    result_.scanner.add_row(std::span<const std::string_view>(fields));
                    if (output_.on_header && !output_.on_header(segment.first)) return Status::cancelled();
                    --segment.data_rows;
                } else {
                    std::vector<std::string_view> fields(segment.first.begin(), segment.first.end());
                    result_.scanner.add_row(std::span<const std::string_view>(fields));
                    --segment.data_rows;
                }
            }
            result_.scanner.merge(segment.data_rows, segment.width, segment.inference);
        }
        if (!reading.building) return Status::ok();
        // A header taken here is the first clean row placed: when built, it
        // is the first cell row after the mark.
        const std::size_t header_built = header_here && reading.built > from.built ? 1 : 0;
        std::size_t skip = from.built + header_built;
        const auto place = [&](BatchBuilder& builder) -> Status {
            if (skip >= builder.rows()) {
                skip -= builder.rows();
                builder.clear();
                return Status::ok();
            }
            builder.drop_front(skip);
            skip = 0;
            return deliver(builder);
        };
        for (BatchBuilder& builder : reading.filled) {
            BRINEWICK_RETURN_IF_ERROR(place(builder));
        }
        if (reading.builder) BRINEWICK_RETURN_IF_ERROR(place(*reading.builder));
        if (reading.overflow) {
            return rebuild(reading, from, text, start, text_offset, reading.built - from.built - header_built);
        }
        return Status::ok();
    }

private:
    Status deliver(BatchBuilder& builder) {
        ArrowArray batch{};
        if (output_.on_typed_batch) {
            TypedCopies copies;
            builder.finish(&batch, copies);
            if (!output_.on_typed_batch(batch, copies)) return Status::cancelled();
            return Status::ok();
        }
        builder.finish(&batch);
        if (!output_.on_batch(batch)) return Status::cancelled();
        return Status::ok();
    }

    // Builds the rows a reading left unbuilt: parses them again from the
    // placement's start, skipping the first `done` clean rows, in batches
    // that respect the batch limits.
    Status rebuild(const Reading& reading, const Mark& from, std::string_view text, std::size_t start,
                   std::uint64_t text_offset, std::size_t done) {
        const SalvageOptions& options = plan_.options;
        ResilientParser parser(text, plan_.dialect.delimiter, options.quote_char, options.repair_quotes, start, 0);
        const stream::RepairSettings repair = stream::repair_settings(options, plan_.dialect);
        CancelCheck check(&pipeline::go_on, const_cast<pipeline::Shared*>(&shared_));
        parser.set_cancel_check(&check);
        BatchBuilder builder(plan_.columns, plan_.batch);
        RowBuffer row;
        row.set_fallback(shared_.fallback);
        std::size_t clean = 0;
        const bool asides = stream::sets_rows_aside(options, plan_.dialect);
        for (std::size_t n = from.parsed; n < reading.parsed; ++n) {
            const std::size_t at = parser.position();
            if (!parser.next_row(row) || check.stopped()) return Status::cancelled();
            const stream::RowNotes notes = stream::repair_row(parser, text, at, 0, row, repair);
            if (stream::skips_blank_row(row, options)) continue;
            const std::uint64_t offset = text_offset + at;
            if (asides && stream::set_aside_verdict(
                              offset, stream::row_text(text, at, parser.position(), notes.unclosed_quote), options,
                              plan_.dialect)) {
                continue;
            }
            const RowVerdict verdict = classify_row(row, options, plan_.dialect);
            if (is_set_aside(verdict)) continue;
            if (is_known_header(plan_, offset) || (result_.header_offset && *result_.header_offset == offset &&
                                                   plan_.header == HeaderMode::FirstRow)) {
                continue;
            }
            if (clean++ < done) continue;
            for (;;) {
                const AppendResult appended = append_cells(builder, row, plan_.variable_width);
                if (appended == AppendResult::Ok) break;
                if (appended == AppendResult::Refused) return builder.refusal();
                BRINEWICK_RETURN_IF_ERROR(deliver(builder));  // Full: a new batch takes the row
            }
            if (builder.full()) {
                BRINEWICK_RETURN_IF_ERROR(deliver(builder));
            }
        }
        if (builder.rows() > 0) return deliver(builder);
        return Status::ok();
    }

    const RowPlan& plan_;
    const RowOutput& output_;
    RowResult& result_;
    const pipeline::Shared& shared_;
};

}  // namespace

Result<RowResult> run_row_pipeline(stream::InputWindow& window, const RowPlan& plan, const RowOutput& output,
                                   std::size_t jobs, std::size_t chunk_size, const pipeline::Span& span,
                                   stream::StreamControl& control) {
    RowResult result(
        ScanOptions{plan.header == HeaderMode::FirstRow, plan.infer, plan.batch.empty_as_null, plan.tolerant, plan.decimal,
                    plan.batch.thousands, plan.batch.null_texts});
    std::atomic<bool> abort{false};
    const pipeline::Shared shared{&plan.options, plan.dialect, &control.cancel, &abort, window.fallback()};
    RowEmitter emitter(plan, output, result, shared);
    const std::uint64_t start = span.start_in_row ? UINT64_MAX : window.offset();
    auto ran = pipeline::run_pipeline<RowFormatter, RowEmitter>(
        window, jobs, chunk_size, shared, [&plan, start] { return RowFormatter(plan, start); }, emitter, span, abort,
        control.cancel, output.on_cut);
    if (!ran.is_ok()) return std::move(ran).status();
    result.line_after = ran.value();
    window.finish(result.summary);
    return result;
}

}  // namespace brinewick::arrow
