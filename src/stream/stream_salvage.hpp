// Streaming file salvage: the same clean CSV and counters as salvage_file,
// read in chunks (memory bounded by the longest row, not the file), written
// to temporary files that are renamed into place only when every output is
// complete, with a quarantine of the rows set aside as they stood and a
// record of every change made.
//
// No Python here: the caller runs stream_salvage on any thread and watches
// or stops it through StreamControl from another.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "../error/status.hpp"
#include "byte_source.hpp"
#include "../salvage/salvage.hpp"
#include "byte_source.hpp"
#include "decoding.hpp"

namespace brinewick::stream {

// What the salvage did to a clean row, one record each in the changes file:
// X(enumerator, name). This is the one list of kinds: the enum, the names,
// kChangeKindCount and the package's CHANGE_KINDS all come from it, in this
// order. A new kind is one line here, its detail text in
// append_change_detail and its line in README.md's list.
#define BRINEWICK_CHANGE_KINDS(X)                                                                  \
    X(Padded, "padded")                   /* empty fields added to reach the column count */       \
    X(Merged, "merged")                   /* surplus fields joined into the last column */         \
    X(StrayQuote, "stray_quote")          /* a quote inside a quoted field kept as text */         \
    X(TextAfterQuote, "text_after_quote") /* text after a closing quote joined the field */        \
    X(UnclosedQuote, "unclosed_quote")    /* a quoted field ran to the end of the input */         \
    X(InvalidUtf8, "invalid_utf8")        /* ill-formed UTF-8 replaced by U+FFFD */                \
    X(Transcoded, "transcoded")           /* fields not UTF-8 read in the fallback encoding */     \
    X(BlankLine, "blank_line")            /* a blank line padded to the column count */            \
    X(Requoted, "requoted")               /* quotes read otherwise, so the row has its width */    \
    X(TrailingEmpty, "trailing_empty")    /* empty surplus fields at the row's end dropped */      \
    X(QuoteContained, "quote_contained")  /* a quote that ran past its line ended at the break */  \
    X(TypeError, "type_error")            /* a value its column's type cannot hold read as null */ \
    X(SeparatorLine, "separator_line")    /* Excel's sep= line read as the delimiter, not a row */

enum class ChangeKind : std::uint8_t {
#define BRINEWICK_CHANGE_KIND_ENUMERATOR(kind, name) kind,
    BRINEWICK_CHANGE_KINDS(BRINEWICK_CHANGE_KIND_ENUMERATOR)
#undef BRINEWICK_CHANGE_KIND_ENUMERATOR
};

// Indexed by ChangeKind.
inline constexpr std::array kChangeKindNames = {
#define BRINEWICK_CHANGE_KIND_NAME(kind, name) std::string_view{name},
    BRINEWICK_CHANGE_KINDS(BRINEWICK_CHANGE_KIND_NAME)
#undef BRINEWICK_CHANGE_KIND_NAME
};
inline constexpr std::size_t kChangeKindCount = kChangeKindNames.size();

namespace detail {
// Every enumerator is its row of the list, so a kind indexes the names and
// the per-kind counters; and no two kinds share a name, since the names key
// the summary's counts.
[[nodiscard]] consteval bool change_kinds_consistent() {
    std::size_t row = 0;
#define BRINEWICK_CHANGE_KIND_ROW(kind, name) \
    if (static_cast<std::size_t>(ChangeKind::kind) != row++) return false;
    BRINEWICK_CHANGE_KINDS(BRINEWICK_CHANGE_KIND_ROW)
#undef BRINEWICK_CHANGE_KIND_ROW
    for (std::size_t i = 0; i < kChangeKindNames.size(); ++i) {
        if (kChangeKindNames[i].empty()) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (kChangeKindNames[i] == kChangeKindNames[j]) return false;
        }
    }
    return row == kChangeKindCount;
}
}  // namespace detail
static_assert(detail::change_kinds_consistent(), "each change kind needs its own row and a unique name");
static_assert(kChangeKindCount <= 256, "ChangeKind is one byte");

[[nodiscard]] constexpr std::string_view change_kind_name(ChangeKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < kChangeKindCount ? kChangeKindNames[index] : std::string_view{"unknown"};
}

struct StreamSummary {
    SalvageSummary counters;  // equal to salvage_file's for the same input and options
    std::array<std::uint64_t, kChangeKindCount> changes{};  // records per kind
    std::uint64_t changed_rows = 0;  // clean rows with at least one change record
    // Rows the table stage set aside (each one also among the quarantined),
    // and the line the table's header stands on (1 when nothing is above it).
    std::uint64_t preamble_rows = 0;
    std::uint64_t comment_rows = 0;
    std::uint64_t repeated_headers = 0;
    std::uint64_t reordered_headers = 0;
    std::uint64_t nul_rows = 0;
    std::uint64_t header_line = 1;
    std::uint64_t bytes_read = 0;
    // How the input was decoded: the encoding's name, whether a sample of
    // it was not UTF-8, and the byte sequences no character matched (each
    // one U+FFFD; under an explicit encoding, or UTF-16/32).
    std::string encoding = "utf-8";
    bool legacy_looking = false;
    std::uint64_t undecodable = 0;
    std::string compression;                 // the compression undone ("gzip"), empty for plain text
    std::optional<InputBreak> input_break;   // where a damaged compressed input broke off
};

// Puts what was decided for the input into `summary`, once it is read; a
// decoded input's bytes read are the file's, not the text's.
void note_decoding(StreamSummary& summary, const DecodeState& state) noexcept;

// Shared between the thread that runs a salvage and one that watches it.
struct StreamControl {
    std::atomic<bool> cancel{false};             // set to stop the run soon (within a few ms)
    std::atomic<std::uint64_t> bytes_done{0};    // input bytes consumed so far
    // The input's size once it is open (regular files), -1 for a stream,
    // kInputNotOpen before: opening may read (a compressed file's first
    // bytes, an object store's first range), and no progress is told then.
    static constexpr std::int64_t kInputNotOpen = -2;
    std::atomic<std::int64_t> bytes_total{kInputNotOpen};
    // Called on the salvage's thread once every byte is read and the outputs
    // are complete, before any is put in place: it may set `cancel`, and
    // then nothing is.
    std::function<void(const StreamSummary&)> before_commit;
};

struct StreamPaths {
    std::string input;                     // regular file, FIFO or character device
    std::string output;                    // clean CSV
    std::optional<std::string> quarantine; // "line,byte_offset,reason,raw"
    std::optional<std::string> changes;    // "line,byte_offset,change,detail"
};

struct StreamSettings {
    SalvageOptions options;
    EncodingRequest encoding;            // "utf-8" unless asked: the input as it stands
    bool durable = true;                 // fsync outputs and their directories before renaming
    std::size_t read_size = 1u << 20;    // bytes asked of each read (tests use tiny sizes)
    // Threads that parse and classify; 1 parses on the calling thread. The
    // outputs are byte for byte the same for every count. More than 1 needs
    // rows that end at line breaks: a CR or LF as delimiter or quote is
    // refused then.
    std::size_t jobs = 1;
    // Bytes per piece of input handed to a thread (tests use tiny sizes);
    // a piece always ends at a line break, so it grows to hold a longer line.
    // 1 MiB measured cheapest: a piece and its output stay in cache between
    // the worker that makes them and the writer that writes them.
    std::size_t chunk_size = std::size_t{1} << 20;
    // Opens the input when it is not a file by its path.
    SourceOpener open_input;
};

// Runs the salvage. On failure nothing is left behind: temporaries are
// removed and the targets (and the input) are as they were before the call.
// Two outputs, or the input and a side output, naming one file fail as
// Status::Kind::SameFile, the message saying which.
[[nodiscard]] Result<StreamSummary> stream_salvage(const StreamPaths& paths, const StreamSettings& settings,
                                                   StreamControl& control);

}  // namespace brinewick::stream
