#include "utf8.hpp"

#include <cstring>

namespace brinewick {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

inline bool has_high_bit(std::uint64_t word) noexcept {
    return (word & 0x8080808080808080ULL) != 0;
}

// Length of the well-formed sequence starting at data[0] (lead >= 0x80), or
// 0 when ill-formed; `maximal` gets the length of the maximal subpart then.
inline std::size_t sequence_length(const unsigned char* data, std::size_t size,
                                   std::size_t& maximal) noexcept {
    const unsigned char lead = data[0];
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;        // no overlong forms
        else if (lead == 0xED) hi = 0x9F;   // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;        // no overlong forms
        else if (lead == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        maximal = 1;  // continuation byte, C0, C1 or F5..FF: never valid
        return 0;
    }
    std::size_t i = 1;
    for (; i < need; ++i) {
        if (i >= size) break;
        const unsigned char c = data[i];
        const unsigned char l = i == 1 ? lo : 0x80;
        const unsigned char h = i == 1 ? hi : 0xBF;
        if (c < l || c > h) break;
    }
    if (i == need) return need;
    maximal = i;
    return 0;
}

}  // namespace

Utf8Check check_utf8(const unsigned char* data, std::size_t size) noexcept {
    std::size_t i = 0;
    bool ascii = true;
    while (i < size) {
        // Skip ASCII eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, data + i, 8);
            if (has_high_bit(word)) {
                i += static_cast<std::size_t>(__builtin_ctzll(word & 0x8080808080808080ULL)) / 8;
                break;
            }
            i += 8;
        }
        while (i < size && data[i] < 0x80) ++i;
        if (i >= size) break;
        ascii = false;
        // The common two-byte letters (Latin, Greek, Cyrillic) inline.
        const unsigned char lead = data[i];
        if (lead >= 0xC2 && lead <= 0xDF && i + 1 < size && (data[i + 1] & 0xC0) == 0x80) {
            i += 2;
            continue;
        }
        std::size_t maximal = 0;
        const std::size_t len = sequence_length(data + i, size - i, maximal);
        if (len == 0) return {false, false};
        i += len;
    }
    return {true, ascii};
}

std::size_t append_lenient_utf8(std::string& out, const unsigned char* data, std::size_t size) {
    std::size_t replaced = 0;
    std::size_t i = 0;
    std::size_t run = 0;  // start of the pending well-formed run
    while (i < size) {
        if (data[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t maximal = 0;
        const std::size_t len = sequence_length(data + i, size - i, maximal);
        if (len != 0) {
            i += len;
            continue;
        }
        out.append(reinterpret_cast<const char*>(data + run), i - run);
        out.append(kReplacement, 3);
        ++replaced;
        i += maximal;
        run = i;
    }
    out.append(reinterpret_cast<const char*>(data + run), size - run);
    return replaced;
}

std::string decode_lenient_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_lenient_utf8(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

void append_latin1_char(std::string& out, std::uint8_t byte) {
    if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
    } else {
        out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
}

}  // namespace brinewick
