// Outputs named *.gz or *.zst are written compressed: the bytes an output
// would write pass through here on their way to the file.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "../error/status.hpp"

namespace brinewick::stream {

class OutputCompressor {
public:
    using Sink = std::function<Status(const char*, std::size_t)>;
    OutputCompressor() = default;
    OutputCompressor(const OutputCompressor&) = delete;
    OutputCompressor& operator=(const OutputCompressor&) = delete;
    virtual ~OutputCompressor() = default;

    // Compresses `data`, giving `sink` what is ready; `end` closes the stream.
    [[nodiscard]] virtual Status put(std::string_view data, bool end, const Sink& sink) = 0;
};

// The compressor an output named `target` is written through (gzip for
// *.gz, zstd for *.zst), nullptr for any other name. A format this build
// cannot write is Status::Kind::Invalid.
[[nodiscard]] Result<std::unique_ptr<OutputCompressor>> output_compressor_for(const std::string& target);

}  // namespace brinewick::stream
