// The settings object that brinewick._native's salvage and read_open take
// (brinewick._options.NativeSettings): one attribute per option. The package
// checks every value when it makes one; these readers check them again, so
// an object made any other way cannot get past what the package refuses.
#pragma once

#include "conversions.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "arrow/values.hpp"
#include "salvage/salvage.hpp"
#include "stream/byte_source.hpp"
#include "stream/decoding.hpp"

namespace brinewick::native {

class SettingsReader {
public:
    // `callable` names the function in messages, as Converter does.
    SettingsReader(const char* callable, PyObject* settings) noexcept : convert_{callable}, settings_(settings) {}

    // The attribute `name`; empty with TypeError set when it is missing.
    [[nodiscard]] py::PyRef attribute(const char* name) const;

    [[nodiscard]] bool flag(const char* name, bool& out) const;
    // "decimal": None (0), "." or ",".
    [[nodiscard]] bool decimal(char& out) const;
    // "thousands": None (0), ",", ".", " " or "'", and not the decimal mark `decimal`.
    [[nodiscard]] bool thousands(char decimal, char& out) const;
    // "null_values": a tuple of non-empty str.
    [[nodiscard]] bool null_values(arrow::NullTexts& out) const;
    // An int in [low, high]; None, where allowed, leaves `out` empty.
    [[nodiscard]] bool integer(const char* name, long long low, long long high, bool none_allowed,
                               std::optional<long long>& out) const;
    // An int in [1, high].
    [[nodiscard]] bool size(const char* name, long long high, std::size_t& out) const;
    // A one-character str, ASCII and not a line break; None, where allowed, leaves `out` empty.
    [[nodiscard]] bool ascii_char(const char* name, bool none_allowed, std::optional<std::uint8_t>& out) const;

    // `source`: None, or a callable opening the input for each pass (see
    // python_opener); `out` stays empty for None.
    [[nodiscard]] bool source(stream::SourceOpener& out) const;

    // The seven dialect and repair options, a delimiter equal to the quote refused.
    [[nodiscard]] bool dialect(SalvageOptions& out) const;
    // `encoding` (a name the engine reads) and `fallback_encoding` (a
    // single-byte table's name, or None).
    [[nodiscard]] bool encoding(stream::EncodingRequest& out) const;

private:
    Converter convert_;
    PyObject* settings_;
};

}  // namespace brinewick::native
