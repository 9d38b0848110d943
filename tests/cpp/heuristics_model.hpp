// A plain model of delimiter sniffing and column-count inference, built on
// the reference parser: count the fields of the first non-blank rows, take
// the most frequent count (the wider one on a tie) and score it. Shared by
// the heuristics tests and the heuristics fuzz target.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "reference_parser.hpp"

namespace brinewick_test {

// Unicode White_Space, the whole property.
inline bool model_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

inline bool model_blank(std::string_view valid_utf8) {
    for (const char32_t c : reference_code_points(valid_utf8)) {
        if (!model_white_space(c)) return false;
    }
    return true;
}

// Field counts of the first `limit` rows that are not one blank field.
inline std::vector<std::size_t> model_field_counts(std::string_view sample, std::uint8_t delimiter,
                                                   std::size_t limit) {
    Dialect d;
    d.delimiter = delimiter;
    ReferenceParser parser(sample, d);
    std::vector<std::size_t> counts;
    while (counts.size() < limit) {
        auto row = parser.next_row();
        if (!row) break;
        if (row->size() == 1 && model_blank(reference_decode(row->front()))) continue;
        counts.push_back(row->size());
    }
    return counts;
}

// The most frequent count not below `smallest`, the wider one on a tie; 0 if none.
inline std::pair<std::size_t, int> model_mode(const std::vector<std::size_t>& counts, std::size_t smallest) {
    std::map<std::size_t, int> histogram;
    for (const auto c : counts) ++histogram[c];
    std::pair<std::size_t, int> best{0, 0};
    for (const auto& [count, occurrences] : histogram) {  // ascending, so >= prefers wider
        if (count >= smallest && occurrences >= best.second) best = {count, occurrences};
    }
    return best;
}

inline double model_score(std::string_view sample, std::uint8_t delimiter) {
    const auto counts = model_field_counts(sample, delimiter, 50);
    if (counts.size() < 2) return 0.0;
    const auto [mode, m] = model_mode(counts, 2);
    if (m == 0) return 0.0;
    return (static_cast<double>(m) / static_cast<double>(counts.size())) *
           std::max(std::log(static_cast<double>(mode)), 1.0);
}

inline std::uint8_t model_sniff(std::string_view sample) {
    double best = -1.0;
    std::uint8_t best_delimiter = ',';
    for (const std::uint8_t d : {std::uint8_t{','}, std::uint8_t{';'}, std::uint8_t{'\t'}, std::uint8_t{'|'}}) {
        const double score = model_score(sample, d);
        if (score > best) {  // strictly: an equal score keeps the earlier candidate
            best = score;
            best_delimiter = d;
        }
    }
    return best_delimiter;
}

inline std::size_t model_infer(std::string_view sample, std::uint8_t delimiter) {
    return model_mode(model_field_counts(sample, delimiter, 100), 0).first;
}

}  // namespace brinewick_test
