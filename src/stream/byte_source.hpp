// Where the input window's bytes come from: a file or a stream descriptor,
// or a filter over another source (a decompressor, a transcoder). Offsets
// are those of the bytes a source gives, which for a filter are not the
// file's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "../error/status.hpp"

namespace brinewick::stream {

// Where a compressed input stopped making sense: what it gives ends at the
// end of its last complete line, and the partial line after it is left out.
struct InputBreak {
    std::string reason;             // "the gzip data is truncated", "the zstd data is corrupt: ..."
    std::uint64_t lines = 0;        // complete lines given before the break
    std::uint64_t bytes = 0;        // bytes given, up to the end of the last complete line
    std::uint64_t left_out = 0;     // bytes of the partial line after it, not given
};

class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    virtual ~ByteSource() = default;

    // Reads at most `size` (> 0) bytes into `into`; 0 only at the end. A
    // source that must wait (a pipe) looks at `cancel` while it waits and
    // gives Status::cancelled() once it is set.
    [[nodiscard]] virtual Result<std::size_t> read(char* into, std::size_t size,
                                                   const std::atomic<bool>& cancel) = 0;
    // Whether `seek` may be used: a regular file read as it is.
    [[nodiscard]] virtual bool can_seek() const noexcept = 0;
    // Reads next from `offset` of what `read` gives.
    [[nodiscard]] virtual Status seek(std::uint64_t offset) = 0;
    // The size of what `read` will give in all, when known before reading.
    [[nodiscard]] virtual std::optional<std::uint64_t> size() const noexcept = 0;

    // Progress in the bytes of the file underneath: for a filter, how many
    // of them it has taken so far, and how many there are.
    [[nodiscard]] virtual std::optional<std::uint64_t> consumed() const noexcept { return std::nullopt; }
    [[nodiscard]] virtual std::optional<std::uint64_t> consumed_total() const noexcept { return size(); }
    // The compression undone, or nullptr for a file read as it is.
    [[nodiscard]] virtual const char* compression() const noexcept { return nullptr; }
    // Once read() has given its end: where a damaged compressed input broke off.
    [[nodiscard]] virtual std::optional<InputBreak> broke_off() const { return std::nullopt; }
};

// Gives `head` first, then what `inner` gives after it: the first bytes
// read to tell what an input is are not lost. Seeking (where `inner` can)
// drops what is left of `head` and seeks `inner`.
class PrefixedSource final : public ByteSource {
public:
    PrefixedSource(std::string head, std::unique_ptr<ByteSource> inner) noexcept
        : head_(std::move(head)), inner_(std::move(inner)) {}

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override;
    bool can_seek() const noexcept override { return inner_->can_seek(); }
    Status seek(std::uint64_t offset) override;
    std::optional<std::uint64_t> size() const noexcept override { return inner_->size(); }
    std::optional<std::uint64_t> consumed() const noexcept override { return inner_->consumed(); }
    std::optional<std::uint64_t> consumed_total() const noexcept override { return inner_->consumed_total(); }
    const char* compression() const noexcept override { return inner_->compression(); }
    std::optional<InputBreak> broke_off() const override { return inner_->broke_off(); }

private:
    std::string head_;
    std::size_t at_ = 0;
    std::unique_ptr<ByteSource> inner_;
};

// Opens the input a caller names. Empty, the name is a path and the input a
// file (open_file_source); a caller whose inputs live elsewhere (an object
// store reached through another runtime) gives its own.
using SourceOpener = std::function<Result<std::unique_ptr<ByteSource>>(const std::string& name)>;

// A file, FIFO, device or socket by its path; regular files can seek.
// Directories and paths holding a NUL are refused.
[[nodiscard]] Result<std::unique_ptr<ByteSource>> open_file_source(const std::string& path);

}  // namespace brinewick::stream
