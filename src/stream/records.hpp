// The text of quarantine and change records. A record is its line number
// followed by a tail; the tail never depends on the line, so rows parsed
// ahead of knowing where they stand can have their tails written at once.
//
// The columns of both records are named here and nowhere else: the files'
// header lines, the Arrow record tables and the package's
// QUARANTINE_COLUMNS / CHANGES_COLUMNS all come from these lists.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stream_rows.hpp"

namespace brinewick::stream {

// `expected`: the column count the row was fitted to; `found`: its fields
// as parsed. Empty where the row was not measured against a width.
inline constexpr std::array<std::string_view, 6> kQuarantineColumns = {"line",     "byte_offset", "reason",
                                                                       "expected", "found",       "raw"};
// `column`: the column a change concerns, when it concerns one (type_error).
inline constexpr std::array<std::string_view, 7> kChangesColumns = {"line",  "byte_offset", "change", "column",
                                                                    "expected", "found",    "detail"};

inline constexpr std::string_view kQuarantineHeader = "line,byte_offset,reason,expected,found,raw\n";
inline constexpr std::string_view kChangesHeader = "line,byte_offset,change,column,expected,found,detail\n";

namespace records_detail {
template <std::size_t N>
constexpr bool header_lists(std::string_view header, const std::array<std::string_view, N>& columns) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (header.substr(at, columns[i].size()) != columns[i]) return false;
        at += columns[i].size();
        if (at >= header.size() || header[at] != (i + 1 == N ? '\n' : ',')) return false;
        ++at;
    }
    return at == header.size();
}
}  // namespace records_detail
static_assert(records_detail::header_lists(kQuarantineHeader, kQuarantineColumns));
static_assert(records_detail::header_lists(kChangesHeader, kChangesColumns));

// A row's width against the table's, in numbers a program can read.
struct FieldCounts {
    std::size_t expected = 0;  // the column count
    std::size_t found = 0;     // the row's fields as parsed
};

// The counts of a change that fitted a row to the width (padded, merged,
// a blank line written as a row, requoted, trailing_empty); none for the others.
[[nodiscard]] std::optional<FieldCounts> change_field_counts(const RowChange& change) noexcept;

// The counts of a quarantined row of `found` fields; none when the table
// has no width to hold it against (`expected` 0).
[[nodiscard]] inline std::optional<FieldCounts> quarantine_field_counts(std::size_t expected,
                                                                        std::size_t found) noexcept {
    if (expected == 0) return std::nullopt;
    return FieldCounts{expected, found};
}

void append_number(std::string& out, std::uint64_t value);

// ",byte_offset,change,column,expected,found,detail\n" for one change; the
// column is empty (only the Arrow reader's type errors name one).
void append_change_tail(std::string& out, std::uint64_t byte_offset, const RowChange& change);

// ",byte_offset,reason,expected,found,raw\n" for one quarantined row; `raw`
// is decoded as the row's fields are: lines that are not UTF-8 through
// `fallback`, or leniently when it is null.
void append_quarantine_tail(std::string& out, std::uint64_t byte_offset, std::string_view reason,
                            std::optional<FieldCounts> counts, std::string_view raw,
                            const SingleByteTable* fallback = nullptr);

}  // namespace brinewick::stream
