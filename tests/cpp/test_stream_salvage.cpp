// Streaming salvage end to end: change and quarantine records, what is on
// disk after failures and cancels, refused path pairs, FIFOs and in place.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "parser/utf8.hpp"
#include "stream_test_support.hpp"

namespace brinewick::stream {
namespace {

using namespace brinewick::test_support;
namespace fs = std::filesystem;

const std::string kChangesHeader = "line,byte_offset,change,column,expected,found,detail\n";
const std::string kQuarantineHeader = "line,byte_offset,reason,expected,found,raw\n";

// Names in `dir`, to see that no temporary is left behind.
std::vector<std::string> listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// RFC 4180 records of a whole file (the test's own reader).
std::vector<std::vector<std::string>> read_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\n') {
            row.push_back(field);
            field.clear();
            rows.push_back(row);
            row.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

struct ChangeCase {
    const char* name;
    std::string input;
    std::string records;  // after the header
    ChangeKind kind;
    std::uint64_t kind_count;
    bool repair = false;
};

TEST(StreamChanges, EachKindWithItsRecord) {
    const std::vector<ChangeCase> cases = {
        {"padded", "a,b,c\n1,2\n", "2,6,padded,,3,2,2 of 3 fields; 1 empty field added\n", ChangeKind::Padded, 1},
        {"merged", "a,b\n1,2,3\n4,5\n", "2,4,merged,,2,3,3 fields; fields 2-3 joined into field 2\n",
         ChangeKind::Merged, 1},
        {"stray_quote", "a,b\n\"x\"y\"z\",2\n", "2,4,stray_quote,,,,2 quotes kept as text\n",
         ChangeKind::StrayQuote, 1},
        {"text_after_quote", "a,b\n\"x\"y,\"p\" q\n",
         "2,4,text_after_quote,,,,text after a closing quote kept in 2 fields\n", ChangeKind::TextAfterQuote, 1},
        {"unclosed_quote", "a,b\n1,\"open\nmore\n",
         "2,4,unclosed_quote,,,,quoted field ran to the end of the input over 2 lines\n",
         ChangeKind::UnclosedQuote, 1},
        {"invalid_utf8", "a,b\n\xFF,\xC3x\n", "2,4,invalid_utf8,,,,2 invalid byte sequences replaced\n",
         ChangeKind::InvalidUtf8, 1},
        {"blank_line", "a,b\n\n1,2\n \n", "2,4,blank_line,,2,1,blank line written as 2 empty fields\n"
                                          "4,9,blank_line,,2,1,blank line written as 2 empty fields\n",
         ChangeKind::BlankLine, 2},
        {"bom counts in offsets", "\xEF\xBB\xBF" "a,b\r\n1\r\n", "2,8,padded,,2,1,1 of 2 fields; 1 empty field added\n",
         ChangeKind::Padded, 1},
        {"several in one row, in kind order", "a,b,c\n\"x\"y\xFF\n",
         "2,6,padded,,3,1,1 of 3 fields; 2 empty fields added\n"
         "2,6,text_after_quote,,,,text after a closing quote kept in 1 field\n"
         "2,6,invalid_utf8,,,,1 invalid byte sequence replaced\n",
         ChangeKind::TextAfterQuote, 1},
        // The repair stage's counts are the fields the fixed rules read.
        {"trailing_empty", "a,b,c\n1,2,3\n4,5,6,,\n7,8,9\n",
         "3,12,trailing_empty,,3,5,2 empty fields dropped at the end of the row\n", ChangeKind::TrailingEmpty, 1,
         true},
        {"requoted", "a,b,c\n6,\"abc,x\n",
         "2,6,requoted,,3,2,1 quote read otherwise to fit 3 fields\n"
         "2,6,quote_contained,,,,quote opened on this line ran on over 1 line; row ended at its line break\n",
         ChangeKind::Requoted, 1, true},
    };
    for (const ChangeCase& c : cases) {
        for (const std::size_t read_size : {1, 64}) {
            const TempDir dir;
            SalvageOptions options;
            options.repair_columns = c.repair;
            const test::StreamRun run = test::run_stream(dir, c.input, options, read_size);
            ASSERT_TRUE(run.result.is_ok()) << c.name;
            const StreamSummary& summary = run.result.value();
            EXPECT_EQ(run.changes, kChangesHeader + c.records) << c.name << " read_size " << read_size;
            EXPECT_EQ(summary.changes[static_cast<std::size_t>(c.kind)], c.kind_count) << c.name;
            EXPECT_EQ(summary.changed_rows, c.kind_count) << c.name;
        }
    }
}

TEST(StreamChanges, SetAsideRowsAndUntouchedRowsHaveNoRecords) {
    const TempDir dir;
    SalvageOptions options;
    options.fill_ragged_rows = false;
    const test::StreamRun run = test::run_stream(dir, "a,b\n\"x\"y\n1,2\n", options);
    ASSERT_TRUE(run.result.is_ok());
    EXPECT_EQ(run.changes, kChangesHeader);
    EXPECT_EQ(run.result.value().changed_rows, 0U);
    EXPECT_EQ(run.result.value().counters.quarantined_rows, 1U);
}

TEST(StreamQuarantine, RecordsKeepTheRowAsItStands) {
    const TempDir dir;
    SalvageOptions options;
    options.fill_ragged_rows = false;
    options.merge_overflow = false;
    const test::StreamRun run =
        test::run_stream(dir, "a,b,c\r\n1,\"x,y\"\r\n2,\"multi\nline\",\xFF,4\n5,6,7", options, 3);
    EXPECT_EQ(run.quarantine, kQuarantineHeader +
                                  "2,7,Row has too few columns (expected 3),3,2,\"1,\"\"x,y\"\"\"\n"
                                  "3,16,Row has extra columns (expected 3),3,4,\"2,\"\"multi\nline\"\",\xEF\xBF\xBD,4\"\n");
}

// Every raw text, read back, is the decoded input at its byte offset.
TEST(StreamQuarantine, RawIsTheInputAtItsOffset) {
    const unsigned seed = test_seed();
    std::mt19937 rng(seed);
    const std::vector<std::string> pieces = {"a", ",", ",", "\"", "\"\"", "\r\n", "\n", "\r", "\xC3\xA9", "\xFF", " "};
    for (int round = 0; round < 100; ++round) {
        std::string input = rng() % 3 == 0 ? "\xEF\xBB\xBF" "h,h,h\n" : "h,h,h\n";
        for (std::size_t i = rng() % 200; i > 0; --i) input += pieces[rng() % pieces.size()];
        SalvageOptions options;
        options.fill_ragged_rows = false;
        options.merge_overflow = false;
        options.delimiter = ',';
        const TempDir dir;
        const test::StreamRun run = test::run_stream(dir, input, options, 1 + rng() % 8);
        ASSERT_TRUE(run.result.is_ok());
        const auto records = read_csv(run.quarantine);
        ASSERT_EQ(records.size(), 1 + run.result.value().counters.quarantined_rows)
            << "seed " << seed << " round " << round;
        for (std::size_t r = 1; r < records.size(); ++r) {
            ASSERT_EQ(records[r].size(), 6U) << "seed " << seed;
            const std::size_t offset = std::stoul(records[r][1]);
            const std::string decoded = decode_lenient_utf8(std::string_view(input).substr(offset));
            EXPECT_EQ(decoded.substr(0, records[r][5].size()), records[r][5])
                << "seed " << seed << " round " << round << " record " << r;
        }
    }
}

StreamPaths paths_in(const TempDir& dir) {
    return {dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), dir.file("c.csv")};
}

Result<StreamSummary> run_paths(const StreamPaths& paths, StreamControl& control,
                                                   std::size_t read_size = 1u << 16) {
    StreamSettings settings;
    settings.read_size = read_size;
    return stream_salvage(paths, settings, control);
}

// A failing output leaves every target as it was and no temporary behind.
TEST(StreamAtomicity, FailedOutputChangesNothing) {
    struct Case {
        const char* name;
        void (*break_it)(const TempDir&, StreamPaths&);
        int errno_value;
    };
    const Case cases[] = {
        {"quarantine directory missing",
         [](const TempDir& dir, StreamPaths& p) { p.quarantine = dir.file("missing/q.csv"); }, ENOENT},
        {"changes target is a directory",
         [](const TempDir& dir, StreamPaths& p) { fs::create_directory(dir.file("c.csv")); (void)p; }, EISDIR},
        {"output target is a directory",
         [](const TempDir& dir, StreamPaths& p) {
             fs::remove(dir.file("out.csv"));
             fs::create_directory(dir.file("out.csv"));
             (void)p;
         },
         EISDIR},
        {"input missing", [](const TempDir& dir, StreamPaths& p) { p.input = dir.file("nothing.csv"); }, ENOENT},
        {"input is a directory", [](const TempDir& dir, StreamPaths& p) { p.input = dir.path(); }, EISDIR},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        spit(dir.file("in.csv"), "a,b\n1,2,3\n4\n");
        spit(dir.file("out.csv"), "old output");
        StreamPaths paths = paths_in(dir);
        c.break_it(dir, paths);
        const std::vector<std::string> before = listing(dir);
        StreamControl control;
        const auto result = run_paths(paths, control);
        ASSERT_TRUE(!result.is_ok()) << c.name;
        const Status& error = result.status();
        EXPECT_EQ(error.kind(), Status::Kind::Io) << c.name;
        EXPECT_EQ(error.io_error().code, c.errno_value) << c.name;
        EXPECT_FALSE(error.path().empty()) << c.name;
        EXPECT_EQ(listing(dir), before) << c.name;
        if (fs::is_regular_file(dir.file("out.csv"))) EXPECT_EQ(slurp(dir.file("out.csv")), "old output") << c.name;
        EXPECT_EQ(slurp(dir.file("in.csv")), "a,b\n1,2,3\n4\n") << c.name;
    }
}

TEST(StreamAtomicity, ErrorNamesTheFailingPath) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a\n");
    StreamPaths paths = paths_in(dir);
    paths.changes = dir.file("missing/c.csv");
    StreamControl control;
    const auto result = run_paths(paths, control);
    ASSERT_TRUE(!result.is_ok());
    EXPECT_EQ(result.status().path(), dir.file("missing/c.csv"));
}

TEST(StreamAtomicity, CancelBeforeStartLeavesNothing) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a,b\n1,2\n");
    const std::vector<std::string> before = listing(dir);
    StreamControl control;
    control.cancel = true;
    const auto result = run_paths(paths_in(dir), control);
    ASSERT_TRUE(!result.is_ok());
    EXPECT_EQ(result.status().kind(), Status::Kind::Cancelled);
    EXPECT_EQ(listing(dir), before);
}

// A cancel from another thread stops a run mid-input. The input is a FIFO
// that never ends while the salvage runs, so only the cancel can stop it:
// once while the reader waits on a silent writer, once while rows flow.
TEST(StreamAtomicity, CancelFromAnotherThread) {
    ::signal(SIGPIPE, SIG_IGN);  // the writer may outlive its reader
    for (const bool silent : {true, false}) {
        const TempDir dir;
        ASSERT_EQ(::mkfifo(dir.file("in.csv").c_str(), 0600), 0);
        spit(dir.file("out.csv"), "old output");
        const std::vector<std::string> before = listing(dir);
        StreamControl control;
        std::atomic<bool> returned{false};
        std::thread writer([&] {
            const int fd = ::open(dir.file("in.csv").c_str(), O_WRONLY);
            std::string rows;
            for (int i = 0; i < 4000; ++i) rows += "1,\"two\",three\n";
            const std::uint64_t cancel_after = silent ? 1 : std::uint64_t{1} << 20;
            bool cancelled = false;
            while (!returned.load()) {
                if (!cancelled && control.bytes_done.load() >= cancel_after) {
                    control.cancel = true;
                    cancelled = true;
                }
                if (!silent || !cancelled) {
                    if (::write(fd, rows.data(), rows.size()) < 0) break;
                } else {
                    std::this_thread::yield();
                }
            }
            ::close(fd);
        });
        const auto result = run_paths(paths_in(dir), control);
        returned = true;
        writer.join();
        ASSERT_TRUE(!result.is_ok()) << "silent " << silent;
        EXPECT_EQ(result.status().kind(), Status::Kind::Cancelled);
        EXPECT_EQ(listing(dir), before);
        EXPECT_EQ(slurp(dir.file("out.csv")), "old output");
    }
}

// Padding one short row to 2^40 columns writes without end: only a cancel
// stops it, and the half-written temporary goes with it.
TEST(StreamAtomicity, CancelStopsAnEndlessRow) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a,b\n");
    const std::vector<std::string> before = listing(dir);
    StreamPaths paths{dir.file("in.csv"), dir.file("out.csv"), std::nullopt, std::nullopt};
    StreamSettings settings;
    settings.options.expected_columns = std::size_t{1} << 40;
    settings.durable = false;
    StreamControl control;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        control.cancel = true;
    });
    const auto result = stream_salvage(paths, settings, control);
    stopper.join();
    ASSERT_TRUE(!result.is_ok());
    EXPECT_EQ(result.status().kind(), Status::Kind::Cancelled);
    EXPECT_EQ(listing(dir), before);
}

// Devices and FIFOs are streams: written straight through, never replaced by
// a renamed file (as root, a rename over /dev/null would replace the device).
TEST(StreamOutputs, DevicesAndFifosAreWrittenDirectly) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a,b\n1\n");
    StreamSettings settings;
    settings.durable = true;  // fsync is skipped for streams, not failed
    StreamControl control;
    const auto to_null = stream_salvage({dir.file("in.csv"), "/dev/null", std::nullopt, std::nullopt},
                                        settings, control);
    ASSERT_TRUE(to_null.is_ok()) << to_null.status().message();
    struct stat null_status {};
    ASSERT_EQ(::stat("/dev/null", &null_status), 0);
    EXPECT_TRUE(S_ISCHR(null_status.st_mode));

    ASSERT_EQ(::mkfifo(dir.file("out.fifo").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer waits for us
        const int fd = ::open(dir.file("out.fifo").c_str(), O_RDONLY);
        char buffer[256];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
    });
    const auto to_fifo = stream_salvage({dir.file("in.csv"), dir.file("out.fifo"), std::nullopt, std::nullopt},
                                        settings, control);
    reader.join();
    ASSERT_TRUE(to_fifo.is_ok()) << to_fifo.status().message();
    EXPECT_EQ(received, "a,b\n1,\n");
    struct stat fifo_status {};
    ASSERT_EQ(::stat(dir.file("out.fifo").c_str(), &fifo_status), 0);
    EXPECT_TRUE(S_ISFIFO(fifo_status.st_mode));
}

TEST(StreamPathsCheck, SharedFilesAreRefusedBeforeWriting) {
    struct Case {
        const char* name;
        void (*set)(const TempDir&, StreamPaths&);
        const char* message;
    };
    const Case cases[] = {
        {"quarantine is output", [](const TempDir& d, StreamPaths& p) { p.quarantine = d.file("out.csv"); },
         "quarantine and output name the same file"},
        {"quarantine is output, spelt otherwise",
         [](const TempDir& d, StreamPaths& p) { p.quarantine = d.path() + "/./out.csv"; },
         "quarantine and output name the same file"},
        {"changes is output", [](const TempDir& d, StreamPaths& p) { p.changes = d.file("out.csv"); },
         "changes and output name the same file"},
        {"changes is quarantine", [](const TempDir& d, StreamPaths& p) { p.changes = d.file("q.csv"); },
         "changes and quarantine name the same file"},
        {"quarantine is input", [](const TempDir& d, StreamPaths& p) { p.quarantine = d.file("in.csv"); },
         "quarantine and input name the same file"},
        {"changes is input through a hard link",
         [](const TempDir& d, StreamPaths& p) {
             fs::create_hard_link(d.file("in.csv"), d.file("link.csv"));
             p.changes = d.file("link.csv");
         },
         "changes and input name the same file"},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        spit(dir.file("in.csv"), "a,b\n");
        StreamPaths paths = paths_in(dir);
        c.set(dir, paths);
        const std::vector<std::string> before = listing(dir);
        StreamControl control;
        const auto result = run_paths(paths, control);
        ASSERT_TRUE(!result.is_ok()) << c.name;
        EXPECT_EQ(result.status().kind(), Status::Kind::SameFile) << c.name;
        EXPECT_EQ(result.status().message(), c.message) << c.name;
        EXPECT_EQ(listing(dir), before) << c.name;
    }
}

TEST(StreamInputs, FifoIsReadAsAStream) {
    const TempDir dir;
    std::string input = "a;b;c\n";
    for (int i = 0; i < 3000; ++i) input += std::to_string(i) + ";\"x\ny\";z" + (i % 7 == 0 ? ";w\r\n" : "\r\n");
    spit(dir.file("ref.csv"), input);
    const auto reference = salvage_file(dir.file("ref.csv"), dir.file("ref_out.csv"), std::nullopt, {});
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(reference));

    ASSERT_EQ(::mkfifo(dir.file("in.csv").c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = ::open(dir.file("in.csv").c_str(), O_WRONLY);
        for (std::size_t at = 0; at < input.size(); at += 1000) {
            (void)!::write(fd, input.data() + at, std::min<std::size_t>(1000, input.size() - at));
        }
        ::close(fd);
    });
    StreamControl control;
    const auto result = run_paths(paths_in(dir), control, 777);
    writer.join();
    ASSERT_TRUE(result.is_ok()) << result.status().message();
    EXPECT_EQ(slurp(dir.file("out.csv")), slurp(dir.file("ref_out.csv")));
    EXPECT_EQ(result.value().counters.total_rows,
              std::get<SalvageSummary>(reference).total_rows);
    EXPECT_EQ(control.bytes_total.load(), -1);
    EXPECT_EQ(control.bytes_done.load(), input.size());
}

TEST(StreamInputs, InPlaceReplacesTheInput) {
    for (const char* spelling : {"in.csv", "./in.csv"}) {
        const TempDir dir;
        const std::string input = "a,b\r\n1\r\n2,3,4\r\n";
        spit(dir.file("in.csv"), input);
        spit(dir.file("ref.csv"), input);
        const auto reference = salvage_file(dir.file("ref.csv"), dir.file("ref_out.csv"), std::nullopt, {});
        ASSERT_TRUE(std::holds_alternative<SalvageSummary>(reference));
        const StreamPaths paths{dir.file("in.csv"), dir.path() + "/" + spelling, std::nullopt, std::nullopt};
        StreamControl control;
        const auto result = run_paths(paths, control, 2);
        ASSERT_TRUE(result.is_ok()) << spelling;
        EXPECT_EQ(slurp(dir.file("in.csv")), slurp(dir.file("ref_out.csv"))) << spelling;
        EXPECT_EQ(control.bytes_total.load(), static_cast<std::int64_t>(input.size()));
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"in.csv", "ref.csv", "ref_out.csv"}));
    }
}

TEST(StreamInputs, InPlaceThroughASymlinkKeepsTheLink) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a,b\n1\n");
    fs::create_symlink(dir.file("in.csv"), dir.file("link.csv"));
    const StreamPaths paths{dir.file("link.csv"), dir.file("link.csv"), std::nullopt, std::nullopt};
    StreamControl control;
    const auto result = run_paths(paths, control);
    ASSERT_TRUE(result.is_ok());
    EXPECT_TRUE(fs::is_symlink(dir.file("link.csv")));
    EXPECT_EQ(slurp(dir.file("in.csv")), "a,b\n1,\n");
}

TEST(StreamInputs, PermissionBits) {
    const TempDir dir;
    spit(dir.file("in.csv"), "a\n");
    spit(dir.file("out.csv"), "old");
    ASSERT_EQ(::chmod(dir.file("out.csv").c_str(), 0640), 0);
    const mode_t previous = ::umask(022);
    StreamControl control;
    const auto result = run_paths(paths_in(dir), control);
    ::umask(previous);
    ASSERT_TRUE(result.is_ok());
    struct stat status {};
    ASSERT_EQ(::stat(dir.file("out.csv").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640U);  // an existing target keeps its bits
    ASSERT_EQ(::stat(dir.file("q.csv").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644U);  // a new one gets 0666 less the umask
}

}  // namespace
}  // namespace brinewick::stream
