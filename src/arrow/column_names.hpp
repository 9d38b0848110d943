// Column names from a header row.
//
// Every name the header spells out is kept as it stands (no trimming) for its
// first occurrence. Generated names then fill the gaps, in column order:
//   - a blank name (empty, or only spaces and tabs) at 1-based position N
//     becomes "column_N";
//   - a repeat of a name becomes name + "_2", "_3", ... (its second, third,
//     ... occurrence);
//   - columns past the end of the header (rows wider than it, or no header
//     at all) become "column_N".
// A generated candidate that equals any name in the header, or one generated
// before it, is skipped: a repeat takes the next free suffix, and a
// "column_N" that is taken becomes "column_N_2", "column_N_3", ... So
// ["a", "a", "a_2"] gives a, a_3, a_2 and the real "a_2" keeps its name.
// A NUL in a header name becomes U+FFFD first (the Arrow schema's names end
// at a NUL), and all of the above runs on the names so changed.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch_builder.hpp"

namespace brinewick::arrow {

// Names for `width` columns (width >= header.size()); pass an empty header
// when the input has none.
[[nodiscard]] std::vector<std::string> column_names(std::span<const std::string_view> header,
                                                    std::size_t width);

// Column specs, made here and nowhere else: `width` unnamed string columns
// (cells as read, the names still to come), and `width` string columns
// named from `header` as above.
[[nodiscard]] std::vector<ColumnSpec> string_columns(std::size_t width);
[[nodiscard]] std::vector<ColumnSpec> named_columns(std::span<const std::string_view> header, std::size_t width);

}  // namespace brinewick::arrow
