// The chunk cutter: the input window cut at line breaks into the pieces
// that the pipeline's threads parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "../memory/buffer.hpp"
#include "input_window.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream::pipeline {

[[nodiscard]] inline bool is_break(std::uint8_t byte) noexcept { return byte == '\r' || byte == '\n'; }

// A piece of the input that ends at a line break (never between a CR and
// its LF), or at the input's end.
struct Chunk {
    // The text stands at [begin, begin + size), the quote at begin - 1. The
    // storage is the input window's buffer, handed over rather than copied.
    memory::Bytes storage;
    std::size_t begin = 1;
    std::size_t size = 0;
    std::uint64_t offset = 0;  // file offset of the text's first byte
    bool last = false;         // the text ends where the input ends
    [[nodiscard]] std::string_view text() const noexcept { return {storage.data() + begin, size}; }
    // The text behind one quote: parsed from its start, the row opens inside
    // a quoted field, which is how a row that began earlier goes on here.
    [[nodiscard]] std::string_view quoted_text() const noexcept { return {storage.data() + begin - 1, size + 1}; }
};

// Cuts the next chunk off the front of the window: the last line break
// within chunk_size bytes, else the first one after (a line longer than a
// chunk), else the input's end. With `limit`, the chunk ends at most there
// (a cut point, `limit` bytes into the window). `reuse` is a chunk already
// placed, whose memory is used again when it is large enough (fresh pages
// cost a fault each).
[[nodiscard]] Result<std::shared_ptr<Chunk>> next_chunk(
    InputWindow& window, std::size_t chunk_size, std::uint8_t quote_char, std::shared_ptr<Chunk> reuse,
    std::optional<std::uint64_t> limit = std::nullopt);

// Whether a chunk may end after byte i of `view`: i is an LF, or a CR whose
// next byte is known and is not an LF.
[[nodiscard]] inline bool cut_after(std::string_view view, std::size_t i, bool at_end) noexcept {
    if (view[i] == '\n') return true;
    if (view[i] != '\r') return false;
    return i + 1 < view.size() ? view[i + 1] != '\n' : at_end;
}

}  // namespace brinewick::stream::pipeline
