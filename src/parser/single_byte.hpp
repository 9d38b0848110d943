// Single-byte legacy encodings that map every byte to a character, so text
// decoded from them loses nothing: windows-1252 as browsers decode it (the
// five bytes Microsoft left unassigned become the C1 controls of the same
// code) and Latin-1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brinewick {

struct SingleByteTable {
    std::string_view name;
    // The UTF-8 form of each byte: `length` bytes of `bytes`. The decoder
    // reads an entry as one little-endian word, the length its high byte.
    struct Entry {
        std::array<char, 3> bytes;
        std::uint8_t length;
    };
    static_assert(sizeof(Entry) == 4);
    std::array<Entry, 256> entries;
};

[[nodiscard]] const SingleByteTable& windows_1252() noexcept;
[[nodiscard]] const SingleByteTable& latin_1() noexcept;
// The table of a name ("cp1252", "windows-1252", "latin-1", ...), or null.
[[nodiscard]] const SingleByteTable* single_byte_table(std::string_view name) noexcept;

// Writes the UTF-8 text of `size` bytes read through `table` to `out`,
// which has room for 3 * size + 1 bytes; returns the bytes written.
[[nodiscard]] std::size_t decode_single_byte(char* out, const SingleByteTable& table, const unsigned char* data,
                                             std::size_t size) noexcept;

// Appends the UTF-8 text of `size` bytes read through `table`.
void append_single_byte(std::string& out, const SingleByteTable& table, const unsigned char* data,
                        std::size_t size);

// Appends `size` bytes as text: each line (up to and with its LF) that is
// well-formed UTF-8 as it stands, any other line read through `fallback`, or
// with ill-formed sequences replaced by U+FFFD when `fallback` is null.
// Returns the lines read through the fallback.
std::size_t append_text_with_fallback(std::string& out, const SingleByteTable* fallback,
                                      const unsigned char* data, std::size_t size);

}  // namespace brinewick
