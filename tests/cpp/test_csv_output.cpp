// The clean and quarantine line formats, and the buffered file under them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "salvage/csv_writer.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;


using Row = std::vector<std::string>;
namespace fs = std::filesystem;

// Fields flagged as the parser flags them: special when a byte is the
// delimiter, the quote, CR or LF; `cautious` flags every field.
RowBuffer make_buffer(const Row& fields, std::uint8_t delimiter, std::uint8_t quote,
                      bool cautious = false) {
    RowBuffer row;
    for (const std::string& f : fields) {
        bool ascii = true;
        bool special = cautious;
        for (const char c : f) {
            const auto b = static_cast<unsigned char>(c);
            ascii = ascii && b < 0x80;
            special = special || b == delimiter || b == quote || b == '\n' || b == '\r';
        }
        row.push_text_field(f, ascii, special);
    }
    return row;
}

std::string clean_line(const Row& fields, std::uint8_t delimiter = ',', std::uint8_t quote = '"',
                       bool cautious = false) {
    std::string out = "keep:";  // the line is appended, never replacing what is there
    append_clean_line(out, make_buffer(fields, delimiter, quote, cautious), delimiter, quote);
    EXPECT_EQ(out.substr(0, 5), "keep:");
    return out.substr(5);
}

struct CleanCase {
    Row fields;
    std::uint8_t delimiter;
    std::uint8_t quote;
    std::string line;
};

TEST(CsvCleanLine, Table) {
    const CleanCase cases[] = {
        {{"a", "b", "c"}, ',', '"', "a,b,c\n"},
        {{"a,b"}, ',', '"', "\"a,b\"\n"},
        {{"5\"7"}, ',', '"', "\"5\"\"7\"\n"},
        {{"", "", ""}, ',', '"', ",,\n"},
        {{""}, ',', '"', "\n"},
        {{}, ',', '"', "\n"},
        {{"x\ny", "z\r", "plain"}, ',', '"', "\"x\ny\",\"z\r\",plain\n"},
        {{"a\"b"}, ',', '\'', "a\"b\n"},
        {{"it's", "x"}, ',', '\'', "'it''s',x\n"},
        {{"a,b", "c;d"}, ';', '"', "a,b;\"c;d\"\n"},
        {{"a\tb", "c d"}, '\t', '"', "\"a\tb\"\tc d\n"},
        // Specials past the first eight bytes, and in the last byte after them.
        {{"abcdefghijklmnop,q", "abcdefghijklmnopq\r"}, ',', '"',
         "\"abcdefghijklmnop,q\",\"abcdefghijklmnopq\r\"\n"},
        {{"\"\"\"\"\"\"\"\"\""}, ',', '"', "\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\n"},
        // Delimiter byte 0xC3 is written as the character U+00C3 (C3 83).
        {{"a", "b"}, 0xC3, '"', "a\xC3\x83" "b\n"},
        {{"\xC3\x83", "b"}, 0xC3, '"', "\"\xC3\x83\"\xC3\x83" "b\n"},
        // U+00E9 as delimiter: a decoded é in a field is that character.
        {{"caf\xC3\xA9", "x"}, 0xE9, '"', "\"caf\xC3\xA9\"\xC3\xA9x\n"},
        {{"\xC3\xA8", "x"}, 0xE9, '"', "\xC3\xA8\xC3\xA9x\n"},
        // U+00E9 as quote: enclosed in é and doubled.
        {{"\xC3\xA9", "a,b", "c"}, ',', 0xE9,
         "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9,\xC3\xA9" "a,b\xC3\xA9,c\n"},
        {{"\xE2\x82\xAC", "x\n"}, 0xA6, '"', "\xE2\x82\xAC\xC2\xA6\"x\n\"\n"},
    };
    for (const CleanCase& c : cases) {
        EXPECT_EQ(clean_line(c.fields, c.delimiter, c.quote), c.line)
            << "delimiter " << int{c.delimiter} << " quote " << int{c.quote};
    }
}

// Strict reader for one line of clean output; false when the line breaks the format.
bool read_clean_line(std::string_view line, std::string_view delim, std::string_view quote,
                     Row& fields) {
    fields.clear();
    std::size_t i = 0;
    for (;;) {
        std::string field;
        if (line.substr(i, quote.size()) == quote) {
            i += quote.size();
            for (;;) {
                if (i >= line.size()) return false;
                if (line.substr(i, quote.size()) == quote) {
                    if (line.substr(i + quote.size(), quote.size()) != quote) break;
                    field += quote;
                    i += 2 * quote.size();
                } else {
                    field += line[i++];
                }
            }
            i += quote.size();
        } else {
            while (i < line.size() && line[i] != '\n' && line.substr(i, delim.size()) != delim) {
                if (line[i] == '\r' || line.substr(i, quote.size()) == quote) return false;
                field += line[i++];
            }
        }
        fields.push_back(field);
        if (line.substr(i, delim.size()) == delim) {
            i += delim.size();
        } else {
            return line.substr(i) == "\n";
        }
    }
}

std::string latin1(std::uint8_t b) {
    if (b < 0x80) return std::string(1, static_cast<char>(b));
    return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

TEST(CsvCleanLine, RandomRowsReadBack) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] CsvCleanLine " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::uint8_t delimiters[] = {',', ';', '\t', '|', ' ', 0xA6, 0xC3, 0xE9};
    const std::uint8_t quotes[] = {'"', '\'', 0xE9, 0xA6};
    const std::string pieces[] = {"a", "bcdefghij", ",", ";", "\t", "|", " ", "\"", "'", "\n",
                                  "\r", "\xC3\xA9", "\xC2\xA6", "\xC3\x83", "\xEF\xBF\xBD"};
    for (int iter = 0; iter < 3000; ++iter) {
        const std::uint8_t d = delimiters[rng() % std::size(delimiters)];
        std::uint8_t q = quotes[rng() % std::size(quotes)];
        if (q == d) q = '"';
        Row fields(1 + rng() % 6);
        for (std::string& f : fields) {
            const unsigned n = rng() % 6;
            for (unsigned k = 0; k < n; ++k) f += pieces[rng() % std::size(pieces)];
        }
        const std::string line = clean_line(fields, d, q, rng() % 2 == 0);
        Row back;
        ASSERT_TRUE(read_clean_line(line, latin1(d), latin1(q), back))
            << "iteration " << iter << " line " << line;
        ASSERT_EQ(back, fields) << "iteration " << iter << " line " << line;
    }
}

// Runs of quotes, doubled at once: of every length around the writers'
// piece sizes, between other bytes, whole and in pieces.
TEST(CsvCleanLine, RunsOfQuotesWholeAndInPieces) {
    struct Collect final : PieceWriter {
        std::string text;
        bool write(std::string_view piece) override {
            text.append(piece);
            return true;
        }
    };
    for (const std::uint8_t quote : {std::uint8_t{'"'}, std::uint8_t{0xE9}}) {
        const std::string q = latin1(quote);
        for (const std::size_t run : {std::size_t{1}, std::size_t{2}, std::size_t{17}, std::size_t{1} << 13,
                                      (std::size_t{1} << 14) + 1, 3 * kPieceSlice}) {
            std::string field = "a";
            for (std::size_t i = 0; i < run; ++i) field += q;
            field += "b" + q + "c";
            for (std::size_t i = 0; i < run; ++i) field += q;
            std::string want = q + "a";
            for (std::size_t i = 0; i < 2 * run; ++i) want += q;
            want += "b" + q + q + "c";
            for (std::size_t i = 0; i < 2 * run; ++i) want += q;
            want += q + ",x\n";
            EXPECT_EQ(clean_line({field, "x"}, ',', quote), want) << run;
            Collect pieces;
            ASSERT_TRUE(write_clean_line_in_pieces(pieces, make_buffer({field, "x"}, ',', quote), ',', quote));
            EXPECT_EQ(pieces.text, want) << run;
        }
    }
}

struct QuarantineCase {
    QuarantineRecord record;
    std::uint8_t delimiter;
    std::string line;
};

TEST(CsvQuarantineLine, Table) {
    const std::string few = "Row has too few columns (expected 3)";
    const QuarantineCase cases[] = {
        {{{"1", "2"}, few, 3}, ',', "3,\"" + few + "\",\"1,2\"\n"},
        {{{"a\"b", "c,d"}, few, 12}, ',', "12,\"" + few + "\",\"a\"\"b,c,d\"\n"},
        {{{"a", "b"}, few, 1}, ';', "1,\"" + few + "\",\"a;b\"\n"},
        {{{"a", "b"}, few, 1}, 0xA6, "1,\"" + few + "\",\"a\xC2\xA6" "b\"\n"},
        {{{"a", "b"}, few, 1}, '"', "1,\"" + few + "\",\"a\"\"b\"\n"},
        {{{"x\r\ny", "'"}, "say \"hi\"", 7}, ',', "7,\"say \"\"hi\"\"\",\"x\r\ny,'\"\n"},
        {{{""}, few, 2}, ',', "2,\"" + few + "\",\"\"\n"},
    };
    for (const QuarantineCase& c : cases) {
        std::string out = "x";
        append_quarantine_line(out, c.record, c.delimiter);
        EXPECT_EQ(out, "x" + c.line);
    }
    EXPECT_EQ(kQuarantineHeader, "line,reason,raw_content\n");
}



BufferedFile open_or_fail(const std::string& path) {
    auto created = BufferedFile::create(path);
    if (auto* error = std::get_if<IoError>(&created)) throw std::runtime_error(error->message());
    return std::move(std::get<BufferedFile>(created));
}

TEST(CsvBufferedFile, PiecesOfEverySizeArriveInOrder) {
    const TempDir dir;
    const std::string path = dir.file("out.csv");
    std::string expected;
    {
        BufferedFile file = open_or_fail(path);
        auto put = [&](std::string piece) {
            EXPECT_FALSE(file.write_all(piece));
            expected += piece;
        };
        put("abc");
        EXPECT_EQ(slurp(path), "");  // small pieces wait in the buffer
        constexpr std::size_t cap = BufferedFile::kCapacity;
        put(std::string(cap + 1808, 'L'));  // the buffer goes first, then the large piece directly
        EXPECT_EQ(slurp(path), expected);
        put(std::string(cap - 192, 's'));
        put(std::string(300, 't'));  // would overflow: the buffered bytes go out first
        EXPECT_EQ(slurp(path).size(), expected.size() - 300);
        put(std::string(BufferedFile::kCapacity, 'C'));
        EXPECT_EQ(slurp(path), expected);
        put(std::string(3U << 20, 'M'));
        put("tail");
        EXPECT_FALSE(file.flush());
        EXPECT_EQ(slurp(path), expected);
        put("after flush");
        BufferedFile moved(std::move(file));
    }  // the destructor writes what is left
    EXPECT_EQ(slurp(path), expected);
}

TEST(CsvBufferedFile, CreateTruncatesWithDefaultMode) {
    const TempDir dir;
    const std::string path = dir.file("old.csv");
    std::ofstream(path) << "previous content";
    { BufferedFile file = open_or_fail(path); }
    EXPECT_EQ(slurp(path), "");

    const std::string fresh = dir.file("fresh.csv");
    const mode_t mask = ::umask(022);
    ::umask(mask);
    { BufferedFile file = open_or_fail(fresh); }
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(CsvBufferedFile, DeviceFullFailsOnFlushAndOnLargeWrite) {
    const std::string full = "No space left on device (os error 28)";
    {
        BufferedFile file = open_or_fail("/dev/full");
        EXPECT_FALSE(file.write_all("abc"));
        const auto error = file.flush();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), full);
    }
    {
        BufferedFile file = open_or_fail("/dev/full");
        const auto error = file.write_all(std::string(BufferedFile::kCapacity, 'x'));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), full);
    }
}

TEST(CsvBufferedFile, CreateFailures) {
    const TempDir dir;
    const std::string with_nul = dir.file("a") + std::string(1, '\0') + "b";
    auto created = BufferedFile::create(with_nul);
    ASSERT_TRUE(std::holds_alternative<IoError>(created));
    EXPECT_EQ(std::get<IoError>(created).message(), "file name contained an unexpected NUL byte");
    EXPECT_FALSE(fs::exists(dir.file("a")));

    const auto missing = BufferedFile::create(dir.file("missing/out.csv"));
    ASSERT_TRUE(std::holds_alternative<IoError>(missing));
    EXPECT_EQ(std::get<IoError>(missing).message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace brinewick
