// The cache of large blocks, the one growable buffer over each policy, and
// the Arrow buffers' count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrow/buffer.hpp"
#include "memory/block_cache.hpp"
#include "memory/buffer.hpp"

namespace brinewick::memory {
namespace {

class BlockCacheTest : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override { drop_cached(); }
    void TearDown() override { drop_cached(); }
};

// Sizes around the cached range's ends and its steps.
INSTANTIATE_TEST_SUITE_P(Sizes, BlockCacheTest,
                         ::testing::Values(1, 63, 64, 16383, 16384, 16385, 20480, 20481, 65536, 100000,
                                           (std::size_t{1} << 26) - 1, std::size_t{1} << 26,
                                           (std::size_t{1} << 26) + 1));

TEST_P(BlockCacheTest, BlocksHoldWhatWasAskedAndComeBackWhole) {
    const std::size_t asked = GetParam();
    std::size_t capacity = asked;
    auto* block = static_cast<std::uint8_t*>(acquire(capacity));
    ASSERT_NE(block, nullptr);
    EXPECT_GE(capacity, asked);
    EXPECT_LE(capacity, asked + asked / 4 + 64);  // steps of a quarter at most
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (capacity <= 64 ? 16 : 64), 0U);
    std::memset(block, 0xAB, capacity);  // all of it is usable
    give_back(block);
    const bool cached = cached_bytes() == capacity;
    EXPECT_EQ(cached, kCaching && asked > 16320 && asked <= (std::size_t{1} << 26));

    // The same size again: the kept block, which keeps what was written.
    std::size_t again = asked;
    auto* second = static_cast<std::uint8_t*>(acquire(again));
    EXPECT_EQ(again, capacity);
    if (cached) {
        EXPECT_EQ(second, block);
        EXPECT_EQ(second[capacity - 1], 0xAB);
    }
    EXPECT_EQ(cached_bytes(), 0U);
    give_back(second);
}

TEST_F(BlockCacheTest, KeepsAtMostItsBoundAndDropsOnRequest) {
    // 40 blocks of 4 MiB: past the 128 MiB bound.
    std::vector<std::uint8_t*> held;
    std::size_t capacity = 0;
    for (int i = 0; i < 40; ++i) {
        capacity = std::size_t{4} << 20;
        held.push_back(static_cast<std::uint8_t*>(acquire(capacity)));
    }
    EXPECT_EQ(std::set<std::uint8_t*>(held.begin(), held.end()).size(), held.size());
    for (std::uint8_t* b : held) give_back(b);
    const std::size_t cached = cached_bytes();
    EXPECT_LE(cached, std::size_t{128} << 20);
    if (kCaching) EXPECT_EQ(cached, std::size_t{128} << 20);
    EXPECT_EQ(drop_cached(), cached);
    EXPECT_EQ(cached_bytes(), 0U);
}

TEST_F(BlockCacheTest, ArrowBuffersKeepTheirBytesAndCountOnce) {
    using arrow::live_buffers;
    using arrow::OwnedBuffer;
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

// Items of an odd size, so that a count of items taken for bytes shows.
using Triple = std::array<std::uint32_t, 3>;

template <typename B>
class BufferTest : public ::testing::Test {
protected:
    using Item = std::remove_cvref_t<decltype(std::declval<B&>()[0])>;
    static Item item(std::size_t i) {
        if constexpr (sizeof(Item) == 1) {
            return static_cast<Item>(i * 7 + i / 251);
        } else {
            return Item{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(~i), 7};
        }
    }
    static void expect_holds(const B& buffer, const std::vector<Item>& model) {
        ASSERT_EQ(buffer.size(), model.size());
        ASSERT_GE(buffer.capacity(), buffer.size());
        EXPECT_EQ(std::memcmp(buffer.data(), model.data(), model.size() * sizeof(Item)), 0);
    }
};

using Buffers = ::testing::Types<Bytes, arrow::OwnedBuffer, Buffer<Triple, CachedBlocks>, Buffer<Triple, HeapBlocks>,
                                 Buffer<Triple, MappedBlocks>>;
TYPED_TEST_SUITE(BufferTest, Buffers);

// Past 1 MiB, so that mapped blocks move from the heap and are remapped.
TYPED_TEST(BufferTest, GrowsGeometricallyKeepingEveryItem) {
    using Item = typename TestFixture::Item;
    const std::size_t total = (std::size_t{3} << 20) / sizeof(Item) + 1000;
    TypeParam buffer;
    std::vector<Item> model;
    std::vector<Item> span;
    for (std::size_t round = 0; model.size() < total; ++round) {
        const std::size_t capacity = buffer.capacity();
        const std::size_t count = round % 97 == 0 ? 5000 : round % 23;
        span.clear();
        for (std::size_t k = 0; k < count; ++k) span.push_back(TestFixture::item(model.size() + k));
        switch (round % 3) {
            case 0:
                buffer.push_back(TestFixture::item(model.size()));
                model.push_back(TestFixture::item(model.size()));
                break;
            case 1:
                buffer.append(span.data(), span.size());
                model.insert(model.end(), span.begin(), span.end());
                break;
            default: {
                Item* room = buffer.room(count);
                if (count != 0) std::memcpy(static_cast<void*>(room), span.data(), count * sizeof(Item));
                buffer.commit(room + count);
                model.insert(model.end(), span.begin(), span.end());
            }
        }
        if (buffer.capacity() != capacity) EXPECT_GE(buffer.capacity(), 2 * capacity);
    }
    TestFixture::expect_holds(buffer, model);

    // Asking for what cannot be had changes nothing.
    const Item* data = buffer.data();
    const std::size_t capacity = buffer.capacity();
    EXPECT_FALSE(buffer.try_reserve(SIZE_MAX));
    EXPECT_THROW(buffer.reserve_more(SIZE_MAX - 1), std::bad_alloc);
    EXPECT_EQ(buffer.data(), data);
    EXPECT_EQ(buffer.capacity(), capacity);

    TypeParam copy = buffer;
    EXPECT_NE(copy.data(), buffer.data());
    TestFixture::expect_holds(copy, model);
    TypeParam moved = std::move(copy);
    EXPECT_EQ(copy.capacity(), 0U);
    TestFixture::expect_holds(moved, model);

    buffer.shrink(model.size() / 3);
    model.resize(model.size() / 3);
    buffer.resize_zeroed(model.size() + 50);
    model.resize(model.size() + 50, Item{});
    TestFixture::expect_holds(buffer, model);
    buffer.clear();
    EXPECT_TRUE(buffer.empty());
}

// An exact reservation takes what it is asked for (in the block cache's
// steps), not twice the capacity, and keeps the items held.
TYPED_TEST(BufferTest, ReservesExactly) {
    using Item = typename TestFixture::Item;
    TypeParam buffer;
    std::vector<Item> model;
    for (std::size_t i = 0; i < 100; ++i) {
        buffer.push_back(TestFixture::item(i));
        model.push_back(TestFixture::item(i));
    }
    for (const std::size_t total : {std::size_t{50}, buffer.capacity() + 1, std::size_t{300000}}) {
        const std::size_t before = buffer.capacity();
        buffer.reserve(total);
        EXPECT_GE(buffer.capacity(), std::max(total, before));
        if (total > before) EXPECT_LE(buffer.capacity() * sizeof(Item), total * sizeof(Item) * 5 / 4 + 64);
        TestFixture::expect_holds(buffer, model);
    }
}

}  // namespace
}  // namespace brinewick::memory
