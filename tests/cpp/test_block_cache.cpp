// The cache of large blocks, and the Arrow buffers built on it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "arrow/buffer.hpp"
#include "stream/block_cache.hpp"

namespace brinewick::arrow {
namespace {

class BlockCacheTest : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override { blocks::drop_cached(); }
    void TearDown() override { blocks::drop_cached(); }
};

// Sizes around the cached range's ends and its steps.
INSTANTIATE_TEST_SUITE_P(Sizes, BlockCacheTest,
                         ::testing::Values(1, 63, 64, 16383, 16384, 16385, 20480, 20481, 65536, 100000,
                                           (std::size_t{1} << 26) - 1, std::size_t{1} << 26,
                                           (std::size_t{1} << 26) + 1));

TEST_P(BlockCacheTest, BlocksHoldWhatWasAskedAndComeBackWhole) {
    const std::size_t asked = GetParam();
    std::size_t capacity = asked;
    auto* block = static_cast<std::uint8_t*>(blocks::acquire(capacity));
    ASSERT_NE(block, nullptr);
    EXPECT_GE(capacity, asked);
    EXPECT_LE(capacity, asked + asked / 4 + 64);  // steps of a quarter at most
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 64, 0U);
    std::memset(block, 0xAB, capacity);  // all of it is usable
    blocks::give_back(block);
    const bool cached = blocks::cached_bytes() == capacity;
    EXPECT_EQ(cached, blocks::kCaching && asked > 16320 && asked <= (std::size_t{1} << 26));

    // The same size again: the kept block, which keeps what was written.
    std::size_t again = asked;
    auto* second = static_cast<std::uint8_t*>(blocks::acquire(again));
    EXPECT_EQ(again, capacity);
    if (cached) {
        EXPECT_EQ(second, block);
        EXPECT_EQ(second[capacity - 1], 0xAB);
    }
    EXPECT_EQ(blocks::cached_bytes(), 0U);
    blocks::give_back(second);
}

TEST_F(BlockCacheTest, KeepsAtMostItsBoundAndDropsOnRequest) {
    // 40 blocks of 4 MiB: past the 128 MiB bound.
    std::vector<std::uint8_t*> held;
    std::size_t capacity = 0;
    for (int i = 0; i < 40; ++i) {
        capacity = std::size_t{4} << 20;
        held.push_back(static_cast<std::uint8_t*>(blocks::acquire(capacity)));
    }
    EXPECT_EQ(std::set<std::uint8_t*>(held.begin(), held.end()).size(), held.size());
    for (std::uint8_t* b : held) blocks::give_back(b);
    const std::size_t cached = blocks::cached_bytes();
    EXPECT_LE(cached, std::size_t{128} << 20);
    if (blocks::kCaching) EXPECT_EQ(cached, std::size_t{128} << 20);
    EXPECT_EQ(blocks::drop_cached(), cached);
    EXPECT_EQ(blocks::cached_bytes(), 0U);
}

TEST_F(BlockCacheTest, GrowingBuffersKeepTheirBytesAndCountOnce) {
    const std::int64_t before = live_buffers();
    {
        OwnedBuffer buffer;
        std::vector<std::uint8_t> expected;
        for (std::uint32_t i = 0; i < 200000; ++i) {
            buffer.push(i);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&i);
            expected.insert(expected.end(), bytes, bytes + sizeof i);
        }
        EXPECT_EQ(live_buffers(), before + 1);
        ASSERT_EQ(buffer.size(), expected.size());
        EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), expected.size()), 0);
        // Handed over and freed as a release callback frees it.
        OwnedBuffer::free_released(buffer.release());
        EXPECT_EQ(live_buffers(), before);
    }
    EXPECT_EQ(live_buffers(), before);
}

}  // namespace
}  // namespace brinewick::arrow
