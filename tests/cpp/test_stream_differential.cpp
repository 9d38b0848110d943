// Streaming salvage against the in-memory engine: the same clean bytes and
// counters for random and adversarial inputs, with read sizes so small that
// every quote, CR LF pair, multi-byte character and the BOM falls across a
// read boundary somewhere.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "heuristics/heuristics.hpp"
#include "stream_test_support.hpp"

namespace brinewick::stream {
namespace {

using namespace brinewick::test_support;

// Pieces that exercise the parser's and the decoder's edge cases.
const std::vector<std::string> kPieces = {
    "a",  "bc", "1234", ",", ",", ";", "\t", "|", "\"", "\"\"", "'", "\r", "\n", "\r\n", "\n",
    " ",  "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", "\xC3", "\xE2\x82", "\xEF\xBB\xBF",
    "\" ", "\",", "\"\n", "x\"y", "\u00a0", "\r\r\n",
};

std::string random_soup(std::mt19937& rng) {
    std::uniform_int_distribution<std::size_t> count(0, 120);
    std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
    std::string text;
    if (rng() % 4 == 0) text = "\xEF\xBB\xBF";
    for (std::size_t i = count(rng); i > 0; --i) text += kPieces[pick(rng)];
    return text;
}

// Mostly well-formed rows of a few widths, with damage sprinkled in and
// enough rows (up to 260) that sniffing and inference stop before the end.
std::string random_table(std::mt19937& rng) {
    const char delimiters[] = {',', ';', '\t', '|'};
    const char delimiter = delimiters[rng() % 4];
    const std::size_t width = 1 + rng() % 5;
    const std::size_t rows = rng() % 260;
    std::string text = rng() % 3 == 0 ? "\xEF\xBB\xBF" : "";
    for (std::size_t r = 0; r < rows; ++r) {
        std::size_t fields = width;
        if (rng() % 6 == 0) fields = 1 + rng() % (width + 3);
        for (std::size_t f = 0; f < fields; ++f) {
            if (f > 0) text += delimiter;
            switch (rng() % 9) {
                case 0: text += "\"q" + std::string(1, delimiter) + "\"\"x\""; break;
                case 1: text += "\"multi\nline\""; break;
                case 2: text += "\"stray\"quote\""; break;
                case 3: text += "\"after\"text"; break;
                case 4: text += "caf\xC3\xA9\xFF"; break;
                case 5: text += std::string(rng() % 300, 'w'); break;  // longer than small windows
                default: text += "v" + std::to_string(rng() % 1000); break;
            }
        }
        const char* breaks[] = {"\n", "\r\n", "\r", "\n\n", "\n \n"};
        text += breaks[rng() % 5];
    }
    if (rng() % 5 == 0) text += "\"unclosed,field\nrest";
    return text;
}

SalvageOptions random_options(std::mt19937& rng) {
    SalvageOptions o;
    switch (rng() % 5) {
        case 0: o.delimiter = ','; break;
        case 1: o.delimiter = ';'; break;
        case 2: o.delimiter = 0xA7; break;  // a Latin-1 delimiter
        default: break;
    }
    if (rng() % 6 == 0) o.quote_char = '\'';
    o.fill_ragged_rows = rng() % 3 != 0;
    o.merge_overflow = rng() % 3 != 0;
    switch (rng() % 5) {
        case 0: o.expected_columns = 0; break;
        case 1: o.expected_columns = 1 + rng() % 4; break;
        default: break;
    }
    o.repair_quotes = rng() % 4 != 0;
    return o;
}

void expect_same(const std::string& input, const SalvageOptions& options, std::size_t read_size,
                 const std::string& label) {
    const TempDir dir;
    spit(dir.file("ref_in.csv"), input);
    const auto reference = salvage_file(dir.file("ref_in.csv"), dir.file("ref_out.csv"), std::nullopt, options);
    ASSERT_TRUE(std::holds_alternative<SalvageSummary>(reference)) << label;
    const SalvageSummary& want = std::get<SalvageSummary>(reference);

    const test::StreamRun run = test::run_stream(dir, input, options, read_size);
    ASSERT_TRUE(run.result.is_ok())
        << label << ": " << run.result.status().message();
    const SalvageSummary& got = run.result.value().counters;
    EXPECT_EQ(run.clean, slurp(dir.file("ref_out.csv"))) << label;
    EXPECT_EQ(got.detected_delimiter, want.detected_delimiter) << label;
    EXPECT_EQ(got.total_rows, want.total_rows) << label;
    EXPECT_EQ(got.salvaged_rows, want.salvaged_rows) << label;
    EXPECT_EQ(got.repaired_rows, want.repaired_rows) << label;
    EXPECT_EQ(got.quarantined_rows, want.quarantined_rows) << label;
    EXPECT_EQ(got.inferred_columns, want.inferred_columns) << label;
    EXPECT_EQ(run.result.value().bytes_read, input.size()) << label;
}

TEST(StreamDifferential, RandomInputsAndOptions) {
    const unsigned seed = test_seed();
    std::mt19937 rng(seed);
    const std::size_t read_sizes[] = {1, 2, 3, 7, 64, 4096};
    for (int round = 0; round < 300; ++round) {
        const std::string input = round % 2 == 0 ? random_soup(rng) : random_table(rng);
        const SalvageOptions options = random_options(rng);
        const std::size_t read_size = read_sizes[rng() % std::size(read_sizes)];
        expect_same(input, options, read_size,
                    "seed " + std::to_string(seed) + " round " + std::to_string(round) +
                        " read_size " + std::to_string(read_size));
        if (HasFailure()) return;
    }
}

// Each case at every small read size, so its awkward bytes land on every
// offset of a read.
TEST(StreamDifferential, BoundaryCases) {
    const std::vector<std::string> cases = {
        "",
        "\xEF\xBB\xBF",
        "\xEF\xBB",
        "\xEF\xBB\xBF" "a,b\r\n1,2\r\n",
        "a,b\r",
        "a,b\r\n\r\n1,\"2\r\n3\"\r\n",
        "a,\"b\"\"c\",d\n1,2,3\n",
        "a,\"x\"y\"\n1,2\n",
        "a,\"never closed\n1,2\n3,4",
        "h1,h2\n\xC3\xA9,\xE2\x82\xAC\xF0\x9F\x98\x80\n\xF0\x9F\x98,\xC3\n",
        "a;b;c\n1;\"2;3\";4\n\n5;6\n",
        "x\n\n\n",
        "\"a\" ,b\n\"c\"d,e\n",
        std::string(700, 'z') + ",1\n2,3\n",
        // A BOM after leading line breaks is a field's bytes, not the file's BOM.
        "\n\xEF\xBB\xBF\"a\tb\n1;2\n3;4\n5\t6\"\n",
        "\r\r\n\n\xEF\xBB\xBF\"a\tb\n1;2\n3;4\n5\t6\"\n",
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        for (const std::size_t read_size : {1, 2, 3, 7, 64}) {
            expect_same(cases[c], SalvageOptions{}, read_size,
                        "case " + std::to_string(c) + " read_size " + std::to_string(read_size));
        }
    }
}

// A prefix answer, when one is given, is the whole text's answer; and the
// whole text always settles its own.
TEST(StreamDifferential, PrefixHeuristicsNeverGuess) {
    const unsigned seed = test_seed();
    std::mt19937 rng(seed);
    for (int round = 0; round < 60; ++round) {
        const std::string text = round % 3 == 0 ? random_soup(rng) : random_table(rng);
        const std::uint8_t delimiter = sniff_delimiter(text);
        const std::size_t columns = infer_column_count(text, delimiter);
        const SniffedDialect both = sniff_dialect(text, std::nullopt, std::nullopt);
        ASSERT_EQ(both.delimiter, delimiter) << "seed " << seed << " round " << round;
        ASSERT_EQ(both.columns, columns) << "seed " << seed << " round " << round;
        std::size_t settled_at = text.size() + 1;
        // Since the last unsettled cut: what it said it lacked, and from where.
        PrefixNeed need = PrefixNeed::More;
        std::size_t lacking_from = 0;
        for (std::size_t cut = 0; cut <= text.size(); cut += 1 + rng() % 40) {
            const std::string where =
                "seed " + std::to_string(seed) + " round " + std::to_string(round) + " cut " + std::to_string(cut);
            const std::string_view prefix = std::string_view(text).substr(0, cut);
            if (const auto d = sniff_delimiter_in_prefix(prefix)) {
                ASSERT_EQ(*d, delimiter) << where;
                settled_at = std::min(settled_at, cut);
            }
            if (const auto c = infer_column_count_in_prefix(prefix, delimiter)) {
                ASSERT_EQ(*c, columns) << where;
            }
            const PrefixSniff sniffed = sniff_dialect_in_prefix(prefix, std::nullopt, std::nullopt);
            const std::string_view added = prefix.substr(std::min(lacking_from, cut));
            const bool awaited = need == PrefixNeed::More ||
                                 added.find_first_of(need == PrefixNeed::Quote ? "\"" : "\r\n") != std::string_view::npos;
            if (sniffed.dialect) {
                ASSERT_TRUE(awaited) << where;
                ASSERT_EQ(sniffed.dialect->delimiter, delimiter) << where;
                ASSERT_EQ(sniffed.dialect->columns, columns) << where;
            } else if (awaited) {
                need = sniffed.need;
                lacking_from = cut;
            }
        }
        // Long tables settle well before their end.
        if (text.size() > 20000 && text.find("\"unclosed") == std::string::npos) {
            EXPECT_LT(settled_at, text.size()) << "seed " << seed << " round " << round;
        }
    }
}

}  // namespace
}  // namespace brinewick::stream
