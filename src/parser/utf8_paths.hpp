// The instruction-set paths of valid_utf8_prefix, so that the tests and the
// benchmarks can run each one the machine supports. All give the same
// answer; valid_utf8_prefix picks the fastest once, at the first call.
#pragma once

#include <cstddef>

namespace brinewick {

enum class Utf8Path {
    plain,  // eight bytes a word, any CPU
    sse2,   // 16-byte compares (x86-64 baseline)
    avx2,   // 32-byte compares, chosen at run time
};

// Built into this binary and supported by the CPU it runs on.
[[nodiscard]] bool utf8_path_supported(Utf8Path path) noexcept;

// The path valid_utf8_prefix runs.
[[nodiscard]] Utf8Path utf8_chosen_path() noexcept;

[[nodiscard]] const char* utf8_path_name(Utf8Path path) noexcept;

// valid_utf8_prefix on `path`; a path that is not supported runs the plain one.
[[nodiscard]] std::size_t valid_utf8_prefix_on(Utf8Path path, const unsigned char* data,
                                               std::size_t size) noexcept;

}  // namespace brinewick
