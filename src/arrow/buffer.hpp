// A growable byte buffer, handed to an Arrow array when a batch is finished
// (the array's release callback gives it back with free_released). Its
// blocks come from the shared block cache (block_cache.hpp): a reader's
// batches are about the same size from file to file, and fresh pages cost
// a fault and a zeroing each, a tenth of a string read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "../stream/block_cache.hpp"

namespace brinewick::arrow {

// Buffers allocated and not yet freed, over the whole process: tests check
// that releasing every batch brings it back to where it was.
[[nodiscard]] std::int64_t live_buffers() noexcept;

namespace detail {
extern std::atomic<std::int64_t> live_buffer_count;
}

class OwnedBuffer {
public:
    OwnedBuffer() = default;
    ~OwnedBuffer() { reset(); }
    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;

    [[nodiscard]] std::uint8_t* data() noexcept { return data_; }
    [[nodiscard]] const std::uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Room for `extra` more bytes; throws std::bad_alloc.
    void reserve_more(std::size_t extra) {
        if (capacity_ - size_ < extra) grow(size_ + extra);
    }
    void append(const void* bytes, std::size_t n) {
        reserve_more(n);
        copy(data_ + size_, static_cast<const std::uint8_t*>(bytes), n);
        size_ += n;
    }
    template <typename T>
    void push(T value) {
        reserve_more(sizeof(T));
        std::memcpy(data_ + size_, &value, sizeof(T));
        size_ += sizeof(T);
    }
    // Grows to `n` bytes (if smaller), the new ones zero.
    void resize_zeroed(std::size_t n) {
        if (n > size_) {
            reserve_more(n - size_);
            std::memset(data_ + size_, 0, n - size_);
            size_ = n;
        }
    }
    // The capacity of the first block, once the buffer is empty again.
    void set_first_capacity(std::size_t n) noexcept { first_capacity_ = n; }
    void shrink(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }

    // Hands the memory over. Callers reserve first, so it is never null:
    // consumers may refuse a null pointer for a data buffer, even an empty one.
    [[nodiscard]] std::uint8_t* release() noexcept {
        std::uint8_t* out = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return out;
    }
    static void free_released(void* p) noexcept {
        if (p != nullptr) {
            blocks::give_back(p);
            detail::live_buffer_count.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    void reset() noexcept {
        free_released(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    // Most cells are a few bytes: copied inline, by overlapping words that
    // never read outside [from, from + n), instead of a call per cell.
    static void copy(std::uint8_t* to, const std::uint8_t* from, std::size_t n) noexcept {
        if (n > 16) {
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
    static void copy_ends(std::uint8_t* to, const std::uint8_t* from, std::size_t n) noexcept {
        Word head{};
        Word tail{};
        std::memcpy(&head, from, sizeof(Word));
        std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
        std::memcpy(to, &head, sizeof(Word));
        std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
    }

    void grow(std::size_t need) {
        std::size_t cap = capacity_ != 0 ? capacity_ : (first_capacity_ > 64 ? first_capacity_ : 64);
        while (cap < need) cap = cap > (SIZE_MAX / 2) ? need : cap * 2;
        auto* p = static_cast<std::uint8_t*>(blocks::acquire(cap));
        if (data_ == nullptr) {
            detail::live_buffer_count.fetch_add(1, std::memory_order_relaxed);
        } else {
            if (size_ != 0) std::memcpy(p, data_, size_);
            blocks::give_back(data_);
        }
        data_ = p;
        capacity_ = cap;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t first_capacity_ = 0;
};

}  // namespace brinewick::arrow
