#include "decoding.hpp"

#include <iconv.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <optional>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "../parser/utf8.hpp"

namespace brinewick::stream {
namespace {

bool is_auto(std::string_view name) { return name == "auto"; }

bool names_utf8(std::string_view name) {
    std::string key;
    for (const char c : name) {
        if (c != '-' && c != '_') key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return key == "utf8";
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool iconv_opens(const std::string& name) {
    iconv_t cd = ::iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    ::iconv_close(cd);
    return true;
}

// The first bytes that hold a BOM other than UTF-8's, and what it names.
struct Bom {
    std::size_t size;
    const char* name;
    const char* iconv_name;
};
std::optional<Bom> foreign_bom(std::string_view sample) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(sample[i]); };
    const std::size_t n = sample.size();
    if (n >= 4 && at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0) return Bom{4, "utf-32-le", "UTF-32LE"};
    if (n >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) return Bom{4, "utf-32-be", "UTF-32BE"};
    if (n >= 2 && at(0) == 0xFF && at(1) == 0xFE) return Bom{2, "utf-16-le", "UTF-16LE"};
    if (n >= 2 && at(0) == 0xFE && at(1) == 0xFF) return Bom{2, "utf-16-be", "UTF-16BE"};
    return std::nullopt;
}

// UTF-16 or UTF-32 told by where NUL bytes fall: text of these encodings
// that is mostly ASCII (as a CSV file's delimiters, digits and line breaks
// are) has a NUL in the high bytes of nearly every unit and almost none
// elsewhere.
std::optional<Bom> nul_pattern(std::string_view sample) {
    const std::size_t units = std::min<std::size_t>(sample.size(), std::size_t{1} << 16) / 4;
    if (units == 0) return std::nullopt;
    std::array<std::size_t, 4> zeros{};
    for (std::size_t i = 0; i < units * 4; ++i) zeros[i % 4] += sample[i] == '\0' ? 1 : 0;
    const auto most = [&](std::size_t count) { return count * 10 >= units * 9; };
    const auto few = [&](std::size_t count) { return count * 10 <= units; };
    if (most(zeros[2]) && most(zeros[3]) && few(zeros[0])) return Bom{0, "utf-32-le", "UTF-32LE"};
    if (most(zeros[0]) && most(zeros[1]) && few(zeros[3])) return Bom{0, "utf-32-be", "UTF-32BE"};
    const std::size_t even = zeros[0] + zeros[2];
    const std::size_t odd = zeros[1] + zeros[3];
    // At least a quarter of the units hold ASCII, and NULs elsewhere are rare.
    if (odd * 4 >= units * 2 && even * 8 <= odd) return Bom{0, "utf-16-le", "UTF-16LE"};
    if (even * 4 >= units * 2 && odd * 8 <= even) return Bom{0, "utf-16-be", "UTF-16BE"};
    return std::nullopt;
}

// Length of the well-formed UTF-8 sequence of two to four bytes at `data`, or 0.
std::size_t multibyte_at(const unsigned char* data, std::size_t size) {
    const unsigned char lead = data[0];
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || length > size || lead > 0xF4) return 0;
    return valid_utf8_prefix(data, length) == length ? length : 0;
}

// True when `size` bytes are the start of a UTF-8 character and no more.
bool cut_short(const unsigned char* data, std::size_t size) {
    const unsigned char lead = data[0];
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || size >= length) return false;
    for (std::size_t i = 1; i < size; ++i) {
        if ((data[i] & 0xC0) != 0x80) return false;
    }
    return true;
}

// --- sources -------------------------------------------------------------

// Reads the inner source in pieces and hands out what convert() makes of
// them. Cannot seek: its offsets are the text's, not the file's.
class DecodingFilter : public ByteSource {
public:
    DecodingFilter(std::unique_ptr<ByteSource> inner, std::shared_ptr<DecodeState> counters) noexcept
        : inner_(std::move(inner)), counters_(std::move(counters)) {}

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        while (taken_ == out_.size()) {
            out_.clear();
            taken_ = 0;
            if (ended_) return std::size_t{0};
            const std::size_t held = in_.size();
            in_.resize(held + kPiece);
            auto got = inner_->read(in_.data() + held, kPiece, cancel);
            if (!got.is_ok()) {
                in_.resize(held);
                return std::move(got).status();
            }
            in_.resize(held + got.value());
            counters_->input_bytes.fetch_add(got.value(), std::memory_order_relaxed);
            ended_ = got.value() == 0;
            const std::size_t used = convert(in_, ended_, out_);
            in_.erase(0, used);
        }
        const std::size_t n = std::min(size, out_.size() - taken_);
        std::memcpy(into, out_.data() + taken_, n);
        taken_ += n;
        return n;
    }
    bool can_seek() const noexcept final { return false; }
    Status seek(std::uint64_t) final { return Status::io(IoError::from_errno(ESPIPE), "decoded input"); }
    std::optional<std::uint64_t> size() const noexcept final { return std::nullopt; }
    // Progress is in the input's own bytes (or, under a decompressor, in
    // the compressed ones it took), not in those of the text made of them.
    std::optional<std::uint64_t> consumed() const noexcept final {
        return inner_->consumed().value_or(counters_->input_bytes.load(std::memory_order_relaxed));
    }
    std::optional<std::uint64_t> consumed_total() const noexcept final { return inner_->consumed_total(); }
    const char* compression() const noexcept final { return inner_->compression(); }
    std::optional<InputBreak> broke_off() const final { return inner_->broke_off(); }

protected:
    // Appends the text of a prefix of `in` to `out` and returns its length;
    // with `end`, all of `in` (nothing more comes).
    virtual std::size_t convert(std::string_view in, bool end, std::string& out) = 0;

    // Nothing read and not yet handed out: a subclass may read on its own.
    [[nodiscard]] bool idle() const noexcept { return taken_ == out_.size() && in_.empty() && !ended_; }
    [[nodiscard]] ByteSource& inner() noexcept { return *inner_; }
    void count_input(std::size_t bytes) noexcept {
        counters_->input_bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    static constexpr std::size_t kPiece = std::size_t{1} << 18;

private:
    std::unique_ptr<ByteSource> inner_;
    std::shared_ptr<DecodeState> counters_;
    std::string in_;
    std::string out_;
    std::size_t taken_ = 0;
    bool ended_ = false;
};

class TableSource final : public DecodingFilter {
public:
    TableSource(std::unique_ptr<ByteSource> inner, const SingleByteTable& table,
                std::shared_ptr<DecodeState> counters) noexcept
        : DecodingFilter(std::move(inner), std::move(counters)), table_(table) {}

    // A byte is at most three of UTF-8: a read of three bytes or more
    // decodes straight into the caller's buffer, without a copy between.
    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        if (size < 4 || !idle()) return DecodingFilter::read(into, size, cancel);
        const std::size_t want = std::min((size - 1) / 3, kPiece);
        raw_.resize(want);
        auto got = inner().read(raw_.data(), want, cancel);
        if (!got.is_ok()) return got;
        count_input(got.value());
        return decode_single_byte(into, table_, reinterpret_cast<const unsigned char*>(raw_.data()), got.value());
    }

protected:
    std::size_t convert(std::string_view in, bool, std::string& out) override {
        append_single_byte(out, table_, reinterpret_cast<const unsigned char*>(in.data()), in.size());
        return in.size();
    }

private:
    const SingleByteTable& table_;
    std::string raw_;
};

class IconvSource final : public DecodingFilter {
public:
    IconvSource(std::unique_ptr<ByteSource> inner, iconv_t cd, std::size_t unit, std::size_t bom,
                std::shared_ptr<DecodeState> counters) noexcept
        : DecodingFilter(std::move(inner), counters), cd_(cd), unit_(unit), skip_(bom), counters_(std::move(counters)) {}
    ~IconvSource() override { ::iconv_close(cd_); }

protected:
    std::size_t convert(std::string_view in, bool end, std::string& out) override {
        std::size_t used = std::min(skip_, in.size());
        skip_ -= used;
        while (used < in.size()) {
            const std::size_t start = out.size();
            out.resize(start + (in.size() - used) * 4 + 16);
            char* from = const_cast<char*>(in.data()) + used;
            std::size_t from_left = in.size() - used;
            char* to = out.data() + start;
            std::size_t to_left = out.size() - start;
            const std::size_t done = ::iconv(cd_, &from, &from_left, &to, &to_left);
            const int err = done == static_cast<std::size_t>(-1) ? errno : 0;
            out.resize(out.size() - to_left);
            used = in.size() - from_left;
            if (err == 0 || err == E2BIG) continue;
            if (err == EINVAL && !end) break;  // a character cut by the piece: wait for the rest
            // Bytes no character matches (or cut by the input's end): one
            // byte that is never UTF-8, which the row's decoding replaces
            // with U+FFFD and records as invalid_utf8 on that row.
            out.push_back('\xFF');
            counters_->replaced.fetch_add(1, std::memory_order_relaxed);
            used = err == EINVAL ? in.size() : std::min(in.size(), used + unit_);
        }
        return used;
    }

private:
    iconv_t cd_;
    std::size_t unit_;  // bytes skipped past an unmatched sequence
    std::size_t skip_;  // BOM bytes still to drop
    std::shared_ptr<DecodeState> counters_;
};

std::size_t unit_of(const std::string& iconv_name) {
    const std::string name = upper(iconv_name);
    if (name.find("32") != std::string::npos && (name.find("UTF") != std::string::npos || name.find("UCS") != std::string::npos)) return 4;
    if (name.find("16") != std::string::npos && (name.find("UTF") != std::string::npos || name.find("UCS") != std::string::npos)) return 2;
    return 1;
}

}  // namespace

std::string iconv_encoding_name(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos || name.find('/') != std::string_view::npos) return {};
    std::vector<std::string> tries{std::string(name)};
    std::string dashed(name);
    std::replace(dashed.begin(), dashed.end(), '_', '-');
    tries.push_back(dashed);
    // "utf-16-le" -> "utf-16le"
    if (dashed.size() > 3 && dashed[dashed.size() - 3] == '-') {
        tries.push_back(dashed.substr(0, dashed.size() - 3) + dashed.substr(dashed.size() - 2));
    }
    std::string bare;
    for (const char c : name) {
        if (c != '-' && c != '_') bare.push_back(c);
    }
    tries.push_back(bare);
    for (const std::string& attempt : tries) {
        if (iconv_opens(attempt)) return upper(attempt);
    }
    return {};
}

bool encoding_known(std::string_view name) {
    return is_auto(name) || names_utf8(name) || single_byte_table(name) != nullptr ||
           !iconv_encoding_name(name).empty();
}

Decoding decide_encoding(std::string_view sample, bool whole, const EncodingRequest& request) {
    Decoding d;
    if (names_utf8(request.encoding)) return d;
    if (const SingleByteTable* table = single_byte_table(request.encoding)) {
        d.kind = Decoding::Kind::Table;
        d.table = table;
        d.name = std::string(table->name);
        return d;
    }
    if (!is_auto(request.encoding)) {
        d.kind = Decoding::Kind::Iconv;
        d.iconv_name = iconv_encoding_name(request.encoding);
        d.name = request.encoding;
        return d;
    }
    const std::optional<Bom> found = foreign_bom(sample) ? foreign_bom(sample) : nul_pattern(sample);
    if (found) {
        d.kind = Decoding::Kind::Iconv;
        d.iconv_name = found->iconv_name;
        d.name = found->name;
        d.bom = found->size;
        return d;
    }
    d.fallback = request.fallback;
    const auto* data = reinterpret_cast<const unsigned char*>(sample.data());
    const std::size_t valid = valid_utf8_prefix(data, sample.size());
    // A character the sample's end cuts short is not a fault.
    if (valid == sample.size() || (!whole && cut_short(data + valid, sample.size() - valid))) return d;
    d.legacy_looking = true;
    if (request.fallback == nullptr) return d;
    // Not UTF-8: unless a well-formed multi-byte character shows the file to
    // mix the two, all of it is in the fallback encoding.
    for (std::size_t i = 0; i < sample.size(); ++i) {
        if (data[i] >= 0x80 && multibyte_at(data + i, sample.size() - i) != 0) return d;
    }
    d.kind = Decoding::Kind::Table;
    d.table = request.fallback;
    d.fallback = nullptr;
    d.name = std::string(request.fallback->name);
    return d;
}

namespace {

// Whether the bytes of `raw` from `from` on hold a well-formed multi-byte
// UTF-8 character; `raw` is left at `from`.
Result<bool> rest_holds_multibyte(ByteSource& raw, std::uint64_t from, const std::atomic<bool>& cancel) {
    constexpr std::size_t kCarry = 3;  // a character cut by a read ends in the next
    std::string piece(kEncodingSample + kCarry, '\0');
    std::size_t held = 0;
    bool found = false;
    for (;;) {
        auto got = raw.read(piece.data() + held, kEncodingSample, cancel);
        if (!got.is_ok()) return std::move(got).status();
        const std::size_t n = held + got.value();
        const bool end = got.value() == 0;
        const auto* data = reinterpret_cast<const unsigned char*>(piece.data());
        // Up to where a character may start and still be whole in view.
        const std::size_t stop = end ? n : (n > kCarry ? n - kCarry : 0);
        std::size_t i = 0;
#if defined(__SSE2__)
        // Sixteen bytes a step (fifteen on: the last one's follower is in the
        // next step): a lead byte of C2-F4 just before a continuation byte.
        // Legacy text has its high bytes alone, so this is rarely found.
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        while (!found && i + 16 <= n && i < stop) {
            const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), flip);
            const int leads = _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(0x41)),
                                                              _mm_cmplt_epi8(x, _mm_set1_epi8(0x75))));
            const int follows = _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(-1)),
                                                                _mm_cmplt_epi8(x, _mm_set1_epi8(0x40))));
            unsigned pairs = static_cast<unsigned>(leads & (follows >> 1)) & 0x7FFFu;
            while (pairs != 0 && !found) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(pairs));
                found = at < stop && multibyte_at(data + at, n - at) != 0;
                pairs &= pairs - 1;
            }
            i += 15;
        }
#endif
        while (i < stop && !found) {
            std::uint64_t word;
            if (i + 8 <= n) {
                std::memcpy(&word, data + i, 8);
                if ((word & 0x8080808080808080ULL) == 0) {
                    i += 8;
                    continue;
                }
            }
            // Legacy text has its high bytes alone, before ASCII: only a lead
            // byte with a continuation byte after it is looked at closely.
            const unsigned char b = data[i];
            found = b >= 0xC2 && b <= 0xF4 && i + 1 < n && (data[i + 1] & 0xC0) == 0x80 &&
                    multibyte_at(data + i, n - i) != 0;
            ++i;
        }
        if (found || end) break;
        i = std::min(i, stop);
        std::memmove(piece.data(), piece.data() + i, n - i);
        held = n - i;
    }
    BRINEWICK_RETURN_IF_ERROR(raw.seek(from));
    return found;
}

// The sample read, the decision, and the decoder over the rest.
Result<std::unique_ptr<ByteSource>> decide_and_wrap(std::unique_ptr<ByteSource> raw, const EncodingRequest& request,
                                                    DecodeState& state, const std::shared_ptr<DecodeState>& shared,
                                                    const std::atomic<bool>& cancel) {
    std::string sample;
    bool whole = false;
    if (is_auto(request.encoding)) {
        // A stream is judged on what its first read brings: waiting for a
        // full sample would hold rows its writer has already sent.
        const bool stream = !raw->can_seek();
        sample.resize(kEncodingSample);
        std::size_t held = 0;
        while (held < sample.size()) {
            auto got = raw->read(sample.data() + held, sample.size() - held, cancel);
            if (!got.is_ok()) return std::move(got).status();
            if (got.value() == 0) {
                whole = true;
                break;
            }
            held += got.value();
            if (stream) break;
        }
        sample.resize(held);
    }
    state.decoding = decide_encoding(sample, whole, request);
    if (state.decoding.kind == Decoding::Kind::Table && is_auto(request.encoding) && request.search_rest && !whole &&
        raw->can_seek()) {
        auto mixed = rest_holds_multibyte(*raw, sample.size(), cancel);
        if (!mixed.is_ok()) return std::move(mixed).status();
        if (mixed.value()) {
            Decoding& d = state.decoding;
            d.kind = Decoding::Kind::Utf8;
            d.name = "utf-8";
            d.table = nullptr;
            d.fallback = request.fallback;
        }
    }
    const Decoding& d = state.decoding;
    std::unique_ptr<ByteSource> source = std::make_unique<PrefixedSource>(std::move(sample), std::move(raw));
    switch (d.kind) {
        case Decoding::Kind::Utf8:
            break;
        case Decoding::Kind::Table:
            source = std::make_unique<TableSource>(std::move(source), *d.table, shared);
            break;
        case Decoding::Kind::Iconv: {
            iconv_t cd = d.iconv_name.empty() ? reinterpret_cast<iconv_t>(-1)
                                              : ::iconv_open("UTF-8", d.iconv_name.c_str());
            if (cd == reinterpret_cast<iconv_t>(-1)) return Status::invalid("unknown encoding: " + d.name);
            source = std::make_unique<IconvSource>(std::move(source), cd, unit_of(d.iconv_name), d.bom, shared);
            break;
        }
    }
    return source;
}

// A stream's decoder, made at its first read.
class LazySource final : public ByteSource {
public:
    LazySource(std::unique_ptr<ByteSource> raw, EncodingRequest request, std::shared_ptr<DecodeState> state) noexcept
        : raw_(std::move(raw)), request_(std::move(request)), state_(std::move(state)) {}

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        if (!inner_) {
            auto made = decide_and_wrap(std::move(raw_), request_, *state_, state_, cancel);
            if (!made.is_ok()) return std::move(made).status();
            inner_ = std::move(made).value();
        }
        return inner_->read(into, size, cancel);
    }
    bool can_seek() const noexcept override { return false; }
    Status seek(std::uint64_t) override { return Status::io(IoError::from_errno(ESPIPE), "stream"); }
    std::optional<std::uint64_t> size() const noexcept override { return std::nullopt; }
    std::optional<std::uint64_t> consumed() const noexcept override { return current().consumed(); }
    std::optional<std::uint64_t> consumed_total() const noexcept override { return current().consumed_total(); }
    const char* compression() const noexcept override { return current().compression(); }
    std::optional<InputBreak> broke_off() const override { return current().broke_off(); }

private:
    // The raw source until the first read decides, then the decoder over it.
    [[nodiscard]] const ByteSource& current() const noexcept { return inner_ ? *inner_ : *raw_; }

    std::unique_ptr<ByteSource> raw_;
    EncodingRequest request_;
    std::shared_ptr<DecodeState> state_;
    std::unique_ptr<ByteSource> inner_;
};

}  // namespace

Result<DecodedSource> decode_source(std::unique_ptr<ByteSource> raw, const EncodingRequest& request,
                                    const std::atomic<bool>& cancel) {
    DecodedSource out;
    out.state = std::make_shared<DecodeState>();
    if (names_utf8(request.encoding)) {  // the input as it stands
        out.source = std::move(raw);
        return out;
    }
    if (!raw->can_seek()) {
        out.source = std::make_unique<LazySource>(std::move(raw), request, out.state);
        return out;
    }
    auto made = decide_and_wrap(std::move(raw), request, *out.state, out.state, cancel);
    if (!made.is_ok()) return std::move(made).status();
    out.source = std::move(made).value();
    return out;
}

}  // namespace brinewick::stream
