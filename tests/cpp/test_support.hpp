// Helpers shared by the engine tests: a replayable seed and scratch files.
#pragma once

#include <stdlib.h>  // mkdtemp

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace brinewick::test_support {

// The seed of a random test: BRINEWICK_TEST_SEED replays a failure.
inline unsigned test_seed() {
    if (const char* env = std::getenv("BRINEWICK_TEST_SEED")) {
        return static_cast<unsigned>(std::strtoul(env, nullptr, 10));
    }
    return static_cast<unsigned>(std::time(nullptr));
}

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/brinewick-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }
    [[nodiscard]] std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace brinewick::test_support
