// What a file is, told from its first bytes: text to read, a compressed
// stream to undo first, or a kind of file that is no text at all. Only
// signatures that no text file starts with count, so text is never refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brinewick::stream {

enum class InputKind { Text, Gzip, Zstd, Bzip2, Xz, Zip, NotText };

struct IdentifiedInput {
    InputKind kind = InputKind::Text;
    // NotText: what the file is ("an Excel workbook"), and whether it holds
    // data a spreadsheet program can save as CSV. Zip: what its first
    // member suggests it is, when that is an office document.
    std::string what;
    bool tabular = false;
};

// Bytes of the head that identify_input looks at (a zip member's name
// included).
inline constexpr std::size_t kIdentifyBytes = 512;

[[nodiscard]] IdentifiedInput identify_input(std::string_view head);

// Whether more of the head than `head` may change what identify_input says:
// it opens like a signature (or a prefix of one). Text is told at once, so a
// stream whose writer is slow is not waited on.
[[nodiscard]] bool identify_needs_more(std::string_view head);

// A zip archive whose member names show it to be an office document (an
// xlsx or ods workbook, ...): what it is, else empty.
[[nodiscard]] std::string office_document(const std::vector<std::string>& members);

// The message for a file that is no text: "'x.xlsx' is an Excel workbook,
// not a text file; save it as CSV first".
[[nodiscard]] std::string not_text_message(const std::string& path, const IdentifiedInput& identified);

}  // namespace brinewick::stream
