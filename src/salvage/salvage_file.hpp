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
#include "../memory/buffer.hpp"
#include "salvage.hpp"

namespace brinewick {

// The bytes of a whole file. The storage is not zero-filled first: the
// read fills it, so the input costs one pass over memory, not two. A large
// file goes into its own mapping, asked to be backed by huge pages
// (memory::MappedBlocks).
using FileBytes = memory::Buffer<char, memory::MappedBlocks>;

// Reads the whole file at `path` as bytes. Interrupted calls are retried
// while `cancel` says go on; it is also asked every CancelCheck::kInterval
// bytes. Told to stop, the read ends with EINTR.
[[nodiscard]] std::variant<FileBytes, IoError> read_whole_file(const std::string& path,
                                                               CancelCheck* cancel = nullptr);

// Salvages `input_path` into `output_path` (and `quarantine_path` if given).
// Input is read completely before the output is created; the clean CSV is
// complete before the quarantine file is opened.
// Running out of memory at any step returns the "out of memory" error and
// leaves the disk as a write failure at that step would: no output while the
// input is read or the dialect settled; during the clean rows, an output
// holding every row before the one in progress and no quarantine file; in the
// quarantine, a complete output and the records written so far. In place,
// the input is left as it was.
//
// When the output is the input (a regular file, by name or by device and
// inode), the clean CSV goes to a hidden temporary file beside it, with the
// input's permission bits, and is renamed over it once complete: any failure
// or interruption before that removes the temporary and leaves the input as
// it was. The rename replaces the file the output path resolves to, so a
// hard link to it elsewhere keeps the old bytes. Every other output is
// written in place.
//
// A quarantine path naming the output or the input is refused (ValueError
// text) before anything is read or written.
//
// `cancel` is asked while reading, parsing and writing; told to stop, the run
// ends with EINTR and leaves the disk as any failure at that step would.
[[nodiscard]] std::variant<SalvageSummary, SalvageError> salvage_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options,
    CancelCheck* cancel = nullptr);

}  // namespace brinewick
