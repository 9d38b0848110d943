// Cost of building Arrow batches from parsed rows, against parsing alone.
//
//   arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]
//
// Reads FILE whole into memory, then times, best of N interleaved runs:
//   parse         ResilientParser::next_row(RowBuffer&) over every row
//   parse+str     the same, every row after the header into string batches
//                 (finished and released as they fill)
//   parse+scan    the same parse feeding SchemaScanner with inference on
//                 (the first pass of a typed read)
//   parse+typed   the same parse into batches of the inferred types (the
//                 second pass)
// and prints rows/s, MB/s (of input, 10^6 bytes) and the ratios to parse.
// A typed read costs parse+scan plus parse+typed; the ratio of that sum to
// parse+str is what inference adds to a read. Cell counts are summed and
// printed so the compiler cannot drop the work.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace brinewick;

struct Tally {
    std::size_t rows = 0;
    std::size_t cells = 0;
    std::size_t batches = 0;
};

Tally parse_only(std::string_view text) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    Tally t;
    while (parser.next_row(row)) {
        ++t.rows;
        t.cells += row.size();
    }
    return t;
}

std::vector<std::string> header_of(std::string_view text) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    std::vector<std::string> out;
    if (parser.next_row(row)) {
        for (std::size_t i = 0; i < row.size(); ++i) out.emplace_back(row.field(i));
    }
    return out;
}

Tally build(std::string_view text, const std::vector<arrow::ColumnSpec>& columns, const arrow::BatchOptions& options) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    arrow::BatchBuilder builder(columns, options);
    Tally t;
    auto flush = [&] {
        ArrowArray batch;
        builder.finish(&batch);
        t.cells += static_cast<std::size_t>(batch.length) * static_cast<std::size_t>(batch.n_children);
        ++t.batches;
        batch.release(&batch);
    };
    bool header = true;
    while (parser.next_row(row)) {
        ++t.rows;
        if (header) {
            header = false;
            continue;
        }
        arrow::AppendResult r = builder.append_row(row);
        if (r == arrow::AppendResult::Full) {
            flush();
            r = builder.append_row(row);
        }
        if (r != arrow::AppendResult::Ok) {
            std::fprintf(stderr, "append failed: %s\n", builder.error().c_str());
            std::exit(1);
        }
        if (builder.full()) flush();
    }
    if (builder.rows() > 0) flush();
    return t;
}

Tally scan(std::string_view text, std::vector<arrow::ColumnSpec>* columns) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    arrow::SchemaScanner scanner({.header = true, .infer = true, .empty_as_null = true});
    Tally t;
    while (parser.next_row(row)) {
        ++t.rows;
        t.cells += row.size();
        scanner.add_row(row);
    }
    auto result = scanner.columns();
    if (columns != nullptr) *columns = std::get<std::vector<arrow::ColumnSpec>>(result);
    return t;
}

template <typename Work>
void time_best(double& best, Tally& tally, Work&& work) {
    const auto start = Clock::now();
    tally = work();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, s);
}

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    out = std::move(buf).str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef NDEBUG
    std::fprintf(stderr, "warning: assertions on; build with -DCMAKE_BUILD_TYPE=Release\n");
#endif
    const char* path = nullptr;
    int reps = 5;
    arrow::BatchOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--reps" && has_value) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--max-rows" && has_value) {
            options.limits.max_rows = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (arg == "--max-mb" && has_value) {
            options.limits.max_bytes = static_cast<std::size_t>(std::atof(argv[++i]) * (1 << 20));
        } else if (path == nullptr && !arg.empty() && arg[0] != '-') {
            path = argv[i];
        } else {
            std::fprintf(stderr, "usage: arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]\n");
            return 2;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]\n");
        return 2;
    }
    std::string text;
    if (!read_file(path, text)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    const std::string_view view(text);

    std::vector<arrow::ColumnSpec> strings;
    for (const std::string& name : header_of(view)) strings.push_back({name, arrow::ColumnType::Utf8});
    std::vector<arrow::ColumnSpec> typed;
    scan(view, &typed);

    double t_parse = 1e300, t_str = 1e300, t_scan = 1e300, t_typed = 1e300;
    Tally parse_t, str_t, scan_t, typed_t;
    for (int r = 0; r < reps; ++r) {
        time_best(t_parse, parse_t, [&] { return parse_only(view); });
        time_best(t_str, str_t, [&] { return build(view, strings, options); });
        time_best(t_scan, scan_t, [&] { return scan(view, nullptr); });
        time_best(t_typed, typed_t, [&] { return build(view, typed, options); });
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("input %s: %zu bytes (%.1f MB), %zu rows, best of %d; batches of <= %zu rows / %.0f MiB\n", path,
                text.size(), mb, parse_t.rows, reps, options.limits.max_rows,
                static_cast<double>(options.limits.max_bytes) / (1 << 20));
    std::printf("  inferred:");
    for (const auto& c : typed) std::printf(" %s:%s", c.name.c_str(), std::string(arrow::column_type_name(c.type)).c_str());
    std::printf("\n");
    auto line = [&](const char* name, double s, const Tally& t) {
        std::printf("  %-12s %8.4f s  %7.1f MB/s  %6.2f M rows/s  x%.2f of parse  (cells %zu, batches %zu)\n", name, s,
                    mb / s, static_cast<double>(t.rows) / s / 1e6, s / t_parse, t.cells, t.batches);
    };
    line("parse", t_parse, parse_t);
    line("parse+str", t_str, str_t);
    line("parse+scan", t_scan, scan_t);
    line("parse+typed", t_typed, typed_t);
    std::printf("  building string batches adds %.0f%% to parsing\n", (t_str / t_parse - 1) * 100);
    std::printf("  typed read (scan pass + typed pass) / string read (one pass): x%.2f\n", (t_scan + t_typed) / t_str);
    return 0;
}
