// File salvage: read a file whole, classify it, write the clean CSV and,
// on request, the quarantine CSV.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "../error/salvage_error.hpp"
#include "salvage.hpp"

namespace brinewick {

// The bytes of a whole file. The storage is not zero-filled first: the
// read fills it, so the input costs one pass over memory, not two.
class FileBytes {
public:
    FileBytes() = default;
    [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    void release() noexcept {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    friend std::variant<FileBytes, IoError> read_whole_file(const std::string& path);
    [[nodiscard]] bool reserve(std::size_t capacity) noexcept;
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Reads the whole file at `path` as bytes (retrying interrupted calls).
[[nodiscard]] std::variant<FileBytes, IoError> read_whole_file(const std::string& path);

// Salvages `input_path` into `output_path` (and `quarantine_path` if given).
// Input is read completely before the output is created; the clean CSV is
// complete before the quarantine file is opened.
// Running out of memory at any step returns the "out of memory" error and
// leaves the disk as a write failure at that step would: no output while the
// input is read or the dialect settled; during the clean rows, an output
// holding every row before the one in progress and no quarantine file; in the
// quarantine, a complete output and the records written so far.
[[nodiscard]] std::variant<SalvageSummary, SalvageError> salvage_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options);

}  // namespace brinewick
