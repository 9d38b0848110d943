#include "compressed_output.hpp"

#include <climits>
#include <vector>

#ifdef BRINEWICK_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef BRINEWICK_HAVE_ZSTD
#include <zstd.h>
#endif

namespace brinewick::stream {
namespace {

constexpr std::size_t kOut = std::size_t{1} << 17;

bool ends_with(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && std::string_view(text).substr(text.size() - suffix.size()) == suffix;
}

#ifdef BRINEWICK_HAVE_ZLIB
class GzipOutput final : public OutputCompressor {
public:
    GzipOutput() : out_(kOut) {}
    ~GzipOutput() override {
        if (ready_) deflateEnd(&stream_);
    }
    Status start() {
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            return Status::out_of_memory();
        }
        ready_ = true;
        return Status::ok();
    }
    Status put(std::string_view data, bool end, const Sink& sink) override {
        while (!data.empty() || end) {
            const std::size_t piece = data.size() > UINT_MAX / 2 ? UINT_MAX / 2 : data.size();
            stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
            stream_.avail_in = static_cast<uInt>(piece);
            const bool last = end && piece == data.size();
            int status;
            do {
                stream_.next_out = reinterpret_cast<Bytef*>(out_.data());
                stream_.avail_out = static_cast<uInt>(out_.size());
                status = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
                if (status == Z_STREAM_ERROR) return Status::internal("deflate failed");
                const std::size_t made = out_.size() - stream_.avail_out;
                if (made != 0) BRINEWICK_RETURN_IF_ERROR(sink(out_.data(), made));
            } while (stream_.avail_out == 0 || (last && status != Z_STREAM_END));
            data.remove_prefix(piece);
            if (last) break;
        }
        return Status::ok();
    }

private:
    z_stream stream_{};
    bool ready_ = false;
    std::vector<char> out_;
};
#endif

#ifdef BRINEWICK_HAVE_ZSTD
class ZstdOutput final : public OutputCompressor {
public:
    ZstdOutput() : context_(ZSTD_createCCtx()), out_(ZSTD_CStreamOutSize()) {}
    ~ZstdOutput() override { ZSTD_freeCCtx(context_); }
    [[nodiscard]] bool made() const noexcept { return context_ != nullptr; }
    Status put(std::string_view data, bool end, const Sink& sink) override {
        ZSTD_inBuffer input{data.data(), data.size(), 0};
        for (;;) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            const std::size_t left = ZSTD_compressStream2(context_, &output, &input, end ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left) != 0U) return Status::internal(std::string("zstd: ") + ZSTD_getErrorName(left));
            if (output.pos != 0) BRINEWICK_RETURN_IF_ERROR(sink(out_.data(), output.pos));
            const bool done = end ? left == 0 : input.pos == input.size;
            if (done) return Status::ok();
        }
    }

private:
    ZSTD_CCtx* context_;
    std::vector<char> out_;
};
#endif

}  // namespace

Result<std::unique_ptr<OutputCompressor>> output_compressor_for(const std::string& target) {
    if (ends_with(target, ".gz")) {
#ifdef BRINEWICK_HAVE_ZLIB
        auto gzip = std::make_unique<GzipOutput>();
        BRINEWICK_RETURN_IF_ERROR(gzip->start());
        return std::unique_ptr<OutputCompressor>(std::move(gzip));
#else
        return Status::invalid("'" + target + "' names a gzip file, and this build of brinewick writes no gzip: "
                               "install zlib's headers (Debian: zlib1g-dev) and reinstall brinewick");
#endif
    }
    if (ends_with(target, ".zst")) {
#ifdef BRINEWICK_HAVE_ZSTD
        auto zstd = std::make_unique<ZstdOutput>();
        if (!zstd->made()) return Status::out_of_memory();
        return std::unique_ptr<OutputCompressor>(std::move(zstd));
#else
        return Status::invalid("'" + target + "' names a zstd file, and this build of brinewick writes no zstd: "
                               "install libzstd's headers (Debian: libzstd-dev) and reinstall brinewick");
#endif
    }
    return std::unique_ptr<OutputCompressor>();
}

}  // namespace brinewick::stream
