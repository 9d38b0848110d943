// File salvage end to end: output bytes, on-disk state after each failure,
// and the error values with their messages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "error/status.hpp"
#include "salvage/csv_writer.hpp"
#include "salvage/salvage_file.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;


namespace fs = std::filesystem;




SalvageOptions no_padding() {
    SalvageOptions o;
    o.fill_ragged_rows = false;
    return o;
}

const std::string kHeader = "line,reason,raw_content\n";
const std::string kInput = "\xEF\xBB\xBF" "a,b,c\r\n1,2\r\n3,\"4\"\"x\",5,6\r\nx,y,z\r\n";
// kInput salvaged without padding: the mark is dropped, CR LF becomes LF, the merged field is quoted.
const std::string kClean = "a,b,c\n3,\"4\"\"x\",\"5,6\"\nx,y,z\n";

TEST(SalvageFile, WritesCleanAndQuarantine) {
    const TempDir dir;
    spit(dir.file("in.csv"), kInput);
    const auto result = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"),
                                     no_padding());
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    const auto& s = std::get<SalvageSummary>(result);
    EXPECT_EQ(s.detected_delimiter, U',');
    EXPECT_EQ(s.inferred_columns, 3U);
    EXPECT_EQ(s.total_rows, 4U);
    EXPECT_EQ(s.salvaged_rows, 3U);
    EXPECT_EQ(s.repaired_rows, 1U);
    EXPECT_EQ(s.quarantined_rows, 1U);
    EXPECT_EQ(slurp(dir.file("out.csv")), kClean);
    EXPECT_EQ(slurp(dir.file("q.csv")),
              kHeader + "2,\"Row has too few columns (expected 3)\",\"1,2\"\n");
}

TEST(SalvageFile, EmptyInputAndNoRecords) {
    const TempDir dir;
    spit(dir.file("empty.csv"), "");
    SalvageOptions o;
    o.delimiter = ';';
    o.expected_columns = 4;
    auto result = salvage_file(dir.file("empty.csv"), dir.file("out.csv"), dir.file("q.csv"), o);
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    EXPECT_EQ(std::get<SalvageSummary>(result).detected_delimiter, U',');
    EXPECT_EQ(std::get<SalvageSummary>(result).inferred_columns, 0U);
    EXPECT_TRUE(fs::exists(dir.file("out.csv")));
    EXPECT_EQ(slurp(dir.file("out.csv")), "");
    EXPECT_EQ(slurp(dir.file("q.csv")), kHeader);

    spit(dir.file("in.csv"), "a,b\n");
    result = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), {});
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    EXPECT_EQ(slurp(dir.file("q.csv")), kHeader);
}

TEST(SalvageFile, NoQuarantinePathStillCounts) {
    const TempDir dir;
    spit(dir.file("in.csv"), kInput);
    const auto result = salvage_file(dir.file("in.csv"), dir.file("out.csv"), std::nullopt, no_padding());
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    EXPECT_EQ(std::get<SalvageSummary>(result).quarantined_rows, 1U);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(SalvageFile, InPlaceSalvage) {
    const TempDir dir;
    spit(dir.file("data.csv"), kInput);
    const auto result = salvage_file(dir.file("data.csv"), dir.file("data.csv"), std::nullopt, {});
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    EXPECT_EQ(slurp(dir.file("data.csv")), "a,b,c\n1,2,\n3,\"4\"\"x\",\"5,6\"\nx,y,z\n");
}

// The file writer and the in-memory outcome must agree on every byte, across many buffer fills.
TEST(SalvageFile, MatchesInMemoryOutcome) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] SalvageFile " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pieces[] = {"ab", ",", ",", "\"", "\n", "\r\n", "\xC3\xA9", "\xFE", "x;y"};
    // Random pieces, then lines repeated in runs (written in bulk) that
    // cross the output buffer's end.
    for (const bool repeats : {false, true}) {
    SCOPED_TRACE(repeats ? "repeated lines" : "random pieces");
    std::string text;
    while (text.size() < 300000) {
        if (!repeats) {
            text += pieces[rng() % std::size(pieces)];
            continue;
        }
        std::string line;
        const std::size_t length = 1 + rng() % 6;
        for (std::size_t i = 0; i < length; ++i) line += pieces[rng() % std::size(pieces)];
        const std::size_t copies = rng() % 4 == 0 ? 1 + rng() % 40000 : 1 + rng() % 30;
        for (std::size_t i = 0; i < copies; ++i) text += line;
    }
    const TempDir dir;
    spit(dir.file("in.csv"), text);
    SalvageOptions o;
    o.fill_ragged_rows = rng() % 2;
    o.merge_overflow = rng() % 2;

    const auto result = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), o);
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(result));
    const SalvageOutcome want = salvage_slice(text, o);
    const auto& s = std::get<SalvageSummary>(result);
    EXPECT_EQ(s.total_rows, want.summary.total_rows);
    EXPECT_EQ(s.repaired_rows, want.summary.repaired_rows);
    EXPECT_EQ(s.quarantined_rows, want.summary.quarantined_rows);

    const auto d = static_cast<std::uint8_t>(want.summary.detected_delimiter);
    std::string clean;
    auto cursor = want.rows.cursor();
    std::vector<std::string_view> fields;
    std::vector<bool> ascii;
    while (cursor.next(fields, &ascii)) {
        // Every field flagged: the writer examines all of them here, unlike
        // the file path, which trusts the parser's flags.
        RowBuffer row;
        for (std::size_t i = 0; i < fields.size(); ++i) row.push_text_field(fields[i], ascii[i], true);
        append_clean_line(clean, row, d, o.quote_char);
    }
    EXPECT_TRUE(slurp(dir.file("out.csv")) == clean);
    std::string quarantine = kHeader;
    for (const auto& record : want.quarantine) append_quarantine_line(quarantine, record, d);
    EXPECT_TRUE(slurp(dir.file("q.csv")) == quarantine);
    }
}

std::string error_text(const std::variant<SalvageSummary, SalvageError>& result) {
    if (!std::holds_alternative<SalvageError>(result)) return "<no error>";
    return std::get<SalvageError>(result).message();
}

TEST(SalvageFile, FailuresLeaveDocumentedState) {
    const TempDir dir;
    const std::string in = dir.file("in.csv");
    const std::string out = dir.file("out.csv");
    const std::string q = dir.file("q.csv");
    const std::string nul = std::string(1, '\0');
    spit(in, kInput);
    const std::string enoent = "No such file or directory (os error 2)";
    const std::string nul_text = "file name contained an unexpected NUL byte";
    const std::string enospc = "No space left on device (os error 28)";

    struct Case {
        std::string name, input, output;
        std::optional<std::string> quarantine;
        std::string message;
        bool output_created;  // and then complete
    };
    const Case cases[] = {
        {"missing input", dir.file("nope.csv"), out, q, enoent, false},
        {"directory input", dir.path(), out, q, "Is a directory (os error 21)", false},
        {"nul in input", in + nul, out, q, nul_text, false},
        {"output in missing dir", in, dir.file("no/out.csv"), q, enoent, false},
        {"nul in output", in, out + nul, q, nul_text, false},
        {"quarantine in missing dir", in, out, dir.file("no/q.csv"), enoent, true},
        {"nul in quarantine", in, out, q + nul, nul_text, true},
        {"quarantine on full device", in, out, std::string("/dev/full"), enospc, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(out);
        fs::remove(q);
        const auto result = salvage_file(c.input, c.output, c.quarantine, no_padding());
        EXPECT_EQ(error_text(result), c.message);
        if (std::holds_alternative<SalvageError>(result)) {
            EXPECT_EQ(std::get<SalvageError>(result).error_class(), ErrorClass::OsError);
        }
        EXPECT_EQ(fs::exists(out), c.output_created);
        if (c.output_created) EXPECT_EQ(slurp(out), kClean);
        EXPECT_FALSE(fs::exists(q));
    }
    EXPECT_EQ(slurp(in), kInput);  // the input is never changed
}

TEST(SalvageFile, FullDeviceAsOutput) {
    const TempDir dir;
    // Small: fails when the buffer is flushed; large: fails on a row write.
    for (const std::size_t rows : {std::size_t{2}, 2 * BufferedFile::kCapacity / 4}) {
        std::string text;
        for (std::size_t i = 0; i < rows; ++i) text += "a,b\n1,2,3\n";
        spit(dir.file("in.csv"), text);
        const auto result = salvage_file(dir.file("in.csv"), "/dev/full", dir.file("q.csv"), no_padding());
        EXPECT_EQ(error_text(result), "No space left on device (os error 28)");
        EXPECT_FALSE(fs::exists(dir.file("q.csv")));
    }
}

TEST(SalvageFile, RefusesQuarantineOnOutput) {
    const TempDir dir;
    spit(dir.file("in.csv"), kInput);
    spit(dir.file("out.csv"), "keep");
    fs::create_hard_link(dir.file("out.csv"), dir.file("link.csv"));
    const std::string same_file = "quarantine_path and output_path name the same file";
    for (const std::string& q : {dir.file("out.csv"), dir.path() + "/./out.csv", dir.file("link.csv")}) {
        const auto result = salvage_file(dir.file("in.csv"), dir.file("out.csv"), q, {});
        ASSERT_TRUE(std::holds_alternative<SalvageError>(result)) << q;
        EXPECT_EQ(std::get<SalvageError>(result).message(), same_file);
        EXPECT_EQ(std::get<SalvageError>(result).error_class(), ErrorClass::ValueError);
        EXPECT_EQ(slurp(dir.file("out.csv")), "keep");
    }
    // Two spellings of an output that does not exist yet: the clean file survives.
    const auto result = salvage_file(dir.file("in.csv"), dir.file("new.csv"),
                                     dir.path() + "/./new.csv", no_padding());
    EXPECT_EQ(error_text(result), same_file);
    EXPECT_EQ(slurp(dir.file("new.csv")), kClean);
}

TEST(SalvageFile, ReadWholeFile) {
    const TempDir dir;
    std::string big(100000, 'x');
    big[777] = '\0';
    spit(dir.file("big"), big);
    auto read = read_whole_file(dir.file("big"));
    ASSERT_TRUE(std::holds_alternative<FileBytes>(read));
    EXPECT_TRUE(std::get<FileBytes>(read).view() == big);
    // Past the size where the bytes move to their own mapping, read whole
    // from the start, and grown from nothing through a FIFO (no size hint):
    // the bytes must survive the move from the heap and every remapping.
    std::string large(3 * memory::MappedBlocks::kMappedFrom + 12345, '\0');
    std::mt19937 rng(7);
    for (char& c : large) c = static_cast<char>(rng());
    spit(dir.file("large"), large);
    read = read_whole_file(dir.file("large"));
    ASSERT_TRUE(std::holds_alternative<FileBytes>(read));
    EXPECT_TRUE(std::get<FileBytes>(read).view() == large);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { spit(fifo, large); });
    read = read_whole_file(fifo);
    writer.join();
    ASSERT_TRUE(std::holds_alternative<FileBytes>(read));
    EXPECT_TRUE(std::get<FileBytes>(read).view() == large);
    // A size of 0 in the status, yet content: read until the end anyway.
    read = read_whole_file("/proc/self/status");
    ASSERT_TRUE(std::holds_alternative<FileBytes>(read));
    EXPECT_NE(std::get<FileBytes>(read).view().find("Name:"), std::string::npos);
}

TEST(SalvageError, Messages) {
    EXPECT_EQ(IoError::from_errno(ENOENT).message(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::from_errno(EISDIR).message(), "Is a directory (os error 21)");
    EXPECT_EQ((IoError{IoError::Kind::WriteZero, 0}).message(), "failed to write whole buffer");
    EXPECT_EQ((IoError{IoError::Kind::FlushZero, 0}).message(), "failed to write the buffered data");
    EXPECT_EQ((IoError{IoError::Kind::OutOfMemory, 0}).message(), "out of memory");
    EXPECT_EQ(SalvageError(LineMessageError{"bad quote", 7}).message(), "Line 7: bad quote");
    EXPECT_EQ(SalvageError(DetailMessageError{"detail"}).message(), "detail");
    EXPECT_EQ(SalvageError(DetailMessageError{"d"}).error_class(), ErrorClass::ValueError);
    EXPECT_EQ(SalvageError(IoError::from_errno(EPIPE)).message(), "Broken pipe (os error 32)");
}

TEST(SalvageError, ClassifiesErrors) {
    const std::pair<IoError, IoErrorClass> cases[] = {
        {IoError::from_errno(ENOENT), IoErrorClass::NotFound},
        {IoError::from_errno(EPERM), IoErrorClass::PermissionDenied},
        {IoError::from_errno(EACCES), IoErrorClass::PermissionDenied},
        {IoError::from_errno(EWOULDBLOCK), IoErrorClass::WouldBlock},
        {IoError::from_errno(EISDIR), IoErrorClass::IsADirectory},
        {IoError::from_errno(ENOTDIR), IoErrorClass::NotADirectory},
        {IoError::from_errno(ENOMEM), IoErrorClass::OutOfMemory},
        {IoError::from_errno(ENOSPC), IoErrorClass::Other},
        {IoError{IoError::Kind::OutOfMemory, 0}, IoErrorClass::OutOfMemory},
        {IoError{IoError::Kind::NulInPath, 0}, IoErrorClass::Other},
    };
    for (const auto& [error, cls] : cases) EXPECT_EQ(classify_io_error(error), cls) << error.message();
}

// A Status passes through copies, moves and assignments whole (the shared
// out-of-memory state included), and an IoError of memory is out of memory.
TEST(Status, CopiesKeepTheFailure) {
    const Status cases[] = {Status::io(IoError::from_errno(ENOENT), "a.csv"), Status::out_of_memory(),
                            Status::io(IoError{IoError::Kind::OutOfMemory, 0}, "b.csv"),
                            Status::same_file("q.csv", "quarantine and output name the same file")};
    for (const Status& original : cases) {
        SCOPED_TRACE(original.text());
        Status copy = original;
        Status assigned = Status::cancelled();
        assigned = copy;
        Status moved = std::move(copy);
        for (const Status* s : {&assigned, &moved}) {
            EXPECT_EQ(s->kind(), original.kind());
            EXPECT_EQ(s->error_number(), original.error_number());
            EXPECT_EQ(s->text(), original.text());
        }
        moved = Status::ok();
        EXPECT_TRUE(moved.is_ok());
    }
    EXPECT_EQ(cases[0].error_number(), ENOENT);
    EXPECT_EQ(cases[2].kind(), Status::Kind::OutOfMemory);
    EXPECT_EQ(cases[2].text(), "b.csv: out of memory");
    EXPECT_EQ(Status::out_of_memory().text(), "out of memory");
}

}  // namespace
}  // namespace brinewick
