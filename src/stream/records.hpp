// The text of quarantine and change records. A record is its line number
// followed by a tail; the tail never depends on the line, so rows parsed
// ahead of knowing where they stand can have their tails written at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stream_rows.hpp"

namespace brinewick::stream {

inline constexpr std::string_view kQuarantineHeader = "line,byte_offset,reason,raw\n";
inline constexpr std::string_view kChangesHeader = "line,byte_offset,change,detail\n";

void append_number(std::string& out, std::uint64_t value);

// ",byte_offset,change,detail\n" for one change.
void append_change_tail(std::string& out, std::uint64_t byte_offset, const RowChange& change);

// ",byte_offset,reason,raw\n" for one quarantined row; `raw` is decoded as
// the row's fields are: lines that are not UTF-8 through `fallback`, or
// leniently when it is null.
void append_quarantine_tail(std::string& out, std::uint64_t byte_offset, std::string_view reason,
                            std::string_view raw, const SingleByteTable* fallback = nullptr);

}  // namespace brinewick::stream
