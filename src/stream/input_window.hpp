// The input as a rolling window: bytes are read in fixed pieces behind what
// is in view, and dropped from its front once the rows there are done. Memory
// is the pending row plus what the last reads brought, never the whole input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "../memory/buffer.hpp"
#include "byte_source.hpp"
#include "decoding.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream {

class InputWindow {
public:
    // Opens `path` for reading (through `opener` when one is given),
    // decompressing it when its first bytes say so. Regular files report
    // their size in control.bytes_total (a compressed one its compressed
    // size, progress counting the compressed bytes taken); FIFOs and devices
    // are read as streams.
    [[nodiscard]] static Result<InputWindow> open(const std::string& path, std::size_t read_size,
                                                  StreamControl& control, const SourceOpener& opener = {});
    // Reads `source`; `path` names it in errors. A source of known size
    // reports it in control.bytes_total.
    InputWindow(std::unique_ptr<ByteSource> source, std::string path, std::size_t read_size,
                StreamControl& control) noexcept;
    InputWindow(InputWindow&& other) noexcept;
    InputWindow& operator=(InputWindow&&) = delete;
    InputWindow(const InputWindow&) = delete;
    ~InputWindow();

    // The bytes in view; valid until the next discard_before or read_more.
    [[nodiscard]] std::string_view view() const noexcept {
        return {buffer_.data() + begin_, end_ - begin_};
    }
    // File offset of view()[0].
    [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
    // True once the input's end is in view: nothing more will come.
    [[nodiscard]] bool at_end() const noexcept { return at_end_; }
    [[nodiscard]] std::uint64_t bytes_read() const noexcept { return offset_ + (end_ - begin_); }
    [[nodiscard]] std::size_t read_size() const noexcept { return read_size_; }
    // The size of the text read in all, when known before reading it (a
    // regular file read as it is).
    [[nodiscard]] std::optional<std::uint64_t> text_size() const noexcept { return source_->size(); }

    // Starts reading a regular file at `offset` instead of its start;
    // before the first read only.
    [[nodiscard]] Status seek(std::uint64_t offset);

    // Whether rewind may be used: a regular file, not a stream.
    [[nodiscard]] bool can_rewind() const noexcept { return source_->can_seek(); }
    // Empties the view and reads a regular file again from `offset`, which
    // is at or before the view's start. A buffer grown far past the read
    // size is freed.
    [[nodiscard]] Status rewind(std::uint64_t offset);

    // Drops the first `count` bytes in view (rows that are done).
    void discard_before(std::size_t count) noexcept {
        begin_ += count;
        offset_ += count;
    }

    // Reads, in read_size pieces, until at least `want` more bytes are in
    // view or the input ends. Cancellation is looked at before every read
    // (and while a stream has nothing to read). With `exact`, no read asks
    // for more than is still wanted, so a file gives exactly `want`.
    [[nodiscard]] Status read_more(std::size_t want, bool exact = false);

    // When all the bytes of a source of known size are in view, learns
    // whether it ended there (one read of one byte, which is kept if the
    // source grew) without growing the buffer to ask.
    [[nodiscard]] Status learn_end();

    // The buffer holding the first `count` bytes in view, handed over
    // instead of copied: those bytes start at `begin` of it, and the byte
    // before them is free for the taker's use. The window goes on in
    // `spare` (when it holds the bytes in view past `count` and one more
    // read; else in a new block), where it copies those bytes. When the
    // buffer holds far more than those bytes (a long prefix read to settle
    // the dialect), they are copied out into `spare` instead and the window
    // keeps its buffer. The buffers only lend their blocks: their sizes stay 0.
    struct Handed {
        memory::Bytes buffer;
        std::size_t begin = 0;
    };
    [[nodiscard]] Result<Handed> hand_over(std::size_t count, Handed spare);

    [[nodiscard]] StreamControl& control() const noexcept { return *control_; }

    // What rows read from this window do with fields that are not UTF-8
    // (RowBuffer::set_fallback): the decoder's choice for the input.
    [[nodiscard]] const SingleByteTable* fallback() const noexcept {
        return decode_ ? decode_->decoding.fallback : nullptr;
    }
    void set_decoding(std::shared_ptr<const DecodeState> state) noexcept { decode_ = std::move(state); }
    // Puts the bytes read, the compression undone and any break of the
    // input in `summary`, and the progress at its end.
    void finish(StreamSummary& summary) const;

private:
    [[nodiscard]] Status make_room(std::size_t want);
    // Frees a buffer grown far past the read size (for a long row or a long
    // prefix) at once rather than caching its block.
    void drop_outsized() noexcept;

    std::unique_ptr<ByteSource> source_;
    std::string path_;
    std::size_t read_size_;
    StreamControl* control_;
    // The view starts at kLead or later, so that hand_over leaves a byte
    // before it.
    static constexpr std::size_t kLead = 1;

    memory::Bytes buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0;
    bool at_end_ = false;
    std::shared_ptr<const DecodeState> decode_;
};

// A window over `path` decoded as `request` asks (decoding.hpp).
struct OpenedInput {
    InputWindow window;
    std::shared_ptr<DecodeState> state;
};
// `opener`, when given, opens the raw input instead of the file at `path`.
[[nodiscard]] Result<OpenedInput> open_input(const std::string& path, std::size_t read_size, StreamControl& control,
                                             const EncodingRequest& request, const SourceOpener& opener = {});

}  // namespace brinewick::stream
