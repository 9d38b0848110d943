// Delimiter sniffing, column-count inference and the blank-row test.
//
// Ties between equally frequent field counts go to the wider count, both in
// the sniffer's mode and in the inferred column count. A small model of both
// heuristics, built on the reference parser (heuristics_model.hpp), checks
// them on random samples.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "heuristics/heuristics.hpp"
#include "heuristics_model.hpp"
#include "reference_parser.hpp"

namespace {

using brinewick::infer_column_count;
using brinewick::is_blank_text;
using brinewick::sniff_delimiter;
using brinewick_test::model_blank;
using brinewick_test::model_infer;
using brinewick_test::model_sniff;
using brinewick_test::model_white_space;
using brinewick_test::printable;

const std::string kBom = "\xEF\xBB\xBF";

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

std::string utf8(char32_t cp) { return brinewick_test::encode_utf8(std::u32string(1, cp)); }

// ---------------------------------------------------------------------------
// The blank-row test.

TEST(HeuristicsBlankText, Table) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {" ", true},
        {"\t\n\v\f\r ", true},
        {"\xC2\x85", true},                  // U+0085 NEXT LINE
        {"\xC2\xA0", true},                  // U+00A0 NO-BREAK SPACE
        {"\xE1\x9A\x80", true},              // U+1680 OGHAM SPACE MARK
        {"\xE2\x80\x80\xE2\x80\x8A", true},  // U+2000, U+200A
        {"\xE2\x80\xA8\xE2\x80\xA9", true},  // LINE and PARAGRAPH SEPARATOR
        {"\xE2\x80\xAF\xE2\x81\x9F", true},  // U+202F, U+205F
        {"\xE3\x80\x80", true},              // U+3000 IDEOGRAPHIC SPACE
        {" \xE3\x80\x80\t\xC2\xA0 ", true},
        {"a", false},
        {" a ", false},
        {"\x1C", false},  // information separators are not White_Space
        {"\x1D", false},
        {"\x1E", false},
        {"\x1F", false},
        {" \x1F ", false},
        {std::string(1, '\0'), false},
        {"\xC2\x84", false},      // U+0084
        {"\xE2\x80\x8B", false},  // U+200B ZERO WIDTH SPACE
        {"\xE2\x81\xA0", false},  // U+2060 WORD JOINER
        {"\xE1\xA0\x8E", false},  // U+180E MONGOLIAN VOWEL SEPARATOR
        {"\xEF\xBB\xBF", false},  // U+FEFF
        {"\xEF\xBF\xBD", false},  // U+FFFD
        {"   \xEF\xBF\xBD", false},
    };
    for (const auto& [text, blank] : cases) {
        EXPECT_EQ(is_blank_text(text), blank) << printable(text);
        EXPECT_EQ(model_blank(text), blank) << "model, " << printable(text);
    }
}

TEST(HeuristicsBlankText, EveryCodePointAloneAndAmongBlanks) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::string text = utf8(cp);
        ASSERT_EQ(is_blank_text(text), model_white_space(cp)) << "U+" << std::hex << static_cast<std::uint32_t>(cp);
        if (cp < 0x3100) {
            ASSERT_EQ(is_blank_text("  " + text + "\xE3\x80\x80"), model_white_space(cp))
                << "among blanks: U+" << std::hex << static_cast<std::uint32_t>(cp);
        }
    }
}

// ---------------------------------------------------------------------------
// Delimiter sniffing.

struct SniffCase {
    std::string sample;
    char expected;
};

void check_sniff(const std::vector<SniffCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("sample " + printable(c.sample));
        EXPECT_EQ(sniff_delimiter(c.sample), static_cast<std::uint8_t>(c.expected));
        EXPECT_EQ(model_sniff(c.sample), static_cast<std::uint8_t>(c.expected)) << "model";
        // A leading byte-order mark changes nothing.
        EXPECT_EQ(sniff_delimiter(kBom + c.sample), static_cast<std::uint8_t>(c.expected)) << "with a mark";
    }
}

TEST(SniffDelimiter, Basics) {
    check_sniff({
        {"", ','},
        {"a;b;c", ','},
        {"a;b;c\n", ','},
        {"a;b\n1;2\n", ';'},
        {"a,b;c\n1,2;3\n", ','},            // equal scores: the earlier candidate
        {"a;b|c|d\na;b|c|d\n", '|'},        // ln 3 beats 1.0
        {"x;y|z|w\nx;y|z|w\nx;y|z|w\np;q\n", ';'},
        {"a\tb\tc\n1\t2\t3\n", '\t'},
        {"\"a\"\t\"b\"\t\"c\"\n\"1\"\t\"2\"\t\"3\"\n", '\t'},  // every field quoted
        {"\"a,b\"\t\"c\"\n\"d,e\"\t\"f\"\n", '\t'},
        {"a|b\r\nc|d\r\n", '|'},
        {"\"a;b\",c\n\"d;e\",f\n", ','},    // quoted delimiters do not split
        {"abc\ndef\nghi\n", ','},           // single fields everywhere
        {"a b c\nd e f\n", ','},            // the space is no candidate
        {"a;b\nx\ny\n", ';'},               // single-field rows stay in the share
        {"'a;b;c',d\n'e;f;g',h\n", ';'},    // the apostrophe is no quote here
        {"\"a;b;c\",d\n\"e;f;g\",h\n", ','},
    });
}

// 2 rows of 3 fields and 2 of 5 under ",": the wider mode 5 scores
// 0.5 * ln 5 = 0.80 and beats ";" (0.75); the narrower would score 0.55.
TEST(SniffDelimiter, EquallyFrequentCountsTakeTheWider) {
    check_sniff({
        {"a;x,b,c\na;x,b,c\na;x,b,c,d,e\na,b,c,d,e\n", ','},
        // The same with the roles of "," and ";" swapped.
        {"a,x;b;c\na,x;b;c\na,x;b;c;d;e\na;b;c;d;e\n", ';'},
    });
}

// One row of two fields plus one line: blank lines are not counted, so the
// sample has fewer than two counted rows and falls back to the comma.
TEST(SniffDelimiter, WhiteSpaceLinesAreNotCounted) {
    const std::vector<std::pair<std::string, bool>> lines = {
        {"", true},
        {"   ", true},
        {"\v\f", true},
        {"\"  \"", true},  // quoted blanks
        {"\"\"", true},
        {utf8(0x85), true},
        {utf8(0xA0) + utf8(0x3000), true},
        {utf8(0x2028), true},
        {"\x1C", false},
        {"\x1F\x1F", false},
        {utf8(0x200B), false},
        {" " + utf8(0xFEFF), false},  // (at the very start it would be a byte-order mark)
        {"\x85", false},  // a lone byte is U+FFFD, not NEXT LINE
        {"\xA0", false},
        {"x", false},
    };
    for (const auto& [line, blank] : lines) {
        check_sniff({{"a;b\n" + line + "\n", blank ? ',' : ';'}});
        check_sniff({{line + "\na;b", blank ? ',' : ';'}});
    }
}

TEST(SniffDelimiter, BlankLinesAnywhereChangeNothing) {
    const std::vector<std::string> samples = {
        "a;b\n1;2\n",
        "a;b|c|d\na;b|c|d\n",
        "x;y|z|w\nx;y|z|w\nx;y|z|w\np;q\n",
        "a\tb\tc\n1\t2\t3\n",
        "a;x,b,c\na;x,b,c\na;x,b,c,d,e\na,b,c,d,e\n",
    };
    const std::vector<std::string> blanks = {"\n", "   \n", utf8(0x3000) + "\n", "\n\n  \n"};
    for (const auto& sample : samples) {
        const std::uint8_t plain = sniff_delimiter(sample);
        for (const auto& blank : blanks) {
            // Before, between and after the rows.
            const auto cut = sample.find('\n') + 1;
            for (const std::string& variant :
                 {blank + sample, sample.substr(0, cut) + blank + sample.substr(cut), sample + blank}) {
                EXPECT_EQ(sniff_delimiter(variant), plain) << printable(variant);
            }
        }
    }
}

// A line of tabs is blank for the other candidates but a row of empty fields
// for the tab.
TEST(SniffDelimiter, TabLinesCountForTheTabOnly) {
    check_sniff({
        {"a;b;c\n\t\t\n1;2;3\n", ';'},           // tab: rows 1, 3, 1 -> 1/3 * 1.1 = 0.37; ";" 1.1
        // "|" scores 1.0; tab: 2 of 4 rows have 10 fields, 0.5 * ln 10 = 1.15.
        {"a|b\n" + repeat(std::string(9, '\t') + "\n", 2) + "c|d\n", '\t'},
        {"a|b\n" + repeat(std::string(9, '\t') + "\n\n", 2) + "c|d\n", '\t'},
        // 4 fields in 2 of 4 rows: 0.5 * ln 4 = 0.69 stays below the 1.0 of "|".
        {"a|b\n\t\t\t\n\t\t\t\nc|d\n", '|'},
    });
}

// 46 rows split 3 ways by ";" and 2 ways by ",", then rows split only by ",".
// Within the first 50 counted rows ";" scores 46/50 * ln 3 = 1.011 against
// 1.0; a 51st row would bring ";" down to 0.991 and hand the lead to ",".
TEST(SniffDelimiter, OnlyTheFirstFiftyCountedRowsCount) {
    const std::string head = repeat("a,b;c;d\n", 46) + repeat("a,b\n", 4);
    check_sniff({
        {head, ';'},
        {head + repeat("x,y\n", 60), ';'},
        {head + repeat("p,q,r,s,t,u\n", 500), ';'},
        // Blank lines in between are parsed but not counted.
        {repeat("a,b;c;d\n\n", 46) + repeat("   \na,b\n", 4) + "x,y\n", ';'},
    });
}

TEST(SniffDelimiter, NeverFailsOnOddBytes) {
    const std::vector<std::string> samples = {
        std::string(1, '\0'), "\xFF\xFE", "\"", "\"\"\"", "\r\r\r", std::string(5000, '"'),
        "\"a;b\n" + repeat("c;d\n", 10), repeat("\xC3;\xA9\n", 10),
    };
    for (const auto& s : samples) {
        const std::uint8_t d = sniff_delimiter(s);
        EXPECT_EQ(d, model_sniff(s)) << printable(s);
    }
}

// ---------------------------------------------------------------------------
// Column-count inference.

struct InferCase {
    std::string sample;
    char delimiter;
    std::size_t expected;
};

void check_infer(const std::vector<InferCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("sample " + printable(c.sample) + " delimiter " + printable(std::string(1, c.delimiter)));
        const auto d = static_cast<std::uint8_t>(c.delimiter);
        EXPECT_EQ(infer_column_count(c.sample, d), c.expected);
        EXPECT_EQ(model_infer(c.sample, d), c.expected) << "model";
        EXPECT_EQ(infer_column_count(kBom + c.sample, d), c.expected) << "with a mark";
    }
}

TEST(InferColumnCount, Basics) {
    check_infer({
        {"", ',', 0},
        {"\n\n   \n", ',', 0},
        {utf8(0x3000) + "\n \t \n" + utf8(0xA0), ',', 0},
        {"a,b,c\n1,2\n3,4,5\n", ',', 3},
        {"abc\ndef\n", ',', 1},
        {"a;b\nc;d\n", ',', 1},
        {"a;b\nc;d\n", ';', 2},
        {"\"a,b\",c\n\"d,e\",f\n", ',', 2},  // the double quote is always the quote here
        {"'a,b',c\n'd,e',f\n", ',', 3},
        {"a,b\n\"x\ny\",z\n", ',', 2},
        {"a\tb\n\t\t\n\t\t\n", '\t', 3},     // tab lines are rows under the tab
        {"a,b\n\t\t\n\t\t\n", ',', 2},       // and blank under the comma
        {"\"a\"\t\"b\"\t\"\"\n\"c\"\t\"d\"\t\"e\"\n", '\t', 3},  // quoted TSV
        {"a,b\n\x1C\n\x1C\n", ',', 1},       // U+001C is no White_Space
        {"a,b\n\xC2\x85\n\xE2\x80\xA8\n", ',', 2},
    });
}

TEST(InferColumnCount, EquallyFrequentCountsTakeTheWider) {
    check_infer({
        {"a,b\n1,2,3\n", ',', 3},
        {"1,2,3\na,b\n", ',', 3},
        {"a\nb,c\n", ',', 2},
        {"a,b,c,d\nx\ny,z\nq,r,s,t\nu\nv,w\n", ',', 4},
    });
}

TEST(InferColumnCount, OnlyTheFirstHundredCountedRowsCount) {
    check_infer({
        {repeat("a,b\n", 100) + repeat("a,b,c\n", 300), ',', 2},
        {repeat("a,b\n", 99) + "\n\n  \n" + repeat("a,b,c\n", 200), ',', 2},
        // 50 and 50 tie (the wider wins); a 101st row would make 2 the answer.
        {repeat("a,b\n", 50) + repeat("a,b,c\n", 50) + repeat("a,b\n", 10), ',', 3},
        {repeat("a,b\n", 50) + repeat("\n", 30) + repeat("a,b,c\n", 50) + repeat("a,b\n", 10), ',', 3},
        {repeat("a,b\n", 50) + repeat("a,b,c\n", 49) + repeat("a,b\n", 10), ',', 2},
    });
}

// ---------------------------------------------------------------------------
// Both heuristics against the model on random samples.

class SampleGenerator {
public:
    explicit SampleGenerator(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) { return rng_() % n; }

    std::string sample() {
        static const char kDelims[] = {',', ';', '\t', '|', ' '};
        const char sep = kDelims[below(5)];
        const std::uint64_t width = 1 + below(6);
        const std::uint64_t rows = below(100) < 80 ? below(20) : below(160);
        std::string out = below(10) == 0 ? kBom : "";
        for (std::uint64_t r = 0; r < rows; ++r) {
            const auto kind = below(100);
            if (kind < 8) {
                out += blank_line();
            } else {
                const std::uint64_t fields = kind < 70 ? width : 1 + below(8);
                for (std::uint64_t f = 0; f < fields; ++f) {
                    if (f != 0) out.push_back(below(10) == 0 ? kDelims[below(5)] : sep);
                    out += field();
                }
            }
            const auto end = below(10);
            out += end < 7 ? "\n" : end < 9 ? "\r\n" : "\r";
        }
        return out;
    }

private:
    std::string blank_line() {
        static const std::vector<std::string> kBlanks = {
            "", " ", "  \t", "\t\t", utf8(0x3000), utf8(0xA0) + " ", utf8(0x85), "\"  \"", "\x1C", utf8(0x200B), ";",
        };
        return kBlanks[below(kBlanks.size())];
    }

    std::string field() {
        const auto kind = below(100);
        if (kind < 60) return std::string(1 + below(5), static_cast<char>('a' + below(26)));
        if (kind < 70) return "";
        if (kind < 80) return "\"x,y;z|w\t" + std::string(below(3), ' ') + "\"";
        if (kind < 85) return "\"a\"b\"";
        if (kind < 88) return "\"unclosed";
        if (kind < 92) return "\xC3\xA9\xFF";
        return " ";
    }

    std::mt19937_64 rng_;
};

TEST(SniffDelimiter, RandomSamplesMatchTheModel) {
    constexpr std::uint64_t kSeed = 0xD11A1EC7;
    int failures = 0;
    for (std::uint64_t seed = kSeed; seed < kSeed + 1500 && failures < 5; ++seed) {
        SampleGenerator gen(seed);
        const std::string s = gen.sample();
        SCOPED_TRACE("seed " + std::to_string(seed) + ", sample " + printable(s));
        const auto got = sniff_delimiter(s);
        const auto want = model_sniff(s);
        EXPECT_EQ(got, want);
        if (got != want) ++failures;
    }
}

TEST(InferColumnCount, RandomSamplesMatchTheModel) {
    constexpr std::uint64_t kSeed = 0x1F3E2C00;
    int failures = 0;
    for (std::uint64_t seed = kSeed; seed < kSeed + 1500 && failures < 5; ++seed) {
        SampleGenerator gen(seed);
        const std::string s = gen.sample();
        SCOPED_TRACE("seed " + std::to_string(seed) + ", sample " + printable(s));
        for (const std::uint8_t d : {std::uint8_t{','}, std::uint8_t{';'}, std::uint8_t{'\t'}, std::uint8_t{'|'},
                                     std::uint8_t{' '}}) {
            const auto got = infer_column_count(s, d);
            const auto want = model_infer(s, d);
            EXPECT_EQ(got, want) << "delimiter " << printable(std::string(1, static_cast<char>(d)));
            if (got != want) ++failures;
        }
    }
}

}  // namespace
