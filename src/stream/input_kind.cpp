#include "input_kind.hpp"

#include <algorithm>
#include <array>

namespace brinewick::stream {
namespace {

bool starts(std::string_view head, std::string_view magic) noexcept {
    return head.size() >= magic.size() && head.substr(0, magic.size()) == magic;
}

// A byte no text file holds: a control character other than the white
// space ones and ESC. Signatures short enough to open a line of text count
// only with one in the head.
bool has_binary_byte(std::string_view head) noexcept {
    return std::any_of(head.begin(), head.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != 0x1b;
    });
}

std::uint32_t little16(std::string_view bytes, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

struct Signature {
    std::string_view magic;
    const char* what;
    bool tabular;
    bool needs_binary;  // short enough to open a text line
};

using namespace std::string_view_literals;

constexpr std::array kNotText{
    Signature{"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"sv, "an Excel workbook (or another Office document)", true, false},
    Signature{"PAR1"sv, "a Parquet file", true, true},
    Signature{"ARROW1\0\0"sv, "an Arrow file", true, false},
    Signature{"FEA1"sv, "a Feather file", true, true},
    Signature{"ORC"sv, "an ORC file", true, true},
    Signature{"Obj\x01"sv, "an Avro file", true, false},
    Signature{"SQLite format 3\0"sv, "an SQLite database", true, false},
    Signature{"%PDF-"sv, "a PDF document", false, false},
    Signature{"\x89PNG\r\n\x1a\n"sv, "a PNG image", false, false},
    Signature{"\xff\xd8\xff"sv, "a JPEG image", false, false},
    Signature{"GIF87a"sv, "a GIF image", false, false},
    Signature{"GIF89a"sv, "a GIF image", false, false},
    Signature{"II*\0"sv, "a TIFF image", false, false},
    Signature{"MM\0*"sv, "a TIFF image", false, false},
    Signature{"BM"sv, "a BMP image", false, true},
    Signature{"\x7f" "ELF"sv, "an executable", false, false},
    Signature{"MZ"sv, "an executable", false, true},
    Signature{"\xcf\xfa\xed\xfe"sv, "an executable", false, false},
    Signature{"\xce\xfa\xed\xfe"sv, "an executable", false, false},
    Signature{"\xca\xfe\xba\xbe"sv, "an executable", false, false},
    Signature{"7z\xbc\xaf\x27\x1c"sv, "a 7-Zip archive", false, false},
    Signature{"Rar!\x1a\x07"sv, "a RAR archive", false, false},
};

}  // namespace

std::string office_document(const std::vector<std::string>& members) {
    const auto has = [&members](std::string_view prefix) {
        return std::any_of(members.begin(), members.end(),
                           [prefix](const std::string& name) { return starts(name, prefix); });
    };
    if (has("xl/")) return "an Excel workbook";
    if (has("word/")) return "a Word document";
    if (has("ppt/")) return "a PowerPoint presentation";
    if (has("mimetype") && has("content.xml")) return "an OpenDocument file";
    if (has("[Content_Types].xml")) return "an Office document";
    return {};
}

bool identify_needs_more(std::string_view head) {
    if (head.size() >= kIdentifyBytes) return false;
    const auto overlaps = [head](std::string_view magic) {
        const std::size_t n = std::min(head.size(), magic.size());
        return head.substr(0, n) == magic.substr(0, n);
    };
    for (const std::string_view magic : {"\x1f\x8b"sv, "\x28\xb5\x2f\xfd"sv, "\xfd" "7zXZ\0"sv, "BZh"sv, "PK"sv, "RIFF"sv}) {
        if (overlaps(magic)) return true;
    }
    return std::any_of(kNotText.begin(), kNotText.end(),
                       [&overlaps](const Signature& signature) { return overlaps(signature.magic); });
}

IdentifiedInput identify_input(std::string_view head) {
    if (starts(head, "\x1f\x8b"sv)) return {InputKind::Gzip, {}, false};
    if (starts(head, "\x28\xb5\x2f\xfd"sv)) return {InputKind::Zstd, {}, false};
    if (starts(head, "\xfd" "7zXZ\0"sv)) return {InputKind::Xz, {}, false};
    // "BZh", the block size, then the magic of a block or of the end.
    if (head.size() >= 10 && starts(head, "BZh"sv) && head[3] >= '1' && head[3] <= '9' &&
        (head.substr(4, 6) == "\x31\x41\x59\x26\x53\x59"sv || head.substr(4, 6) == "\x17\x72\x45\x38\x50\x90"sv)) {
        return {InputKind::Bzip2, {}, false};
    }
    if (starts(head, "PK\x03\x04"sv) && head.size() >= 30) {
        // An ods names its kind in its first member, "mimetype", stored.
        const std::size_t name_size = little16(head, 26);
        const std::string_view name = head.substr(30, std::min(name_size, head.size() - 30));
        const std::string_view rest = head.substr(std::min(head.size(), 30 + name_size + little16(head, 28)));
        if (name == "mimetype"sv && starts(rest, "application/vnd.oasis.opendocument.spreadsheet"sv)) {
            return {InputKind::NotText, "an OpenDocument spreadsheet", true};
        }
        // The first member may show an office document; its directory tells which.
        return {InputKind::Zip, office_document({std::string(name)}), true};
    }
    if (starts(head, "PK\x05\x06"sv)) return {InputKind::NotText, "an empty zip archive", false};
    const bool binary = has_binary_byte(head.substr(0, std::min<std::size_t>(head.size(), 64)));
    for (const Signature& signature : kNotText) {
        if (starts(head, signature.magic) && (!signature.needs_binary || binary)) {
            return {InputKind::NotText, signature.what, signature.tabular};
        }
    }
    if (starts(head, "RIFF"sv) && head.size() >= 12 && head.substr(8, 4) == "WEBP"sv) {
        return {InputKind::NotText, "a WebP image", false};
    }
    return {};
}

std::string not_text_message(const std::string& path, const IdentifiedInput& identified) {
    std::string message = "'" + path + "' is " + identified.what + ", not a text file";
    message += identified.tabular ? "; save it as CSV first" : "; brinewick reads CSV text";
    return message;
}

}  // namespace brinewick::stream
