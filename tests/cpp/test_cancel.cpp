// Stopping a run part way: the parser inside one long row, and the disk state
// salvage_file leaves when told to stop at each point it asks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "heuristics/heuristics.hpp"
#include "parser/resilient_parser.hpp"
#include "salvage/salvage.hpp"
#include "salvage/salvage_file.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;
namespace fs = std::filesystem;

// Says go on to the first `allowed` questions, stop from then on; counts them.
struct Countdown {
    std::size_t allowed;
    std::size_t asked = 0;
    CancelCheck check() { return CancelCheck(&answer, this); }
    static bool answer(void* self) {
        auto& c = *static_cast<Countdown*>(self);
        return ++c.asked <= c.allowed;
    }
};

std::vector<std::vector<std::string>> parse_all(const std::string& text, CancelCheck* cancel) {
    ResilientParser parser(text, ',', '"', true);
    parser.set_cancel_check(cancel);
    std::vector<std::vector<std::string>> rows;
    RowBuffer row;
    while (parser.next_row(row)) rows.push_back(row.to_strings());
    return rows;
}

// One row of doubled quotes, two check intervals long: parsed two bytes a step.
const std::string kLongRow = "\"" + std::string(2 * CancelCheck::kInterval, '"') + "\",x\n";

TEST(CancelCheck, ParserAsksInsideOneLongRow) {
    Countdown always{static_cast<std::size_t>(-1)};
    CancelCheck go_on = always.check();
    const auto asked_rows = parse_all(kLongRow, &go_on);
    EXPECT_EQ(asked_rows, parse_all(kLongRow, nullptr));
    // Once at the start and once per interval passed.
    EXPECT_EQ(always.asked, 1 + kLongRow.size() / CancelCheck::kInterval);

    Countdown twice{2};
    CancelCheck stop = twice.check();
    ResilientParser parser(kLongRow, ',', '"', true);
    parser.set_cancel_check(&stop);
    RowBuffer row;
    EXPECT_FALSE(parser.next_row(row));  // stopped two intervals in, short of the row's end
    EXPECT_EQ(twice.asked, 3u);
    EXPECT_TRUE(stop.stopped());
    EXPECT_FALSE(parser.next_row(row));  // and stays at the end
    EXPECT_EQ(twice.asked, 3u);          // without asking again
}

// A kept line two intervals long, taken whole: asked as the state machine
// asks, and a stop leaves it unread with the parser at the end.
TEST(CancelCheck, KeptLineAsksInsideOneLongRow) {
    std::string text;
    while (text.size() < 2 * CancelCheck::kInterval) text += "7,";
    text += "7\n";
    const std::size_t fields = text.size() / 2;
    for (const std::size_t allowed : {std::size_t{2}, static_cast<std::size_t>(-1)}) {
        Countdown countdown{allowed};
        CancelCheck check = countdown.check();
        ResilientParser parser(text, ',', '"', true);
        parser.set_cancel_check(&check);
        const auto line = parser.next_verbatim_line(fields);
        EXPECT_EQ(countdown.asked, 3u);
        if (allowed == 2) {
            EXPECT_FALSE(line.has_value());
            RowBuffer row;
            EXPECT_FALSE(parser.next_row(row));
        } else {
            ASSERT_TRUE(line.has_value());
            EXPECT_EQ(line->end, text.size() - 1);
        }
    }
}

// Line breaks only, as copies of one row (read in bulk) and as two kinds of
// empty line that never repeat: neither path may pass a question by.
TEST(CancelCheck, ClassifyAsksAmongEmptyLines) {
    const std::size_t size = 2 * CancelCheck::kInterval + 10;
    std::string alternating;
    while (alternating.size() < size) alternating += "\n\r";
    for (const std::string& text : {std::string(size, '\r'), alternating}) {
        Countdown once{1};
        CancelCheck stop = once.check();
        struct Count final : RowSink {
            bool clean_row(const RowBuffer&) override { return true; }
            void quarantine_row(QuarantineRecord) override {}
        } sink;
        const SalvageSummary s = classify_rows(text, {}, Dialect{',', 0}, sink, &stop);
        EXPECT_TRUE(stop.stopped());
        EXPECT_EQ(once.asked, 2u);
        EXPECT_LE(s.total_rows, CancelCheck::kInterval + 1);  // stopped at the first interval
    }
}

TEST(CancelCheck, StoppedHeuristicsReturnAtOnce) {
    Countdown never{0};
    CancelCheck stop = never.check();
    (void)sniff_delimiter(kLongRow, &stop);
    (void)infer_column_count(kLongRow, ',', &stop);
    EXPECT_EQ(never.asked, 1u);  // the first parser asked; the others saw it stopped
    const SalvageOutcome outcome = salvage_slice(kLongRow, SalvageOptions{}, &stop);
    EXPECT_EQ(outcome.rows.size(), 0u);
}

mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

std::size_t entries(const TempDir& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {}));
}

// A small text with the dialect left open asks five times, once as each
// parser starts: four sniffing (every candidate delimiter is in it) and one
// classifying; inferring goes on from the winner's sniffing parser.
const std::string kSmall = "a,b,c\n1,2\n3,4,5;\t|\n";
const std::string kSmallClean = "a,b,c\n1,2,\n3,4,5;\t|\n";

struct StopCase {
    std::size_t allowed;  // questions answered with go on
    bool in_place;
    bool output_exists;   // afterwards, for a separate output
};

class SalvageFileStops : public testing::TestWithParam<StopCase> {};

TEST_P(SalvageFileStops, LeavesTheDiskAsAFailureThere) {
    const StopCase c = GetParam();
    const TempDir dir;
    const std::string in = dir.file("in.csv");
    const std::string out = c.in_place ? in : dir.file("out.csv");
    spit(in, kSmall);
    Countdown countdown{c.allowed};
    CancelCheck cancel = countdown.check();
    const auto result = salvage_file(in, out, std::nullopt, SalvageOptions{}, &cancel);
    ASSERT_TRUE(std::holds_alternative<SalvageError>(result));
    EXPECT_EQ(std::get<SalvageError>(result).message(), IoError::from_errno(EINTR).message());
    if (c.in_place) {
        EXPECT_EQ(slurp(in), kSmall);
        EXPECT_EQ(entries(dir), 1u);  // no temporary left beside it
    } else {
        EXPECT_EQ(slurp(in), kSmall);
        EXPECT_EQ(exists(out), c.output_exists);
        if (c.output_exists) EXPECT_EQ(slurp(out), "");
    }
}

INSTANTIATE_TEST_SUITE_P(EachQuestion, SalvageFileStops,
                         testing::Values(StopCase{0, false, false}, StopCase{3, false, false},
                                         StopCase{4, false, true}, StopCase{0, true, false},
                                         StopCase{3, true, false}, StopCase{4, true, false}),
                         [](const testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.in_place ? "InPlace" : "Separate") +
                                    "After" + std::to_string(info.param.allowed);
                         });

TEST(SalvageFileStops, GoingOnGivesTheWholeRun) {
    for (const bool in_place : {false, true}) {
        const TempDir dir;
        const std::string in = dir.file("in.csv");
        const std::string out = in_place ? in : dir.file("out.csv");
        spit(in, kSmall);
        ::chmod(in.c_str(), 0640);
        Countdown countdown{static_cast<std::size_t>(-1)};
        CancelCheck cancel = countdown.check();
        const auto result = salvage_file(in, out, std::nullopt, SalvageOptions{}, &cancel);
        ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result)) << in_place;
        EXPECT_EQ(countdown.asked, 5u);
        EXPECT_EQ(slurp(out), kSmallClean);
        struct stat st {};
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, in_place ? 0640u : 0666u & ~current_umask());
        EXPECT_EQ(entries(dir), in_place ? 1u : 2u);
    }
}

}  // namespace
}  // namespace brinewick
