#include "heuristics.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>
#include <unordered_map>

#include "../parser/resilient_parser.hpp"
#include "../parser/utf8.hpp"

namespace brinewick {
namespace {

constexpr std::uint8_t kCandidates[] = {',', ';', '\t', '|'};
constexpr std::size_t kSniffRows = 50;
constexpr std::size_t kInferRows = 100;

// Unicode White_Space, one code point at a time.
bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// A row the heuristics skip: one field that is empty or only white space.
// The field holds raw bytes; anything ill-formed would decode to U+FFFD,
// which is not white space, so decoding is needed only when it is suspect.
bool is_blank_row(const FieldCounter& row) {
    if (row.size() != 1 || !row.first_may_be_blank()) return false;
    const std::string_view raw = row.first_field();
    if (raw.empty()) return true;
    const unsigned char first = static_cast<unsigned char>(raw[0]);
    if (first < 0x80 && !is_white_space(first)) return false;  // the usual case
    return is_blank_text(decode_lenient_utf8(raw));
}

// How a count over a sample ended.
struct CountEnd {
    bool settled;   // the rows read settle the answer for any text the sample begins
    bool unclosed;  // the last row read ran into the sample's end inside quotes
};

// Field counts of the next non-blank rows of `parser`'s text, until
// `limit` have been counted in all (`counted` carries the count of an
// earlier run on the same parser). Settled when the limit was reached by a
// row that ended strictly before the sample's end.
template <typename Visit>
CountEnd count_fields(ResilientParser& parser, std::size_t size, std::size_t& counted, std::size_t limit,
                      Visit visit) {
    FieldCounter row;  // a count is all that is scored: no entry per field
    bool unclosed = false;
    while (counted < limit) {
        // Empty lines are blank rows; passing a run of them at once keeps a
        // file of line breaks from being parsed row by row per candidate.
        parser.skip_empty_lines();
        if (!parser.next_row_count(row)) break;
        unclosed = parser.row_events().unclosed_quote;
        if (is_blank_row(row)) continue;
        visit(row.size());
        ++counted;
    }
    return {counted == limit && parser.position() < size, unclosed};
}

ResilientParser count_parser(std::string_view sample, std::uint8_t delimiter, CancelCheck* cancel) {
    ResilientParser parser(sample, delimiter, '"', true);
    parser.set_cancel_check(cancel);
    return parser;
}

}  // namespace

bool is_blank_text(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        char32_t c;
        std::size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if (b < 0xE0) {
            if (i + 1 >= n) return false;
            c = static_cast<char32_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F));
            len = 2;
        } else if (b < 0xF0) {
            if (i + 2 >= n) return false;
            c = static_cast<char32_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
            len = 3;
        } else {
            return false;  // nothing above U+FFFF is white space
        }
        if (!is_white_space(c)) return false;
        i += len;
    }
    return true;
}

namespace {

// Where a candidate's count stopped, to go on from for the column count.
struct Counted {
    ResilientParser parser;
    std::size_t rows;
    std::vector<std::size_t> widths;
};

struct Sniffed {
    std::uint8_t delimiter = ',';
    bool settled = true;
    bool unclosed = false;          // as CountEnd, for the count that did not settle
    std::optional<Counted> winner;  // the winning candidate's count, when it was parsed
};

// Sniffing. With `prefix`, stops at the first candidate whose count does not
// settle (the answer is then unsettled); without, a candidate that appears
// nowhere in the sample scores 0 unparsed: every row is one field under it.
Sniffed sniff(std::string_view sample, CancelCheck* cancel, bool prefix) {
    Sniffed out;
    double best_score = -1.0;
    std::vector<std::size_t> counts;
    std::unordered_map<std::size_t, std::int32_t> histogram;
    for (const std::uint8_t candidate : kCandidates) {
        counts.clear();
        std::optional<ResilientParser> parser;
        std::size_t counted = 0;
        if (prefix || std::memchr(sample.data(), candidate, sample.size()) != nullptr) {
            parser.emplace(count_parser(sample, candidate, cancel));
            const CountEnd end = count_fields(*parser, sample.size(), counted, kSniffRows,
                                              [&](std::size_t c) { counts.push_back(c); });
            if (prefix && !end.settled) {
                // A prefix too short for one candidate gives no answer at all:
                // the rest need not be read.
                out.settled = false;
                out.unclosed = end.unclosed;
                return out;
            }
        }
        double score = 0.0;
        if (counts.size() >= 2) {
            histogram.clear();
            for (const std::size_t c : counts) ++histogram[c];
            // Mode among widths of 2 or more; a tie goes to the wider width.
            std::size_t mode = 0;
            std::int32_t occurrences = 0;
            for (const auto& [width, seen] : histogram) {
                if (width < 2) continue;
                if (seen > occurrences || (seen == occurrences && width > mode)) {
                    mode = width;
                    occurrences = seen;
                }
            }
            if (mode != 0) {
                const double share = static_cast<double>(occurrences) / static_cast<double>(counts.size());
                score = share * std::max(std::log(static_cast<double>(mode)), 1.0);
            }
        }
        if (score > best_score) {
            best_score = score;
            out.delimiter = candidate;
            out.winner.reset();
            if (parser) out.winner.emplace(Counted{*parser, counted, counts});
        }
    }
    return out;
}

struct Inferred {
    std::size_t columns = 0;
    bool settled = true;
    bool unclosed = false;
};

// Column inference; goes on from `from` (sniffing's count under the same
// delimiter) when given, since its rows are the first ones read here too.
Inferred infer(std::string_view sample, std::uint8_t delimiter, CancelCheck* cancel,
               std::optional<Counted> from) {
    std::unordered_map<std::size_t, std::int32_t> histogram;
    std::size_t counted = 0;
    if (!from) from.emplace(Counted{count_parser(sample, delimiter, cancel), 0, {}});
    for (const std::size_t c : from->widths) ++histogram[c];
    counted = from->rows;
    const CountEnd end = count_fields(from->parser, sample.size(), counted, kInferRows,
                                      [&](std::size_t c) { ++histogram[c]; });
    // The most frequent width; a tie goes to the wider one, so short rows get
    // padded rather than long rows merged.
    Inferred out{0, end.settled, end.unclosed};
    std::int32_t occurrences = 0;
    for (const auto& [width, seen] : histogram) {
        if (seen > occurrences || (seen == occurrences && width > out.columns)) {
            out.columns = width;
            occurrences = seen;
        }
    }
    return out;
}

// What an unsettled prefix lacks. The count that did not settle stopped in
// a row that runs to the prefix's end; a quote decides with a look-ahead
// that never leaves its line, so everything parsed before the prefix's last
// line break stands in any longer text. When that row's last quote comes
// before such a break and the row ended inside quotes, it stays inside
// quotes until the next quote; when the prefix ends in no line break, the
// row ran into the end with no break ending it, and no row ends before the
// next one.
PrefixNeed need_of(std::string_view prefix, bool unclosed) {
    if (prefix.empty()) return PrefixNeed::More;
    const auto is_break = [](char b) { return b == '\n' || b == '\r'; };
    if (unclosed) {
        const void* quote = memrchr(prefix.data(), '"', prefix.size());
        if (quote != nullptr) {
            const std::size_t q = static_cast<std::size_t>(static_cast<const char*>(quote) - prefix.data());
            for (std::size_t i = q + 1; i < prefix.size(); ++i) {
                if (is_break(prefix[i])) return PrefixNeed::Quote;
            }
        }
    }
    return is_break(prefix.back()) ? PrefixNeed::More : PrefixNeed::LineBreak;
}

}  // namespace

std::uint8_t sniff_delimiter(std::string_view sample, CancelCheck* cancel) {
    return sniff(sample, cancel, false).delimiter;
}

std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                               CancelCheck* cancel) {
    return infer(sample, delimiter, cancel, std::nullopt).columns;
}

SniffedDialect sniff_dialect(std::string_view sample, std::optional<std::uint8_t> delimiter,
                             std::optional<std::size_t> columns, CancelCheck* cancel) {
    SniffedDialect out;
    std::optional<Counted> from;
    if (delimiter) {
        out.delimiter = *delimiter;
    } else {
        Sniffed sniffed = sniff(sample, cancel, false);
        out.delimiter = sniffed.delimiter;
        from = std::move(sniffed.winner);
    }
    out.columns = columns ? *columns : infer(sample, out.delimiter, cancel, std::move(from)).columns;
    return out;
}

std::optional<std::uint8_t> sniff_delimiter_in_prefix(std::string_view prefix) {
    const Sniffed sniffed = sniff(prefix, nullptr, true);
    if (!sniffed.settled) return std::nullopt;
    return sniffed.delimiter;
}

std::optional<std::size_t> infer_column_count_in_prefix(std::string_view prefix,
                                                        std::uint8_t delimiter) {
    const Inferred inferred = infer(prefix, delimiter, nullptr, std::nullopt);
    if (!inferred.settled) return std::nullopt;
    return inferred.columns;
}

PrefixSniff sniff_dialect_in_prefix(std::string_view prefix, std::optional<std::uint8_t> delimiter,
                                    std::optional<std::size_t> columns) {
    SniffedDialect out;
    std::optional<Counted> from;
    if (delimiter) {
        out.delimiter = *delimiter;
    } else {
        Sniffed sniffed = sniff(prefix, nullptr, true);
        if (!sniffed.settled) return {std::nullopt, need_of(prefix, sniffed.unclosed)};
        out.delimiter = sniffed.delimiter;
        from = std::move(sniffed.winner);
    }
    if (columns) {
        out.columns = *columns;
    } else {
        const Inferred inferred = infer(prefix, out.delimiter, nullptr, std::move(from));
        if (!inferred.settled) return {std::nullopt, need_of(prefix, inferred.unclosed)};
        out.columns = inferred.columns;
    }
    return {out, PrefixNeed::More};
}

}  // namespace brinewick
