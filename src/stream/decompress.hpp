// Compressed inputs: the decompressing sources that stack over a file's
// source, and open_input_source, which tells from the first bytes what to
// stack. Decompression runs on a thread of its own, ahead of the parser.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "byte_source.hpp"
#include "input_kind.hpp"

namespace brinewick::stream {

// Opens `path` (through `opener` when one is given) and stacks what its
// bytes need under the reader: a decompressor for gzip, zstd, bzip2, xz or
// a zip archive of one member.
// A file that is no text (a workbook, Parquet, an image, ...), a zip of
// several members, or a format this build cannot undo is refused as
// Status::Kind::Invalid, before anything is read for the caller.
[[nodiscard]] Result<std::unique_ptr<ByteSource>> open_input_source(const std::string& path,
                                                                    const std::atomic<bool>& cancel,
                                                                    const SourceOpener& opener = {});

// The decompressor of `kind` (not Text or NotText) over `compressed`,
// reading ahead on its own thread; `path` names the file in messages.
[[nodiscard]] Result<std::unique_ptr<ByteSource>> decompressing_source(InputKind kind,
                                                                       std::unique_ptr<ByteSource> compressed,
                                                                       const std::string& path);

}  // namespace brinewick::stream
