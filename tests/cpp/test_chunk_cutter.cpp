// The chunk cutter against the rules it promises: chunks that cover the
// input in order, each ending right after a line break (never between CR and
// LF) or at the input's end, grown past the chunk size only to reach a line
// that ends later.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "stream/chunk_cutter.hpp"
#include "test_support.hpp"

namespace brinewick::stream::pipeline {
namespace {

using namespace brinewick::test_support;

// Chunks take over the window's buffers and hand their old ones back as
// spares: whatever the sizes, the chunks put together are the input, each
// but the last ends at a line break (never between CR and LF), and the
// byte before each text is free for the quote.
class ChunkCutting : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkCutting,
                         ::testing::Combine(::testing::Values(1, 2, 7, 64, 1000, 1u << 16),
                                            ::testing::Values(1, 3, 64, 4096)));

TEST_P(ChunkCutting, ChunksPutTogetherAreTheInput) {
    const auto [chunk_size, read_size] = GetParam();
    std::string input;
    std::mt19937 random(42);
    const std::string pieces[] = {"a,b", "\n", "\r\n", "\r", "\"q\nq\"", std::string(300, 'x'), ",", "é"};
    for (int i = 0; i < 400; ++i) input += pieces[random() % std::size(pieces)];
    TempDir dir;
    spit(dir.file("in.csv"), input);
    StreamControl control;
    auto opened = InputWindow::open(dir.file("in.csv"), read_size, control);
    ASSERT_TRUE(opened.is_ok());
    InputWindow& window = opened.value();

    std::string joined;
    std::vector<std::shared_ptr<Chunk>> spares;
    for (int guard = 0; guard < 100000; ++guard) {
        std::shared_ptr<Chunk> reuse;
        if (spares.size() > 2) {  // chunks come back to the cutter a while later, as in a run
            reuse = std::move(spares.front());
            spares.erase(spares.begin());
        }
        auto next = next_chunk(window, chunk_size, '"', std::move(reuse));
        ASSERT_TRUE(next.is_ok());
        std::shared_ptr<Chunk> chunk = next.value();
        ASSERT_EQ(chunk->offset, joined.size());
        ASSERT_EQ(chunk->quoted_text().substr(0, 1), "\"");
        ASSERT_EQ(chunk->quoted_text().substr(1), chunk->text());
        const std::string_view text = chunk->text();
        joined.append(text);
        if (chunk->last) break;
        ASSERT_FALSE(text.empty());
        const char end = text.back();
        ASSERT_TRUE(end == '\n' || (end == '\r' && input[joined.size()] != '\n')) << "cut at " << joined.size();
        spares.push_back(std::move(chunk));
    }
    EXPECT_EQ(joined, input);
    // Chunks still held keep their bytes while later ones are cut.
    for (const auto& held : spares) {
        EXPECT_EQ(held->text(), std::string_view(input).substr(held->offset, held->size));
    }
}

// Whether a chunk of `text` may end p bytes in: right after an LF, or a CR
// not followed by LF; or at the end.
bool may_end(std::string_view text, std::size_t p) {
    if (p == text.size()) return true;
    return p > 0 && (text[p - 1] == '\n' || (text[p - 1] == '\r' && text[p] != '\n'));
}

// Cuts all of the file at `path`, which holds `input`, stopping at `end` as a
// span's end does, handing each chunk back for reuse as a run does, and
// checks each chunk against the rules.
void cut_and_check(const std::string& path, std::string_view input, std::size_t chunk_size, std::size_t read_size,
                   std::optional<std::uint64_t> end) {
    StreamControl control;
    auto opened = InputWindow::open(path, read_size, control);
    ASSERT_TRUE(opened.is_ok());
    InputWindow& window = opened.value();
    const std::size_t n = input.size();
    std::size_t at = 0;
    std::shared_ptr<Chunk> reuse;
    for (std::size_t guard = 0;; ++guard) {
        ASSERT_LE(guard, n + 1) << "no progress at " << at;
        std::optional<std::uint64_t> limit;
        if (end && at < *end) limit = *end - at;
        auto next = next_chunk(window, chunk_size, '\'', std::move(reuse), limit);
        ASSERT_TRUE(next.is_ok());
        std::shared_ptr<Chunk> chunk = std::move(next).value();
        const std::size_t size = chunk->size;
        SCOPED_TRACE("chunk at " + std::to_string(at) + " of " + std::to_string(size));
        // In order, with no gap or overlap, the quote just before the text.
        ASSERT_EQ(chunk->offset, at);
        ASSERT_LE(at + size, n);
        ASSERT_EQ(chunk->quoted_text(), "'" + std::string(input.substr(at, size)));
        // Where this chunk may end: a line break, the input's end, the end asked for.
        const auto cut_point = [&](std::size_t length) { return may_end(input, at + length) || length == limit; };
        ASSERT_TRUE(cut_point(size));
        if (chunk->last) {
            ASSERT_EQ(at + size, n);
        } else {
            ASSERT_GT(size, 0u);
        }
        if (limit) {
            ASSERT_LE(size, *limit);
        }
        if (size > chunk_size) {
            // Grown past the chunk size only to reach its first cut point.
            for (std::size_t l = 1; l < size; ++l) ASSERT_FALSE(cut_point(l)) << l;
        } else {
            // Ended at the last cut point within the chunk size; one at the very
            // edge may be taken or not, as the byte after it may be unread.
            const std::size_t reach = std::min({chunk_size - 1, n - at, limit.value_or(n)});
            for (std::size_t l = size + 1; l <= reach; ++l) ASSERT_FALSE(cut_point(l)) << l;
        }
        at += size;
        if (chunk->last) break;
        reuse = std::move(chunk);
    }
    EXPECT_EQ(at, n);
}

// Every prefix of each input (the whole one included), at each chunk size and
// several read sizes, cut to its end and cut with an end at the first cut
// point past its middle.
class CutEveryPrefix : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(ChunkSizes, CutEveryPrefix, ::testing::Values(1, 2, 3, 5, 8, 64));

TEST_P(CutEveryPrefix, KeepsTheCutRules) {
    const std::string inputs[] = {
        "a,\"b\nc\",d\n1,2,3\n",                   // a quoted line break: the cutter cuts there too
        "a,b\r\n1,2\r\n\r\n",                      // CR LF, an empty line
        "a,b\r1,2\r\r3,4",                         // lone CRs, an empty line, no final break
        "s\n" + std::string(19, 'x') + "\nz\n",  // a line longer than any small chunk
        "a,\"open\nb,c\r\nd",                      // a quote never closed, no final break
        "\n\n\r\n\r\r\n",                          // nothing but breaks
        "xyz",                                     // no break at all
    };
    TempDir dir;
    const std::string path = dir.file("in.csv");
    for (const std::string& input : inputs) {
        for (std::size_t n = 0; n <= input.size(); ++n) {
            const std::string_view prefix = std::string_view(input).substr(0, n);
            spit(path, std::string(prefix));
            std::vector<std::optional<std::uint64_t>> ends = {std::nullopt};
            for (std::size_t p = n / 2 + 1; p <= n && ends.size() == 1; ++p) {
                if (may_end(prefix, p)) ends.push_back(p);
            }
            for (const auto& end : ends) {
                for (const std::size_t read_size : {1u, 4u, 4096u}) {
                    SCOPED_TRACE("input " + ::testing::PrintToString(std::string(prefix)) + ", end " +
                                 (end ? std::to_string(*end) : "none") + ", read size " + std::to_string(read_size));
                    cut_and_check(path, prefix, GetParam(), read_size, end);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

}  // namespace
}  // namespace brinewick::stream::pipeline
