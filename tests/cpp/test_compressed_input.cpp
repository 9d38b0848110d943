// Compressed inputs cut at every length: what comes through is whole lines
// of the text and nothing else, and a break is reported exactly when the
// data was cut. And the file kinds told apart by their first bytes.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <string>
#include <string_view>

#include "stream/decompress.hpp"
#include "stream/input_kind.hpp"
#include "test_support.hpp"

namespace brinewick::stream {
namespace {

using namespace brinewick::test_support;

std::string gzip_of(const std::string& text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct ReadBack {
    std::string text;
    std::optional<InputBreak> broken;
};

ReadBack read_back(const std::string& path) {
    std::atomic<bool> cancel{false};
    auto opened = open_input_source(path, cancel);
    EXPECT_TRUE(opened.is_ok()) << opened.status().text();
    ReadBack back;
    char piece[777];
    for (;;) {
        auto got = opened.value()->read(piece, sizeof piece, cancel);
        EXPECT_TRUE(got.is_ok());
        if (!got.is_ok() || got.value() == 0) break;
        back.text.append(piece, got.value());
    }
    back.broken = opened.value()->broke_off();
    return back;
}

TEST(CompressedInput, EveryCutGivesWholeLinesAndReportsTheBreak) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += std::to_string(i) + ",row " + std::to_string(i * i) + "\n";
    const std::string packed = gzip_of(text) + gzip_of(text);  // two members
    const std::string doubled = text + text;
    TempDir dir;
    const std::string path = dir.file("cut.gz");
    for (std::size_t cut = 2; cut <= packed.size(); cut += 7) {
        const std::size_t size = cut + 7 > packed.size() ? packed.size() : cut;
        spit(path, packed.substr(0, size));
        const ReadBack back = read_back(path);
        ASSERT_TRUE(std::string_view(doubled).starts_with(back.text)) << size;
        if (size == packed.size()) {
            EXPECT_EQ(back.text, doubled);
            EXPECT_FALSE(back.broken);
            break;
        }
        ASSERT_TRUE(back.broken) << size;
        EXPECT_TRUE(back.text.empty() || back.text.back() == '\n');
        EXPECT_EQ(back.broken->bytes, back.text.size());
        EXPECT_EQ(back.broken->lines, static_cast<std::uint64_t>(std::count(back.text.begin(), back.text.end(), '\n')));
        EXPECT_LT(back.broken->left_out, 20U);  // at most the partial line
    }
}

TEST(InputKind, SignaturesAndTextThatLooksLikeThem) {
    using namespace std::string_view_literals;
    const struct {
        std::string_view head;
        InputKind kind;
    } cases[] = {
        {"\x1f\x8b\x08\x00"sv, InputKind::Gzip},
        {"\x28\xb5\x2f\xfd\x00"sv, InputKind::Zstd},
        {"BZh91AY&SY\x01"sv, InputKind::Bzip2},
        {"\xfd" "7zXZ\0\0"sv, InputKind::Xz},
        {"PAR1\x15\x04\x15"sv, InputKind::NotText},
        {"MZ\x90\0\x03\0"sv, InputKind::NotText},
        {"SQLite format 3\0"sv, InputKind::NotText},
        // Text never is refused, however it starts.
        {"PAR1,PAR2\n1,2\n"sv, InputKind::Text},
        {"MZ;BM\n"sv, InputKind::Text},
        {"BZh9,zip\n"sv, InputKind::Text},
        {"PK,x\n"sv, InputKind::Text},
        {"\xff\xfe" "a\0,\0b\0"sv, InputKind::Text},  // UTF-16 with its BOM
        {""sv, InputKind::Text},
    };
    for (const auto& c : cases) EXPECT_EQ(identify_input(c.head).kind, c.kind) << c.head;
}

}  // namespace
}  // namespace brinewick::stream
