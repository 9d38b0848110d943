#include "stream_salvage.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "../parser/utf8.hpp"
#include "../salvage/csv_writer.hpp"
#include "atomic_output.hpp"
#include "parallel_salvage.hpp"
#include "records.hpp"
#include "stream_rows.hpp"

namespace brinewick::stream {
namespace {

// One CSV field, quoted (quotes doubled) only when it holds a comma, a quote,
// CR or LF.
void append_csv_field(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out.push_back('"');
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find('"', from)) != std::string_view::npos; from = hit + 1) {
        out.append(text.substr(from, hit + 1 - from));
        out.push_back('"');
    }
    out.append(text.substr(from));
    out.push_back('"');
}

// "1 field", "3 fields".
void append_counted(std::string& out, std::size_t count, std::string_view one, std::string_view many) {
    append_number(out, count);
    out.push_back(' ');
    out.append(count == 1 ? one : many);
}

// The detail column of a change record. The texts:
//   padded            "2 of 5 fields; 3 empty fields added"
//   merged            "7 fields; fields 5-7 joined into field 5"
//   stray_quote       "2 quotes kept as text"
//   text_after_quote  "text after a closing quote kept in 1 field"
//   unclosed_quote    "quoted field ran to the end of the input over 12 lines"
//   invalid_utf8      "3 invalid byte sequences replaced"
//   transcoded        "2 fields decoded as cp1252"
//   blank_line        "blank line written as 5 empty fields", or "blank line skipped"
}  // namespace

void append_change_detail(std::string& out, const RowChange& change) {
    switch (change.kind) {
        case ChangeKind::Padded:
            append_number(out, change.count);
            out.append(" of ");
            append_counted(out, change.columns, "field; ", "fields; ");
            append_counted(out, change.columns - change.count, "empty field added", "empty fields added");
            return;
        case ChangeKind::Merged:
            append_counted(out, change.count, "field", "fields");
            out.append("; fields ");
            append_number(out, change.columns);
            out.push_back('-');
            append_number(out, change.count);
            out.append(" joined into field ");
            append_number(out, change.columns);
            return;
        case ChangeKind::StrayQuote:
            append_counted(out, change.count, "quote kept as text", "quotes kept as text");
            return;
        case ChangeKind::TextAfterQuote:
            out.append("text after a closing quote kept in ");
            append_counted(out, change.count, "field", "fields");
            return;
        case ChangeKind::UnclosedQuote:
            out.append("quoted field ran to the end of the input over ");
            append_counted(out, change.count, "line", "lines");
            return;
        case ChangeKind::InvalidUtf8:
            append_counted(out, change.count, "invalid byte sequence replaced",
                           "invalid byte sequences replaced");
            return;
        case ChangeKind::Transcoded:
            append_counted(out, change.count, "field decoded as ", "fields decoded as ");
            out.append(change.encoding);
            return;
        case ChangeKind::BlankLine:
            if (change.count == 0) {
                out.append("blank line skipped");
                return;
            }
            out.append("blank line written as ");
            append_counted(out, change.columns, "empty field", "empty fields");
            return;
        case ChangeKind::Requoted:
            append_counted(out, change.count, "quote read otherwise to fit ", "quotes read otherwise to fit ");
            append_counted(out, change.columns, "field", "fields");
            return;
        case ChangeKind::TrailingEmpty:
            append_counted(out, change.count, "empty field dropped", "empty fields dropped");
            out.append(" at the end of the row");
            return;
        case ChangeKind::QuoteContained:
            out.append("quote opened on this line ran on over ");
            append_counted(out, change.count, "line", "lines");
            out.append("; row ended at its line break");
            return;
        case ChangeKind::TypeError:
            // Only the Arrow reader types columns; it names the column and value itself.
            append_counted(out, change.count, "value read as null", "values read as null");
            return;
        case ChangeKind::SeparatorLine:
            out.append("sep= line read as the delimiter, not written as a row");
            return;
    }
}

namespace {

// The file writers: clean CSV, and the quarantine and changes records.
class FileSink final : public StreamSink {
public:
    FileSink(AtomicOutput& clean, AtomicOutput* quarantine, AtomicOutput* changes,
             std::uint8_t quote_char)
        : clean_(clean), quarantine_(quarantine), changes_(changes), quote_char_(quote_char) {}

    bool start(const Dialect& dialect) override {
        delimiter_ = dialect.delimiter;
        expected_ = dialect.expected_columns;
        return true;
    }

    bool clean_row(const RowBuffer& row, const RowInfo& info,
                   std::span<const RowChange> changes) override {
        if (!write_clean(row)) return false;
        if (changes_ == nullptr || changes.empty()) return true;
        line_.clear();
        for (const RowChange& change : changes) {
            append_number(line_, info.line);
            append_change_tail(line_, info.byte_offset, change);
        }
        return keep(changes_->write(line_));
    }

    bool clean_row_copies(const RowBuffer& row, RowInfo info, std::span<const RowChange> changes,
                          std::size_t copies, std::size_t size, std::size_t lines) override {
        const std::size_t bound = clean_line_bound(row);
        if (bound > kCopiesBlock) return StreamSink::clean_row_copies(row, info, changes, copies, size, lines);
        // The clean line once, then as many copies as fill a block, written
        // block by block.
        line_.clear();
        if (row.is_verbatim()) {
            line_.append(row.verbatim_text());
            line_.push_back('\n');
        } else {
            append_clean_line(line_, row, delimiter_, quote_char_);
        }
        const std::size_t per_block = std::max<std::size_t>(kCopiesBlock / std::max<std::size_t>(line_.size(), 1), 1);
        block_.clear();
        for (std::size_t i = 0; i < std::min(per_block, copies); ++i) block_.append(line_);
        for (std::size_t left = copies; left != 0;) {
            const std::size_t n = std::min(left, per_block);
            if (!keep(clean_.write(std::string_view(block_).substr(0, n * line_.size())))) return false;
            left -= n;
        }
        if (changes_ == nullptr || changes.empty()) return true;
        line_.clear();
        for (std::size_t i = 0; i < copies; ++i) {
            info.line += lines;
            info.byte_offset += size;
            for (const RowChange& change : changes) {
                append_number(line_, info.line);
                append_change_tail(line_, info.byte_offset, change);
            }
            if (line_.size() >= kCopiesBlock || i + 1 == copies) {
                if (!keep(changes_->write(line_))) return false;
                line_.clear();
            }
        }
        return true;
    }

    [[nodiscard]] bool takes_lines() const noexcept override { return true; }

    bool clean_line(std::string_view text, const ResilientParser::VerbatimLine&) override { return write_line(text); }

    bool skipped_row_copies(RowInfo info, const RowChange& change, std::size_t copies, std::size_t size,
                            std::size_t lines) override {
        // Without a changes file a run of blank lines leaves nothing to write.
        return changes_ == nullptr || StreamSink::skipped_row_copies(info, change, copies, size, lines);
    }

    bool skipped_row(const RowInfo& info, const RowChange& change) override {
        if (changes_ == nullptr) return true;
        line_.clear();
        append_number(line_, info.line);
        append_change_tail(line_, info.byte_offset, change);
        return keep(changes_->write(line_));
    }

    bool quarantined_row(const RowBuffer& parsed, const RowInfo& info, std::string_view reason) override {
        if (quarantine_ == nullptr) return true;
        line_.clear();
        append_number(line_, info.line);
        append_quarantine_tail(line_, info.byte_offset, reason, quarantine_field_counts(expected_, parsed.size()),
                               info.raw, parsed.fallback());
        return keep(quarantine_->write(line_));
    }

    [[nodiscard]] Status failure() const override { return failure_; }

private:
    bool keep(Status status) {
        if (status.is_ok()) return true;
        failure_ = std::move(status);
        return false;
    }

    // A row's source line as it stands, and an LF.
    bool write_line(std::string_view text) {
        if (text.size() < AtomicOutput::kCapacity) {
            if (!keep(clean_.make_room(text.size() + 1))) return false;
            char* room = clean_.room_for(text.size() + 1);
            std::memcpy(room, text.data(), text.size());
            room[text.size()] = '\n';
            clean_.commit(room + text.size() + 1);
            return true;
        }
        return keep(clean_.write(text)) && keep(clean_.write("\n"));
    }

    bool write_clean(const RowBuffer& row) {
        if (row.is_verbatim()) return write_line(row.verbatim_text());  // most rows
        const std::size_t bound = clean_line_bound(row);
        if (delimiter_ < 0x80 && quote_char_ < 0x80 && bound <= AtomicOutput::kCapacity) {
            if (!keep(clean_.make_room(bound))) return false;
            char* room = clean_.room_for(bound);
            clean_.commit(write_clean_line(room, row, delimiter_, quote_char_));
            return true;
        }
        if (bound <= AtomicOutput::kCapacity) {
            line_.clear();
            append_clean_line(line_, row, delimiter_, quote_char_);
            return keep(clean_.write(line_));
        }
        // A long line (a huge field, padding to a huge width) is never held whole.
        OutputPieces out(clean_);
        if (write_clean_line_in_pieces(out, row, delimiter_, quote_char_)) return true;
        return keep(std::move(out.error));
    }

    AtomicOutput& clean_;
    AtomicOutput* quarantine_;
    AtomicOutput* changes_;
    std::uint8_t delimiter_ = ',';
    std::size_t expected_ = 0;
    std::uint8_t quote_char_;
    // What clean_row_copies writes at once.
    static constexpr std::size_t kCopiesBlock = std::size_t{1} << 16;

    std::string line_;
    std::string block_;
    Status failure_;
};

// What a path names, for telling whether two paths are one file: the file
// itself when it exists, else its directory and name (so "./x" and "x"
// match before x exists).
struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;  // empty when the file itself exists

    bool operator==(const FileIdentity& other) const {
        return known && other.known && device == other.device && inode == other.inode &&
               name == other.name;
    }
};

FileIdentity identify(const std::string& path) {
    FileIdentity identity;
    if (path.find('\0') != std::string::npos) return identity;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        identity = {true, status.st_dev, status.st_ino, {}};
        return identity;
    }
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return identity;
    if (::stat(directory.c_str(), &status) != 0) return identity;
    identity = {true, status.st_dev, status.st_ino, name};
    return identity;
}

bool same_file(const std::string& a, const std::string& b) { return a == b || identify(a) == identify(b); }

Status same_file_error(std::string_view first, std::string_view second, const std::string& path) {
    return Status::same_file(path, std::string(first) + " and " + std::string(second) + " name the same file");
}

Status refuse_shared_paths(const StreamPaths& paths) {
    if (paths.quarantine) {
        if (same_file(*paths.quarantine, paths.output)) {
            return same_file_error("quarantine", "output", *paths.quarantine);
        }
        if (same_file(*paths.quarantine, paths.input)) {
            return same_file_error("quarantine", "input", *paths.quarantine);
        }
    }
    if (paths.changes) {
        if (same_file(*paths.changes, paths.output)) return same_file_error("changes", "output", *paths.changes);
        if (paths.quarantine && same_file(*paths.changes, *paths.quarantine)) {
            return same_file_error("changes", "quarantine", *paths.changes);
        }
        if (same_file(*paths.changes, paths.input)) return same_file_error("changes", "input", *paths.changes);
    }
    return Status::ok();
}

}  // namespace

void note_decoding(StreamSummary& summary, const DecodeState& state) noexcept {
    const Decoding& decoding = state.decoding;
    const DecodeState& counters = state;
    try {
        summary.encoding = decoding.name;
    } catch (...) {
    }
    summary.legacy_looking = decoding.legacy_looking;
    summary.undecodable = counters.replaced.load();
    if (decoding.kind != Decoding::Kind::Utf8) summary.bytes_read = counters.input_bytes.load();
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

std::optional<FieldCounts> change_field_counts(const RowChange& change) noexcept {
    switch (change.kind) {
        case ChangeKind::Padded:
        case ChangeKind::Merged:
            return FieldCounts{change.columns, change.count};
        case ChangeKind::BlankLine:  // written as a row: its one field
            if (change.count == 0) return std::nullopt;
            return FieldCounts{change.columns, 1};
        case ChangeKind::Requoted:
        case ChangeKind::TrailingEmpty:
            return FieldCounts{change.columns, change.parsed};
        default:
            return std::nullopt;
    }
}

namespace {

// ",expected,found" (each empty when there are no counts).
void append_counts(std::string& out, std::optional<FieldCounts> counts) {
    out.push_back(',');
    if (counts) append_number(out, counts->expected);
    out.push_back(',');
    if (counts) append_number(out, counts->found);
}

}  // namespace

void append_change_tail(std::string& out, std::uint64_t byte_offset, const RowChange& change) {
    out.push_back(',');
    append_number(out, byte_offset);
    out.push_back(',');
    out.append(change_kind_name(change.kind));
    out.push_back(',');  // no column: the files hold no type errors
    append_counts(out, change_field_counts(change));
    out.push_back(',');
    std::string detail;
    append_change_detail(detail, change);
    append_csv_field(out, detail);
    out.push_back('\n');
}

void append_quarantine_tail(std::string& out, std::uint64_t byte_offset, std::string_view reason,
                            std::optional<FieldCounts> counts, std::string_view raw,
                            const SingleByteTable* fallback) {
    out.push_back(',');
    append_number(out, byte_offset);
    out.push_back(',');
    append_csv_field(out, reason);
    append_counts(out, counts);
    out.push_back(',');
    std::string text;
    append_text_with_fallback(text, fallback, reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    append_csv_field(out, text);
    out.push_back('\n');
}

Result<StreamSummary> stream_salvage(const StreamPaths& paths, const StreamSettings& settings, StreamControl& control) {
    try {
        BRINEWICK_RETURN_IF_ERROR(refuse_shared_paths(paths));

        auto opened = open_input(paths.input, settings.read_size, control, settings.encoding, settings.open_input);
        if (!opened.is_ok()) return std::move(opened).status();
        InputWindow& window = opened.value().window;

        // Every temporary exists before a byte is read, so a missing
        // directory or a directory in a target's place fails at once.
        std::vector<std::unique_ptr<AtomicOutput>> outputs;
        const auto create = [&](const std::string& target, std::string_view role) -> Status {
            auto created = AtomicOutput::create(target, &control.cancel);
            if (!created.is_ok()) return std::move(created).status();
            outputs.push_back(std::make_unique<AtomicOutput>(std::move(created).value()));
            outputs.back()->watch(&control.cancel);
            if (settings.durable) outputs.back()->write_back_while_writing();
            // Appending to the input while it is read could read without end.
            if (outputs.back()->writes_into(paths.input)) return same_file_error(role, "input", target);
            return Status::ok();
        };
        BRINEWICK_RETURN_IF_ERROR(create(paths.output, "output"));
        AtomicOutput* quarantine = nullptr;
        AtomicOutput* changes = nullptr;
        if (paths.quarantine) {
            BRINEWICK_RETURN_IF_ERROR(create(*paths.quarantine, "quarantine"));
            quarantine = outputs.back().get();
            BRINEWICK_RETURN_IF_ERROR(quarantine->write(kQuarantineHeader));
        }
        if (paths.changes) {
            BRINEWICK_RETURN_IF_ERROR(create(*paths.changes, "changes"));
            changes = outputs.back().get();
            BRINEWICK_RETURN_IF_ERROR(changes->write(kChangesHeader));
        }

        FileSink sink(*outputs.front(), quarantine, changes, settings.options.quote_char);
        auto streamed = settings.jobs > 1
                            ? parallel_stream_rows(window, settings, {outputs.front().get(), quarantine, changes},
                                                   control, &sink)
                            : stream_rows(window, settings.options, sink, control);
        if (!streamed.is_ok()) return std::move(streamed).status();
        StreamSummary summary = std::move(streamed).value();
        note_decoding(summary, *opened.value().state);

        for (auto& output : outputs) BRINEWICK_RETURN_IF_ERROR(output->finish(settings.durable));
        if (control.before_commit) control.before_commit(summary);
        if (control.cancel.load()) return Status::cancelled();
        std::set<std::string> directories;
        for (auto& output : outputs) {
            BRINEWICK_RETURN_IF_ERROR(output->rename_into_place());
            if (!output->is_direct()) directories.insert(output->directory());
        }
        if (settings.durable) {
            for (const std::string& directory : directories) BRINEWICK_RETURN_IF_ERROR(sync_directory(directory));
        }
        return summary;
    } catch (const std::bad_alloc&) {
        return Status::out_of_memory();
    }
}

}  // namespace brinewick::stream
