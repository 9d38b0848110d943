// Compressed inputs, whole, cut short or damaged: the decompressors give
// whole lines up to a break, say where it was, and never crash or hang.
//
// Input: the bytes of a file. When they open like gzip, zstd, bzip2, xz or a
// zip, they are read through that decompressor.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "stream/decompress.hpp"
#include "stream/input_kind.hpp"

namespace {

using brinewick_fuzz::fail;

class MemorySource final : public brinewick::stream::ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    brinewick::Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>&) override {
        const std::size_t n = std::min(size, bytes_.size() - at_);
        std::memcpy(into, bytes_.data() + at_, n);
        at_ += n;
        return n;
    }
    bool can_seek() const noexcept override { return false; }
    brinewick::Status seek(std::uint64_t) override { return brinewick::Status::invalid("no seek"); }
    std::optional<std::uint64_t> size() const noexcept override { return bytes_.size(); }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace brinewick::stream;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const InputKind kind = identify_input(bytes.substr(0, kIdentifyBytes)).kind;
    if (kind == InputKind::Text || kind == InputKind::NotText) return 0;
    auto source = decompressing_source(kind, std::make_unique<MemorySource>(bytes), "fuzz");
    if (!source.is_ok()) return 0;
    const std::atomic<bool> cancel{false};
    std::string text;
    char piece[4096];
    for (;;) {
        auto got = source.value()->read(piece, sizeof piece, cancel);
        if (!got.is_ok()) return 0;  // a refusal (a second zip member), not a crash
        if (got.value() == 0) break;
        text.append(piece, got.value());
        if (text.size() > (std::size_t{8} << 20)) return 0;  // a bomb: enough seen
    }
    if (const auto broken = source.value()->broke_off()) {
        if (!text.empty() && text.back() != '\n') fail("a break left a partial line", bytes, "decompress");
        if (broken->bytes != text.size()) fail("the break's byte count is not what was given", bytes, "decompress");
        const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
        if (broken->lines != lines) fail("the break's line count is not what was given", bytes, "decompress");
    }
    return 0;
}
