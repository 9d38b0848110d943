// The decoder between a source and the input window: which encoding the
// input is in, decided on its first bytes, and a source that gives its text
// as UTF-8. Offsets past the decoder (records, row boundaries) are those of
// the UTF-8 text; for UTF-8 input they are the file's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../error/status.hpp"
#include "../parser/single_byte.hpp"
#include "byte_source.hpp"

namespace brinewick::stream {

// What the caller asked for.
struct EncodingRequest {
    // "auto", "utf-8" (the input as it stands, U+FFFD for ill-formed bytes),
    // a single-byte table's name, or any name iconv knows.
    std::string encoding = "utf-8";
    // Under "auto", for input found to be UTF-8: fields that are not read
    // through this table (null: U+FFFD as for "utf-8").
    const SingleByteTable* fallback = &windows_1252();
    // Under "auto", for a local file: before all of it is read as the
    // fallback encoding, the rest is searched for a multi-byte UTF-8
    // character too (files joined from two systems); one found makes it UTF-8
    // with the fallback per field, as a sample that shows both does.
    bool search_rest = false;
};

// Bytes of the input looked at to decide under "auto" (of a stream, what
// its first read gives, up to this).
inline constexpr std::size_t kEncodingSample = std::size_t{1} << 20;

// What was decided for one input.
struct Decoding {
    enum class Kind : std::uint8_t {
        Utf8,    // as it stands; `fallback` for fields that are not UTF-8
        Table,   // every byte through `table`
        Iconv,   // through iconv from `iconv_name`
    };
    Kind kind = Kind::Utf8;
    std::string name = "utf-8";  // as reports give it
    std::string iconv_name;
    const SingleByteTable* table = nullptr;
    const SingleByteTable* fallback = nullptr;
    std::size_t bom = 0;  // bytes of a BOM the decoder drops (not UTF-8's: rows skip it)
    // The sample held bytes that are not UTF-8 (found, not assumed).
    bool legacy_looking = false;
};

// The name iconv knows for `name` (tried as given and in its usual
// spellings: "utf-16-le" is "UTF-16LE", "euc_kr" "EUC-KR"), or empty.
[[nodiscard]] std::string iconv_encoding_name(std::string_view name);

// Whether `name` is "auto" or an encoding this engine reads; checked
// before anything opens.
[[nodiscard]] bool encoding_known(std::string_view name);

// The decision for an input whose first bytes are `sample` (`whole`: the
// sample is all of it).
[[nodiscard]] Decoding decide_encoding(std::string_view sample, bool whole, const EncodingRequest& request);

// What was decided for one input, and what its decoder counted: byte
// sequences no character of the encoding matched (each one U+FFFD), and the
// input's own bytes it read, which the summary reports as bytes read rather
// than those of the text made of them. A stream's decision is made at its
// first read (before any row is parsed): `decoding` is set by then.
struct DecodeState {
    Decoding decoding;
    std::atomic<std::uint64_t> replaced{0};
    std::atomic<std::uint64_t> input_bytes{0};
};

struct DecodedSource {
    std::unique_ptr<ByteSource> source;
    std::shared_ptr<DecodeState> state;
};

// Puts the decoder the request calls for over `raw`, deciding on its first
// bytes: read now from a regular file, and at the first read from a stream
// (whose writer may need the caller's thread to go on). A source that
// decodes cannot seek (its offsets are not the file's); one left as it
// stands seeks as `raw` does.
[[nodiscard]] Result<DecodedSource> decode_source(std::unique_ptr<ByteSource> raw, const EncodingRequest& request,
                                                  const std::atomic<bool>& cancel);

}  // namespace brinewick::stream
