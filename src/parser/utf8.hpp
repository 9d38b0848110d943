// Lenient UTF-8: validation with an ASCII fast path, and decoding that turns
// every maximal ill-formed subpart into one U+FFFD (the WHATWG behaviour,
// identical to Python's bytes.decode("utf-8", "replace")).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brinewick {

struct Utf8Check {
    bool valid;  // well-formed UTF-8 throughout
    bool ascii;  // every byte below 0x80 (implies valid)
};

[[nodiscard]] Utf8Check check_utf8(const unsigned char* data, std::size_t size) noexcept;

// Length of the longest prefix of `data` that is well-formed UTF-8 ending at
// a character boundary: where the first ill-formed sequence starts, or one
// that `size` cuts short; `size` when the whole is well-formed. Checks 64
// bytes a step (a few instructions for pure ASCII), so a caller can
// validate a long stretch of text once instead of each piece of it.
[[nodiscard]] std::size_t valid_utf8_prefix(const unsigned char* data, std::size_t size) noexcept;

// Appends `size` bytes to `out`, replacing ill-formed sequences by U+FFFD;
// returns how many replacements it made.
std::size_t append_lenient_utf8(std::string& out, const unsigned char* data, std::size_t size);

[[nodiscard]] std::string decode_lenient_utf8(std::string_view bytes);

// Appends the UTF-8 form of the character whose code is `byte` (U+0000..U+00FF):
// one byte below 0x80, two bytes from 0x80 on.
void append_latin1_char(std::string& out, std::uint8_t byte);

}  // namespace brinewick
