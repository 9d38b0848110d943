// Text formats a column may be typed by, and the per-column inference that
// picks one. A format is accepted only when reading the text as that type
// keeps what it says (a float to the nearest double); anything else stays a string.
//
//   int64      -?[1-9][0-9]* or 0 or -0 (read 0, as every reader does),
//              within int64. No '+', no leading zeros ("007" is an
//              identifier, not 7).
//   float64    -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? or -?\.[0-9]+(...)?
//              read as the correctly rounded double, however many digits it
//              is written with (numpy.savetxt's 5.118216247002567165e-01,
//              %.17g's 0.10000000000000001): "0.1", "1e5", "1.5E-3", ".5",
//              "-0" pass; "5." (a list label, a cut-off value), "+1", "01.5",
//              "1e400" and "1e-400" (out of range), an integer past int64
//              (a double would hold it inexactly) and nan/inf/NaN (words as
//              often as numbers) stay strings. Trailing zeros ("1.50") are not kept.
//   float64[decimal_comma]
//              -?(0|[1-9][0-9]*|[1-9][0-9]{0,2}(\.[0-9]{3})+)(,[0-9]+)?: a
//              decimal comma, dots between groups of three digits ("3,50",
//              "1.234,56", "-0,5"), as a German or French export writes it.
//              Stored as float64. Taken only when neither int64 nor float64
//              fits the whole column, so "1.000" alone is 1.0 (as pandas and
//              Polars read it) while "1.000" beside "3,50" is 1000.
//   int64[thousands_comma], float64[thousands_comma]
//              int64 and float64 with commas between groups of three digits
//              after a first group of one to three ("1,234,567", "1,234.56"),
//              when no thousands separator is given. Taken after the decimal
//              comma, so "1,234" alone stays 1.234; "1,234,567" or a point
//              after the groups shows that the commas group.
//   bool       true/false, True/False, TRUE/FALSE (not 0/1, yes/no, tRuE).
//   date32     YYYY-MM-DD, a valid proleptic Gregorian date in years 0001..9999.
//   date32[%d/%m/%Y], date32[%m/%d/%Y], date32[%d.%m.%Y]
//              DD/MM/YYYY, MM/DD/YYYY and DD.MM.YYYY, valid dates as above.
//              Day-first or month-first is decided per column, only when
//              the column settles it (a first part above 12 is a day, a
//              second part above 12 a day too); a column that fits both
//              stays a string, for dtypes to decide.
//   timestamp  YYYY-MM-DD[T ]HH:MM(:SS(.f{1,6})?)?(Z|[+-]HH:MM)? with HH<=23,
//              MM,SS<=59 (no leap second; no seconds written reads :00, as
//              pandas and Polars do), a fraction of at most six digits
//              (more would be cut). Stored as microseconds since the epoch:
//              a zoned value as its UTC instant (type timestamp[us, UTC]);
//              a value without a zone as its wall-clock reading (naive
//              timestamp[us]) since nothing says where it was taken. A column
//              that mixes zoned and unzoned values, or dates and date-times,
//              stays a string: no single reading fits them all.
//              The time may also be on the 12-hour clock: YYYY-MM-DD H:MM,
//              HH:MM, with seconds and fraction as above, then AM or PM
//              (am, pm; one space before it or none), H from 1 to 12 and
//              no zone ("2024-01-02 3:04 PM"). A single-digit hour without
//              AM/PM stays a string, as does 13:00 PM.
//   timestamp[%d/%m/%Y], timestamp[%m/%d/%Y], timestamp[%d.%m.%Y]
//              A date in one of the three forms of date32 above, a space,
//              then a time of day as above (24- or 12-hour clock), without
//              a zone: "01/02/2024 03:04:05 pm". Naive; day-first or
//              month-first is settled per column as for dates.
//
// Thousands separators (thousands=",", ".", " " or "'"): int64, float64
// and the decimal comma also take the integer part written in groups of
// three digits after a first group of one to three ("1,234,567",
// "-1 234,5"); mis-grouped text ("1,23", "12,3456", ",123") is not a number.
// The separator is then no decimal mark: thousands="," rules out the
// decimal comma, thousands="." the decimal point. With " " or "'" the decimal
// comma groups by that mark rather than by dots.
//
// Priority when several fit every value: int64, float64 (so "1","2.5" is
// float64), then the rest in the order of the enum (only the decimal comma
// overlaps the numbers, and comes after them). A column with no non-null
// value is a string column.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinewick::arrow {

enum class ColumnType : std::uint8_t {
    Utf8,          // "u" (or "U" with 64-bit offsets)
    Int64,         // "l"
    Float64,       // "g"
    Bool,          // "b"
    Date32,        // "tdD": days since 1970-01-01
    Timestamp,     // "tsu:": naive wall-clock microseconds
    TimestampUtc,  // "tsu:UTC": UTC microseconds
    Float64DecimalComma,  // "g", read from "1.234,56"
    Date32DayFirst,       // "tdD", read from DD/MM/YYYY
    Date32MonthFirst,     // "tdD", read from MM/DD/YYYY
    Date32DayFirstDots,   // "tdD", read from DD.MM.YYYY
    TimestampDayFirst,      // "tsu:", read from DD/MM/YYYY HH:MM...
    TimestampMonthFirst,    // "tsu:", read from MM/DD/YYYY HH:MM...
    TimestampDayFirstDots,  // "tsu:", read from DD.MM.YYYY HH:MM...
    Int64Commas,            // "l", read from "1,234,567"
    Float64Commas,          // "g", read from "1,234.56"
};

// "str", "int64", "float64", "bool", "date32", "timestamp", "timestamp[UTC]",
// "float64[decimal_comma]", "date32[%d/%m/%Y]", "date32[%m/%d/%Y]", "date32[%d.%m.%Y]",
// "timestamp[%d/%m/%Y]", "timestamp[%m/%d/%Y]", "timestamp[%d.%m.%Y]".
[[nodiscard]] std::string_view column_type_name(ColumnType type) noexcept;
// The inverse, also taking "string"/"utf8" for Utf8 and "float"/"int" aliases; nullopt if unknown.
[[nodiscard]] std::optional<ColumnType> column_type_from_name(std::string_view name) noexcept;

// Each returns true and sets `out` only when the whole text is in the format above.
[[nodiscard]] bool parse_int64(std::string_view text, std::int64_t& out) noexcept;
[[nodiscard]] bool parse_float64(std::string_view text, double& out) noexcept;
[[nodiscard]] bool parse_decimal_comma(std::string_view text, double& out) noexcept;
// The same with `thousands` (not 0) between groups of the integer part.
[[nodiscard]] bool parse_grouped_int64(std::string_view text, std::int64_t& out, char thousands) noexcept;
[[nodiscard]] bool parse_grouped_float64(std::string_view text, double& out, char thousands) noexcept;
[[nodiscard]] bool parse_grouped_decimal_comma(std::string_view text, double& out, char thousands) noexcept;
// Either, by `thousands` (0: none). Inlined: the usual read has none.
[[nodiscard]] inline bool parse_int64(std::string_view text, std::int64_t& out, char thousands) noexcept {
    return thousands == 0 ? parse_int64(text, out) : parse_grouped_int64(text, out, thousands);
}
[[nodiscard]] inline bool parse_float64(std::string_view text, double& out, char thousands) noexcept {
    return thousands == 0 ? parse_float64(text, out) : parse_grouped_float64(text, out, thousands);
}
[[nodiscard]] inline bool parse_decimal_comma(std::string_view text, double& out, char thousands) noexcept {
    return thousands == 0 ? parse_decimal_comma(text, out) : parse_grouped_decimal_comma(text, out, thousands);
}
// DD/MM/YYYY (`separator` '/', `day_first`), MM/DD/YYYY or DD.MM.YYYY.
[[nodiscard]] bool parse_date32_parts(std::string_view text, char separator, bool day_first,
                                      std::int32_t& days) noexcept;
[[nodiscard]] bool parse_bool(std::string_view text, bool& out) noexcept;
[[nodiscard]] bool parse_date32(std::string_view text, std::int32_t& days) noexcept;
// `zoned`: the text carried Z or an offset (and `micros` is then UTC).
[[nodiscard]] bool parse_timestamp(std::string_view text, std::int64_t& micros, bool& zoned) noexcept;
// DD/MM/YYYY HH:MM... and the like (see parse_date32_parts), naive.
[[nodiscard]] bool parse_timestamp_parts(std::string_view text, char separator, bool day_first,
                                         std::int64_t& micros) noexcept;

// Cell texts read as null besides the empty one (null_values=["NA", ...]);
// shared, so that the options carrying it copy cheaply.
class NullTexts {
public:
    NullTexts() = default;
    explicit NullTexts(std::vector<std::string> texts);
    [[nodiscard]] bool empty() const noexcept { return texts_ == nullptr; }
    [[nodiscard]] bool contains(std::string_view text) const noexcept {
        if (texts_ == nullptr) return false;
        for (const std::string& t : *texts_) {
            if (t == text) return true;
        }
        return false;
    }

private:
    std::shared_ptr<const std::vector<std::string>> texts_;  // null: none
};

// The types a column may still take, narrowed value by value. Once every
// type is ruled out it costs one compare per value.
//
// Tolerant (type_errors="null"): no type is ruled out; each counts the
// values it does not fit, and the column takes the type that the most
// values fit, if at least 99% of its non-null values do (the earlier type
// of the order below on a tie). The others become null.
class ColumnInference {
public:
    // A non-null value (the caller decides what is null).
    // `thousands`: the read's thousands separator (0: none).
    void observe(std::string_view value, bool tolerant = false, char thousands = 0) noexcept {
        seen_ = true;
        ++values_;
        if (candidates_ != 0 && !(thousands == 0 && plain_number_kept(value))) narrow(value, tolerant, thousands);
    }
    // A set of the types below (its candidates), as fitting() gives it.
    using TypeSet = std::uint16_t;
    // The types a value of `size` bytes that `type` reads certainly fits
    // (what narrow would keep of them); none for Utf8.
    [[nodiscard]] static TypeSet fitting(ColumnType type, std::size_t size, char thousands) noexcept {
        switch (type) {
            case ColumnType::Utf8: return 0;
            // A short integer is certainly a float too, in both forms (as in narrow).
            case ColumnType::Int64:
                return thousands != 0 ? kInt
                       : size <= DBL_DIG ? kInt | kFloat | kComma | kIntCommas | kFloatCommas
                                         : kInt | kIntCommas;
            case ColumnType::Float64: return thousands == 0 ? kFloat | kFloatCommas : kFloat;
            case ColumnType::Bool: return kBool;
            case ColumnType::Date32: return kDate;
            case ColumnType::Timestamp: return kNaive;
            case ColumnType::TimestampUtc: return kZoned;
            case ColumnType::Float64DecimalComma: return kComma;
            case ColumnType::Date32DayFirst: return kDayFirst;
            case ColumnType::Date32MonthFirst: return kMonthFirst;
            case ColumnType::Date32DayFirstDots: return kDayFirstDots;
            case ColumnType::TimestampDayFirst: return kStampDayFirst;
            case ColumnType::TimestampMonthFirst: return kStampMonthFirst;
            case ColumnType::TimestampDayFirstDots: return kStampDayFirstDots;
            case ColumnType::Int64Commas: return kIntCommas;
            case ColumnType::Float64Commas: return kFloatCommas;
        }
        return 0;
    }
    // observe, for a non-null value known to fit `fits`, when that covers
    // every candidate left (nothing to narrow, so no parse); false, with
    // nothing observed, when it does not.
    [[nodiscard]] bool observe_fitting(TypeSet fits) noexcept {
        if ((candidates_ & ~fits) != 0) return false;
        seen_ = true;
        ++values_;
        return true;
    }
    // Takes in what `other` saw, as if its values had come here too.
    void merge(const ColumnInference& other) noexcept {
        candidates_ &= other.candidates_;
        seen_ = seen_ || other.seen_;
        values_ += other.values_;
        for (std::size_t t = 0; t < kTypes; ++t) {
            const std::uint64_t sum = std::uint64_t{misfits_[t]} + other.misfits_[t];
            misfits_[t] = sum < kTooMany ? static_cast<std::uint32_t>(sum) : kTooMany;
        }
    }
    // Stops inferring: the column will be a string whatever follows.
    void settle_as_string() noexcept { candidates_ = 0; }
    [[nodiscard]] bool settled_as_string() const noexcept { return candidates_ == 0; }
    // `decimal` ',' (decimal=","): a dot is never a decimal point, so
    // float64 is not a choice ("1.000" is one thousand, "1.5" text); '.':
    // a comma never is; 0: decided by the column. A `thousands` separator
    // is no decimal mark either.
    [[nodiscard]] ColumnType result(char decimal = 0, char thousands = 0) const noexcept;
    // Whether `type` holds the column: every value seen so far is in its
    // format, or, tolerant, all but at most 1% (true for Utf8 and for a
    // column with no value yet).
    [[nodiscard]] bool admits(ColumnType type) const noexcept;
    // Values seen that `type` cannot hold (0 for Utf8).
    [[nodiscard]] std::uint64_t misfits(ColumnType type) const noexcept;

private:
    static constexpr std::size_t kTypes = 15;  // the bits below, in this order
    static constexpr std::uint16_t kInt = 1;
    static constexpr std::uint16_t kFloat = 2;
    static constexpr std::uint16_t kBool = 4;
    static constexpr std::uint16_t kDate = 8;
    static constexpr std::uint16_t kNaive = 16;  // timestamp without a zone
    static constexpr std::uint16_t kZoned = 32;  // timestamp with Z or an offset
    static constexpr std::uint16_t kComma = 64;  // decimal comma
    static constexpr std::uint16_t kDayFirst = 128;
    static constexpr std::uint16_t kMonthFirst = 256;
    static constexpr std::uint16_t kDayFirstDots = 512;
    static constexpr std::uint16_t kStampDayFirst = 1024;
    static constexpr std::uint16_t kStampMonthFirst = 2048;
    static constexpr std::uint16_t kStampDayFirstDots = 4096;
    static constexpr std::uint16_t kIntCommas = 8192;     // commas between groups of three
    static constexpr std::uint16_t kFloatCommas = 16384;  // the same, and a decimal point
    static constexpr std::uint16_t kAll = 32767;

    void narrow(std::string_view value, bool tolerant, char thousands) noexcept;

    // Whether `value` is a plain number that every candidate left holds, as
    // narrow would find (no thousands separator given): a column of
    // numbers, nearly every value of a typical file, is then decided here
    // without narrow's call and its readings. An integer of at most DBL_DIG
    // characters keeps the integer and float types (narrow's short
    // integer); a decimal of at most DBL_DIG digits keeps the float ones.
    [[nodiscard]] bool plain_number_kept(std::string_view value) const noexcept {
        constexpr std::uint16_t kInts = kInt | kIntCommas;
        constexpr std::uint16_t kShortInt = kInts | kFloat | kComma | kFloatCommas;
        constexpr std::uint16_t kFloats = kFloat | kFloatCommas;
        const bool ints = (candidates_ & ~kShortInt) == 0 && (candidates_ & kInts) != 0;
        const bool floats = (candidates_ & ~kFloats) == 0;
        if (!ints && !floats) return false;
        const std::size_t n = value.size();
        const std::size_t first = n != 0 && value[0] == '-' ? 1 : 0;
        std::size_t point = n;
        std::size_t digits = 0;
        for (std::size_t i = first; i < n; ++i) {
            const char c = value[i];
            if (c >= '0' && c <= '9') {
                ++digits;
            } else if (c == '.' && point == n) {
                point = i;
            } else {
                return false;
            }
        }
        const std::size_t int_len = (point == n ? n : point) - first;
        if (digits == 0 || digits > DBL_DIG || (int_len > 1 && value[first] == '0')) return false;
        if (point == n) return ints ? n <= DBL_DIG : floats;
        return floats && point + 1 < n;  // a digit after the point
    }
    [[nodiscard]] bool within_tolerance(std::size_t bit_index) const noexcept;

    std::uint16_t candidates_ = kAll;
    bool seen_ = false;
    std::uint64_t values_ = 0;
    // 32 bits a type, a column's inference being one of a million in a
    // wide table; kTooMany stands for that many or more, never tolerated.
    static constexpr std::uint32_t kTooMany = UINT32_MAX;
    std::uint32_t misfits_[kTypes] = {};
};

}  // namespace brinewick::arrow
