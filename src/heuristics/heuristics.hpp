// Dialect heuristics: pure functions over a byte text that never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brinewick {

// The most likely of ",", ";", tab and "|" for `sample`; "," when nothing scores.
// Reads at most the first 50 non-blank rows under each candidate.
[[nodiscard]] std::uint8_t sniff_delimiter(std::string_view sample);

// The most frequent field count among the first 100 non-blank rows of
// `sample` under `delimiter`; 0 when there is no non-blank row.
[[nodiscard]] std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter);

// The same answers from a prefix of a longer input, or nullopt when the
// prefix is too short to be sure: some row they read (or would go on to read)
// did not end at a line break strictly before the prefix's end.
[[nodiscard]] std::optional<std::uint8_t> sniff_delimiter_in_prefix(std::string_view prefix);
[[nodiscard]] std::optional<std::size_t> infer_column_count_in_prefix(std::string_view prefix,
                                                                      std::uint8_t delimiter);

// True when `text` (valid UTF-8) is empty or only Unicode White_Space.
[[nodiscard]] bool is_blank_text(std::string_view text) noexcept;

}  // namespace brinewick
