// Batches a pass keeps in memory instead of handing them out as it makes
// them: pass 1's, converted to the final columns, for a file that stood
// still (the first stream then reads it no more), and a part's, read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_builder.hpp"

namespace brinewick::arrow {

// Finished batches owned until a stream takes them; released otherwise.
class KeptBatches {
public:
    KeptBatches() = default;
    KeptBatches(const KeptBatches&) = delete;
    KeptBatches& operator=(const KeptBatches&) = delete;
    ~KeptBatches() { clear(); }

    // Reserve first: may throw. `copies`: the batch's typed copies, if any.
    void push(const ArrowArray& batch, TypedCopies copies = {}) noexcept {
        batches_.push_back(batch);
        copies_.push_back(std::move(copies));
    }
    void reserve_one() {
        batches_.reserve(batches_.size() + 1);
        copies_.reserve(batches_.size() + 1);
    }
    void clear() noexcept;
    // Frees the batches' typed copies (a read whose columns are all strings needs none).
    void drop_copies() noexcept {
        for (TypedCopies& c : copies_) c.clear();
    }
    [[nodiscard]] bool empty() const noexcept { return batches_.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return batches_.size(); }
    // Moves out the oldest batch (with its typed copies into `copies`, if
    // given); false when none is left.
    [[nodiscard]] bool pop(ArrowArray* out, TypedCopies* copies = nullptr) noexcept;
    // Converts string batches to `columns` on `threads` threads, each
    // string batch freed once converted. On a value that does not fit,
    // returns its message and leaves no batch.
    [[nodiscard]] std::string convert(const std::vector<ColumnSpec>& columns, std::size_t threads);

    bool large_strings = false;
    // The batches hold every column as strings, as read: each is converted
    // to the final columns when handed out.
    bool strings = false;
    bool null_misfits = false;  // a value its column's type cannot hold becomes null
    char thousands = 0;         // the separator numbers may group digits with (0: none)
    // The file as pass 1 found it: a stream takes the batches only while
    // the path still names that file, unchanged. The change time is what a
    // rewrite cannot hide: utime restores the modification time, never it.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t mtime_ns = 0;
        std::int64_t ctime_ns = 0;
        bool operator==(const Identity&) const = default;
    };
    Identity identity;

private:
    std::vector<ArrowArray> batches_;
    std::vector<TypedCopies> copies_;  // one per batch
    std::size_t next_ = 0;
};

// What `path` names now, if it is a regular file that was last modified
// long enough ago that a later write cannot share its timestamp (file
// systems stamp in ticks of up to a second or two). A later write that
// restores the modification time still moves the change time.
[[nodiscard]] std::optional<KeptBatches::Identity> settled_identity(const std::string& path) noexcept;
// What `path` names now, however recent.
[[nodiscard]] std::optional<KeptBatches::Identity> current_identity(const std::string& path) noexcept;

// A stream over kept batches (`columns` is their schema).
[[nodiscard]] bool make_kept_stream(std::vector<ColumnSpec> columns, std::unique_ptr<KeptBatches> kept,
                                    ArrowArrayStream* out);

}  // namespace brinewick::arrow
