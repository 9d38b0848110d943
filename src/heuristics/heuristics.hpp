// Dialect heuristics: pure functions over a byte text that never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../parser/cancel_check.hpp"

namespace brinewick {

// The most likely of ",", ";", tab and "|" for `sample`; "," when nothing scores.
// Reads at most the first 50 non-blank rows under each candidate.
// Both heuristics ask `cancel` while they parse; a stopped run's answer is meaningless.
[[nodiscard]] std::uint8_t sniff_delimiter(std::string_view sample, CancelCheck* cancel = nullptr);

// The most frequent field count among the first 100 non-blank rows of
// `sample` under `delimiter`; 0 when there is no non-blank row.
[[nodiscard]] std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                                             CancelCheck* cancel = nullptr);

// The same answers from a prefix of a longer input, or nullopt when the
// prefix is too short to be sure: some row they read (or would go on to read)
// did not end at a line break strictly before the prefix's end.
[[nodiscard]] std::optional<std::uint8_t> sniff_delimiter_in_prefix(std::string_view prefix);
[[nodiscard]] std::optional<std::size_t> infer_column_count_in_prefix(std::string_view prefix,
                                                                      std::uint8_t delimiter);

// The delimiter (sniffed unless given) and the column count under it
// (inferred unless given): sniff_delimiter's and infer_column_count's
// answers, with the rows sniffing read under the winner not read again.
struct SniffedDialect {
    std::uint8_t delimiter = ',';
    std::size_t columns = 0;
};
[[nodiscard]] SniffedDialect sniff_dialect(std::string_view sample, std::optional<std::uint8_t> delimiter,
                                           std::optional<std::size_t> columns, CancelCheck* cancel = nullptr);

// What a prefix that settles nothing lacks: no longer prefix settles until
// its added bytes hold a line break (LineBreak) or the quote (Quote);
// More when a longer prefix may settle.
enum class PrefixNeed : std::uint8_t { More, LineBreak, Quote };
struct PrefixSniff {
    std::optional<SniffedDialect> dialect;  // as sniff_dialect on the whole text, when settled
    PrefixNeed need = PrefixNeed::More;
};
[[nodiscard]] PrefixSniff sniff_dialect_in_prefix(std::string_view prefix, std::optional<std::uint8_t> delimiter,
                                                  std::optional<std::size_t> columns);

// True when `text` (valid UTF-8) is empty or only Unicode White_Space.
[[nodiscard]] bool is_blank_text(std::string_view text) noexcept;

}  // namespace brinewick
