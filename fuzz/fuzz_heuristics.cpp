// Delimiter sniffing and column-count inference against the plain model of
// heuristics_model.hpp (ties to the wider count, equal scores to the earlier
// candidate), and the blank-text test against Unicode White_Space.
//
// Input: a delimiter byte for inference, then the sample.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "heuristics/heuristics.hpp"
#include "heuristics_model.hpp"
#include "reference_parser.hpp"

namespace {

using brinewick_fuzz::fail;
using brinewick_fuzz::latin1_utf8;

void check_infer(std::string_view sample, std::uint8_t delimiter) {
    const std::size_t got = brinewick::infer_column_count(sample, delimiter);
    const std::size_t want = brinewick_test::model_infer(sample, delimiter);
    if (got != want) {
        fail("infer_column_count " + std::to_string(got) + ", model " + std::to_string(want), sample,
             "delimiter " + brinewick_test::printable(std::string(1, static_cast<char>(delimiter))));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brinewick_fuzz::FuzzInput input(data, size);
    const std::uint8_t delimiter = input.byte();
    const std::string_view sample = input.rest();

    const std::uint8_t sniffed = brinewick::sniff_delimiter(sample);
    const std::uint8_t expected = brinewick_test::model_sniff(sample);
    if (sniffed != expected) {
        fail("sniff_delimiter " + brinewick_test::printable(latin1_utf8(sniffed)) + ", model " +
                 brinewick_test::printable(latin1_utf8(expected)),
             sample, "");
    }
    check_infer(sample, sniffed);
    if (delimiter != sniffed) check_infer(sample, delimiter);

    const std::string text = brinewick_test::reference_decode(sample);
    if (brinewick::is_blank_text(text) != brinewick_test::model_blank(text)) {
        fail("is_blank_text disagrees with White_Space", text, "");
    }
    return 0;
}
