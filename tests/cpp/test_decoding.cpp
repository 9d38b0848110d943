// The decoder: the encoding decided on a sample, and decoded text that does
// not depend on how the source hands its bytes over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "stream/decoding.hpp"

namespace {

using brinewick::stream::decide_encoding;
using brinewick::stream::decode_source;
using brinewick::stream::Decoding;
using brinewick::stream::EncodingRequest;

const std::string kText = "name;city\nJos\xC3\xA9;M\xC3\xBCnchen\n\xE5\x8C\x97\xE4\xBA\xAC;\xE2\x82\xAC" "5\n";

// UTF-8 (valid, BMP only) as UTF-16 or UTF-32 code units of either order.
std::string wide(const std::string& utf8, std::size_t unit, bool big) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
        std::uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        for (std::size_t b = 0; b < unit; ++b) {
            const std::size_t shift = 8 * (big ? unit - 1 - b : b);
            out.push_back(static_cast<char>((code >> shift) & 0xFF));
        }
        i += length;
    }
    return out;
}

struct Decided {
    const char* label;
    std::string sample;
    const char* encoding;  // request
    Decoding::Kind kind;
    const char* name;
    bool legacy;
};

class DecideEncoding : public testing::TestWithParam<Decided> {};

TEST_P(DecideEncoding, NamesWhatTheSampleHolds) {
    const Decided& c = GetParam();
    EncodingRequest request;
    request.encoding = c.encoding;
    const Decoding d = decide_encoding(c.sample, true, request);
    EXPECT_EQ(d.kind, c.kind);
    EXPECT_EQ(d.name, c.name);
    EXPECT_EQ(d.legacy_looking, c.legacy);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, DecideEncoding,
    testing::Values(
        Decided{"utf8", kText, "auto", Decoding::Kind::Utf8, "utf-8", false},
        Decided{"utf8_bom", "\xEF\xBB\xBF" + kText, "auto", Decoding::Kind::Utf8, "utf-8", false},
        Decided{"cp1252", "name;city\nJos\xE9;M\xFCnchen\n", "auto", Decoding::Kind::Table, "cp1252", true},
        Decided{"mixed", "Jos\xC3\xA9\nM\xFCnchen\n", "auto", Decoding::Kind::Utf8, "utf-8", true},
        Decided{"utf16le_bom", "\xFF\xFE" + wide(kText, 2, false), "auto", Decoding::Kind::Iconv, "utf-16-le", false},
        Decided{"utf16be", wide(kText, 2, true), "auto", Decoding::Kind::Iconv, "utf-16-be", false},
        Decided{"utf32le", wide(kText, 4, false), "auto", Decoding::Kind::Iconv, "utf-32-le", false},
        Decided{"utf32be_bom", std::string("\0\0\xFE\xFF", 4) + wide(kText, 4, true), "auto",
                Decoding::Kind::Iconv, "utf-32-be", false},
        Decided{"explicit_utf8", "Jos\xE9\n", "utf-8", Decoding::Kind::Utf8, "utf-8", false},
        Decided{"explicit_gbk", kText, "gbk", Decoding::Kind::Iconv, "gbk", false}),
    [](const testing::TestParamInfo<Decided>& info) { return std::string(info.param.label); });

// Hands over at most `step` bytes a read.
class Trickle final : public brinewick::stream::ByteSource {
public:
    Trickle(std::string bytes, std::size_t step) : bytes_(std::move(bytes)), step_(step) {}
    brinewick::Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>&) override {
        const std::size_t n = std::min({size, step_, bytes_.size() - at_});
        std::memcpy(into, bytes_.data() + at_, n);
        at_ += n;
        return n;
    }
    bool can_seek() const noexcept override { return false; }
    brinewick::Status seek(std::uint64_t) override { return brinewick::Status::invalid("no seek"); }
    std::optional<std::uint64_t> size() const noexcept override { return std::nullopt; }

private:
    std::string bytes_;
    std::size_t step_;
    std::size_t at_ = 0;
};

std::string decode_all(const std::string& bytes, std::size_t step, const char* encoding, std::uint64_t& replaced) {
    std::atomic<bool> cancel{false};
    EncodingRequest request;
    request.encoding = encoding;
    auto decoded = decode_source(std::make_unique<Trickle>(bytes, step), request, cancel);
    EXPECT_TRUE(decoded.is_ok());
    std::string out;
    char piece[7];
    for (;;) {
        auto got = decoded.value().source->read(piece, sizeof piece, cancel);
        EXPECT_TRUE(got.is_ok());
        if (!got.is_ok() || got.value() == 0) break;
        out.append(piece, got.value());
    }
    replaced = decoded.value().state->replaced.load();
    return out;
}

struct Trickled {
    const char* label;
    std::string bytes;
    const char* encoding;
    std::string text;
    std::uint64_t replaced;
};

class DecodeSource : public testing::TestWithParam<std::tuple<Trickled, std::size_t>> {};

TEST_P(DecodeSource, SameTextWhateverTheReads) {
    const auto& [c, step] = GetParam();
    // Many times over, so that the decoder's own pieces cut characters too.
    std::string bytes;
    std::string text;
    for (int i = 0; i < (step == 1 ? 3 : 30000); ++i) {
        bytes += c.bytes;
        text += c.text;
    }
    std::uint64_t replaced = 0;
    EXPECT_EQ(decode_all(bytes, step, c.encoding, replaced), text);
    EXPECT_EQ(replaced, c.replaced * (step == 1 ? 3 : 30000));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, DecodeSource,
    testing::Combine(
        testing::Values(Trickled{"utf16le", wide(kText, 2, false), "utf-16-le", kText, 0},
                        Trickled{"utf32be", wide(kText, 4, true), "utf-32-be", kText, 0},
                        Trickled{"cp1252", "Jos\xE9;\x80\n", "cp1252", "Jos\xC3\xA9;\xE2\x82\xAC\n", 0},
                        // Characters of two, two and three bytes last, with no line break.
                        Trickled{"cp1252_wide_last", "a\x9F\xE9\x80", "cp1252", "a\xC5\xB8\xC3\xA9\xE2\x82\xAC", 0},
                        Trickled{"utf16_unpaired", wide("a,b\n", 2, false) + std::string("\x00\xD8", 2) +
                                                       wide("c\n", 2, false),
                                 "utf-16-le", "a,b\n\xFF" "c\n", 1}),
        testing::Values(std::size_t{1}, std::size_t{4093})),
    [](const testing::TestParamInfo<std::tuple<Trickled, std::size_t>>& info) {
        return std::string(std::get<0>(info.param).label) + "_" + std::to_string(std::get<1>(info.param));
    });

}  // namespace
