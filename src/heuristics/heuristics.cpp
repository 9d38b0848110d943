#include "heuristics.hpp"

#include <cmath>
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

// Field counts of the first `limit` non-blank rows of `sample`. True when
// the rows read settle the answer for any text that `sample` begins: the
// limit was reached by a row that ended strictly before the sample's end.
template <typename Visit>
bool count_fields(std::string_view sample, std::uint8_t delimiter, std::size_t limit,
                  CancelCheck* cancel, Visit visit) {
    ResilientParser parser(sample, delimiter, '"', true);
    parser.set_cancel_check(cancel);
    FieldCounter row;  // a count is all that is scored: no entry per field
    std::size_t counted = 0;
    while (counted < limit) {
        // Empty lines are blank rows; passing a run of them at once keeps a
        // file of line breaks from being parsed row by row per candidate.
        parser.skip_empty_lines();
        if (!parser.next_row_count(row)) break;
        if (is_blank_row(row)) continue;
        visit(row.size());
        ++counted;
    }
    return counted == limit && parser.position() < sample.size();
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

// Sniffing; `settled` (if given) learns whether the sample's end was never reached.
std::uint8_t sniff(std::string_view sample, CancelCheck* cancel, bool* settled) {
    double best_score = -1.0;
    std::uint8_t best = ',';
    std::vector<std::size_t> counts;
    std::unordered_map<std::size_t, std::int32_t> histogram;
    for (const std::uint8_t candidate : kCandidates) {
        counts.clear();
        const bool whole = count_fields(sample, candidate, kSniffRows, cancel,
                                        [&](std::size_t c) { counts.push_back(c); });
        if (settled != nullptr) {
            *settled = *settled && whole;
            // A prefix too short for one candidate gives no answer at all:
            // the rest need not be read.
            if (!*settled) return best;
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
            best = candidate;
        }
    }
    return best;
}

std::size_t infer(std::string_view sample, std::uint8_t delimiter, CancelCheck* cancel,
                  bool* settled) {
    std::unordered_map<std::size_t, std::int32_t> histogram;
    const bool whole = count_fields(sample, delimiter, kInferRows, cancel,
                                    [&](std::size_t c) { ++histogram[c]; });
    if (settled != nullptr) *settled = whole;
    // The most frequent width; a tie goes to the wider one, so short rows get
    // padded rather than long rows merged.
    std::size_t best = 0;
    std::int32_t occurrences = 0;
    for (const auto& [width, seen] : histogram) {
        if (seen > occurrences || (seen == occurrences && width > best)) {
            best = width;
            occurrences = seen;
        }
    }
    return best;
}

}  // namespace

std::uint8_t sniff_delimiter(std::string_view sample, CancelCheck* cancel) {
    return sniff(sample, cancel, nullptr);
}

std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                               CancelCheck* cancel) {
    return infer(sample, delimiter, cancel, nullptr);
}

std::optional<std::uint8_t> sniff_delimiter_in_prefix(std::string_view prefix) {
    bool settled = true;
    const std::uint8_t delimiter = sniff(prefix, nullptr, &settled);
    if (!settled) return std::nullopt;
    return delimiter;
}

std::optional<std::size_t> infer_column_count_in_prefix(std::string_view prefix,
                                                        std::uint8_t delimiter) {
    bool settled = true;
    const std::size_t columns = infer(prefix, delimiter, nullptr, &settled);
    if (!settled) return std::nullopt;
    return columns;
}

}  // namespace brinewick
