// Streaming salvage against the in-memory engine, and its memory.
//
//   stream_salvage_bench FILE [--reps N] [--read-size BYTES] [--durable]
//       Salvages FILE with salvage_file (whole file in memory) and with
//       stream_salvage (rolling window, temporaries renamed into place),
//       interleaved, best of N each; prints MB/s and the ratio. Both write
//       their clean CSV next to FILE (FILE.mem.out, FILE.stream.out) and
//       quarantine; the stream also writes its changes file. Outputs are
//       removed at the end. Durable flushing is off unless --durable.
//   stream_salvage_bench --rss FILE [--read-size BYTES]
//       One streaming salvage in this fresh process; prints the peak RSS
//       (getrusage), to be compared across input sizes.
//
// MB is 10^6 bytes.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "salvage/salvage_file.hpp"
#include "stream/stream_salvage.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

bool run_stream(const std::string& input, std::size_t read_size, bool durable, std::size_t& rows) {
    brinewick::stream::StreamPaths paths{input, input + ".stream.out", input + ".stream.q",
                                         input + ".stream.changes"};
    brinewick::stream::StreamSettings settings;
    settings.read_size = read_size;
    settings.durable = durable;
    brinewick::stream::StreamControl control;
    const auto result = brinewick::stream::stream_salvage(paths, settings, control);
    if (!result.is_ok()) {
        std::fprintf(stderr, "stream_salvage failed: %s\n", result.status().text().c_str());
        return false;
    }
    rows = result.value().counters.total_rows;
    return true;
}

bool run_memory(const std::string& input, std::size_t& rows) {
    const auto result = brinewick::salvage_file(input, input + ".mem.out", input + ".mem.q", {});
    if (const auto* error = std::get_if<brinewick::SalvageError>(&result)) {
        std::fprintf(stderr, "salvage_file failed: %s\n", error->message().c_str());
        return false;
    }
    rows = std::get<brinewick::SalvageSummary>(result).total_rows;
    return true;
}

// True when the two files hold the same bytes.
bool same_bytes(const std::string& a, const std::string& b) {
    std::FILE* fa = std::fopen(a.c_str(), "rb");
    std::FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    static char ba[1 << 16];
    static char bb[1 << 16];
    while (same) {
        const std::size_t na = std::fread(ba, 1, sizeof ba, fa);
        const std::size_t nb = std::fread(bb, 1, sizeof bb, fb);
        same = na == nb && std::memcmp(ba, bb, na) == 0;
        if (na == 0) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

void print_load() {
    double load[3] = {};
    if (::getloadavg(load, 3) == 3) std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    int reps = 5;
    std::size_t read_size = std::size_t{1} << 20;
    bool durable = false;
    bool rss = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (arg == "--read-size" && i + 1 < argc) {
            read_size = static_cast<std::size_t>(std::strtoull(argv[++i], nullptr, 10));
        } else if (arg == "--durable") {
            durable = true;
        } else if (arg == "--rss") {
            rss = true;
        } else {
            input = arg;
        }
    }
    if (input.empty()) {
        std::fprintf(stderr, "usage: stream_salvage_bench FILE [--reps N] [--read-size B] [--durable] | --rss FILE\n");
        return 2;
    }
    const long size = file_size(input);
    const double mb = static_cast<double>(size) / 1e6;

    if (rss) {
        std::size_t rows = 0;
        const auto start = Clock::now();
        if (!run_stream(input, read_size, durable, rows)) return 1;
        const double took = seconds_since(start);
        rusage usage {};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("input %s: %.1f MB, %zu rows, %.2f s, peak RSS %.1f MiB\n", input.c_str(), mb, rows,
                    took, static_cast<double>(usage.ru_maxrss) / 1024.0);
        for (const char* suffix : {".stream.out", ".stream.q", ".stream.changes"}) {
            ::unlink((input + suffix).c_str());
        }
        return 0;
    }

    double best_stream = 1e300;
    double best_memory = 1e300;
    std::size_t stream_rows = 0;
    std::size_t memory_rows = 0;
    for (int r = 0; r < reps; ++r) {
        auto start = Clock::now();
        if (!run_memory(input, memory_rows)) return 1;
        best_memory = std::min(best_memory, seconds_since(start));
        start = Clock::now();
        if (!run_stream(input, read_size, durable, stream_rows)) return 1;
        best_stream = std::min(best_stream, seconds_since(start));
    }
    std::printf("input %s: %.1f MB, %zu rows, best of %d, read size %zu, durable %s\n", input.c_str(), mb,
                stream_rows, reps, read_size, durable ? "on" : "off");
    print_load();
    std::printf("  salvage_file (in memory)   %8.1f MB/s  best %.3f s\n", mb / best_memory, best_memory);
    std::printf("  stream_salvage             %8.1f MB/s  best %.3f s\n", mb / best_stream, best_stream);
    std::printf("  ratio stream / in-memory speed  %.2fx\n", best_memory / best_stream);
    const bool same = memory_rows == stream_rows && same_bytes(input + ".mem.out", input + ".stream.out");
    std::printf("  clean outputs identical: %s\n", same ? "yes" : "NO");
    for (const char* suffix : {".mem.out", ".mem.q", ".stream.out", ".stream.q", ".stream.changes"}) {
        ::unlink((input + suffix).c_str());
    }
    return same ? 0 : 1;
}
