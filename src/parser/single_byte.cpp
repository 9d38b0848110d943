#include "single_byte.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>

#include "utf8.hpp"

namespace brinewick {
namespace {

static_assert(std::endian::native == std::endian::little, "entries are stored as words");

// windows-1252 from 0x80 to 0x9F; the rest is Latin-1.
constexpr std::array<std::uint16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr SingleByteTable::Entry encode(std::uint32_t code) {
    if (code < 0x80) return {{static_cast<char>(code), 0, 0}, 1};
    if (code < 0x800) {
        return {{static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F)), 0}, 2};
    }
    return {{static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
             static_cast<char>(0x80 | (code & 0x3F))},
            3};
}

constexpr SingleByteTable make_table(std::string_view name, bool windows) {
    SingleByteTable table{name, {}};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        const bool high = windows && byte >= 0x80 && byte < 0xA0;
        table.entries[byte] = encode(high ? kWindows1252High[byte - 0x80] : byte);
    }
    return table;
}

constexpr SingleByteTable kWindows1252 = make_table("cp1252", true);
constexpr SingleByteTable kLatin1 = make_table("latin-1", false);

// Lower case with '-' and '_' dropped: "Windows_1252" and "cp-1252" meet.
std::string folded(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (c == '-' || c == '_') continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

}  // namespace

const SingleByteTable& windows_1252() noexcept { return kWindows1252; }
const SingleByteTable& latin_1() noexcept { return kLatin1; }

const SingleByteTable* single_byte_table(std::string_view name) noexcept {
    try {
        const std::string key = folded(name);
        if (key == "cp1252" || key == "windows1252" || key == "win1252") return &kWindows1252;
        if (key == "latin1" || key == "iso88591" || key == "l1") return &kLatin1;
    } catch (...) {
    }
    return nullptr;
}

std::size_t decode_single_byte(char* out, const SingleByteTable& table, const unsigned char* data,
                               std::size_t size) noexcept {
    char* to = out;
    std::size_t i = 0;
    while (i < size) {
        // Eight ASCII bytes a step: the usual text between accented letters.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, data + i, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            std::memcpy(to, data + i, 8);
            to += 8;
            i += 8;
        }
        // A block with a letter past ASCII: every byte through the table,
        // without a branch (an ASCII byte's entry is itself, length 1). An
        // entry goes out whole, its length byte too, in one store: the room
        // is there, and the next character or the end overwrites the rest.
        const std::size_t stop = std::min(size, i + 16);
        for (; i < stop; ++i) {
            std::uint32_t entry;
            std::memcpy(&entry, &table.entries[data[i]], 4);
            std::memcpy(to, &entry, 4);
            to += entry >> 24;
        }
    }
    return static_cast<std::size_t>(to - out);
}

void append_single_byte(std::string& out, const SingleByteTable& table, const unsigned char* data,
                        std::size_t size) {
    const std::size_t at = out.size();
    out.resize(at + 3 * size + 1);
    out.resize(at + decode_single_byte(out.data() + at, table, data, size));
}

std::size_t append_text_with_fallback(std::string& out, const SingleByteTable* fallback,
                                      const unsigned char* data, std::size_t size) {
    if (fallback == nullptr) {
        append_lenient_utf8(out, data, size);
        return 0;
    }
    std::size_t lines = 0;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t valid = valid_utf8_prefix(data + at, size - at);
        if (valid == size - at) {
            out.append(reinterpret_cast<const char*>(data + at), valid);
            break;
        }
        // The ill-formed line runs from just after the last LF before the
        // bad byte to its own LF; what comes before it is copied as it is.
        std::size_t begin = at + valid;
        while (begin > at && data[begin - 1] != '\n') --begin;
        out.append(reinterpret_cast<const char*>(data + at), begin - at);
        const void* lf = std::memchr(data + at + valid, '\n', size - at - valid);
        const std::size_t end = lf != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - data) + 1
                                              : size;
        append_single_byte(out, *fallback, data + begin, end - begin);
        ++lines;
        at = end;
    }
    return lines;
}

}  // namespace brinewick
