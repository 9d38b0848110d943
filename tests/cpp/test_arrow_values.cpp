// Typing and naming for Arrow columns: which texts each type takes (and what
// it reads them as), how a column's values settle its type, and header names.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/column_names.hpp"
#include "arrow/schema_scan.hpp"
#include "arrow/values.hpp"

namespace brinewick::arrow {
namespace {

struct IntCase {
    const char* text;
    std::optional<std::int64_t> value;  // nullopt: not an int64 text
};

TEST(ArrowValues, Int64Format) {
    const IntCase cases[] = {
        {"0", 0},
        {"42", 42},
        {"-17", -17},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},   // one past the maximum
        {"-9223372036854775809", std::nullopt},  // one past the minimum
        {"-0", 0},                                // read 0, as pandas and Polars do
        {"007", std::nullopt},                    // the zeros would be lost
        {"00", std::nullopt},
        {"+1", std::nullopt},
        {"1 ", std::nullopt},
        {" 1", std::nullopt},
        {"1e5", std::nullopt},
        {"1.0", std::nullopt},
        {"-", std::nullopt},
        {"", std::nullopt},
        {"1_000", std::nullopt},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t v = 0;
        const bool ok = parse_int64(c.text, v);
        EXPECT_EQ(ok, c.value.has_value());
        if (ok && c.value) EXPECT_EQ(v, *c.value);
    }
}

struct FloatCase {
    const char* text;
    std::optional<double> value;
};

TEST(ArrowValues, Float64Format) {
    const FloatCase cases[] = {
        {"1e5", 1e5},
        {"1.5E-3", 1.5e-3},
        {".5", 0.5},
        {"-.5", -0.5},
        {"0.1", 0.1},
        {"1.50", 1.5},
        {"1.5e+3", 1500.0},
        {"3", 3.0},
        {"0.30000000000000004", 0.30000000000000004},  // 17 digits that round-trip
        {"5e-324", 5e-324},                             // smallest subnormal, shortest spelling
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"5.", std::nullopt},
        {".", std::nullopt},
        {"+1.5", std::nullopt},
        {"01.5", std::nullopt},
        {"1e", std::nullopt},
        {"e5", std::nullopt},
        {"1e400", std::nullopt},   // overflows
        {"1e-400", std::nullopt},  // underflows to zero
        // More digits than a double holds: the correctly rounded double.
        {"4.9e-324", 5e-324},
        {"0.1000000000000000055511151231257827", 0.1},
        {"5.118216247002567165e-01", 0.5118216247002567},  // numpy.savetxt's default
        {"0.10000000000000001", 0.1},                       // %.17g
        {"123456789.123456789", 123456789.12345679},
        {"9007199254740993", 9007199254740992.0},  // within int64: rounded as floats are
        {"12345678901234567890", std::nullopt},     // past int64: a double would be inexact
        {"-9223372036854775809", std::nullopt},
        {"nan", std::nullopt},
        {"NaN", std::nullopt},
        {"inf", std::nullopt},
        {"-Infinity", std::nullopt},
        {"1,5", std::nullopt},
        {"", std::nullopt},
    };
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(c.text);
        double v = 0;
        const bool ok = parse_float64(c.text, v);
        EXPECT_EQ(ok, c.value.has_value());
        if (ok && c.value) EXPECT_EQ(v, *c.value);
    }
    double v = 0;
    ASSERT_TRUE(parse_float64("-0", v));
    EXPECT_TRUE(std::signbit(v)) << "-0 keeps its sign as a float";
    ASSERT_TRUE(parse_float64("0.000", v));
    EXPECT_FALSE(std::signbit(v));
}

// Random texts of digits, points and minus signs against the grammar and
// strtod: where at most DBL_DIG significant digits make the value, a text
// is taken exactly when it is a plain decimal, as strtod reads it.
TEST(ArrowValues, Float64PlainDecimalsAgreeWithStrtod) {
    std::mt19937_64 rng(0xF10A7);
    const auto plain_decimal = [](const std::string& t) {
        const std::size_t first = !t.empty() && t[0] == '-' ? 1 : 0;
        const std::size_t point = t.find('.', first);
        const std::string whole = t.substr(first, point == std::string::npos ? std::string::npos : point - first);
        const std::string frac = point == std::string::npos ? "" : t.substr(point + 1);
        const auto digits = [](const std::string& s) {
            return s.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!digits(whole) || !digits(frac)) return false;
        if (point != std::string::npos && frac.empty()) return false;
        if (whole.empty() && frac.empty()) return false;
        return whole.size() <= 1 || whole[0] != '0';
    };
    int checked = 0;
    for (int k = 0; k < 200000; ++k) {
        std::string t;
        if (rng() % 3 == 0) t.push_back('-');
        const std::size_t length = rng() % 19;
        for (std::size_t i = 0; i < length; ++i) {
            const auto r = rng() % 40;
            t.push_back(r == 0 ? '.' : r == 1 ? '-' : r < 8 ? '0' : static_cast<char>('0' + rng() % 10));
        }
        std::size_t significant = 0;
        bool started = false;
        for (const char c : t) {
            started = started || (c >= '1' && c <= '9');
            significant += started && c >= '0' && c <= '9';
        }
        double got = 0;
        const bool taken = parse_float64(t, got);
        if (significant > DBL_DIG) {
            if (taken) EXPECT_EQ(got, std::strtod(t.c_str(), nullptr)) << t;
            continue;
        }
        ASSERT_EQ(taken, plain_decimal(t)) << t;
        if (!taken) continue;
        ++checked;
        const double want = std::strtod(t.c_str(), nullptr);
        ASSERT_EQ(got, want) << t;
        ASSERT_EQ(std::signbit(got), std::signbit(want)) << t;
    }
    EXPECT_GT(checked, 10000);
}

TEST(ArrowValues, DecimalCommaFormat) {
    const FloatCase cases[] = {
        {"3,50", 3.5},       {"1.234,56", 1234.56}, {"-0,5", -0.5},         {"12.345.678", 12345678.0},
        {"42", 42.0},        {"1.000", 1000.0},     {"0,001", 0.001},       {"1.23", std::nullopt},
        {"1.2345", std::nullopt}, {"1234.567", std::nullopt}, {"01,5", std::nullopt}, {",5", std::nullopt},
        {"5,", std::nullopt}, {"1,2,3", std::nullopt}, {"1.234.5", std::nullopt}, {".123,4", std::nullopt},
        {"+1,5", std::nullopt}, {"1 234,5", std::nullopt}, {"", std::nullopt},
    };
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(c.text);
        double v = 0;
        const bool ok = parse_decimal_comma(c.text, v);
        EXPECT_EQ(ok, c.value.has_value());
        if (ok && c.value) EXPECT_EQ(v, *c.value);
    }
}

// thousands=: each text as int64, float64 and decimal comma, by separator.
TEST(ArrowValues, GroupedNumbers) {
    struct Case {
        const char* text;
        char thousands;
        std::optional<std::int64_t> as_int;
        std::optional<double> as_float;
        std::optional<double> as_comma;
    };
    constexpr auto no = std::nullopt;
    const Case cases[] = {
        {"1,234,567", ',', 1234567, 1234567.0, no},
        {"-1,000", ',', -1000, -1000.0, no},
        {"1,234.5", ',', no, 1234.5, no},
        {"1234", ',', 1234, 1234.0, no},  // no separator at all is fine
        {"999,999,999,999,999,999", ',', 999999999999999999, 999999999999999999.0, no},
        {"1,23", ',', no, no, no},         // mis-grouped
        {"12,3456", ',', no, no, no},
        {"1234,567", ',', no, no, no},     // a first group of four
        {",123", ',', no, no, no},
        {"1,,234", ',', no, no, no},
        {"1,234,", ',', no, no, no},
        {"0,123", ',', no, no, no},        // a leading zero stays an identifier
        {"1,234.5,6", ',', no, no, no},
        {"1.234.567", '.', 1234567, 1234567.0, 1234567.0},
        {"1.234,56", '.', no, no, 1234.56},
        {"1.5", '.', no, no, no},
        {"1 234 567", ' ', 1234567, 1234567.0, 1234567.0},
        {"1 234,56", ' ', no, no, 1234.56},
        {"1 234.56", ' ', no, 1234.56, no},
        {"1.234,56", ' ', no, no, no},     // dots group nothing here
        {"1 23", ' ', no, no, no},
        {"1'234'567.25", '\'', no, 1234567.25, no},
        {"-12'345", '\'', -12345, -12345.0, -12345.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " with '" + c.thousands + "'");
        std::int64_t i = 0;
        double f = 0;
        double d = 0;
        const bool int_ok = parse_int64(c.text, i, c.thousands);
        const bool float_ok = parse_float64(c.text, f, c.thousands);
        const bool comma_ok = parse_decimal_comma(c.text, d, c.thousands);
        EXPECT_EQ(int_ok, c.as_int.has_value());
        EXPECT_EQ(float_ok, c.as_float.has_value());
        EXPECT_EQ(comma_ok, c.as_comma.has_value());
        if (int_ok && c.as_int) EXPECT_EQ(i, *c.as_int);
        if (float_ok && c.as_float) EXPECT_EQ(f, *c.as_float);
        if (comma_ok && c.as_comma) EXPECT_EQ(d, *c.as_comma);
    }
}

TEST(ArrowValues, BoolFormat) {
    const std::pair<const char*, std::optional<bool>> cases[] = {
        {"true", true},         {"True", true},         {"TRUE", true},
        {"false", false},       {"False", false},       {"FALSE", false},
        {"tRuE", std::nullopt}, {"1", std::nullopt},    {"yes", std::nullopt},
        {"t", std::nullopt},    {"true ", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        bool v = false;
        const bool ok = parse_bool(text, v);
        EXPECT_EQ(ok, want.has_value());
        if (ok && want) EXPECT_EQ(v, *want);
    }
}

TEST(ArrowValues, Date32Format) {
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"1970-01-01", 0},           {"1969-12-31", -1},          {"2024-02-29", 19782},
        {"2000-02-29", 11016},       {"0001-01-01", -719162},     {"9999-12-31", 2932896},
        {"2023-02-29", std::nullopt}, {"1900-02-29", std::nullopt}, {"2024-04-31", std::nullopt},
        {"2024-13-01", std::nullopt}, {"2024-00-10", std::nullopt}, {"0000-01-01", std::nullopt},
        {"2024-1-01", std::nullopt},  {"2024/01/01", std::nullopt}, {"2024-01-01 ", std::nullopt},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        std::int32_t v = 0;
        const bool ok = parse_date32(text, v);
        EXPECT_EQ(ok, want.has_value());
        if (ok && want) EXPECT_EQ(v, *want);
    }
}

struct TimestampCase {
    const char* text;
    std::optional<std::int64_t> micros;
    bool zoned = false;
};

TEST(ArrowValues, TimestampFormat) {
    const TimestampCase cases[] = {
        {"1970-01-01T00:00:00Z", 0, true},
        {"1970-01-01 00:00:01", 1000000, false},
        {"1970-01-01T01:00:00+01:00", 0, true},
        {"1970-01-01T00:00:00-00:30", 1800000000, true},
        {"2024-02-29T12:34:56.789Z", 1709210096789000, true},
        {"2024-02-29T12:34:56.000001", 1709210096000001, false},
        {"1969-12-31T23:59:59.5", -500000, false},
        {"2024-02-29T12:34:56.1234567Z", std::nullopt},  // below a microsecond
        {"2024-02-29T12:34:56.Z", std::nullopt},
        {"2024-02-29T24:00:00", std::nullopt},
        {"2024-02-29T23:59:60", std::nullopt},  // leap second
        {"2024-02-29T12:34", 1709210040000000, false},  // no seconds: :00
        {"2024-02-29 12:34Z", 1709210040000000, true},
        {"2024-02-29T12:34:5", std::nullopt},
        {"2024-02-29T12:3", std::nullopt},
        {"2024-02-29T12:34:56+0100", std::nullopt},
        {"2024-02-29T12:34:56+01", std::nullopt},
        {"2024-02-29T12:34:56z", std::nullopt},
        {"2024-02-29t12:34:56", std::nullopt},
        {"2023-02-29T00:00:00", std::nullopt},
        {"2024-02-29", std::nullopt},
        {"1970-01-01 3:04 PM", (15 * 3600 + 4 * 60) * 1000000LL, false},
        {"1970-01-01 03:04:05.5pm", (15 * 3600 + 4 * 60 + 5) * 1000000LL + 500000, false},
        {"1970-01-01 12:00 AM", 0, false},   // midnight
        {"1970-01-01 12:30 pm", 45000000000, false},
        {"1970-01-01 11:59:59 Am", std::nullopt},
        {"1970-01-01 0:30 AM", std::nullopt},
        {"1970-01-01 13:00 PM", std::nullopt},
        {"1970-01-01 3:04", std::nullopt},   // which half of the day is not said
        {"1970-01-01 3:04:00", std::nullopt},
        {"1970-01-01 3:04 PMZ", std::nullopt},
        {"1970-01-01 03:04 PM+01:00", std::nullopt},
        {"1970-01-01 03:04  PM", std::nullopt},
    };
    for (const TimestampCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t v = 0;
        bool zoned = false;
        const bool ok = parse_timestamp(c.text, v, zoned);
        EXPECT_EQ(ok, c.micros.has_value());
        if (ok && c.micros) {
            EXPECT_EQ(v, *c.micros);
            EXPECT_EQ(zoned, c.zoned);
        }
    }
}

TEST(ArrowValues, TimestampWithWrittenDate) {
    struct Case {
        const char* text;
        char separator;
        bool day_first;
        std::optional<std::int64_t> micros;
    };
    constexpr std::int64_t kDay = 86400LL * 1000000;
    const Case cases[] = {
        {"02/01/1970 03:04:05 pm", '/', true, kDay + (15 * 3600 + 4 * 60 + 5) * 1000000LL},
        {"01/02/1970 03:04:05 pm", '/', false, kDay + (15 * 3600 + 4 * 60 + 5) * 1000000LL},
        {"02.01.1970 23:59", '.', true, kDay + (23 * 3600 + 59 * 60) * 1000000LL},
        {"31/12/1969 12:00 AM", '/', true, -kDay},
        {"13/01/1970 10:00", '/', false, std::nullopt},  // no 13th month
        {"02/01/1970 3:04", '/', true, std::nullopt},
        {"02/01/1970T03:04", '/', true, std::nullopt},
        {"02/01/1970 03:04Z", '/', true, std::nullopt},  // zones only with ISO dates
        {"02/01/1970", '/', true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t v = 0;
        const bool ok = parse_timestamp_parts(c.text, c.separator, c.day_first, v);
        EXPECT_EQ(ok, c.micros.has_value());
        if (ok && c.micros) EXPECT_EQ(v, *c.micros);
    }
}

struct InferCase {
    const char* what;
    std::vector<std::string_view> values;  // one column, no header
    ColumnType want;
    bool empty_as_null = true;
    char thousands = 0;
    std::vector<std::string> null_values = {};
};

TEST(ArrowValues, ColumnInference) {
    using T = ColumnType;
    const InferCase cases[] = {
        {"ints", {"1", "-2", "30"}, T::Int64},
        {"int64 extremes", {"9223372036854775807", "-9223372036854775808"}, T::Int64},
        {"one past int64 max", {"1", "9223372036854775808"}, T::Utf8},
        {"ints then a decimal", {"1", "2", "2.5"}, T::Float64},
        {"scientific", {"1e5", "1.5E-3", ".5"}, T::Float64},
        {"minus zero", {"1", "-0"}, T::Int64},
        {"leading zeros demote", {"1", "2", "007"}, T::Utf8},
        {"trailing dot demotes", {"1.5", "5."}, T::Utf8},
        {"big int then decimal", {"9007199254740993", "0.5"}, T::Float64},
        {"past int64 then decimal", {"0.5", "9223372036854775808"}, T::Utf8},
        {"long decimals", {"5.118216247002567165e-01", "0.10000000000000001"}, T::Float64},
        {"nan demotes", {"1.0", "nan"}, T::Utf8},
        {"decimal commas", {"3,50", "1.234,56", "12"}, T::Float64DecimalComma},
        {"dots alone are decimal points", {"1.000", "2.500"}, T::Float64},
        {"a dot beside a decimal comma groups thousands", {"1.000", "3,50"}, T::Float64DecimalComma},
        {"decimal point and comma mixed", {"1.5", "3,50"}, T::Utf8},
        {"day first", {"31/01/2024", "01/02/2024"}, T::Date32DayFirst},
        {"month first", {"01/31/2024", "02/01/2024"}, T::Date32MonthFirst},
        {"day or month, unsettled", {"01/02/2024", "03/04/2024"}, T::Utf8},
        {"dotted dates", {"31.01.2024", "01.02.2024"}, T::Date32DayFirstDots},
        {"bools", {"true", "False", "TRUE"}, T::Bool},
        {"bool and 1", {"true", "1"}, T::Utf8},
        {"dates", {"2024-02-29", "1999-12-31"}, T::Date32},
        {"invalid date demotes", {"2024-02-29", "2023-02-29"}, T::Utf8},
        {"naive timestamps", {"2024-01-01 10:00:00", "2024-01-01T10:00:00.5"}, T::Timestamp},
        {"zoned timestamps", {"2024-01-01T10:00:00Z", "2024-01-01T10:00:00+02:00"}, T::TimestampUtc},
        {"zoned and naive mixed", {"2024-01-01T10:00:00Z", "2024-01-01T10:00:00"}, T::Utf8},
        {"dates and timestamps", {"2024-01-01", "2024-01-01T10:00:00"}, T::Utf8},
        {"words", {"a", "1"}, T::Utf8},
        {"no values", {}, T::Utf8},
        {"only nulls", {"", ""}, T::Utf8},
        {"nulls among ints", {"1", "", "3"}, T::Int64},
        {"empty string is a value", {"1", "", "3"}, T::Utf8, false},
        {"non-ascii", {"1", "\xC2\xB9"}, T::Utf8},
        {"grouped ints", {"1,234", "12", "-1,000,000"}, T::Int64, true, ','},
        {"grouped decimals", {"1,234.5", "12"}, T::Float64, true, ','},
        {"mis-grouped", {"1,234", "1,23"}, T::Utf8, true, ','},
        {"without the option a comma is a decimal comma", {"1,234", "12"}, T::Float64DecimalComma},
        {"a comma that groups is no decimal comma", {"3,500"}, T::Int64, true, ','},
        {"dots that group", {"1.234", "5"}, T::Int64, true, '.'},
        {"dots that group beside a decimal comma", {"1.234", "5,5"}, T::Float64DecimalComma, true, '.'},
        {"a dot that groups is no decimal point", {"1.5"}, T::Utf8, true, '.'},
        {"spaces", {"1 234,56", "7"}, T::Float64DecimalComma, true, ' '},
        {"12-hour clock", {"2024-01-02 3:04 PM", "2024-01-02 11:00:59 am"}, T::Timestamp},
        {"12-hour beside 24-hour", {"2024-01-02 3:04 PM", "2024-01-02 23:00"}, T::Timestamp},
        {"12-hour without AM/PM", {"2024-01-02 3:04", "2024-01-02 11:00"}, T::Utf8},
        {"day-first date-times", {"31/01/2024 3:04 PM", "01/02/2024 10:00"}, T::TimestampDayFirst},
        {"month-first date-times", {"01/31/2024 15:04", "02/01/2024 10:00 am"}, T::TimestampMonthFirst},
        {"date-times either way", {"01/02/2024 3:04 PM", "03/04/2024 10:00"}, T::Utf8},
        {"dotted date-times", {"31.01.2024 15:04", "01.02.2024 10:00"}, T::TimestampDayFirstDots},
        {"written dates and date-times", {"31/01/2024", "01/02/2024 10:00"}, T::Utf8},
        {"null texts among ints", {"1", "NA", "3", "null"}, T::Int64, true, 0, {"NA", "null"}},
        {"other texts stay values", {"1", "NA", "n/a"}, T::Utf8, true, 0, {"NA"}},
        {"only null texts", {"NA", "NA"}, T::Utf8, true, 0, {"NA"}},
    };
    for (const InferCase& c : cases) {
        SCOPED_TRACE(c.what);
        SchemaScanner scan({.header = false,
                            .infer = true,
                            .empty_as_null = c.empty_as_null,
                            .thousands = c.thousands,
                            .null_texts = NullTexts(c.null_values)});
        for (const std::string_view v : c.values) scan.add_row(std::span<const std::string_view>(&v, 1));
        auto result = scan.columns();
        ASSERT_TRUE(std::holds_alternative<std::vector<ColumnSpec>>(result));
        const auto& specs = std::get<std::vector<ColumnSpec>>(result);
        if (c.values.empty()) {
            EXPECT_TRUE(specs.empty());
        } else {
            ASSERT_EQ(specs.size(), 1u);
            EXPECT_EQ(column_type_name(specs[0].type), column_type_name(c.want));
        }
    }
}

// type_errors="null": the type the most values fit, when 99% of them do.
TEST(ArrowValues, TolerantInference) {
    using T = ColumnType;
    struct Case {
        const char* what;
        std::size_t good;
        std::string_view good_value;
        std::size_t bad;
        std::string_view bad_value;
        bool tolerant;
        ColumnType want;
        std::uint64_t misfits;  // of `want`
    };
    const Case cases[] = {
        {"one bad in 200", 199, "42", 1, "n/a", true, T::Int64, 1},
        {"exactly 1%", 99, "42", 1, "n/a", true, T::Int64, 1},
        {"over 1%", 98, "42", 2, "n/a", true, T::Utf8, 0},
        {"not tolerant", 199, "42", 1, "n/a", false, T::Utf8, 0},
        {"decimals widen rather than go null", 995, "42", 5, "2.5", true, T::Float64, 0},
        {"dates keep their type", 150, "2024-01-31", 1, "31/01/2024", true, T::Date32, 1},
        {"one bad value alone", 0, "", 1, "x", true, T::Utf8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ColumnInference col;
        for (std::size_t k = 0; k < c.good; ++k) col.observe(c.good_value, c.tolerant);
        for (std::size_t k = 0; k < c.bad; ++k) col.observe(c.bad_value, c.tolerant);
        EXPECT_EQ(col.result(), c.want);
        EXPECT_EQ(col.misfits(c.want), c.misfits);
        // Seen in two halves and merged, the same.
        ColumnInference first;
        ColumnInference second;
        for (std::size_t k = 0; k < c.good; ++k) (k % 2 == 0 ? first : second).observe(c.good_value, c.tolerant);
        for (std::size_t k = 0; k < c.bad; ++k) second.observe(c.bad_value, c.tolerant);
        first.merge(second);
        EXPECT_EQ(first.result(), c.want);
    }
}

// A column narrows to what all its values fit, whatever their order: the
// types a column of random numbers ends with, value by value (where plain
// numbers are decided without narrow once only number types are left),
// against each value's own reading from a fresh column.
TEST(ArrowValues, InferenceOfNumbersIsEachValuesReadingTogether) {
    std::mt19937_64 rng(0x1F3);
    const auto pick = [&](std::string_view chars) { return chars[rng() % chars.size()]; };
    const auto number = [&] {
        std::string v;
        if (rng() % 4 == 0) v.push_back('-');
        const std::size_t whole = rng() % 18;
        for (std::size_t k = 0; k < whole; ++k) v.push_back(pick(k == 0 && rng() % 8 != 0 ? "123456789" : "0123456789"));
        if (rng() % 2 == 0) {
            v.push_back(pick(rng() % 10 == 0 ? ",." : "."));
            const std::size_t frac = rng() % 8;
            for (std::size_t k = 0; k < frac; ++k) v.push_back(pick("0123456789"));
        }
        return v;
    };
    constexpr ColumnType kTypes[] = {ColumnType::Int64, ColumnType::Float64, ColumnType::Bool,
                                     ColumnType::Date32, ColumnType::Float64DecimalComma,
                                     ColumnType::Int64Commas, ColumnType::Float64Commas};
    for (int column = 0; column < 3000; ++column) {
        ColumnInference together;
        std::vector<bool> admitted(std::size(kTypes), true);
        std::string seen;
        for (int k = 0; k < 12; ++k) {
            const std::string v = number();
            seen += v + " ";
            together.observe(v);
            ColumnInference alone;
            alone.observe(v);
            for (std::size_t t = 0; t < std::size(kTypes); ++t) admitted[t] = admitted[t] && alone.admits(kTypes[t]);
        }
        for (std::size_t t = 0; t < std::size(kTypes); ++t) {
            ASSERT_EQ(together.admits(kTypes[t]), admitted[t]) << seen << "type " << t;
        }
    }
}

TEST(ArrowValues, StringModeLooksAtNoValue) {
    SchemaScanner scan({.header = true, .infer = false, .empty_as_null = true});
    const std::vector<std::string_view> head = {"n", "d"};
    const std::vector<std::string_view> row = {"1", "2024-01-01", "x"};
    scan.add_row(head);
    scan.add_row(row);
    const auto specs = std::get<std::vector<ColumnSpec>>(scan.columns());
    ASSERT_EQ(specs.size(), 3u);
    for (const ColumnSpec& s : specs) EXPECT_EQ(s.type, ColumnType::Utf8) << s.name;
    EXPECT_EQ(specs[2].name, "column_3");
    EXPECT_EQ(scan.data_rows(), 1u);
}

TEST(ArrowValues, Overrides) {
    SchemaScanner scan({.header = true, .infer = true, .empty_as_null = true});
    const std::vector<std::vector<std::string_view>> rows = {
        {"zip", "n", "x"}, {"01234", "1", "1"}, {"12345", "2", "2.5"}};
    for (const auto& r : rows) scan.add_row(r);

    const auto inferred = std::get<std::vector<ColumnSpec>>(scan.columns());
    EXPECT_EQ(inferred[0].type, ColumnType::Utf8);
    EXPECT_EQ(inferred[1].type, ColumnType::Int64);
    EXPECT_EQ(inferred[2].type, ColumnType::Float64);

    struct Case {
        const char* what;
        TypeOverrides overrides;
        std::optional<std::vector<ColumnType>> want;  // nullopt: an error
    };
    const Case cases[] = {
        {"int kept as str", {{"n", ColumnType::Utf8}}, std::vector{ColumnType::Utf8, ColumnType::Utf8, ColumnType::Float64}},
        {"int widened to float", {{"n", ColumnType::Float64}}, std::vector{ColumnType::Utf8, ColumnType::Float64, ColumnType::Float64}},
        {"zip forced to int", {{"zip", ColumnType::Int64}}, std::nullopt},   // "01234" is not an int
        {"decimal forced to int", {{"x", ColumnType::Int64}}, std::nullopt},
        {"unknown name", {{"nope", ColumnType::Utf8}}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto result = scan.columns(c.overrides);
        if (!c.want) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result));
            EXPECT_FALSE(std::get<std::string>(result).empty());
            continue;
        }
        const auto& specs = std::get<std::vector<ColumnSpec>>(result);
        ASSERT_EQ(specs.size(), c.want->size());
        for (std::size_t i = 0; i < specs.size(); ++i) EXPECT_EQ(specs[i].type, (*c.want)[i]) << i;
    }
}

struct NamesCase {
    std::vector<std::string_view> header;
    std::size_t width;
    std::vector<std::string> want;
};

TEST(ArrowValues, HeaderNames) {
    const NamesCase cases[] = {
        {{"a", "b"}, 2, {"a", "b"}},
        {{"", "b", " \t"}, 3, {"column_1", "b", "column_3"}},
        {{"a", "a", "a"}, 3, {"a", "a_2", "a_3"}},
        {{"a", "a", "a_2"}, 3, {"a", "a_3", "a_2"}},  // the real a_2 keeps its name
        {{"a_2", "a", "a"}, 3, {"a_2", "a", "a_3"}},
        {{"column_2", ""}, 2, {"column_2", "column_2_2"}},
        {{"", "column_1"}, 2, {"column_1_2", "column_1"}},  // a later real name wins
        {{"x"}, 3, {"x", "column_2", "column_3"}},           // rows wider than the header
        {{"column_3", "b"}, 3, {"column_3", "b", "column_3_2"}},
        {{}, 3, {"column_1", "column_2", "column_3"}},        // header=false
        {{" a "}, 1, {" a "}},                                // names are not trimmed
        {{"A", "a"}, 2, {"A", "a"}},
        {{"", ""}, 2, {"column_1", "column_2"}},
        // A NUL would end the exported name: it becomes U+FFFD before the renaming.
        {{std::string_view("a\0", 2), std::string_view("a\0b", 3)}, 2, {"a\xEF\xBF\xBD", "a\xEF\xBF\xBD" "b"}},
        {{std::string_view("a\0", 2), "a\xEF\xBF\xBD"}, 2, {"a\xEF\xBF\xBD", "a\xEF\xBF\xBD_2"}},
        {{std::string_view("\0", 1)}, 1, {"\xEF\xBF\xBD"}},
    };
    for (const NamesCase& c : cases) {
        std::string label;
        for (const auto h : c.header) label += "[" + std::string(h) + "]";
        SCOPED_TRACE(label);
        EXPECT_EQ(column_names(c.header, c.width), c.want);
    }
}

}  // namespace
}  // namespace brinewick::arrow
