#include "stream_rows.hpp"

#include <algorithm>
#include <cstring>

#include "../heuristics/heuristics.hpp"
#include "table_start.hpp"

namespace brinewick::stream {
namespace {

// Rows and bytes between looks at the cancel flag: a few ms of parsing.
constexpr std::size_t kCheckRows = 4096;
constexpr std::uint64_t kCheckBytes = std::uint64_t{4} << 20;

}  // namespace

bool starts_with_bom(std::string_view text) noexcept {
    return text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
           static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF;
}

Status skip_bom(InputWindow& window) {
    while (window.view().size() < 3 && !window.at_end()) {
        BRINEWICK_RETURN_IF_ERROR(window.read_more(window.read_size()));
    }
    if (starts_with_bom(window.view())) window.discard_before(3);
    return Status::ok();
}

namespace {

// A byte that ends the wait for what a prefix lacks, in `text`.
bool holds_needed(std::string_view text, PrefixNeed need) noexcept {
    const auto holds = [text](char b) { return std::memchr(text.data(), b, text.size()) != nullptr; };
    return need == PrefixNeed::Quote ? holds('"') : holds('\n') || holds('\r');
}

Result<Dialect> settle_on_prefix(InputWindow& window, const SalvageOptions& options) {
    // Line breaks before the first row are blank rows, which the heuristics
    // pass over: the same answer comes with one of them as with all. A file
    // that opens with a long run of them is sniffed past it, not held whole,
    // and read again from the start once the dialect is settled (regular
    // files only). The run's last break stays: a BOM after it is a field's
    // bytes, which the heuristics would take for the file's own BOM at the
    // front of what they read.
    const bool skip_breaks = window.can_rewind() && !(options.delimiter && options.expected_columns);
    // The table stage's second look at the delimiter (table_delimiter).
    const bool table_sniff = options.find_header && !options.delimiter;
    // After a look that settled nothing: what it lacks, and the input
    // offset from which the bytes not yet searched for it start. A long row
    // is then parsed again only once a byte that can end it has come.
    PrefixNeed need = PrefixNeed::More;
    std::uint64_t unsearched = 0;
    for (;;) {
        if (skip_breaks) {
            const std::size_t breaks = leading_breaks(window.view());
            if (breaks > 1) window.discard_before(breaks - 1);
            if (breaks != 0 && window.view().size() == 1 && !window.at_end()) {
                BRINEWICK_RETURN_IF_ERROR(window.read_more(window.read_size()));
                continue;
            }
        }
        // A file held whole is settled once, as the whole text, rather
        // than first sniffed as a prefix (a parse of it all, for a long row).
        BRINEWICK_RETURN_IF_ERROR(window.learn_end());
        const std::string_view prefix = window.view();
        if (window.at_end()) {
            Dialect settled = settle_dialect(prefix, options);
            if (table_sniff) {
                if (const auto other = table_delimiter(prefix, settled.delimiter, true, options.comment)) {
                    settled.delimiter = *other;
                    settled.expected_columns = options.expected_columns.value_or(infer_column_count(prefix, *other));
                }
            }
            return settled;
        }
        if (need != PrefixNeed::More) {
            const std::size_t from =
                unsearched > window.offset() ? static_cast<std::size_t>(unsearched - window.offset()) : 0;
            if (holds_needed(prefix.substr(from), need)) need = PrefixNeed::More;
        }
        if (need == PrefixNeed::More) {
            const PrefixSniff sniffed = sniff_dialect_in_prefix(prefix, options.delimiter, options.expected_columns);
            if (sniffed.dialect && table_sniff) {
                const auto other = table_delimiter(prefix, sniffed.dialect->delimiter, false, options.comment);
                if (!other) return Dialect{sniffed.dialect->delimiter, sniffed.dialect->columns};
                const auto columns = options.expected_columns ? options.expected_columns
                                                              : infer_column_count_in_prefix(prefix, *other);
                if (columns) return Dialect{*other, *columns};
                need = PrefixNeed::More;  // the count under the other one needs more rows
            } else if (sniffed.dialect) {
                return Dialect{sniffed.dialect->delimiter, sniffed.dialect->columns};
            } else {
                need = sniffed.need;
            }
        }
        unsearched = window.offset() + prefix.size();
        // Doubling the prefix keeps repeated sniffing linear.
        BRINEWICK_RETURN_IF_ERROR(window.read_more(std::max(window.read_size(), prefix.size())));
    }
}

}  // namespace

// The in-memory salvage settles the dialect on the whole text; the same
// answer comes from any prefix on which the heuristics never reached the end.
Result<Dialect> settle_dialect_streamed(InputWindow& window, const SalvageOptions& options) {
    const std::uint64_t start = window.offset();
    auto settled = settle_on_prefix(window, options);
    if (settled.is_ok() && window.offset() != start) BRINEWICK_RETURN_IF_ERROR(window.rewind(start));
    return settled;
}

namespace {

// A blank line: its one field is empty or white space (the same test the
// heuristics use to skip rows).
bool is_blank_line(const RowBuffer& row, std::size_t parsed_fields) {
    return parsed_fields == 1 && is_blank_text(row.field(0));
}

}  // namespace

bool skips_blank_row(const RowBuffer& row, const SalvageOptions& options) {
    return options.skip_blank_lines && is_blank_line(row, row.size());
}

std::string_view row_text(std::string_view view, std::size_t start, std::size_t end,
                          bool unclosed_quote) noexcept {
    std::size_t raw_end = end;
    if (!unclosed_quote && raw_end > start) {
        // Outside quotes a CR or LF before the end is the row's line break.
        if (view[raw_end - 1] == '\n') {
            --raw_end;
            if (raw_end > start && view[raw_end - 1] == '\r') --raw_end;
        } else if (view[raw_end - 1] == '\r') {
            --raw_end;
        }
    }
    return view.substr(start, raw_end - start);
}

RowVerdict describe_row(RowBuffer& row, const RowNotes& events, const RowInfo& info,
                        std::size_t line_after, const SalvageOptions& options, const Dialect& dialect,
                        std::vector<RowChange>& changes) {
    changes.clear();
    const std::size_t parsed_fields = row.size();
    const std::size_t expected = dialect.expected_columns;
    if (skips_blank_row(row, options)) {
        changes.push_back({ChangeKind::BlankLine, 0, expected});
        return RowVerdict::Kept;
    }
    // The first row, behind any BOM: the line is at least "sep=X" long.
    if (dialect.separator_line && info.byte_offset <= 3) {
        changes.push_back({ChangeKind::SeparatorLine, 0, 0});
        return RowVerdict::Kept;
    }
    if (const auto aside = set_aside_verdict(info.byte_offset, info.raw, options, dialect)) return *aside;
    const RowVerdict verdict = classify_row(row, options, dialect);
    if (is_set_aside(verdict)) return verdict;
    if (verdict == RowVerdict::Padded && !is_blank_line(row, parsed_fields)) {
        changes.push_back({ChangeKind::Padded, parsed_fields, expected});
    }
    if (verdict == RowVerdict::Merged) changes.push_back({ChangeKind::Merged, parsed_fields, expected});
    if (events.stray_quotes != 0) changes.push_back({ChangeKind::StrayQuote, events.stray_quotes, 0});
    if (events.text_after_quote != 0) {
        changes.push_back({ChangeKind::TextAfterQuote, events.text_after_quote, 0});
    }
    if (events.unclosed_quote) {
        // Lines the row's text stands on; a final line break opens no new one.
        std::size_t lines = line_after - info.line + 1;
        if (lines > 1 && info.raw.back() == '\n') --lines;
        changes.push_back({ChangeKind::UnclosedQuote, lines, 0});
    }
    if (row.utf8_replacements() != 0) {
        changes.push_back({ChangeKind::InvalidUtf8, row.utf8_replacements(), 0});
    }
    if (row.transcoded_fields() != 0) {
        changes.push_back({ChangeKind::Transcoded, row.transcoded_fields(), 0, row.fallback()->name});
    }
    if (verdict == RowVerdict::Padded && is_blank_line(row, parsed_fields)) {
        changes.push_back({ChangeKind::BlankLine, 1, expected});
    }
    if (events.repair.requoted != 0) {
        changes.push_back({ChangeKind::Requoted, events.repair.requoted, expected, {}, events.repair.parsed_fields});
    }
    if (events.repair.trailing_empty != 0) {
        changes.push_back(
            {ChangeKind::TrailingEmpty, events.repair.trailing_empty, expected, {}, events.repair.parsed_fields});
    }
    if (events.repair.contained_lines != 0) {
        changes.push_back({ChangeKind::QuoteContained, events.repair.contained_lines, 0});
    }
    return verdict;
}

void count_row(StreamSummary& summary, RowVerdict verdict, std::span<const RowChange> changes,
               std::size_t rows) noexcept {
    SalvageSummary& counters = summary.counters;
    counters.total_rows += rows;
    if (row_skipped(changes)) {
        summary.changes[static_cast<std::size_t>(changes.front().kind)] += rows;
        return;
    }
    if (is_set_aside(verdict)) {
        counters.quarantined_rows += rows;
        switch (verdict) {
            case RowVerdict::Preamble: summary.preamble_rows += rows; break;
            case RowVerdict::Comment: summary.comment_rows += rows; break;
            case RowVerdict::RepeatedHeader: summary.repeated_headers += rows; break;
            case RowVerdict::ReorderedHeader: summary.reordered_headers += rows; break;
            case RowVerdict::NulPadding: summary.nul_rows += rows; break;
            default: break;
        }
        return;
    }
    counters.salvaged_rows += rows;
    if (verdict != RowVerdict::Kept) counters.repaired_rows += rows;
    if (!changes.empty()) summary.changed_rows += rows;
    for (const RowChange& change : changes) summary.changes[static_cast<std::size_t>(change.kind)] += rows;
}

RowReader::RowReader(InputWindow& window, const Dialect& dialect, const SalvageOptions& options,
                     std::optional<RowBoundary> from)
    : window_(window),
      delimiter_(dialect.delimiter),
      quote_char_(options.quote_char),
      repair_quotes_(options.repair_quotes),
      repair_(repair_settings(options, dialect)),
      started_(from.has_value() || window.offset() != 0),
      distinct_through_(distinct_through(dialect)),
      cancel_([](void* control) {
                  return !static_cast<StreamControl*>(control)->cancel.load(std::memory_order_relaxed);
              },
              &window.control()) {
    if (from) {
        position_ = static_cast<std::size_t>(from->offset - window.offset());
        line_ = from->line;
    }
}

void RowReader::restart_parser() {
    parser_.emplace(window_.view(), delimiter_, quote_char_, repair_quotes_, position_, line_);
    parser_->set_cancel_check(&cancel_);
}

bool RowReader::ready() {
    if (!started_) {
        // A BOM is skipped only at the very start of the input.
        if (window_.view().size() < 3 && !window_.at_end()) return false;
        if (starts_with_bom(window_.view())) position_ = 3;
        started_ = true;
        parser_.reset();
    }
    if (!parser_) restart_parser();
    return true;
}

RowReader::Step RowReader::next(RowBuffer& row, RowInfo& info) {
    for (;;) {
        if (!ready()) {
            if (Status error = window_.read_more(window_.read_size()); !error.is_ok()) {
                error_ = std::move(error);
                return Step::Failed;
            }
            continue;
        }
        const std::string_view view = window_.view();
        const std::size_t start = position_;
        const std::size_t line = parser_->line();
        if (parser_->next_row(row)) {
            const std::size_t end = parser_->position();
            if (end < view.size() || window_.at_end()) {
                // Copies of a row the repair stage looked at may read
                // otherwise (it sees past the row's first line): none skipped.
                notes_ = repair_row(*parser_, view, start, line, row, repair_);
                const std::size_t row_end = parser_->position();
                info.line = line;
                info.byte_offset = window_.offset() + start;
                info.raw = row_text(view, start, row_end, notes_.unclosed_quote);
                position_ = row_end;
                line_ = parser_->line();
                repeated_start_ = notes_.looked ? std::string_view::npos : start;
                repeated_line_ = line;
                return Step::Row;
            }
        } else if (window_.at_end()) {
            return Step::End;
        }
        // Not final: drop the finished rows, read more, parse this row again.
        const std::size_t pending = view.size() - start;
        window_.discard_before(start);
        position_ = 0;
        line_ = line;
        parser_.reset();
        if (Status error = window_.read_more(std::max(window_.read_size(), pending)); !error.is_ok()) {
            error_ = std::move(error);
            return Step::Failed;
        }
    }
}

std::size_t RowReader::skip_repeats() {
    if (!parser_ || repeated_start_ == std::string_view::npos) return 0;
    const std::size_t end = position_;
    const std::size_t period = end - repeated_start_;
    if (copies_differ(window_.offset() + repeated_start_, window_.view().substr(repeated_start_, period),
                      distinct_through_)) {
        return 0;
    }
    std::size_t copies = parser_->skip_repeats(repeated_start_, repeated_line_);
    if (copies == 0) return 0;
    if (parser_->position() >= window_.view().size() && !window_.at_end()) {
        // The last copy ends where the view does: it is not final (a CR
        // there may have its LF still to come). next() reads it again.
        --copies;
        parser_.reset();
    }
    const std::size_t lines = line_ - repeated_line_;
    position_ = end + copies * period;
    line_ += copies * lines;
    repeated_start_ = position_ - period;
    repeated_line_ = line_ - lines;
    return copies;
}

bool RowReader::next_may_be_set_aside(const SalvageOptions& options, const Dialect& dialect) const noexcept {
    return may_be_set_aside(window_.view(), position_, window_.offset() + position_, options, dialect);
}

std::optional<std::string_view> RowReader::next_verbatim_line(std::size_t fields,
                                                              ResilientParser::VerbatimLine& shape) {
    repeated_start_ = std::string_view::npos;
    // Set up here too: the first row (a file's only one, it may be long) is
    // taken whole like the rest. next() reads what setting up lacks.
    if (!ready()) return std::nullopt;
    const std::string_view view = window_.view();
    const std::size_t start = position_;
    const auto line = parser_->next_verbatim_line(fields);
    if (!line) return std::nullopt;
    const std::size_t end = parser_->position();
    if (end >= view.size() && !window_.at_end()) {
        // A CR at the end of what is read may have its LF still to come:
        // next() reads more and parses the row again.
        parser_.reset();
        return std::nullopt;
    }
    position_ = end;
    line_ = parser_->line();
    shape = *line;
    return view.substr(start, line->end - start);
}

namespace {

// The delimiter Excel's first line "sep=X" names (behind a BOM), or nullopt.
Result<std::optional<std::uint8_t>> excel_separator(InputWindow& window) {
    constexpr std::string_view kSep = "sep=";
    for (;;) {
        std::string_view text = window.view();
        if (starts_with_bom(text)) text.remove_prefix(3);
        const std::size_t shown = std::min(text.size(), kSep.size());
        if (text.substr(0, shown) != kSep.substr(0, shown)) return std::optional<std::uint8_t>();
        if (text.size() >= kSep.size() + 2 || window.at_end()) {
            if (text.size() <= kSep.size()) return std::optional<std::uint8_t>();
            const char c = text[kSep.size()];
            const bool ends = text.size() == kSep.size() + 1 || text[kSep.size() + 1] == '\n' ||
                              text[kSep.size() + 1] == '\r';
            if (!ends || c == '\n' || c == '\r' || static_cast<unsigned char>(c) >= 0x80) {
                return std::optional<std::uint8_t>();
            }
            return std::optional<std::uint8_t>(static_cast<std::uint8_t>(c));
        }
        BRINEWICK_RETURN_IF_ERROR(window.read_more(window.read_size()));
    }
}

}  // namespace

Result<std::optional<Dialect>> settle_dialect_or_empty(InputWindow& window, const SalvageOptions& options) {
    while (window.view().empty() && !window.at_end()) {
        BRINEWICK_RETURN_IF_ERROR(window.read_more(window.read_size()));
    }
    // An empty input has no dialect: comma and zero counters, options aside.
    if (window.view().empty()) return std::optional<Dialect>();
    // Excel's "sep=;" first line names the delimiter; the table starts below it.
    SalvageOptions own = options;
    bool separator_line = false;
    if (options.find_header) {
        auto separator = excel_separator(window);
        if (!separator.is_ok()) return std::move(separator).status();
        if (separator.value() && *separator.value() != options.quote_char) {
            separator_line = true;
            if (!own.delimiter) own.delimiter = *separator.value();
            own.first_line = std::max<std::size_t>(own.first_line, 2);
        }
    }
    auto settled = settle_dialect_streamed(window, own);
    if (!settled.is_ok()) return std::move(settled).status();
    if (!own.delimiter) {
        std::string clash = sniffed_quote_clash(settled.value().delimiter, options.quote_char);
        if (!clash.empty()) return Status::invalid(std::move(clash));
    }
    Dialect dialect = settled.value();
    dialect.separator_line = separator_line;
    if (wants_table_search(own)) BRINEWICK_RETURN_IF_ERROR(locate_table(window, own, dialect));
    return std::optional<Dialect>(std::move(dialect));
}

Result<StreamSummary> stream_rows(InputWindow& window, const SalvageOptions& options, StreamSink& sink,
                                  StreamControl& control) {
    auto settled = settle_dialect_or_empty(window, options);
    if (!settled.is_ok()) return std::move(settled).status();
    return stream_settled_rows(window, settled.value(), options, sink, control);
}

Result<StreamSummary> stream_settled_rows(InputWindow& window, const std::optional<Dialect>& settled,
                                          const SalvageOptions& options, StreamSink& sink, StreamControl& control) {
    StreamSummary summary;
    if (!settled) {
        window.finish(summary);
        return summary;
    }
    const Dialect dialect = *settled;
    const std::size_t expected = dialect.expected_columns;
    SalvageSummary& counters = summary.counters;
    counters.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
    counters.inferred_columns = expected;
    summary.header_line = dialect.table_line;
    if (!sink.start(dialect)) return sink.failure();

    RowReader reader(window, dialect, options);
    RowBuffer row;
    row.set_fallback(window.fallback());
    RowInfo info;
    std::vector<RowChange> changes;
    std::string too_few;
    std::string extra;
    std::size_t rows_since_check = 0;
    std::uint64_t checked_at = 0;
    // Kept rows that stand as a writer puts them skip their fields.
    // (A blank line is one field: with blank lines dropped, a one-column
    // file's rows all go through the classifier.)
    const bool lines = expected != 0 && sink.takes_lines() && !(options.skip_blank_lines && expected == 1);
    ResilientParser::VerbatimLine shape{};
    // The table stage may set rows aside whatever their width: those go
    // the long way, through describe_row.
    const bool asides = sets_rows_aside(options, dialect);

    for (;;) {
        if (++rows_since_check >= kCheckRows || reader.boundary().offset - checked_at >= kCheckBytes) {
            if (control.cancel.load(std::memory_order_relaxed)) return Status::cancelled();
            checked_at = reader.boundary().offset;
            rows_since_check = 0;
        }
        if (lines && !(asides && reader.next_may_be_set_aside(options, dialect))) {
            if (const auto text = reader.next_verbatim_line(expected, shape)) {
                if (!sink.clean_line(*text, shape)) return sink.failure();
                ++counters.total_rows;
                ++counters.salvaged_rows;
                continue;
            }
        }
        const RowReader::Step step = reader.next(row, info);
        if (step == RowReader::Step::Failed) return reader.error();
        if (step == RowReader::Step::End) break;

        // The usual row, already the dialect's width with nothing repaired,
        // has no change to describe: straight to the sink and the counters.
        const RowNotes& events = reader.events();
        if ((expected == 0 || row.size() == expected) && !skips_blank_row(row, options) &&
            events.stray_quotes == 0 &&
            events.text_after_quote == 0 && !events.unclosed_quote && !row.decode_repaired() &&
            !events.repair.any() && !(asides && set_aside_verdict(info.byte_offset, info.raw, options, dialect))) {
            if (!sink.clean_row(row, info, {})) return sink.failure();
            const std::size_t copies = reader.skip_repeats();
            if (copies != 0 &&
                !sink.clean_row_copies(row, info, {}, copies, reader.repeat_size(), reader.repeat_lines())) {
                return sink.failure();
            }
            counters.total_rows += 1 + copies;
            counters.salvaged_rows += 1 + copies;
            continue;
        }
        const RowVerdict verdict =
            describe_row(row, reader.events(), info, reader.line_after(), options, dialect, changes);
        if (is_set_aside(verdict)) {
            std::string_view reason = set_aside_reason(verdict);
            if (reason.empty()) {
                std::string& text = verdict == RowVerdict::TooFew ? too_few : extra;
                if (text.empty()) {
                    text = verdict == RowVerdict::TooFew ? too_few_columns_reason(expected)
                                                         : extra_columns_reason(expected);
                }
                reason = text;
            }
            if (!sink.quarantined_row(row, info, reason)) return sink.failure();
            count_row(summary, verdict, changes);
            continue;
        }
        if (row_skipped(changes)) {
            if (!sink.skipped_row(info, changes.front())) return sink.failure();
            const std::size_t copies = reader.skip_repeats();
            if (copies != 0 && !sink.skipped_row_copies(info, changes.front(), copies, reader.repeat_size(),
                                                        reader.repeat_lines())) {
                return sink.failure();
            }
            count_row(summary, verdict, changes, 1 + copies);
            continue;
        }
        if (!sink.clean_row(row, info, changes)) return sink.failure();
        const std::size_t copies = reader.skip_repeats();
        if (copies != 0 &&
            !sink.clean_row_copies(row, info, changes, copies, reader.repeat_size(), reader.repeat_lines())) {
            return sink.failure();
        }
        count_row(summary, verdict, changes, 1 + copies);
    }
    window.finish(summary);
    return summary;
}

}  // namespace brinewick::stream
