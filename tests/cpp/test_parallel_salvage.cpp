// Chunk-parallel salvage against the one-thread run: the same clean,
// quarantine and changes bytes and the same counters, with chunks so small
// that rows, quoted fields, CR LF pairs and the BOM cross chunk boundaries
// everywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stream/stream_salvage.hpp"
#include "test_support.hpp"

namespace brinewick::stream {
namespace {

using namespace brinewick::test_support;

struct SalvageRun {
    Result<StreamSummary> result;
    std::string clean;
    std::string quarantine;
    std::string changes;
};

SalvageRun run_salvage(const TempDir& dir, const std::string& input_path, const SalvageOptions& options,
                std::size_t jobs, std::size_t chunk_size, std::size_t read_size = 1u << 16) {
    StreamPaths paths{input_path, dir.file("out.csv"), dir.file("q.csv"), dir.file("c.csv")};
    StreamSettings settings;
    settings.options = options;
    settings.durable = false;
    settings.read_size = read_size;
    settings.jobs = jobs;
    settings.chunk_size = chunk_size;
    StreamControl control;
    SalvageRun run{stream_salvage(paths, settings, control), {}, {}, {}};
    run.clean = slurp(paths.output);
    run.quarantine = slurp(*paths.quarantine);
    run.changes = slurp(*paths.changes);
    return run;
}

void expect_same(const SalvageRun& one, const SalvageRun& many) {
    ASSERT_TRUE(one.result.is_ok());
    ASSERT_TRUE(many.result.is_ok()) << many.result.status().message();
    const StreamSummary& a = one.result.value();
    const StreamSummary& b = many.result.value();
    EXPECT_EQ(a.counters.detected_delimiter, b.counters.detected_delimiter);
    EXPECT_EQ(a.counters.inferred_columns, b.counters.inferred_columns);
    EXPECT_EQ(a.counters.total_rows, b.counters.total_rows);
    EXPECT_EQ(a.counters.salvaged_rows, b.counters.salvaged_rows);
    EXPECT_EQ(a.counters.repaired_rows, b.counters.repaired_rows);
    EXPECT_EQ(a.counters.quarantined_rows, b.counters.quarantined_rows);
    EXPECT_EQ(a.changes, b.changes);
    EXPECT_EQ(a.changed_rows, b.changed_rows);
    EXPECT_EQ(a.bytes_read, b.bytes_read);
    EXPECT_EQ(one.clean, many.clean);
    EXPECT_EQ(one.quarantine, many.quarantine);
    EXPECT_EQ(one.changes, many.changes);
}

// Runs `input` on one thread, then on 2, 3, 4 and 8 with each chunk size.
void check_all(const std::string& input, const SalvageOptions& options, const std::vector<std::size_t>& chunks) {
    TempDir dir;
    spit(dir.file("in.csv"), input);
    const SalvageRun one = run_salvage(dir, dir.file("in.csv"), options, 1, 1u << 20);
    for (const std::size_t jobs : {2u, 3u, 4u, 8u}) {
        for (const std::size_t chunk : chunks) {
            SCOPED_TRACE("jobs " + std::to_string(jobs) + ", chunk " + std::to_string(chunk));
            expect_same(one, run_salvage(dir, dir.file("in.csv"), options, jobs, chunk, 7));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

const std::vector<std::size_t> kSmallChunks = {1, 2, 3, 5, 8, 13, 32, 100, 4096};

struct Boundary {
    const char* name;
    std::string input;
};

class BoundaryCase : public ::testing::TestWithParam<Boundary> {};

TEST_P(BoundaryCase, SameAsOneThread) {
    check_all(GetParam().input, SalvageOptions{}, kSmallChunks);
    SalvageOptions strict;
    strict.fill_ragged_rows = false;
    strict.merge_overflow = false;
    check_all(GetParam().input, strict, {1, 3, 16});
    // A row the repair stage cuts at its first line break changes where
    // the rows after it start, inside one chunk or across several.
    SalvageOptions repair;
    repair.repair_columns = true;
    check_all(GetParam().input, repair, kSmallChunks);
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, BoundaryCase,
    ::testing::Values(
        Boundary{"QuoteSpanningChunks", "a,b,c\n1,\"x\ny\nz\nw\",3\n4,5,6\n7,\"p\nq\",9\n" + repeat("1,2,3\n", 20)},
        Boundary{"UnclosedQuoteToTheEnd", "a,b,c\n1,2,3\n4,\"open\n5,6,7\n8,9,10\n"},
        Boundary{"UnclosedQuoteNoFinalBreak", "a,b,c\n1,2,3\n4,\"open\n5,6,7\n\"8"},
        Boundary{"CrLfAcrossBoundaries", repeat("a,b\r\n", 10) + "1,\"x\r\ny\"\r\n\r\n" + repeat("c,d\r\n", 10)},
        Boundary{"LoneCrBreaks", repeat("a,b\r", 8) + "1,\"x\ry\"\r2,3\r\r" + repeat("e,f\r", 8)},
        Boundary{"MixedBreaks", "a,b\n\r\n\r1,2\r\r\n3,\"4\r\n5\r6\"\n7,8"},
        Boundary{"Bom", "\xEF\xBB\xBF" "a,b,c\n\"1\",2,3\n4,5\n6,7,8,9\n"},
        Boundary{"BomBeforeQuote", "\xEF\xBB\xBF\"a\nb\",c\n1,2\n"},
        Boundary{"RowLargerThanChunk", "h1,h2\n1,\"" + repeat("long\ntext \"\" ", 40) + "\"\n" + std::string(500, 'x') +
                                          ",y\n3,4\n"},
        Boundary{"SmallerThanOneChunk", "a,b\n1,2\n"},
        Boundary{"OnlyLineBreaks", "\n\n\r\n\r\r\n\n"},
        Boundary{"QuoteStorm", repeat("\"", 97) + "\n" + repeat("\",\"\n", 40) + repeat("\"\"\"\n", 30)},
        Boundary{"StrayAndAfterQuote", repeat("1,\"a\"b\"c\",\"x\" y,2\n\"q\"\"\",\"s\"t\"\n", 15)},
        Boundary{"InvalidUtf8AcrossChunks", repeat("caf\xC3\xA9,\xE2\x82\xAC\xFF,\xF0\x9F\x98\x80\n", 20)},
        Boundary{"QuoteAsLastByte", "a,b\n1,2\n3,\""},
        Boundary{"StrayQuoteClosedLinesLater", "a,b,c\n" + repeat("1,2,3\n", 6) + "4,\"x,5\n" + repeat("6,7,8\n", 9) +
                                                   "9,y\",10\n" + repeat("1,2,3\n", 6)},
        Boundary{"TwoUnclosedQuotes", "a,b,c\n1,2,3\n4,\"open,5\n6,7,8\n9,10,\"again\n" + repeat("1,2,3\n", 9)},
        Boundary{"TrailingDelimiters", "a,b,c\n" + repeat("1,2,3\n4,5,6,,\n\"7\" x,8,9,\n", 6)},
        Boundary{"Empty", ""}),
    [](const ::testing::TestParamInfo<Boundary>& info) { return std::string(info.param.name); });

// Pieces that make quotes, breaks and bytes fall in every position.
std::string random_text(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {
        "a", "bc", "123", ",", ",", ",", ";", "\"", "\"", "\"\"", "\r", "\n", "\n", "\n", "\r\n", " ",
        "\xC3\xA9", "\xFF", "\",", "\"\n", ",\"", "x\"y", "\r\r\n", "\n\"", "\t"};
    std::string text = rng() % 5 == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t count = rng() % 600;
    for (std::size_t i = 0; i < count; ++i) text += pieces[rng() % pieces.size()];
    return text;
}

std::string random_table(std::mt19937& rng) {
    const char delimiter = ",;\t|"[rng() % 4];
    const std::size_t width = 1 + rng() % 5;
    std::string text = rng() % 3 == 0 ? "\xEF\xBB\xBF" : "";
    for (std::size_t r = rng() % 300; r > 0; --r) {
        std::size_t fields = rng() % 6 == 0 ? 1 + rng() % (width + 3) : width;
        for (std::size_t f = 0; f < fields; ++f) {
            if (f > 0) text += delimiter;
            switch (rng() % 10) {
                case 0: text += "\"q" + std::string(1, delimiter) + "\"\"x\""; break;
                case 1: text += "\"multi\nline\r\nthree\""; break;
                case 2: text += "\"stray\"quote\""; break;
                case 3: text += "\"after\"text"; break;
                case 4: text += "caf\xC3\xA9\xFF"; break;
                case 5: text += std::string(rng() % 200, 'w'); break;
                case 6: text += "\"open"; break;
                default: text += "v" + std::to_string(rng() % 1000); break;
            }
        }
        const char* breaks[] = {"\n", "\r\n", "\r", "\n\n", "\n \n"};
        text += breaks[rng() % 5];
    }
    return text;
}

SalvageOptions random_options(std::mt19937& rng) {
    SalvageOptions options;
    options.repair_quotes = rng() % 4 != 0;
    options.fill_ragged_rows = rng() % 3 != 0;
    options.merge_overflow = rng() % 3 != 0;
    if (rng() % 4 == 0) options.expected_columns = rng() % 5;
    if (rng() % 6 == 0) options.quote_char = '\'';
    options.repair_columns = rng() % 2 == 0;
    return options;
}

TEST(ParallelSalvage, RandomInputsMatchOneThread) {
    // BRINEWICK_SEED replays a printed seed.
    const char* given = std::getenv("BRINEWICK_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::stoul(given)) : std::random_device{}();
    std::cout << "parallel differential seed " << seed << "\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TempDir dir;
    for (int round = 0; round < 120; ++round) {
        const std::string input = round % 2 == 0 ? random_text(rng) : random_table(rng);
        const SalvageOptions options = random_options(rng);
        spit(dir.file("in.csv"), input);
        const SalvageRun one = run_salvage(dir, dir.file("in.csv"), options, 1, 1u << 20);
        const std::size_t jobs = std::vector<std::size_t>{2, 3, 4, 8}[rng() % 4];
        const std::size_t chunk = 1 + rng() % (rng() % 2 == 0 ? 64 : 4096);
        SCOPED_TRACE("round " + std::to_string(round) + ", jobs " + std::to_string(jobs) + ", chunk " +
                     std::to_string(chunk));
        expect_same(one, run_salvage(dir, dir.file("in.csv"), options, jobs, chunk, 1 + rng() % 64));
        if (HasFailure()) return;
    }
}

// Rows padded to a huge width are never built whole by a worker: one line
// longer than a worker holds, or many that together pass what a chunk's
// output may hold, go to the writer, which writes them in pieces.
TEST(ParallelSalvage, WidePaddingMatchesOneThread) {
    const std::string input = "a,b\n1\n\"x\ny\",2\n" + repeat("3\n", 12) + "\"open\n4\n";
    TempDir dir;
    spit(dir.file("in.csv"), input);
    for (const std::size_t columns : {std::size_t{1} << 21, std::size_t{1} << 17}) {
        SalvageOptions options;
        options.expected_columns = columns;
        const SalvageRun one = run_salvage(dir, dir.file("in.csv"), options, 1, 1u << 20);
        for (const std::size_t chunk : {3u, 4096u}) {
            SCOPED_TRACE("columns " + std::to_string(columns) + ", chunk " + std::to_string(chunk));
            expect_same(one, run_salvage(dir, dir.file("in.csv"), options, 3, chunk));
        }
    }
}

// Rows must end at line breaks outside quotes for chunks cut there to
// start at rows: a line break as delimiter or quote is refused before
// anything is read, and no output is left behind.
TEST(ParallelSalvage, LineBreakDelimiterOrQuoteIsRefused) {
    TempDir dir;
    spit(dir.file("in.csv"), "a\nb\r\"c\nd\"\n");
    for (const auto& [delimiter, quote] : {std::pair<char, char>{'\n', '"'}, {'\r', '"'}, {',', '\n'}, {';', '\r'}}) {
        SCOPED_TRACE(std::string("delimiter ") + std::to_string(delimiter) + ", quote " + std::to_string(quote));
        SalvageOptions options;
        options.delimiter = static_cast<std::uint8_t>(delimiter);
        options.quote_char = static_cast<std::uint8_t>(quote);
        const SalvageRun run = run_salvage(dir, dir.file("in.csv"), options, 2, 4);
        ASSERT_TRUE(!run.result.is_ok());
        EXPECT_EQ(run.result.status().io_error().code, EINVAL);
        struct stat status {};
        EXPECT_NE(::stat(dir.file("out.csv").c_str(), &status), 0);
    }
}

TEST(ParallelSalvage, FifoIsChunkedAsItArrives) {
    TempDir dir;
    std::mt19937 rng(7);
    std::string input;
    while (input.size() < 200000) input += random_table(rng);
    spit(dir.file("in.csv"), input);
    const SalvageRun one = run_salvage(dir, dir.file("in.csv"), SalvageOptions{}, 1, 1u << 20);
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        for (std::size_t at = 0; at < input.size(); at += 777) out << input.substr(at, 777) << std::flush;
    });
    const SalvageRun many = run_salvage(dir, fifo, SalvageOptions{}, 3, 1000, 512);
    writer.join();
    expect_same(one, many);
}

TEST(ParallelSalvage, CancelLeavesNoOutput) {
    TempDir dir;
    spit(dir.file("in.csv"), repeat("a,\"b\nc\",d\n", 800000));
    StreamPaths paths{dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), std::nullopt};
    StreamSettings settings;
    settings.durable = false;
    settings.jobs = 4;
    settings.chunk_size = 4096;
    StreamControl control;
    // Stops the run part way, once reading has begun.
    std::thread stopper([&] {
        while (control.bytes_done.load() == 0) std::this_thread::yield();
        control.cancel.store(true);
    });
    const auto result = stream_salvage(paths, settings, control);
    stopper.join();
    ASSERT_TRUE(!result.is_ok());
    EXPECT_EQ(result.status().kind(), Status::Kind::Cancelled);
    struct stat status {};
    EXPECT_NE(::stat(paths.output.c_str(), &status), 0);
    EXPECT_NE(::stat(paths.quarantine->c_str(), &status), 0);
}

}  // namespace
}  // namespace brinewick::stream
