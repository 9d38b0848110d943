// Shared by the fuzz targets: options read off the front of the input, a
// report-and-abort for disagreements (libFuzzer keeps the input that caused
// it), and a strict reader for the CSV that the engine writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reference_parser.hpp"

namespace brinewick_fuzz {

// The input as option bytes followed by the text. Missing option bytes read
// as 0, so every input, however short, is a valid case.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    [[nodiscard]] std::string_view rest() const { return {reinterpret_cast<const char*>(data_), size_}; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// A disagreement: say what and where, then abort so the run counts it as a crash.
[[noreturn]] inline void fail(const std::string& what, std::string_view text, const std::string& context) {
    std::fprintf(stderr, "\n== MISMATCH: %s\n   %s\n   text %s\n", what.c_str(), context.c_str(),
                 brinewick_test::printable(text, 2000).c_str());
    std::abort();
}

// The UTF-8 form of the character with code `byte` (how the writers put a
// delimiter or quote byte into their UTF-8 output).
inline std::string latin1_utf8(std::uint8_t byte) {
    return brinewick_test::encode_utf8(std::u32string(1, static_cast<char32_t>(byte)));
}

// Strict CSV: valid UTF-8, records ended by LF (the last one included),
// fields bare or enclosed in `quote` with inner quotes doubled, nothing
// after a closing quote but the delimiter or LF, no quote or CR in a bare
// field. With `minimal`, a field may be quoted only when its text holds the
// quote, the delimiter, CR or LF. Returns an empty string on success, else
// what broke the rules.
inline std::string read_strict_csv(std::string_view bytes, char32_t delimiter, char32_t quote, bool minimal,
                                   std::vector<std::vector<std::string>>& rows) {
    rows.clear();
    std::size_t ill_formed = 0;
    const std::u32string text = brinewick_test::reference_code_points(bytes, &ill_formed);
    if (ill_formed != 0) return "not valid UTF-8";
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        std::vector<std::string> row;
        for (;;) {
            std::u32string field;
            if (i == n) return "the last record has no line feed";
            if (text[i] == quote) {
                ++i;
                for (;;) {
                    if (i == n) return "a quoted field never closes";
                    if (text[i] == quote) {
                        if (i + 1 < n && text[i + 1] == quote) {
                            field.push_back(quote);
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    field.push_back(text[i++]);
                }
                if (minimal && field.find_first_of(std::u32string{quote, delimiter, U'\r', U'\n'}) ==
                                   std::u32string::npos) {
                    return "a field is quoted that needs no quotes (record " + std::to_string(rows.size()) + ")";
                }
                if (i == n) return "the last record has no line feed";
                if (text[i] != delimiter && text[i] != U'\n') {
                    return "text after a closing quote (record " + std::to_string(rows.size()) + ")";
                }
            } else {
                while (i < n && text[i] != delimiter && text[i] != U'\n') {
                    if (text[i] == quote || text[i] == U'\r') {
                        return "a bare field holds a quote or CR (record " + std::to_string(rows.size()) + ")";
                    }
                    field.push_back(text[i++]);
                }
                if (i == n) return "the last record has no line feed";
            }
            row.push_back(brinewick_test::encode_utf8(field));
            if (text[i++] == U'\n') break;
        }
        rows.push_back(std::move(row));
    }
    return {};
}

}  // namespace brinewick_fuzz
