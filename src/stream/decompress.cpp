#include "decompress.hpp"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#ifdef BRINEWICK_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef BRINEWICK_HAVE_ZSTD
#include <zstd.h>
#endif
#ifdef BRINEWICK_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef BRINEWICK_HAVE_LZMA
#include <lzma.h>
#endif

namespace brinewick::stream {
namespace {

using namespace std::string_view_literals;

constexpr std::size_t kCompressedRead = std::size_t{256} << 10;

const char* kind_name(InputKind kind) noexcept {
    switch (kind) {
        case InputKind::Gzip: return "gzip";
        case InputKind::Zstd: return "zstd";
        case InputKind::Bzip2: return "bzip2";
        case InputKind::Xz: return "xz";
        case InputKind::Zip: return "zip";
        default: return "text";
    }
}

Status unseekable(const std::string& path) { return Status::io(IoError::from_errno(ESPIPE), path); }

// Reads until `size` bytes are in or the source ends; the count read.
Result<std::size_t> read_fully(ByteSource& source, char* into, std::size_t size, const std::atomic<bool>& cancel) {
    std::size_t done = 0;
    while (done < size) {
        auto got = source.read(into + done, size - done, cancel);
        if (!got.is_ok()) return std::move(got).status();
        if (got.value() == 0) break;
        done += got.value();
    }
    return done;
}

// What a decompressor shares: the compressed bytes read in pieces, the
// count taken for progress, and the break once the data stops making sense.
class DecoderSource : public ByteSource {
public:
    DecoderSource(std::unique_ptr<ByteSource> inner, std::string path, const char* name)
        : inner_(std::move(inner)), path_(std::move(path)), name_(name), in_(kCompressedRead) {}

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) final {
        if (finished_ || size == 0) return std::size_t{0};
        auto made = decode(into, size, cancel);
        if (made.is_ok() && made.value() == 0) finished_ = true;
        return made;
    }
    bool can_seek() const noexcept final { return false; }
    Status seek(std::uint64_t) final { return unseekable(path_); }
    std::optional<std::uint64_t> size() const noexcept final { return std::nullopt; }
    std::optional<std::uint64_t> consumed() const noexcept final { return consumed_.load(std::memory_order_relaxed); }
    std::optional<std::uint64_t> consumed_total() const noexcept final { return inner_->size(); }
    const char* compression() const noexcept final { return name_; }
    std::optional<InputBreak> broke_off() const final { return break_; }

protected:
    // Gives decoded bytes; 0 at the end, clean or broken (break_ then set).
    virtual Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) = 0;

    std::size_t available() const noexcept { return end_ - pos_; }
    const char* next() const noexcept { return in_.data() + pos_; }
    void take(std::size_t count) noexcept { pos_ += count; }
    bool at_eof() const noexcept { return eof_ && pos_ == end_; }

    // Reads until `want` bytes are buffered or the input ends.
    Status ensure(std::size_t want, const std::atomic<bool>& cancel) {
        if (available() >= want || eof_) return Status::ok();
        if (pos_ != 0) {
            std::memmove(in_.data(), in_.data() + pos_, available());
            end_ -= pos_;
            pos_ = 0;
        }
        if (in_.size() < want) in_.resize(want);
        while (end_ < want && !eof_) {
            auto got = inner_->read(in_.data() + end_, in_.size() - end_, cancel);
            if (!got.is_ok()) return std::move(got).status();
            if (got.value() == 0) eof_ = true;
            end_ += got.value();
            consumed_.fetch_add(got.value(), std::memory_order_relaxed);
        }
        return Status::ok();
    }
    // Reads more when nothing is buffered.
    Status refill(const std::atomic<bool>& cancel) { return available() == 0 ? ensure(1, cancel) : Status::ok(); }

    // Ends the output at a break: the data is cut short or corrupt.
    void broke(const std::string& what) {
        if (!break_) break_ = InputBreak{std::string("the ") + name_ + " data " + what, 0, 0, 0};
    }

    std::unique_ptr<ByteSource> inner_;
    std::string path_;

private:
    const char* name_;
    std::vector<char> in_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool finished_ = false;
    std::atomic<std::uint64_t> consumed_{0};
    std::optional<InputBreak> break_;
};

// Output sizes handed to the libraries, whose counts are 32-bit.
unsigned clamp32(std::size_t size) noexcept {
    return size > UINT_MAX / 2 ? UINT_MAX / 2 : static_cast<unsigned>(size);
}

#ifdef BRINEWICK_HAVE_ZLIB
// gzip, every member of a multi-member file; or one raw deflate stream (a zip member).
class ZlibSource : public DecoderSource {
public:
    ZlibSource(std::unique_ptr<ByteSource> inner, std::string path, bool raw, const char* name)
        : DecoderSource(std::move(inner), std::move(path), name), raw_(raw) {}
    ~ZlibSource() override {
        if (ready_) inflateEnd(&stream_);
    }

    Status start() {
        if (inflateInit2(&stream_, raw_ ? -MAX_WBITS : 16 + MAX_WBITS) != Z_OK) return Status::out_of_memory();
        ready_ = true;
        return Status::ok();
    }

protected:
    Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) override {
        if (ended_) return std::size_t{0};
        const unsigned room = clamp32(size);
        stream_.next_out = reinterpret_cast<Bytef*>(out);
        stream_.avail_out = room;
        while (stream_.avail_out == room) {
            BRINEWICK_RETURN_IF_ERROR(refill(cancel));
            if (at_eof()) {
                broke("is truncated");
                break;
            }
            const unsigned given = clamp32(available());
            stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next()));
            stream_.avail_in = given;
            const int status = inflate(&stream_, Z_NO_FLUSH);
            take(given - stream_.avail_in);
            if (status == Z_STREAM_END) {
                BRINEWICK_RETURN_IF_ERROR(after_member(cancel));
                if (ended_) break;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                broke(std::string("is corrupt: ") + (stream_.msg != nullptr ? stream_.msg : "bad data"));
                break;
            }
        }
        return static_cast<std::size_t>(room - stream_.avail_out);
    }

    // A member ended: another may follow (gzip), else this is the end.
    virtual Status after_member(const std::atomic<bool>& cancel) {
        BRINEWICK_RETURN_IF_ERROR(ensure(2, cancel));
        if (available() >= 2 && std::string_view(next(), 2) == "\x1f\x8b"sv) {
            if (inflateReset(&stream_) != Z_OK) return Status::internal("inflateReset failed");
            return Status::ok();
        }
        // Anything else after the last member is ignored, as gzip does.
        ended_ = true;
        return Status::ok();
    }

    z_stream stream_{};
    bool ready_ = false;
    bool ended_ = false;

private:
    bool raw_;
};

// A zip archive's first member, deflated or stored. When a second member
// follows it (a pipe, whose directory at the end could not be read first)
// that is an error.
class ZipSource final : public ZlibSource {
public:
    ZipSource(std::unique_ptr<ByteSource> inner, std::string path)
        : ZlibSource(std::move(inner), std::move(path), true, "zip") {}

protected:
    Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) override {
        if (!header_read_) {
            BRINEWICK_RETURN_IF_ERROR(read_header(cancel));
            if (ended_) return std::size_t{0};
        }
        if (!stored_) return ZlibSource::decode(out, size, cancel);
        if (ended_) return std::size_t{0};
        if (stored_left_ == 0) {
            BRINEWICK_RETURN_IF_ERROR(after_member(cancel));
            return std::size_t{0};
        }
        BRINEWICK_RETURN_IF_ERROR(refill(cancel));
        if (at_eof()) {
            broke("is truncated");
            return std::size_t{0};
        }
        const std::size_t n = std::min({size, available(), static_cast<std::size_t>(stored_left_)});
        std::memcpy(out, next(), n);
        take(n);
        stored_left_ -= n;
        return n;
    }

    Status after_member(const std::atomic<bool>& cancel) override {
        ended_ = true;
        // A data descriptor (with or without its signature) may sit between
        // this member and the next header.
        BRINEWICK_RETURN_IF_ERROR(ensure(64, cancel));
        std::string_view rest(next(), available());
        for (const std::size_t skip : {std::size_t{0}, std::size_t{12}, std::size_t{16}, std::size_t{20},
                                       std::size_t{24}}) {
            if (rest.size() >= skip + 4 && rest.substr(skip, 4) == "PK\x03\x04"sv) {
                return Status::invalid("'" + path_ + "' is a zip archive of several members (the first '" + member_ +
                                       "'); give it one member, or unpack it first");
            }
        }
        return Status::ok();
    }

private:
    Status read_header(const std::atomic<bool>& cancel) {
        header_read_ = true;
        BRINEWICK_RETURN_IF_ERROR(ensure(30, cancel));
        if (available() < 30) {
            broke("is truncated");
            ended_ = true;
            return Status::ok();
        }
        const auto* h = reinterpret_cast<const unsigned char*>(next());
        const auto u16 = [h](std::size_t at) { return static_cast<unsigned>(h[at] | h[at + 1] << 8); };
        const auto u32 = [h](std::size_t at) {
            return static_cast<std::uint32_t>(h[at]) | static_cast<std::uint32_t>(h[at + 1]) << 8 |
                   static_cast<std::uint32_t>(h[at + 2]) << 16 | static_cast<std::uint32_t>(h[at + 3]) << 24;
        };
        const unsigned flags = u16(6);
        const unsigned method = u16(8);
        const std::uint32_t stored_size = u32(18);
        const std::size_t name_size = u16(26);
        const std::size_t extra_size = u16(28);
        BRINEWICK_RETURN_IF_ERROR(ensure(30 + name_size + extra_size, cancel));
        if (available() < 30 + name_size + extra_size) {
            broke("is truncated");
            ended_ = true;
            return Status::ok();
        }
        member_.assign(next() + 30, name_size);
        if ((flags & 1U) != 0) return Status::invalid("'" + path_ + "': the zip member '" + member_ + "' is encrypted");
        if (method == 0) {
            if ((flags & 8U) != 0) {
                return Status::invalid("'" + path_ + "': the zip member '" + member_ +
                                       "' is stored without its size; unpack it first");
            }
            stored_ = true;
            stored_left_ = stored_size;
        } else if (method != 8) {
            return Status::invalid("'" + path_ + "': the zip member '" + member_ + "' uses compression method " +
                                   std::to_string(method) + ", which brinewick does not read; unpack it first");
        }
        take(30 + name_size + extra_size);
        return Status::ok();
    }

    bool header_read_ = false;
    bool stored_ = false;
    std::uint64_t stored_left_ = 0;
    std::string member_;
};
#endif

#ifdef BRINEWICK_HAVE_ZSTD
class ZstdSource final : public DecoderSource {
public:
    ZstdSource(std::unique_ptr<ByteSource> inner, std::string path)
        : DecoderSource(std::move(inner), std::move(path), "zstd"), context_(ZSTD_createDCtx()) {}
    ~ZstdSource() override { ZSTD_freeDCtx(context_); }
    [[nodiscard]] bool made() const noexcept { return context_ != nullptr; }

protected:
    Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) override {
        ZSTD_outBuffer output{out, size, 0};
        while (output.pos == 0) {
            BRINEWICK_RETURN_IF_ERROR(refill(cancel));
            // At the input's end the frame may still hold output to flush.
            ZSTD_inBuffer input{next(), available(), 0};
            const std::size_t status = ZSTD_decompressStream(context_, &output, &input);
            take(input.pos);
            if (ZSTD_isError(status) != 0U) {
                broke(std::string("is corrupt: ") + ZSTD_getErrorName(status));
                break;
            }
            // With nothing read or made, the status is the next frame's header size.
            if (input.pos != 0 || output.pos != 0) in_frame_ = status != 0;
            if (at_eof() && output.pos == 0) {
                if (in_frame_) broke("is truncated");
                break;
            }
        }
        return output.pos;
    }

private:
    ZSTD_DCtx* context_;
    bool in_frame_ = false;
};
#endif

#ifdef BRINEWICK_HAVE_BZIP2
class Bzip2Source final : public DecoderSource {
public:
    Bzip2Source(std::unique_ptr<ByteSource> inner, std::string path)
        : DecoderSource(std::move(inner), std::move(path), "bzip2") {}
    ~Bzip2Source() override {
        if (ready_) BZ2_bzDecompressEnd(&stream_);
    }
    Status start() {
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) return Status::out_of_memory();
        ready_ = true;
        return Status::ok();
    }

protected:
    Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) override {
        if (ended_) return std::size_t{0};
        const unsigned room = clamp32(size);
        stream_.next_out = out;
        stream_.avail_out = room;
        while (stream_.avail_out == room) {
            BRINEWICK_RETURN_IF_ERROR(refill(cancel));
            if (at_eof()) {
                broke("is truncated");
                break;
            }
            const unsigned given = clamp32(available());
            stream_.next_in = const_cast<char*>(next());
            stream_.avail_in = given;
            const int status = BZ2_bzDecompress(&stream_);
            take(given - stream_.avail_in);
            if (status == BZ_STREAM_END) {
                // bzip2 writes a stream per input when files are joined.
                BZ2_bzDecompressEnd(&stream_);
                ready_ = false;
                BRINEWICK_RETURN_IF_ERROR(ensure(3, cancel));
                if (available() < 3 || std::string_view(next(), 3) != "BZh"sv) {
                    ended_ = true;
                    break;
                }
                BRINEWICK_RETURN_IF_ERROR(start());
            } else if (status != BZ_OK) {
                broke("is corrupt");
                break;
            }
        }
        return static_cast<std::size_t>(room - stream_.avail_out);
    }

private:
    bz_stream stream_{};
    bool ready_ = false;
    bool ended_ = false;
};
#endif

#ifdef BRINEWICK_HAVE_LZMA
class XzSource final : public DecoderSource {
public:
    XzSource(std::unique_ptr<ByteSource> inner, std::string path)
        : DecoderSource(std::move(inner), std::move(path), "xz") {}
    ~XzSource() override { lzma_end(&stream_); }
    Status start() {
        if (lzma_stream_decoder(&stream_, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) return Status::out_of_memory();
        return Status::ok();
    }

protected:
    Result<std::size_t> decode(char* out, std::size_t size, const std::atomic<bool>& cancel) override {
        if (ended_) return std::size_t{0};
        stream_.next_out = reinterpret_cast<std::uint8_t*>(out);
        stream_.avail_out = size;
        while (stream_.avail_out == size) {
            BRINEWICK_RETURN_IF_ERROR(refill(cancel));
            const std::size_t given = available();
            stream_.next_in = reinterpret_cast<const std::uint8_t*>(next());
            stream_.avail_in = given;
            const lzma_ret status = lzma_code(&stream_, at_eof() ? LZMA_FINISH : LZMA_RUN);
            take(given - stream_.avail_in);
            if (status == LZMA_STREAM_END) {
                ended_ = true;
                break;
            }
            if (status == LZMA_BUF_ERROR || (status == LZMA_OK && at_eof() && stream_.avail_out == size)) {
                broke("is truncated");
                break;
            }
            if (status != LZMA_OK) {
                broke(status == LZMA_MEM_ERROR ? "needs more memory than there is" : "is corrupt");
                break;
            }
        }
        return size - stream_.avail_out;
    }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ended_ = false;
};
#endif

// Runs a decompressor on a thread of its own, a few blocks ahead of the
// reader. Each block ends at a line break (the rest of the line goes with
// the next one), so that at a break the partial line after the last
// complete one is left out.
class ReadAhead final : public ByteSource {
public:
    explicit ReadAhead(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
    ~ReadAhead() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_.store(true);
        }
        room_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    Status start() {
        try {
            thread_ = std::thread([this] { produce(); });
        } catch (const std::exception& error) {
            return internal_fault(error.what());
        }
        return Status::ok();
    }

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        while (current_pos_ == current_.size) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (current_.data) spare_.push_back(std::move(current_));
            current_ = Block{};
            current_pos_ = 0;
            room_.notify_one();
            while (full_.empty() && !ended_) {
                if (cancel.load(std::memory_order_relaxed)) return Status::cancelled();
                ready_.wait_for(lock, std::chrono::milliseconds(5));
            }
            if (full_.empty()) {
                if (!failure_.is_ok()) return failure_;
                return std::size_t{0};
            }
            current_ = std::move(full_.front());
            full_.pop_front();
        }
        const std::size_t n = std::min(size, current_.size - current_pos_);
        std::memcpy(into, current_.data.get() + current_pos_, n);
        current_pos_ += n;
        return n;
    }

    bool can_seek() const noexcept override { return false; }
    Status seek(std::uint64_t) override { return Status::io(IoError::from_errno(ESPIPE)); }
    std::optional<std::uint64_t> size() const noexcept override { return std::nullopt; }
    std::optional<std::uint64_t> consumed() const noexcept override { return inner_->consumed(); }
    std::optional<std::uint64_t> consumed_total() const noexcept override { return inner_->consumed_total(); }
    const char* compression() const noexcept override { return inner_->compression(); }
    std::optional<InputBreak> broke_off() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return break_;
    }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 20;
    static constexpr std::size_t kAhead = 4;

    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        std::size_t capacity = 0;
    };

    Block take_spare(std::size_t want) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                block = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (block.capacity < want) {
            block.data.reset(new (std::nothrow) char[want]);
            block.capacity = block.data ? want : 0;
        }
        block.size = 0;
        return block;
    }

    // False when the reader is gone.
    bool hand(Block block) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return full_.size() < kAhead || stop_.load(); });
        if (stop_.load()) return false;
        full_.push_back(std::move(block));
        ready_.notify_one();
        return true;
    }

    void end(Status failure, std::optional<InputBreak> broken) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::move(failure);
        break_ = std::move(broken);
        ended_ = true;
        ready_.notify_one();
    }

    void produce() {
        std::vector<char> carry;
        std::uint64_t lines = 0;
        std::uint64_t given = 0;
        for (;;) {
            // A carried line is shorter than a block, so every block fits it and one more read.
            Block block = take_spare(2 * kBlock);
            if (!block.data) return end(Status::out_of_memory(), std::nullopt);
            if (!carry.empty()) std::memcpy(block.data.get(), carry.data(), carry.size());
            block.size = carry.size();
            carry.clear();
            auto got = read_fully(*inner_, block.data.get() + block.size, kBlock, stop_);
            if (!got.is_ok()) return end(std::move(got).status(), std::nullopt);
            block.size += got.value();
            const bool last = got.value() < kBlock;
            std::string_view text(block.data.get(), block.size);
            const std::size_t break_at = text.rfind('\n');
            std::optional<InputBreak> broken = last ? inner_->broke_off() : std::nullopt;
            if (!last || broken) {
                // Holds the partial line back: for the next block, or left out at a break.
                const std::size_t keep = break_at == std::string_view::npos ? (last ? 0 : block.size) : break_at + 1;
                if (!last) carry.assign(text.begin() + static_cast<std::ptrdiff_t>(keep), text.end());
                if (broken) broken->left_out = block.size - keep;
                block.size = keep;
                text = text.substr(0, keep);
            }
            lines += static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
            given += block.size;
            if (broken) {
                broken->lines = lines;
                broken->bytes = given;
            }
            if (block.size != 0 && !hand(std::move(block))) return;
            if (last) return end(Status::ok(), std::move(broken));
        }
    }

    std::unique_ptr<ByteSource> inner_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Block> full_;
    std::vector<Block> spare_;
    bool ended_ = false;
    Status failure_;
    std::optional<InputBreak> break_;
    std::atomic<bool> stop_{false};
    // The reader's side.
    Block current_;
    std::size_t current_pos_ = 0;
};

// The member names of a zip file, from its central directory at the end;
// nullopt when it cannot be read that way (then the first member is read).
Result<std::optional<std::vector<std::string>>> zip_members(ByteSource& source, const std::atomic<bool>& cancel) {
    const auto total = source.size();
    if (!total || *total < 22) return std::optional<std::vector<std::string>>{};
    const std::uint64_t tail_size = std::min<std::uint64_t>(*total, 22 + 65535);
    std::string tail(static_cast<std::size_t>(tail_size), '\0');
    BRINEWICK_RETURN_IF_ERROR(source.seek(*total - tail_size));
    auto got = read_fully(source, tail.data(), tail.size(), cancel);
    if (!got.is_ok()) return std::move(got).status();
    tail.resize(got.value());
    const auto u16 = [](std::string_view b, std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(b[at])) |
               static_cast<std::size_t>(static_cast<unsigned char>(b[at + 1])) << 8;
    };
    const auto u32 = [&u16](std::string_view b, std::size_t at) {
        return static_cast<std::uint64_t>(u16(b, at)) | static_cast<std::uint64_t>(u16(b, at + 2)) << 16;
    };
    const std::size_t end_record = tail.rfind("PK\x05\x06"sv);
    std::optional<std::vector<std::string>> names;
    if (end_record != std::string::npos && end_record + 22 <= tail.size()) {
        const std::uint64_t directory_size = u32(tail, end_record + 12);
        const std::uint64_t directory_at = u32(tail, end_record + 16);
        if (directory_at + directory_size <= *total && directory_size <= (std::uint64_t{16} << 20)) {
            std::string directory(static_cast<std::size_t>(directory_size), '\0');
            BRINEWICK_RETURN_IF_ERROR(source.seek(directory_at));
            auto read = read_fully(source, directory.data(), directory.size(), cancel);
            if (!read.is_ok()) return std::move(read).status();
            names.emplace();
            std::size_t at = 0;
            while (at + 46 <= read.value() && std::string_view(directory).substr(at, 4) == "PK\x01\x02"sv) {
                const std::size_t name_size = u16(directory, at + 28);
                if (at + 46 + name_size > read.value()) break;
                std::string name = directory.substr(at + 46, name_size);
                if (!name.empty() && name.back() != '/') names->push_back(std::move(name));
                at += 46 + name_size + u16(directory, at + 30) + u16(directory, at + 32);
            }
        }
    }
    BRINEWICK_RETURN_IF_ERROR(source.seek(0));
    return names;
}

// The first bytes of `source`, put back: a regular file seeks back to its
// start, a stream is wrapped to give them again.
Result<std::string> peek_head(std::unique_ptr<ByteSource>& source, const std::atomic<bool>& cancel) {
    std::string head(kIdentifyBytes, '\0');
    std::size_t filled = 0;
    do {
        auto got = source->read(head.data() + filled, head.size() - filled, cancel);
        if (!got.is_ok()) return std::move(got).status();
        if (got.value() == 0) break;
        filled += got.value();
    } while (identify_needs_more(std::string_view(head).substr(0, filled)));
    head.resize(filled);
    if (source->can_seek()) {
        BRINEWICK_RETURN_IF_ERROR(source->seek(0));
    } else {
        source = std::make_unique<PrefixedSource>(head, std::move(source));
    }
    return head;
}

template <class Source, class... Args>
Result<std::unique_ptr<ByteSource>> started(Args&&... args) {
    auto source = std::make_unique<Source>(std::forward<Args>(args)...);
    if constexpr (requires { source->start(); }) BRINEWICK_RETURN_IF_ERROR(source->start());
    return std::unique_ptr<ByteSource>(std::move(source));
}

[[maybe_unused]] Status not_built(const std::string& path, InputKind kind, const char* package) {
    return Status::invalid("'" + path + "' is " + kind_name(kind) +
                           "-compressed, and this build of brinewick reads no " + kind_name(kind) +
                           " data: install " + package + " and reinstall brinewick, or decompress the file first");
}

Result<std::unique_ptr<ByteSource>> decoder(InputKind kind, std::unique_ptr<ByteSource> compressed,
                                            const std::string& path) {
    switch (kind) {
        case InputKind::Gzip:
#ifdef BRINEWICK_HAVE_ZLIB
            return started<ZlibSource>(std::move(compressed), path, false, "gzip");
#else
            return not_built(path, kind, "zlib's headers (Debian: zlib1g-dev)");
#endif
        case InputKind::Zip:
#ifdef BRINEWICK_HAVE_ZLIB
            return started<ZipSource>(std::move(compressed), path);
#else
            return not_built(path, kind, "zlib's headers (Debian: zlib1g-dev)");
#endif
        case InputKind::Zstd:
#ifdef BRINEWICK_HAVE_ZSTD
        {
            auto source = std::make_unique<ZstdSource>(std::move(compressed), path);
            if (!source->made()) return Status::out_of_memory();
            return std::unique_ptr<ByteSource>(std::move(source));
        }
#else
            return not_built(path, kind, "libzstd's headers (Debian: libzstd-dev)");
#endif
        case InputKind::Bzip2:
#ifdef BRINEWICK_HAVE_BZIP2
            return started<Bzip2Source>(std::move(compressed), path);
#else
            return not_built(path, kind, "libbz2's headers (Debian: libbz2-dev)");
#endif
        case InputKind::Xz:
#ifdef BRINEWICK_HAVE_LZMA
            return started<XzSource>(std::move(compressed), path);
#else
            return not_built(path, kind, "liblzma's headers (Debian: liblzma-dev)");
#endif
        default:
            return Status::internal("no decompressor for a text input");
    }
}

}  // namespace

Result<std::unique_ptr<ByteSource>> decompressing_source(InputKind kind, std::unique_ptr<ByteSource> compressed,
                                                         const std::string& path) {
    auto decoding = decoder(kind, std::move(compressed), path);
    if (!decoding.is_ok()) return std::move(decoding).status();
    auto ahead = std::make_unique<ReadAhead>(std::move(decoding).value());
    BRINEWICK_RETURN_IF_ERROR(ahead->start());
    return std::unique_ptr<ByteSource>(std::move(ahead));
}

namespace {

Result<std::unique_ptr<ByteSource>> stack_decoders(std::unique_ptr<ByteSource> source, const std::string& path,
                                                   const std::atomic<bool>& cancel) {
    // A compressed file may hold another (a .csv.gz in a zip): a few layers at most.
    for (int layer = 0; layer < 3; ++layer) {
        auto head = peek_head(source, cancel);
        if (!head.is_ok()) return std::move(head).status();
        IdentifiedInput identified = identify_input(head.value());
        if (identified.kind == InputKind::Text) return source;
        if (identified.kind == InputKind::NotText) return Status::invalid(not_text_message(path, identified));
        if (identified.kind == InputKind::Zip) {
            auto members = source->can_seek() ? zip_members(*source, cancel)
                                               : Result<std::optional<std::vector<std::string>>>(std::nullopt);
            if (!members.is_ok()) return std::move(members).status();
            if (!members.value() && !identified.what.empty()) {
                return Status::invalid(not_text_message(path, identified));
            }
            if (const auto& names = members.value()) {
                const std::string office = office_document(*names);
                if (!office.empty()) return Status::invalid(not_text_message(path, {InputKind::NotText, office, true}));
                if (names->size() > 1) {
                    std::string listed;
                    for (std::size_t i = 0; i < names->size() && i < 20; ++i) {
                        listed += (i == 0 ? "'" : ", '") + (*names)[i] + "'";
                    }
                    if (names->size() > 20) listed += ", ...";
                    return Status::invalid("'" + path + "' is a zip archive of " + std::to_string(names->size()) +
                                           " members (" + listed + "); brinewick reads a zip of one member: " +
                                           "unpack it and give the one to read");
                }
            }
        }
        auto decoding = decompressing_source(identified.kind, std::move(source), path);
        if (!decoding.is_ok()) return std::move(decoding).status();
        source = std::move(decoding).value();
    }
    return source;
}

// A stream is looked at on its first read, not when opened: opening returns
// at once, as it did, however long the writer takes to write.
class DetectingSource final : public ByteSource {
public:
    DetectingSource(std::unique_ptr<ByteSource> source, std::string path)
        : source_(std::move(source)), path_(std::move(path)) {}

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        if (!failure_.is_ok()) return failure_;
        if (!ready_) {
            auto stacked = stack_decoders(std::move(source_), path_, cancel);
            if (!stacked.is_ok()) {
                failure_ = std::move(stacked).status();
                return failure_;
            }
            source_ = std::move(stacked).value();
            ready_ = true;
        }
        return source_->read(into, size, cancel);
    }
    bool can_seek() const noexcept override { return false; }
    Status seek(std::uint64_t) override { return unseekable(path_); }
    std::optional<std::uint64_t> size() const noexcept override { return std::nullopt; }
    std::optional<std::uint64_t> consumed() const noexcept override {
        return ready_ ? source_->consumed() : std::nullopt;
    }
    std::optional<std::uint64_t> consumed_total() const noexcept override {
        return ready_ ? source_->consumed_total() : std::nullopt;
    }
    const char* compression() const noexcept override { return ready_ ? source_->compression() : nullptr; }
    std::optional<InputBreak> broke_off() const override {
        return ready_ ? source_->broke_off() : std::nullopt;
    }

private:
    std::unique_ptr<ByteSource> source_;  // null once stacking failed
    std::string path_;
    bool ready_ = false;
    Status failure_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> open_input_source(const std::string& path, const std::atomic<bool>& cancel,
                                                      const SourceOpener& opener) {
    auto opened = opener ? opener(path) : open_file_source(path);
    if (!opened.is_ok()) return opened;
    std::unique_ptr<ByteSource> source = std::move(opened).value();
    // A regular file is told at once, so that its size is the text's only
    // when it is not compressed.
    if (source->can_seek()) return stack_decoders(std::move(source), path, cancel);
    return std::unique_ptr<ByteSource>(std::make_unique<DetectingSource>(std::move(source), path));
}

}  // namespace brinewick::stream
