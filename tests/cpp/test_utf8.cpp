// Lenient UTF-8: one U+FFFD per maximal ill-formed subpart, validation flags,
// and the Latin-1 helper. Expected values follow the maximal-subpart rule
// (they agree with Python's bytes.decode("utf-8", "replace")).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parser/utf8.hpp"
#include "parser/utf8_paths.hpp"
#include "reference_parser.hpp"

namespace {

using brinewick_test::printable;
using brinewick_test::reference_code_points;

std::string from_hex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::u32string code_points_of_valid(std::string_view text) {
    std::size_t errors = 0;
    auto cps = reference_code_points(text, &errors);
    EXPECT_EQ(errors, 0u) << "not valid UTF-8: " << printable(text);
    return cps;
}

bool all_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

struct DecodeCase {
    const char* hex;
    std::u32string expected;
    bool valid;
};

constexpr char32_t R = 0xFFFD;

const std::vector<DecodeCase>& decode_cases() {
    static const std::vector<DecodeCase> cases = {
        // Well-formed, at the edges of each table row.
        {"", U"", true},
        {"00", std::u32string(1, U'\0'), true},
        {"41 7F", U"A\x7F", true},
        {"C2 80", {0x80}, true},
        {"DF BF", {0x7FF}, true},
        {"E0 A0 80", {0x800}, true},
        {"ED 9F BF", {0xD7FF}, true},
        {"EE 80 80", {0xE000}, true},
        {"EF BF BF", {0xFFFF}, true},
        {"EF BF BD", {0xFFFD}, true},
        {"EF BB BF", {0xFEFF}, true},
        {"F0 90 80 80", {0x10000}, true},
        {"F4 8F BF BF", {0x10FFFF}, true},
        // Bytes that start nothing: one replacement each.
        {"80", {R}, false},
        {"80 80", {R, R}, false},
        {"BF C2 BF", {R, 0xBF}, false},
        {"C0 AF", {R, R}, false},
        {"C1 BF", {R, R}, false},
        {"F5 80 80 80", {R, R, R, R}, false},
        {"FE", {R}, false},
        {"FF FE", {R, R}, false},
        {"F8 88 80 80 80", {R, R, R, R, R}, false},
        {"FC 84 80 80 80 80", {R, R, R, R, R, R}, false},
        // Second byte out of range for the lead: the lead alone is the subpart.
        {"E0 80 80", {R, R, R}, false},
        {"E0 9F 80", {R, R, R}, false},
        {"ED A0 80", {R, R, R}, false},
        {"ED BF BF", {R, R, R}, false},
        {"F0 80 80 80", {R, R, R, R}, false},
        {"F0 8F BF BF", {R, R, R, R}, false},
        {"F4 90 80 80", {R, R, R, R}, false},
        {"E1 C0", {R, R}, false},
        // Truncated sequences: the valid prefix is one subpart.
        {"C2", {R}, false},
        {"C3 41", {R, 'A'}, false},
        {"E0 A0", {R}, false},
        {"E0 A0 C0", {R, R}, false},
        {"ED 80", {R}, false},
        {"E2 82 41", {R, 'A'}, false},
        {"E2 82 E2 82 AC", {R, 0x20AC}, false},
        {"C3 C3 A9", {R, 0xE9}, false},
        {"F0 90 80", {R}, false},
        {"F0 9F 98", {R}, false},
        {"F0 9F 98 41", {R, 'A'}, false},
        {"F1 80 80", {R}, false},
        {"F1 80 80 C3 A9", {R, 0xE9}, false},
        {"F4 80", {R}, false},
        // The example of the Unicode Standard (U+FFFD substitution of maximal subparts).
        {"61 F1 80 80 E1 80 C2 62 80 63 80 BF 64", {'a', R, R, R, 'b', R, 'c', R, R, 'd'}, false},
    };
    return cases;
}

TEST(Utf8Decode, MaximalSubpartsTable) {
    for (const auto& c : decode_cases()) {
        const std::string input = from_hex(c.hex);
        SCOPED_TRACE(std::string("input ") + c.hex);
        const std::string out = brinewick::decode_lenient_utf8(input);
        EXPECT_EQ(code_points_of_valid(out), c.expected) << "output " << printable(out);
        if (c.valid) {
            EXPECT_EQ(out, input);
        }
        // The oracle agrees with the table too.
        EXPECT_EQ(reference_code_points(input), c.expected);
    }
}

TEST(Utf8Decode, AppendKeepsWhatIsThere) {
    std::string out = "pre\xC3\xA9";
    const std::string input = from_hex("61 FF E2 82 AC C3");
    brinewick::append_lenient_utf8(out, reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EXPECT_EQ(out, "pre\xC3\xA9" "a\xEF\xBF\xBD\xE2\x82\xAC\xEF\xBF\xBD");
    brinewick::append_lenient_utf8(out, nullptr, 0);
    EXPECT_EQ(out, "pre\xC3\xA9" "a\xEF\xBF\xBD\xE2\x82\xAC\xEF\xBF\xBD");
}

TEST(Utf8Check, FlagsTable) {
    for (const auto& c : decode_cases()) {
        const std::string input = from_hex(c.hex);
        SCOPED_TRACE(std::string("input ") + c.hex);
        const auto check =
            brinewick::check_utf8(reinterpret_cast<const unsigned char*>(input.data()), input.size());
        EXPECT_EQ(check.valid, c.valid);
        EXPECT_EQ(check.ascii, all_ascii(input));
    }
}

// A single sequence at every offset inside long ASCII runs, where block-wise
// validation changes from one block to the next.
TEST(Utf8Check, SequenceAtEveryOffset) {
    const std::vector<std::string> sequences = {
        "", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98",
        "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xEF\xBB\xBF",
    };
    for (const auto& seq : sequences) {
        for (std::size_t prefix = 0; prefix <= 130; ++prefix) {
            for (const std::size_t suffix : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{64}}) {
                const std::string input = std::string(prefix, 'x') + seq + std::string(suffix, 'y');
                SCOPED_TRACE(printable(seq) + " after " + std::to_string(prefix) + " bytes, before " +
                             std::to_string(suffix));
                std::size_t errors = 0;
                const auto want = reference_code_points(input, &errors);
                const auto check =
                    brinewick::check_utf8(reinterpret_cast<const unsigned char*>(input.data()), input.size());
                ASSERT_EQ(check.valid, errors == 0);
                ASSERT_EQ(check.ascii, seq.empty());
                ASSERT_EQ(code_points_of_valid(brinewick::decode_lenient_utf8(input)), want);
            }
        }
    }
}

// Random bytes weighted towards the edges of the well-formed ranges.
TEST(Utf8Decode, RandomBytesMatchTheReference) {
    const std::vector<unsigned char> edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                              0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3,
                                              0xF4, 0xF5, 0xFF};
    constexpr std::uint64_t kSeed = 0x0DECADE;
    for (std::uint64_t seed = kSeed; seed < kSeed + 3000; ++seed) {
        std::mt19937_64 rng(seed);
        const std::size_t length = rng() % 4 == 0 ? rng() % 400 : rng() % 24;
        std::string input;
        for (std::size_t i = 0; i < length; ++i) {
            const auto r = rng() % 10;
            if (r < 5) input.push_back(static_cast<char>(edges[rng() % edges.size()]));
            else if (r < 7) input.push_back(static_cast<char>(0x80 + rng() % 0x40));  // continuation
            else if (r < 8) input.push_back(static_cast<char>(rng() % 256));
            else input.push_back('a');
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ", input " + printable(input));
        std::size_t errors = 0;
        const auto want = reference_code_points(input, &errors);
        ASSERT_EQ(code_points_of_valid(brinewick::decode_lenient_utf8(input)), want);
        const auto check = brinewick::check_utf8(reinterpret_cast<const unsigned char*>(input.data()), input.size());
        ASSERT_EQ(check.valid, errors == 0);
        ASSERT_EQ(check.ascii, all_ascii(input));
    }
}

// Long inputs cross the decoder's internal chunks at every kind of byte,
// including inside a sequence that a chunk end cuts.
TEST(Utf8Decode, LongMixedTextMatchesTheReference) {
    const std::string pieces[] = {"a", "plain text ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                  "\xFF", "\x80", "\xE2\x82", "\xF0\x9F", "\xED\xA0\x80"};
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        std::mt19937_64 rng(seed);
        std::string input;
        while (input.size() < 300000) input += pieces[rng() % std::size(pieces)];
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::string out = "kept";
        brinewick::append_lenient_utf8(out, reinterpret_cast<const unsigned char*>(input.data()), input.size());
        ASSERT_EQ(out.substr(0, 4), "kept");
        ASSERT_TRUE(out.substr(4) == brinewick_test::encode_utf8(reference_code_points(input)));
    }
}

TEST(Utf8Decode, LongWellFormedTextIsCopied) {
    std::string input;
    for (int i = 0; input.size() < 200000; ++i) {
        input += "plain ascii text ";
        input += (i % 4 == 0) ? "\xC3\xA9" : (i % 4 == 1) ? "\xE2\x82\xAC" : (i % 4 == 2) ? "\xF0\x9F\x98\x80" : "\xDF\xBF";
    }
    const auto check = brinewick::check_utf8(reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EXPECT_TRUE(check.valid);
    EXPECT_FALSE(check.ascii);
    EXPECT_TRUE(brinewick::decode_lenient_utf8(input) == input);
    input.back() = '\xFF';  // the last character loses its final byte
    EXPECT_FALSE(brinewick::check_utf8(reinterpret_cast<const unsigned char*>(input.data()), input.size()).valid);
    const std::string ascii(100000, 'q');
    const auto ascii_check = brinewick::check_utf8(reinterpret_cast<const unsigned char*>(ascii.data()), ascii.size());
    EXPECT_TRUE(ascii_check.valid);
    EXPECT_TRUE(ascii_check.ascii);
}

// ---------------------------------------------------------------------------
// The validator that checks whole stretches 64 bytes a step. Its answer, the
// length of the well-formed prefix, must match the table-driven model at
// every place a block boundary can fall: inside a character, right before
// one, in the middle of an ASCII run.

// Where the model meets the first ill-formed (or cut short) sequence.
std::size_t model_valid_prefix(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const brinewick_test::WellFormedRow* row = nullptr;
        for (const auto& r : brinewick_test::kWellFormed) {
            if (lead >= r.lead_lo && lead <= r.lead_hi) row = &r;
        }
        if (row == nullptr) return i;
        const auto need = static_cast<std::size_t>(row->continuations);
        for (std::size_t k = 0; k < need; ++k) {
            if (i + 1 + k >= bytes.size()) return i;
            const auto c = static_cast<unsigned char>(bytes[i + 1 + k]);
            if (c < row->lo[k] || c > row->hi[k]) return i;
        }
        i += 1 + need;
    }
    return i;
}

// Each case runs on valid_utf8_prefix as callers see it (the path chosen for
// this CPU) and on each instruction-set path this CPU can run.
class Utf8Prefix : public ::testing::TestWithParam<std::optional<brinewick::Utf8Path>> {
protected:
    void SetUp() override {
        if (GetParam() && !brinewick::utf8_path_supported(*GetParam())) {
            GTEST_SKIP() << "this CPU (or build) has no " << brinewick::utf8_path_name(*GetParam()) << " path";
        }
    }

    std::size_t valid_prefix(std::string_view bytes) const {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        if (!GetParam()) return brinewick::valid_utf8_prefix(data, bytes.size());
        return brinewick::valid_utf8_prefix_on(*GetParam(), data, bytes.size());
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, Utf8Prefix,
                         ::testing::Values(std::nullopt, brinewick::Utf8Path::plain, brinewick::Utf8Path::sse2,
                                           brinewick::Utf8Path::ssse3, brinewick::Utf8Path::avx2,
                                           brinewick::Utf8Path::avx512),
                         [](const auto& param_info) {
                             return param_info.param ? std::string(brinewick::utf8_path_name(*param_info.param))
                                                     : std::string("chosen");
                         });

// Each sequence after 0..130 ASCII bytes (so it starts at every offset of
// the first two blocks and straddles each block end), then a few tails.
TEST_P(Utf8Prefix, SequenceAtEveryOffsetOfABlock) {
    const std::vector<std::string> sequences = {
        // Well-formed, at the edges of the second-byte ranges.
        "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xE1\x80\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
        "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF",
        // Second byte out of range for E0, ED, F0, F4.
        "\xE0\x9F\x80", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
        // Never valid, cut short, or a continuation without a lead.
        "\xC0\x80", "\xC1\xBF", "\xF5\x80\x80\x80", "\xFF", "\x80", "\xBF\xBF", "\xC3", "\xE2\x82",
        "\xF0\x9F\x98", "\xC3\x41", "\xE2\x41\x82", "\xF0\x9F\x41\x80", "\xC3\xC3\xA9",
        // Runs of characters that cross a block end together.
        "\xCE\xB1\xCE\xB2\xCE\xB3", "\xE6\x9D\xB1\xE4\xBA\xAC", "\xF0\x9F\x98\x80\xF0\x9F\x98\x81",
    };
    for (const auto& seq : sequences) {
        for (std::size_t prefix = 0; prefix <= 130; ++prefix) {
            for (const std::size_t suffix : {0u, 1u, 2u, 3u, 62u, 63u, 64u, 65u}) {
                const std::string input = std::string(prefix, 'x') + seq + std::string(suffix, 'y');
                ASSERT_EQ(valid_prefix(input), model_valid_prefix(input))
                    << printable(seq) << " after " << prefix << " bytes, before " << suffix;
            }
        }
    }
}

// A run of ASCII, then a character, the input cut at every length: a cut
// just before the character, or inside it, at every place in a block.
TEST_P(Utf8Prefix, AsciiRunEndsBeforeOrInsideACharacter) {
    const std::vector<std::string> characters = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (const auto& ch : characters) {
        for (std::size_t run = 0; run <= 140; ++run) {
            const std::string whole = std::string(run, 'a') + ch + "bc" + ch;
            for (std::size_t cut = run; cut <= whole.size(); ++cut) {
                const std::string_view input(whole.data(), cut);
                ASSERT_EQ(valid_prefix(input), model_valid_prefix(input))
                    << printable(ch) << " after " << run << " ASCII bytes, cut at " << cut;
            }
        }
    }
}

// Dense well-formed text of two, three and four byte characters (every
// block full of them) with one byte replaced at each offset by each bad byte.
TEST_P(Utf8Prefix, BadByteAtEachOffsetOfDenseText) {
    std::string dense;
    const std::string characters[] = {"\xD0\x96", "a", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xCE\xA9", "\xED\x9F\xBF"};
    for (std::size_t i = 0; dense.size() < 200; ++i) dense += characters[i % std::size(characters)];
    ASSERT_EQ(valid_prefix(dense), dense.size());
    const unsigned char bad[] = {0xFF, 0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 'A'};
    for (std::size_t at = 0; at < dense.size(); ++at) {
        for (const unsigned char b : bad) {
            std::string input = dense;
            input[at] = static_cast<char>(b);
            ASSERT_EQ(valid_prefix(input), model_valid_prefix(input))
                << "byte " << int{b} << " at offset " << at;
        }
    }
}

TEST_P(Utf8Prefix, RandomBytesMatchTheModel) {
    const std::vector<unsigned char> edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                              0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3,
                                              0xF4, 0xF5, 0xFF};
    const std::string wellformed[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE0\xA4\x85", "\xED\x95\x9C"};
    constexpr std::uint64_t kSeed = 0x5EB1075;
    for (std::uint64_t seed = kSeed; seed < kSeed + 3000; ++seed) {
        std::mt19937_64 rng(seed);
        // Mostly long well-formed stretches with a rare odd byte, so that
        // many blocks are checked before the first fault.
        const std::size_t length = rng() % 700;
        const unsigned odd = static_cast<unsigned>(rng() % 200);
        std::string input;
        while (input.size() < length) {
            const auto r = rng() % 1000;
            if (r < odd) input.push_back(static_cast<char>(edges[rng() % edges.size()]));
            else if (r < 600) input.push_back(static_cast<char>('a' + rng() % 26));
            else input += wellformed[rng() % std::size(wellformed)];
        }
        ASSERT_EQ(valid_prefix(input), model_valid_prefix(input)) << "seed " << seed << ", input " << printable(input);
    }
}

// A block that ends in a character, one or two ASCII blocks (which the
// vector paths only test for ASCII), then a block that starts with each
// sequence: what those paths keep of the bytes before is out of date there.
TEST_P(Utf8Prefix, BlockAfterSkippedAsciiBlocks) {
    const std::string endings[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82\xAC" "a"};
    const std::string starts[] = {"\x80", "\xBF\xBF", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                  "\xE2\x82", "\xF0\x9F\x98", "\xFF", "a\x80"};
    for (const auto& ending : endings) {
        for (std::size_t ascii_blocks = 1; ascii_blocks <= 2; ++ascii_blocks) {
            for (const auto& start : starts) {
                for (const std::size_t tail : {0u, 1u, 64u}) {
                    const std::string input = std::string(64 - ending.size(), 'x') + ending +
                                              std::string(64 * ascii_blocks, 'y') + start + std::string(tail, 'z');
                    ASSERT_EQ(valid_prefix(input), model_valid_prefix(input))
                        << printable(ending) << ", " << ascii_blocks << " ASCII blocks, " << printable(start);
                }
            }
        }
    }
}

// Long text whose blocks change at random between ASCII, two-byte and wider
// characters (the mix of real exports), well-formed throughout, then with
// one byte changed or the end cut at a random place: the answer comes from
// deep inside, after many blocks carried characters into the next.
TEST_P(Utf8Prefix, LongMixedTextWithOneFault) {
    const std::string characters[] = {"\xC3\xA9", "\xCE\xB1", "\xDF\xBF", "\xE6\x9D\xB1", "\xE0\xA0\x80",
                                      "\xED\x9F\xBF", "\xEF\xBF\xBD", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
    const unsigned char replacements[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF, 'a'};
    for (std::uint64_t seed = 1; seed <= 200; ++seed) {
        std::mt19937_64 rng(seed);
        std::string text;
        while (text.size() < 6000) {
            const auto r = rng() % 4;
            if (r == 0) text.append(rng() % 150, 'a');  // an ASCII run, often longer than a block
            else if (r == 1) text += characters[rng() % 3];
            else text += characters[rng() % std::size(characters)];
        }
        ASSERT_EQ(valid_prefix(text), text.size()) << "seed " << seed;
        std::string changed = text;
        changed[rng() % changed.size()] = static_cast<char>(replacements[rng() % std::size(replacements)]);
        ASSERT_EQ(valid_prefix(changed), model_valid_prefix(changed)) << "seed " << seed << ", one byte changed";
        const std::string_view cut(text.data(), rng() % text.size());
        ASSERT_EQ(valid_prefix(cut), model_valid_prefix(cut)) << "seed " << seed << ", cut at " << cut.size();
    }
}

TEST(Utf8Latin1, FixedCharacters) {
    struct Case {
        std::uint8_t byte;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {0x00, std::string(1, '\0')}, {'A', "A"}, {0x7F, "\x7F"}, {0x80, "\xC2\x80"},
        {0xA9, "\xC2\xA9"},           {0xBF, "\xC2\xBF"}, {0xC0, "\xC3\x80"}, {0xE9, "\xC3\xA9"}, {0xFF, "\xC3\xBF"},
    };
    for (const auto& c : cases) {
        std::string out = "x";
        brinewick::append_latin1_char(out, c.byte);
        EXPECT_EQ(out, "x" + c.utf8) << "byte " << int{c.byte};
    }
}

TEST(Utf8Latin1, EveryByteIsItsOwnCodePoint) {
    std::string out;
    for (int b = 0; b < 256; ++b) brinewick::append_latin1_char(out, static_cast<std::uint8_t>(b));
    const auto cps = code_points_of_valid(out);
    ASSERT_EQ(cps.size(), 256u);
    for (std::size_t b = 0; b < 256; ++b) EXPECT_EQ(cps[b], static_cast<char32_t>(b));
    EXPECT_EQ(out.size(), 128u + 2u * 128u);
}

}  // namespace
