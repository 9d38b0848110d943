// An output file that appears whole or not at all: written to a file with no
// name yet in its target's folder (a hidden temporary where the file system
// has no unnamed files), put over the target only on commit, and gone if it
// is never committed, even when the process is killed.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "../salvage/csv_writer.hpp"
#include "compressed_output.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream {

class AtomicOutput {
public:
    static constexpr std::size_t kCapacity = std::size_t{1} << 18;

    // An output named *.gz or *.zst is written compressed.
    // Creates the temporary (mode 0666 less the umask, or the target's own
    // permission bits when it exists). Fails before creating anything when
    // the target is a directory. A device, FIFO or socket is opened and
    // written directly instead (waiting for a FIFO's reader until `cancel`
    // is set), and so is a name for an open descriptor (/dev/stdout,
    // /dev/fd/N, /proc/PID/fd/N): one of this process is written through
    // its own open file, so `>>` keeps appending. A target that is a
    // symbolic link to a file is written through: the file it names is
    // replaced and the link stays.
    [[nodiscard]] static Result<AtomicOutput> create(
        const std::string& target, const std::atomic<bool>* cancel = nullptr);

    AtomicOutput(AtomicOutput&& other) noexcept;
    AtomicOutput& operator=(AtomicOutput&&) = delete;
    AtomicOutput(const AtomicOutput&) = delete;
    ~AtomicOutput();  // removes the temporary unless it was renamed into place

    [[nodiscard]] Status write(std::string_view data);
    // Room for `size` more bytes in the buffer, or nullptr; commit(end) keeps
    // what was written there.
    [[nodiscard]] char* room_for(std::size_t size) noexcept {
        return used_ + size <= kCapacity ? buffer_.get() + used_ : nullptr;
    }
    void commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.get()); }
    // Writes out the buffer if `size` more bytes would not fit in it.
    [[nodiscard]] Status make_room(std::size_t size) {
        return used_ + size <= kCapacity ? Status::ok() : flush_buffer();
    }

    // Writes out the buffer, flushes the file to disk when `durable`, and
    // closes it (a close can report a write that failed late); an unnamed
    // file is closed once linked, in rename_into_place.
    [[nodiscard]] Status finish(bool durable);
    // Puts the finished temporary over the target (an unnamed one is linked
    // to a hidden name and renamed from there).
    [[nodiscard]] Status rename_into_place();

    // Written straight to its target (a device, FIFO or socket): never renamed.
    [[nodiscard]] bool is_direct() const noexcept { return mode_ == Mode::Direct; }
    // Written straight into the regular file `path` names (through a
    // descriptor such as /dev/stdout redirected to it).
    [[nodiscard]] bool writes_into(const std::string& path) const;
    // A flag that, once set, makes the next buffer flush fail as cancelled.
    void watch(const std::atomic<bool>* cancel) noexcept { cancel_ = cancel; }
    // Starts the disk writes of what was written every kWriteBackStep bytes,
    // while writing goes on, so that finish(true) waits for the last few
    // MiB only instead of the whole file.
    void write_back_while_writing() noexcept { write_back_ = !is_direct(); }
    static constexpr std::size_t kWriteBackStep = std::size_t{8} << 20;

    [[nodiscard]] const std::string& target() const noexcept { return target_; }
    // The temporary's name; empty while it has none.
    [[nodiscard]] const std::string& temporary() const noexcept { return temporary_; }
    [[nodiscard]] std::string directory() const;

private:
    enum class Mode : unsigned char { Named, Unnamed, Direct };
    AtomicOutput(int fd, std::string target, std::string destination, std::string temporary);
    [[nodiscard]] static AtomicOutput direct(int fd, const std::string& target);
    [[nodiscard]] Status flush_buffer();
    [[nodiscard]] Status close_descriptor();
    [[nodiscard]] static Result<AtomicOutput> open_target(const std::string& target,
                                                          const std::atomic<bool>* cancel);
    [[nodiscard]] Status write_through(const char* data, std::size_t size);
    [[nodiscard]] Status write_raw(const char* data, std::size_t size);
    [[nodiscard]] Status failed(int err) const;
    void start_write_back() noexcept;

    int fd_ = -1;
    std::string target_;       // as the caller named it, for errors
    std::string destination_;  // what the temporary replaces: the target, or the file its link names
    std::string temporary_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::size_t written_ = 0;      // bytes written to the descriptor so far
    std::size_t written_back_ = 0; // of which their disk writes were started
    bool write_back_ = false;
    bool renamed_ = false;
    Mode mode_ = Mode::Named;
    const std::atomic<bool>* cancel_ = nullptr;
    std::unique_ptr<OutputCompressor> compressor_;  // for a *.gz or *.zst target
};

// Flushes a directory's entries (a rename in it) to disk.
[[nodiscard]] Status sync_directory(const std::string& directory);

// Pieces of a clean line written to an output; the first failure stops them.
class OutputPieces final : public PieceWriter {
public:
    explicit OutputPieces(AtomicOutput& output) : output_(output) {}
    bool write(std::string_view piece) override {
        error = output_.write(piece);
        return error.is_ok();
    }
    Status error;

private:
    AtomicOutput& output_;
};

}  // namespace brinewick::stream
