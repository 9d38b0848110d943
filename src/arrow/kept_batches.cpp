#include "kept_batches.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/stat.h>
#include <time.h>

#include "array_stream.hpp"
#include "schema_scan.hpp"

namespace brinewick::arrow {
namespace {

// Kept batches, handed out in order.
class KeptProducer final : public BatchProducer {
public:
    KeptProducer(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept)
        : columns_(std::move(columns)), kept_(std::move(kept)) {}

    Status schema(ArrowSchema* out) override {
        export_schema(columns_, kept_->large_strings, out);
        return Status::ok();
    }

    Status next(ArrowArray* out) override {
        if (!kept_->strings) {
            (void)kept_->pop(out);  // none left: `out` stays released, the end
            return Status::ok();
        }
        ArrowArray batch{};
        TypedCopies copies;
        if (!kept_->pop(&batch, &copies)) return Status::ok();
        std::string error = convert_batch(&batch, kept_->large_strings, columns_, kept_->large_strings, out,
                                          kept_->null_misfits, kept_->thousands, &copies);
        return error.empty() ? Status::ok() : Status::invalid(std::move(error));
    }

private:
    std::vector<ColumnSpec> columns_;
    std::unique_ptr<KeptBatches> kept_;
};

}  // namespace

void KeptBatches::clear() noexcept {
    for (std::size_t i = next_; i < batches_.size(); ++i) {
        if (batches_[i].release != nullptr) batches_[i].release(&batches_[i]);
    }
    batches_.clear();
    copies_.clear();
    next_ = 0;
}

std::string KeptBatches::convert(const std::vector<ColumnSpec>& columns, std::size_t threads) {
    if (!strings) return {};
    const std::size_t n = batches_.size();
    std::vector<ArrowArray> converted(n);
    for (ArrowArray& a : converted) a.release = nullptr;
    std::vector<std::string> errors(n);
    std::atomic<std::size_t> next{next_};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            try {
                errors[i] = convert_batch(&batches_[i], large_strings, columns, large_strings, &converted[i],
                                          null_misfits, thousands, &copies_[i]);
                copies_[i].clear();
            } catch (const std::bad_alloc&) {
                errors[i] = "out of memory while converting a batch";
                if (batches_[i].release != nullptr) batches_[i].release(&batches_[i]);
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < std::max<std::size_t>(threads, 1); ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: this one converts what the others do not.
    }
    work();
    for (std::thread& t : helpers) t.join();
    std::string error;
    for (std::size_t i = next_; i < n; ++i) {
        if (error.empty() && !errors[i].empty()) error = errors[i];
        batches_[i] = converted[i];  // the string batch was released by the conversion
    }
    strings = false;
    if (!error.empty()) clear();
    return error;
}

bool KeptBatches::pop(ArrowArray* out, TypedCopies* copies) noexcept {
    if (next_ == batches_.size()) return false;
    *out = batches_[next_];
    batches_[next_].release = nullptr;
    if (copies != nullptr) {
        *copies = std::move(copies_[next_]);
    } else {
        copies_[next_].clear();
    }
    ++next_;
    return true;
}

std::optional<KeptBatches::Identity> current_identity(const std::string& path) noexcept {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    KeptBatches::Identity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

std::optional<KeptBatches::Identity> settled_identity(const std::string& path) noexcept {
    auto id = current_identity(path);
    if (!id) return std::nullopt;
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
    constexpr std::int64_t kSettled = std::int64_t{3} * 1000000000;
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (now_ns - id->mtime_ns < kSettled) return std::nullopt;
    return id;
}

bool make_kept_stream(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<KeptProducer>(std::move(columns), std::move(kept)), out);
}

}  // namespace brinewick::arrow
