// The engine's one growable buffer of trivially copyable items, and the
// policies its blocks come from:
//   CachedBlocks  the block cache (block_cache.hpp), 64-byte aligned past
//                 64 bytes (16 below): input
//                 chunks, the clean output a worker builds, Arrow buffers;
//   HeapBlocks    malloc, grown with realloc, which moves a large block by
//                 remapping its pages: growing never holds the old and the
//                 new block at once (a huge row's field entries);
//   MappedBlocks  the heap below 1 MiB, a mapping of their own from there on,
//                 asked to be backed by huge pages (a whole file read at
//                 once: 48 MB in 4 KiB pages costs some 12,000 page faults,
//                 as much time as the read itself).
// Nothing is zero-filled: bytes are written straight into the room they will
// occupy (room and commit), or read into it.
//
// A policy is a type with
//   static void* grow(void* block, std::size_t used, std::size_t held,
//                     std::size_t& capacity) noexcept;
//     a block of at least `capacity` bytes (set to what it holds) starting
//     with the first `used` bytes of `block` (null: none yet; `held`: its
//     capacity), which it frees; null when there is no memory, with `block`
//     left as it was;
//   static void free(void* block, std::size_t held) noexcept;
//   static constexpr bool kFreesByPointer;
//     true when free needs no `held`: the buffer's block can then be handed
//     to another owner (release) and freed by pointer alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "block_cache.hpp"

namespace brinewick::memory {

struct CachedBlocks {
    static constexpr bool kFreesByPointer = true;
    static void* grow(void* block, std::size_t used, std::size_t, std::size_t& capacity) noexcept {
        void* grown = acquire(capacity);
        if (grown == nullptr) return nullptr;
        if (used != 0) std::memcpy(grown, block, used);
        give_back(block);
        return grown;
    }
    static void free(void* block, std::size_t) noexcept { give_back(block); }
};

struct HeapBlocks {
    static constexpr bool kFreesByPointer = true;
    static void* grow(void* block, std::size_t, std::size_t, std::size_t& capacity) noexcept {
        return std::realloc(block, capacity);
    }
    static void free(void* block, std::size_t) noexcept { std::free(block); }
};

// A block is mapped exactly when its capacity is kMappedFrom or more: a
// mapping is grown with mremap, which moves pages rather than bytes.
struct MappedBlocks {
    static constexpr std::size_t kMappedFrom = std::size_t{1} << 20;
    static constexpr bool kFreesByPointer = false;
    static void* grow(void* block, std::size_t used, std::size_t held, std::size_t& capacity) noexcept;
    static void free(void* block, std::size_t held) noexcept;
};

template <typename T, typename Blocks>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() noexcept = default;
    // An empty buffer whose first block holds at least `first` items.
    [[nodiscard]] static Buffer starting_at(std::size_t first) noexcept {
        Buffer buffer;
        buffer.set_first_capacity(first);
        return buffer;
    }
    Buffer(const Buffer& other) : first_(other.first_) { append(other.data_, other.size_); }
    Buffer& operator=(const Buffer& other) {
        if (this != &other) {
            size_ = 0;
            append(other.data_, other.size_);
        }
        return *this;
    }
    Buffer(Buffer&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_), first_(other.first_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            first_ = other.first_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }
    ~Buffer() { reset(); }

    [[nodiscard]] T* data() noexcept { return data_; }
    [[nodiscard]] const T* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    // The bytes from item `from` on.
    [[nodiscard]] std::string_view view(std::size_t from = 0) const noexcept
        requires(sizeof(T) == 1)
    {
        return {reinterpret_cast<const char*>(data_) + from, size_ - from};
    }

    void clear() noexcept { size_ = 0; }
    void shrink(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }
    // The capacity of the first block, once the buffer is empty again.
    void set_first_capacity(std::size_t first) noexcept { first_ = first > kFloor ? first : kFloor; }

    // Room for `extra` more items: at least twice the capacity when it
    // grows, so that adding is linear. Throws std::bad_alloc.
    void reserve_more(std::size_t extra) {
        if (capacity_ - size_ < extra) grow(extra);
    }
    // A capacity of at least `total` items, and no more than that when it
    // grows. Throws std::bad_alloc.
    void reserve(std::size_t total) {
        if (!try_reserve(total)) throw std::bad_alloc();
    }
    // The same; false when there is no memory, with nothing changed.
    [[nodiscard]] bool try_reserve(std::size_t total) noexcept { return total <= capacity_ || reallocate(total); }

    // Room for `count` more items to be written in place; commit then says
    // where the written items end.
    [[nodiscard]] T* room(std::size_t count) {
        reserve_more(count);
        return data_ + size_;
    }
    void commit(const T* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

    void push_back(const T& value) {
        if (size_ == capacity_) [[unlikely]] grow(1);
        data_[size_++] = value;
    }
    // Appends unless the buffer is full; false then, with nothing changed.
    [[nodiscard]] bool try_push_back(const T& value) noexcept {
        if (size_ == capacity_) [[unlikely]] return false;
        data_[size_++] = value;
        return true;
    }
    void append(const T* items, std::size_t count) {
        reserve_more(count);
        copy(data_ + size_, items, count);
        size_ += count;
    }
    void append(std::string_view bytes)
        requires(sizeof(T) == 1)
    {
        append(reinterpret_cast<const T*>(bytes.data()), bytes.size());
    }
    // The bytes of `value`.
    template <typename V>
    void push(V value)
        requires(sizeof(T) == 1 && std::is_trivially_copyable_v<V>)
    {
        reserve_more(sizeof(V));
        std::memcpy(data_ + size_, &value, sizeof(V));
        size_ += sizeof(V);
    }
    // Grows to `size` items (if smaller), the new ones zero.
    void resize_zeroed(std::size_t size) {
        if (size > size_) {
            reserve_more(size - size_);
            std::memset(static_cast<void*>(data_ + size_), 0, (size - size_) * sizeof(T));
            size_ = size;
        }
    }

    // Hands the block over, to be freed with free_released. Callers reserve
    // first when they need it never null.
    [[nodiscard]] T* release() noexcept
        requires(Blocks::kFreesByPointer)
    {
        T* out = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return out;
    }
    static void free_released(void* block) noexcept
        requires(Blocks::kFreesByPointer)
    {
        if (block != nullptr) Blocks::free(block, 0);
    }
    // Frees the block.
    void reset() noexcept {
        if (data_ != nullptr) Blocks::free(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    static constexpr std::size_t kMaxItems = SIZE_MAX / sizeof(T);
    // The least first block: 16 items, and a cache line.
    static constexpr std::size_t kFloor = 64 / sizeof(T) > 16 ? 64 / sizeof(T) : 16;

    // Most byte spans are a few bytes (cells): copied inline, by overlapping
    // words that never read outside [from, from + n), instead of a call each.
    static void copy(T* to, const T* from, std::size_t n) noexcept {
        if constexpr (sizeof(T) != 1) {
            if (n != 0) std::memcpy(static_cast<void*>(to), from, n * sizeof(T));
        } else if (n > 16) {
            std::memcpy(to, from, n);
        } else if (n >= 8) {
            copy_ends<std::uint64_t>(to, from, n);
        } else if (n >= 4) {
            copy_ends<std::uint32_t>(to, from, n);
        } else if (n != 0) {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }
    // n bytes, sizeof(Word) <= n <= 2 * sizeof(Word): a word from each end.
    template <typename Word>
    static void copy_ends(T* to, const T* from, std::size_t n) noexcept {
        Word head{};
        Word tail{};
        std::memcpy(&head, from, sizeof(Word));
        std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
        std::memcpy(to, &head, sizeof(Word));
        std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
    }

    // Room for `extra` more items than size_, which the capacity lacks. Out
    // of line, so that the callers' hot paths (a cell's append) keep their
    // registers.
    [[gnu::noinline]] void grow(std::size_t extra) {
        if (extra > kMaxItems - size_) throw std::bad_alloc();
        const std::size_t need = size_ + extra;
        std::size_t capacity = capacity_ > kMaxItems / 2 ? need : 2 * capacity_;
        if (capacity < need) capacity = need;
        if (capacity < first_) capacity = first_;
        if (!reallocate(capacity)) throw std::bad_alloc();
    }
    [[nodiscard]] bool reallocate(std::size_t capacity) noexcept {
        if (capacity > kMaxItems) return false;
        std::size_t bytes = capacity * sizeof(T);
        void* grown = Blocks::grow(data_, size_ * sizeof(T), capacity_ * sizeof(T), bytes);
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = bytes / sizeof(T);
        return true;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t first_ = kFloor;
};

// Bytes from the block cache.
using Bytes = Buffer<char, CachedBlocks>;

}  // namespace brinewick::memory
