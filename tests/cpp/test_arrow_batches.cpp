// Arrow batches: the exact buffers a table becomes, batch limits, random rows
// read back through the buffers, release exactly once (batches, children,
// moved children, streams in every state) and the stream's error handling.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow.hpp"
#include "parser/row_buffer.hpp"

#include "test_support.hpp"

namespace brinewick::arrow {
namespace {

using Cell = std::optional<std::string>;  // nullopt: null
using Row = std::vector<std::string_view>;

// Releases an array or schema at scope exit unless already released.
template <typename T>
struct Owned {
    T value{};
    Owned() { value.release = nullptr; }
    ~Owned() {
        if (value.release != nullptr) value.release(&value);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T* operator->() { return &value; }
    T* get() { return &value; }
};

bool bit(const void* bitmap, std::size_t i) {
    return (static_cast<const std::uint8_t*>(bitmap)[i / 8] >> (i % 8) & 1) != 0;
}

bool valid(const ArrowArray& a, std::size_t i) { return a.buffers[0] == nullptr || bit(a.buffers[0], i); }

// A string column's cells, read through its offsets and bytes.
std::vector<Cell> string_cells(const ArrowArray& a, bool large = false) {
    std::vector<Cell> out;
    const auto* data = static_cast<const char*>(a.buffers[2]);
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.length); ++i) {
        if (!valid(a, i)) {
            out.emplace_back();
            continue;
        }
        std::int64_t b = 0;
        std::int64_t e = 0;
        if (large) {
            b = static_cast<const std::int64_t*>(a.buffers[1])[i];
            e = static_cast<const std::int64_t*>(a.buffers[1])[i + 1];
        } else {
            b = static_cast<const std::int32_t*>(a.buffers[1])[i];
            e = static_cast<const std::int32_t*>(a.buffers[1])[i + 1];
        }
        out.emplace_back(std::string(data + b, static_cast<std::size_t>(e - b)));
    }
    return out;
}

template <typename T>
std::vector<T> values(const ArrowArray& a) {
    std::vector<T> out(static_cast<std::size_t>(a.length));
    std::memcpy(out.data(), a.buffers[1], out.size() * sizeof(T));
    return out;
}

std::vector<int> bits(const void* bitmap, std::size_t n) {
    std::vector<int> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(bit(bitmap, i) ? 1 : 0);
    return out;
}

TEST(ArrowBatches, ExactStringBuffers) {
    const std::int64_t before = live_buffers();
    {
        BatchBuilder b({{"name", ColumnType::Utf8}, {"note", ColumnType::Utf8}}, BatchOptions{});
        const std::vector<Row> rows = {{"ab", "x"}, {"", "y"}, {"c"}, {"\xC3\xA9", ""}};
        for (const Row& r : rows) ASSERT_EQ(b.append_row(r), AppendResult::Ok);
        Owned<ArrowArray> batch;
        b.finish(batch.get());

        EXPECT_EQ(batch->length, 4);
        EXPECT_EQ(batch->n_children, 2);
        EXPECT_EQ(batch->n_buffers, 1);
        EXPECT_EQ(batch->buffers[0], nullptr);
        const ArrowArray& name = *batch->children[0];
        EXPECT_EQ(name.n_buffers, 3);
        EXPECT_EQ(name.null_count, 1);
        const auto* off = static_cast<const std::int32_t*>(name.buffers[1]);
        EXPECT_EQ(std::vector<std::int32_t>(off, off + 5), (std::vector<std::int32_t>{0, 2, 2, 3, 5}));
        EXPECT_EQ(std::string(static_cast<const char*>(name.buffers[2]), 5), "abc\xC3\xA9");
        EXPECT_EQ(bits(name.buffers[0], 4), (std::vector<int>{1, 0, 1, 1}));

        const ArrowArray& note = *batch->children[1];
        EXPECT_EQ(note.null_count, 2);  // the missing cell and the empty one
        EXPECT_EQ(string_cells(note), (std::vector<Cell>{"x", "y", std::nullopt, std::nullopt}));
    }
    EXPECT_EQ(live_buffers(), before);
}

TEST(ArrowBatches, EmptyIsAStringWithoutEmptyAsNull) {
    BatchOptions options;
    options.empty_as_null = false;
    BatchBuilder b({{"a", ColumnType::Utf8}, {"b", ColumnType::Utf8}}, options);
    const std::vector<Row> rows = {{"", "x"}, {"y"}};
    for (const Row& r : rows) ASSERT_EQ(b.append_row(r), AppendResult::Ok);
    Owned<ArrowArray> batch;
    b.finish(batch.get());
    const ArrowArray& a = *batch->children[0];
    EXPECT_EQ(a.null_count, 0);
    EXPECT_EQ(a.buffers[0], nullptr) << "no bitmap for a column without nulls";
    EXPECT_EQ(string_cells(a), (std::vector<Cell>{"", "y"}));
    // A cell past a short row's end is missing, not empty: still null.
    EXPECT_EQ(string_cells(*batch->children[1]), (std::vector<Cell>{"x", std::nullopt}));
}

TEST(ArrowBatches, ExactTypedBuffers) {
    const std::vector<ColumnSpec> specs = {{"i", ColumnType::Int64},     {"f", ColumnType::Float64},
                                           {"b", ColumnType::Bool},      {"d", ColumnType::Date32},
                                           {"t", ColumnType::Timestamp}, {"z", ColumnType::TimestampUtc}};
    BatchBuilder b(specs, BatchOptions{});
    const std::vector<Row> rows = {
        {"1", "1.5", "true", "1970-01-02", "1970-01-01 00:00:01", "1970-01-01T01:00:00+01:00"},
        {"", "", "", "", "", ""},
        {"-9223372036854775808", "-0", "False", "1969-12-31", "1970-01-01T00:00:00.000001", "1970-01-01T00:00:00Z"},
        {"7", "1e5", "TRUE"},
    };
    for (const Row& r : rows) ASSERT_EQ(b.append_row(r), AppendResult::Ok);
    Owned<ArrowArray> batch;
    b.finish(batch.get());
    ASSERT_EQ(batch->n_children, 6);
    const auto& c = batch->children;

    EXPECT_EQ(c[0]->n_buffers, 2);
    EXPECT_EQ(c[0]->null_count, 1);
    EXPECT_EQ(bits(c[0]->buffers[0], 4), (std::vector<int>{1, 0, 1, 1}));
    const auto ints = values<std::int64_t>(*c[0]);
    EXPECT_EQ(ints[0], 1);
    EXPECT_EQ(ints[2], INT64_MIN);
    EXPECT_EQ(ints[3], 7);

    const auto floats = values<double>(*c[1]);
    EXPECT_EQ(floats[0], 1.5);
    EXPECT_TRUE(std::signbit(floats[2]));
    EXPECT_EQ(floats[3], 1e5);

    EXPECT_EQ(bits(c[2]->buffers[0], 4), (std::vector<int>{1, 0, 1, 1}));
    const auto bools = bits(c[2]->buffers[1], 4);
    EXPECT_EQ(bools[0], 1);
    EXPECT_EQ(bools[2], 0);
    EXPECT_EQ(bools[3], 1);

    const auto dates = values<std::int32_t>(*c[3]);
    EXPECT_EQ(dates[0], 1);
    EXPECT_EQ(dates[2], -1);
    EXPECT_EQ(c[3]->null_count, 2);

    const auto naive = values<std::int64_t>(*c[4]);
    EXPECT_EQ(naive[0], 1000000);
    EXPECT_EQ(naive[2], 1);
    const auto utc = values<std::int64_t>(*c[5]);
    EXPECT_EQ(utc[0], 0);
    EXPECT_EQ(utc[2], 0);
}

TEST(ArrowBatches, RefusedRowLeavesNothingBehind) {
    const std::int64_t before = live_buffers();
    {
        BatchBuilder b({{"s", ColumnType::Utf8}, {"n", ColumnType::Int64}}, BatchOptions{});
        const Row good1 = {"a", "1"};
        const Row bad_value = {"bbbb", "12x"};
        const Row too_wide = {"c", "3", "extra"};
        const Row good2 = {"d", ""};
        ASSERT_EQ(b.append_row(good1), AppendResult::Ok);
        ASSERT_EQ(b.append_row(bad_value), AppendResult::Refused);
        EXPECT_EQ(b.refusal().kind(), Status::Kind::Invalid);
        EXPECT_NE(b.refusal().message().find("'n'"), std::string::npos) << b.refusal().message();
        EXPECT_NE(b.refusal().message().find("12x"), std::string::npos) << b.refusal().message();
        ASSERT_EQ(b.append_row(too_wide), AppendResult::Refused);
        EXPECT_NE(b.refusal().message().find("3 fields"), std::string::npos) << b.refusal().message();
        ASSERT_EQ(b.append_row(good2), AppendResult::Ok);
        EXPECT_EQ(b.rows(), 2u);

        Owned<ArrowArray> batch;
        b.finish(batch.get());
        EXPECT_EQ(string_cells(*batch->children[0]), (std::vector<Cell>{"a", "d"}));
        const auto* off = static_cast<const std::int32_t*>(batch->children[0]->buffers[1]);
        EXPECT_EQ(off[2], 2) << "the refused row's bytes were taken back";
        EXPECT_EQ(batch->children[1]->null_count, 1);
        EXPECT_EQ(bits(batch->children[1]->buffers[0], 2), (std::vector<int>{1, 0}));
    }
    EXPECT_EQ(live_buffers(), before);
}

// Width learned as rows come: a wider row adds columns, null above it.
TEST(ArrowBatches, AddColumnsMidBatch) {
    BatchBuilder b({{"a", ColumnType::Utf8}}, BatchOptions{});
    const Row narrow = {"x"};
    const Row wide = {"y", "1", "z"};
    ASSERT_EQ(b.append_row(narrow), AppendResult::Ok);
    ASSERT_EQ(b.append_row(wide), AppendResult::Refused);
    const std::vector<ColumnSpec> more = {{"column_2", ColumnType::Int64}, {"column_3", ColumnType::Utf8}};
    b.add_columns(more);
    ASSERT_EQ(b.append_row(wide), AppendResult::Ok);
    ASSERT_EQ(b.append_row(narrow), AppendResult::Ok);
    Owned<ArrowArray> batch;
    b.finish(batch.get());
    ASSERT_EQ(batch->n_children, 3);
    EXPECT_EQ(bits(batch->children[1]->buffers[0], 3), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(values<std::int64_t>(*batch->children[1])[1], 1);
    EXPECT_EQ(string_cells(*batch->children[2]), (std::vector<Cell>{std::nullopt, "z", std::nullopt}));
    Owned<ArrowSchema> schema;
    b.export_schema(schema.get());
    EXPECT_STREQ(schema->children[2]->name, "column_3");
}

TEST(ArrowBatches, RowBufferInput) {
    RowBuffer row;
    row.push_text_field("x", true, false);
    row.push_text_field("\xE2\x82\xAC", false, false);
    row.push_text_field("", true, false);
    BatchBuilder b({{"a", ColumnType::Utf8}, {"b", ColumnType::Utf8}, {"c", ColumnType::Utf8}}, BatchOptions{});
    ASSERT_EQ(b.append_row(row), AppendResult::Ok);
    Owned<ArrowArray> batch;
    b.finish(batch.get());
    EXPECT_EQ(string_cells(*batch->children[1]), (std::vector<Cell>{"\xE2\x82\xAC"}));
    EXPECT_EQ(string_cells(*batch->children[2]), (std::vector<Cell>{std::nullopt}));
}

TEST(ArrowBatches, LargeStringOffsets) {
    BatchOptions options;
    options.large_strings = true;
    BatchBuilder b({{"s", ColumnType::Utf8}}, options);
    const std::vector<Row> rows = {{"ab"}, {""}, {"cde"}};
    for (const Row& r : rows) ASSERT_EQ(b.append_row(r), AppendResult::Ok);
    Owned<ArrowSchema> schema;
    b.export_schema(schema.get());
    EXPECT_STREQ(schema->children[0]->format, "U");
    Owned<ArrowArray> batch;
    b.finish(batch.get());
    const auto* off = static_cast<const std::int64_t*>(batch->children[0]->buffers[1]);
    EXPECT_EQ(std::vector<std::int64_t>(off, off + 4), (std::vector<std::int64_t>{0, 2, 2, 5}));
}

TEST(ArrowBatches, SchemaExport) {
    const std::vector<ColumnSpec> specs = {{"s", ColumnType::Utf8},      {"i", ColumnType::Int64},
                                           {"f", ColumnType::Float64},   {"b", ColumnType::Bool},
                                           {"d", ColumnType::Date32},    {"t", ColumnType::Timestamp},
                                           {"z", ColumnType::TimestampUtc}};
    Owned<ArrowSchema> schema;
    export_schema(specs, false, schema.get());
    EXPECT_STREQ(schema->format, "+s");
    EXPECT_EQ(schema->flags, 0);
    ASSERT_EQ(schema->n_children, 7);
    const char* formats[] = {"u", "l", "g", "b", "tdD", "tsu:", "tsu:UTC"};
    for (std::size_t i = 0; i < specs.size(); ++i) {
        EXPECT_STREQ(schema->children[i]->format, formats[i]);
        EXPECT_EQ(schema->children[i]->name, specs[i].name);
        EXPECT_EQ(schema->children[i]->flags, ARROW_FLAG_NULLABLE);
    }
    // A child moved out lives on after the parent is released.
    ArrowSchema moved = *schema->children[0];
    schema->children[0]->release = nullptr;
    schema->release(schema.get());
    EXPECT_STREQ(moved.name, "s");
    moved.release(&moved);
    EXPECT_EQ(moved.release, nullptr);
}

TEST(ArrowBatches, LimitsCutBatches) {
    struct Case {
        std::size_t max_rows;
        std::size_t max_bytes;
        std::vector<std::size_t> want;  // rows per batch for 5 rows of 8 bytes of text
    };
    const Case cases[] = {
        {2, 1u << 20, {2, 2, 1}},
        {100, 1u << 20, {5}},
        {100, 1, {1, 1, 1, 1, 1}},  // each row alone passes the byte limit
        {100, 30, {3, 2}},          // 12 bytes a row (text + offset): full after 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.max_rows) + "/" + std::to_string(c.max_bytes));
        BatchOptions options;
        options.limits = {c.max_rows, c.max_bytes};
        BatchBuilder b({{"s", ColumnType::Utf8}}, options);
        std::vector<std::size_t> got;
        for (int r = 0; r < 5; ++r) {
            const std::string text = "abcdefg" + std::to_string(r);
            const Row row = {text};
            ASSERT_EQ(b.append_row(row), AppendResult::Ok);
            if (b.full()) {
                got.push_back(b.rows());
                Owned<ArrowArray> batch;
                b.finish(batch.get());
            }
        }
        if (b.rows() > 0) got.push_back(b.rows());
        EXPECT_EQ(got, c.want);
    }
}

// Random rows through small batches and back out through the buffers.
TEST(ArrowBatches, RandomRowsReadBack) {
    const unsigned seed = test_support::test_seed();
    std::cout << "[ seed ] ArrowBatches " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pieces[] = {"a", "xyz", "", ",", "\xC3\xA9", "\xF0\x9F\x98\x80", std::string(1, '\0')};
    const std::int64_t before = live_buffers();
    for (const bool empty_as_null : {true, false}) {
        for (const bool large : {false, true}) {
            const std::size_t width = 1 + rng() % 6;
            std::vector<ColumnSpec> specs(width);
            for (std::size_t i = 0; i < width; ++i) specs[i].name = "c" + std::to_string(i);
            BatchOptions options;
            options.empty_as_null = empty_as_null;
            options.large_strings = large;
            options.limits = {1 + rng() % 50, 1 + rng() % 2000};
            BatchBuilder b(specs, options);

            std::vector<std::vector<Cell>> want;  // per row, width cells
            std::vector<std::vector<Cell>> got;
            auto drain = [&] {
                Owned<ArrowArray> batch;
                b.finish(batch.get());
                for (std::int64_t r = 0; r < batch->length; ++r) got.emplace_back();
                const std::size_t first = got.size() - static_cast<std::size_t>(batch->length);
                for (std::size_t c = 0; c < width; ++c) {
                    const auto cells = string_cells(*batch->children[c], large);
                    for (std::size_t r = 0; r < cells.size(); ++r) got[first + r].push_back(cells[r]);
                }
            };
            for (int r = 0; r < 3000; ++r) {
                std::vector<std::string> fields(rng() % (width + 1));
                for (std::string& f : fields) {
                    const unsigned n = rng() % 4;
                    for (unsigned k = 0; k < n; ++k) f += pieces[rng() % std::size(pieces)];
                }
                std::vector<std::string_view> views(fields.begin(), fields.end());
                ASSERT_EQ(b.append_row(views), AppendResult::Ok);
                std::vector<Cell> cells;
                for (std::size_t c = 0; c < width; ++c) {
                    if (c >= fields.size() || (fields[c].empty() && empty_as_null)) {
                        cells.emplace_back();
                    } else {
                        cells.emplace_back(fields[c]);
                    }
                }
                want.push_back(std::move(cells));
                if (b.full()) drain();
            }
            drain();
            ASSERT_EQ(got, want);
        }
    }
    EXPECT_EQ(live_buffers(), before);
}

// Counts calls of the release callbacks by wrapping them.
struct ReleaseCounter {
    static inline int batches = 0;
    static inline int columns = 0;
    static inline void (*batch_release)(ArrowArray*) = nullptr;
    static inline void (*column_release)(ArrowArray*) = nullptr;

    static void count_batch(ArrowArray* a) {
        ++batches;
        batch_release(a);
    }
    static void count_column(ArrowArray* a) {
        ++columns;
        column_release(a);
    }
    static void instrument(ArrowArray* batch) {
        batches = columns = 0;
        batch_release = batch->release;
        batch->release = count_batch;
        for (std::int64_t i = 0; i < batch->n_children; ++i) {
            column_release = batch->children[i]->release;
            batch->children[i]->release = count_column;
        }
    }
};

ArrowArray three_column_batch() {
    BatchBuilder b({{"a", ColumnType::Utf8}, {"b", ColumnType::Int64}, {"c", ColumnType::Utf8}}, BatchOptions{});
    const std::vector<Row> rows = {{"x", "1", ""}, {"", "", "z"}};
    for (const Row& r : rows) {
        if (b.append_row(r) != AppendResult::Ok) throw std::runtime_error(b.refusal().message());
    }
    ArrowArray out;
    b.finish(&out);
    return out;
}

TEST(ArrowBatches, ReleaseFreesOnceThroughTheParent) {
    const std::int64_t before = live_buffers();
    ArrowArray batch = three_column_batch();
    EXPECT_GT(live_buffers(), before);
    ReleaseCounter::instrument(&batch);
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
    EXPECT_EQ(ReleaseCounter::batches, 1);
    EXPECT_EQ(ReleaseCounter::columns, 3);
    EXPECT_EQ(live_buffers(), before);
}

TEST(ArrowBatches, MovedChildOutlivesItsParent) {
    const std::int64_t before = live_buffers();
    ArrowArray batch = three_column_batch();
    ReleaseCounter::instrument(&batch);
    // Moving, as consumers do: copy the struct, mark the source released.
    ArrowArray moved = *batch.children[2];
    batch.children[2]->release = nullptr;
    const std::int64_t with_all = live_buffers();
    batch.release(&batch);
    EXPECT_EQ(ReleaseCounter::columns, 2) << "the moved child is not released by the parent";
    EXPECT_GT(live_buffers(), before);
    EXPECT_LT(live_buffers(), with_all);
    EXPECT_EQ(string_cells(moved), (std::vector<Cell>{std::nullopt, "z"}));
    moved.release(&moved);
    EXPECT_EQ(ReleaseCounter::columns, 3);
    EXPECT_EQ(live_buffers(), before);
}

// Hands out `batches` batches of two rows, or fails at batch `fail_at`.
class TestProducer : public BatchProducer {
public:
    // From batch `fail_at` on: fails with `failure`, or throws std::bad_alloc when it is ok.
    TestProducer(int batches, int* destroyed, int fail_at = -1, Status failure = Status::ok())
        : builder_({{"s", ColumnType::Utf8}}, BatchOptions{}),
          batches_(batches),
          destroyed_(destroyed),
          fail_at_(fail_at),
          failure_(std::move(failure)) {}
    ~TestProducer() override { ++*destroyed_; }

    Status schema(ArrowSchema* out) override {
        builder_.export_schema(out);
        return Status::ok();
    }
    Status next(ArrowArray* out) override {
        if (made_ == fail_at_) {
            if (failure_.is_ok()) throw std::bad_alloc();
            return failure_;
        }
        if (made_ == batches_) return Status::ok();  // out stays released: the end
        for (int r = 0; r < 2; ++r) {
            const std::string text = "b" + std::to_string(made_) + "r" + std::to_string(r);
            const std::string_view view(text);
            if (builder_.append_row(std::span(&view, 1)) != AppendResult::Ok) return builder_.refusal();
        }
        ++made_;
        builder_.finish(out);
        return Status::ok();
    }

private:
    BatchBuilder builder_;
    int batches_;
    int made_ = 0;
    int* destroyed_;
    int fail_at_;
    Status failure_;
};

TEST(ArrowStream, EveryStateReleasesEverything) {
    struct Case {
        const char* what;
        int take;  // batches read before release; -1: also read the end
    };
    const Case cases[] = {{"unconsumed", 0}, {"half consumed", 2}, {"fully consumed", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::int64_t before = live_buffers();
        int destroyed = 0;
        ArrowArrayStream stream;
        ASSERT_TRUE(make_array_stream(std::make_unique<TestProducer>(4, &destroyed), &stream));
        Owned<ArrowSchema> schema;
        ASSERT_EQ(stream.get_schema(&stream, schema.get()), 0);
        EXPECT_STREQ(schema->format, "+s");
        std::vector<std::string> seen;
        const int take = c.take < 0 ? 5 : c.take;
        for (int i = 0; i < take; ++i) {
            ArrowArray batch;
            ASSERT_EQ(stream.get_next(&stream, &batch), 0);
            if (batch.release == nullptr) break;
            for (const Cell& cell : string_cells(*batch.children[0])) seen.push_back(*cell);
            batch.release(&batch);
        }
        if (c.take < 0) {
            EXPECT_EQ(seen.size(), 8u);
            EXPECT_EQ(seen.back(), "b3r1");
            ArrowArray again;
            ASSERT_EQ(stream.get_next(&stream, &again), 0);
            EXPECT_EQ(again.release, nullptr) << "the end stays the end";
        } else {
            EXPECT_EQ(seen.size(), static_cast<std::size_t>(2 * c.take));
        }
        stream.release(&stream);
        EXPECT_EQ(stream.release, nullptr);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(live_buffers(), before);
    }
}

TEST(ArrowStream, BatchOutlivesTheStream) {
    const std::int64_t before = live_buffers();
    int destroyed = 0;
    ArrowArrayStream stream;
    ASSERT_TRUE(make_array_stream(std::make_unique<TestProducer>(2, &destroyed), &stream));
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    stream.release(&stream);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(string_cells(*batch.children[0]), (std::vector<Cell>{"b0r0", "b0r1"}));
    batch.release(&batch);
    EXPECT_EQ(live_buffers(), before);
}

// Each kind of failure as the C stream reports it: its errno (which a
// consumer such as pyarrow turns into its exception) and its text.
TEST(ArrowStream, FailuresAreReportedAndSticky) {
    struct Case {
        Status failure;  // ok: the producer throws std::bad_alloc
        int code;
        const char* message;
    };
    const Case cases[] = {
        {Status::io(IoError::from_errno(EIO), {}, "input changed while read"), EIO, "input changed while read"},
        {Status::io(IoError::from_errno(EACCES), "in.csv"), EACCES, "in.csv: Permission denied (os error 13)"},
        {Status::io(IoError{IoError::Kind::WriteZero, 0}, "in.csv"), EIO, "in.csv: failed to write whole buffer"},
        {Status::ok(), ENOMEM, "out of memory while building an Arrow batch"},
        {Status::out_of_memory(), ENOMEM, "out of memory while building an Arrow batch"},
        {Status::out_of_memory("in.csv"), ENOMEM, "in.csv: out of memory"},
        {Status::invalid("column 'n' is int64 but holds 'x'"), EINVAL, "column 'n' is int64 but holds 'x'"},
        {Status::cancelled(), ECANCELED, "interrupted while reading the input"},
        {Status::internal("cannot start the reading thread", EAGAIN), EAGAIN, "cannot start the reading thread"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::int64_t before = live_buffers();
        int destroyed = 0;
        ArrowArrayStream stream;
        ASSERT_TRUE(make_array_stream(std::make_unique<TestProducer>(4, &destroyed, 1, c.failure), &stream));
        EXPECT_EQ(stream.get_last_error(&stream), nullptr);
        ArrowArray first;
        ASSERT_EQ(stream.get_next(&stream, &first), 0);
        first.release(&first);
        for (int attempt = 0; attempt < 2; ++attempt) {
            ArrowArray batch;
            EXPECT_EQ(stream.get_next(&stream, &batch), c.code);
            EXPECT_EQ(batch.release, nullptr);
            const char* error = stream.get_last_error(&stream);
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(std::string(error), c.message);
        }
        stream.release(&stream);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(live_buffers(), before);
    }
}

// Batches made as strings before the width and types were known, then
// converted to the final columns.
TEST(ArrowBatches, ConvertStringBatch) {
    const std::int64_t before = live_buffers();
    {
        BatchBuilder strings({{"n", ColumnType::Utf8}, {"s", ColumnType::Utf8}}, BatchOptions{});
        const std::vector<Row> rows = {{"1", "007"}, {"", "x"}, {"-5"}};
        for (const Row& r : rows) ASSERT_EQ(strings.append_row(r), AppendResult::Ok);
        ArrowArray in;
        strings.finish(&in);
        const std::vector<ColumnSpec> final_columns = {
            {"n", ColumnType::Int64}, {"s", ColumnType::Utf8}, {"column_3", ColumnType::Int64}};
        Owned<ArrowArray> out;
        ASSERT_EQ(convert_batch(&in, false, final_columns, false, out.get()), "");
        EXPECT_EQ(in.release, nullptr) << "the input batch is consumed";
        ASSERT_EQ(out->n_children, 3);
        EXPECT_EQ(out->length, 3);
        const ArrowArray& n = *out->children[0];
        EXPECT_EQ(bits(n.buffers[0], 3), (std::vector<int>{1, 0, 1}));
        EXPECT_EQ(values<std::int64_t>(n)[0], 1);
        EXPECT_EQ(values<std::int64_t>(n)[2], -5);
        EXPECT_EQ(string_cells(*out->children[1]), (std::vector<Cell>{"007", "x", std::nullopt}));
        EXPECT_EQ(out->children[2]->null_count, 3);

        // A value that does not fit: an error naming it, the input still freed.
        BatchBuilder again({{"s", ColumnType::Utf8}}, BatchOptions{});
        const Row bad = {"12x"};
        ASSERT_EQ(again.append_row(bad), AppendResult::Ok);
        ArrowArray in2;
        again.finish(&in2);
        Owned<ArrowArray> out2;
        const std::vector<ColumnSpec> as_int = {{"s", ColumnType::Int64}};
        const std::string error = convert_batch(&in2, false, as_int, false, out2.get());
        EXPECT_NE(error.find("12x"), std::string::npos) << error;
        EXPECT_EQ(out2->release, nullptr);
        EXPECT_EQ(in2.release, nullptr);
    }
    EXPECT_EQ(live_buffers(), before);
}

// A cell as comparable text: "null", or its value's bytes (strings through
// their offsets, bools as one bit, fixed widths as their raw bytes).
std::string cell_text(const ArrowArray& a, ColumnType type, std::size_t i) {
    if (!valid(a, i)) return "null";
    switch (type) {
        case ColumnType::Utf8: return *string_cells(a)[i];
        case ColumnType::Bool: return bit(a.buffers[1], i) ? "1" : "0";
        case ColumnType::Date32: return std::string(static_cast<const char*>(a.buffers[1]) + 4 * i, 4);
        default: return std::string(static_cast<const char*>(a.buffers[1]) + 8 * i, 8);
    }
}

std::vector<std::vector<std::string>> batch_cells(const ArrowArray& batch, const std::vector<ColumnSpec>& specs) {
    std::vector<std::vector<std::string>> out;
    for (std::size_t c = 0; c < specs.size(); ++c) {
        std::vector<std::string> column;
        for (std::size_t r = 0; r < static_cast<std::size_t>(batch.length); ++r) {
            column.push_back(cell_text(*batch.children[c], specs[c].type, r));
        }
        EXPECT_EQ(batch.children[c]->length, batch.length);
        std::int64_t nulls = 0;
        for (const std::string& v : column) nulls += v == "null" ? 1 : 0;
        EXPECT_EQ(batch.children[c]->null_count, nulls) << "column " << c;
        out.push_back(std::move(column));
    }
    return out;
}

// Dropping the first rows of a builder leaves what appending only the rest
// builds: bitmaps shifted across byte boundaries, string offsets rebased.
TEST(ArrowBatches, DropFrontKeepsExactlyTheRest) {
    const std::vector<ColumnSpec> specs = {{"s", ColumnType::Utf8},  {"i", ColumnType::Int64},
                                           {"f", ColumnType::Float64}, {"b", ColumnType::Bool},
                                           {"d", ColumnType::Date32},  {"t", ColumnType::Timestamp}};
    std::vector<Row> rows;
    const char* texts[] = {"", "x", "longer text", "", "é"};
    const char* ints[] = {"1", "", "-5", "77"};
    const char* bools[] = {"true", "false", "", "TRUE", "False"};
    const char* dates[] = {"2024-01-01", "", "1969-12-31"};
    std::vector<std::string> keep;
    keep.reserve(21);  // the rows view these strings
    for (std::size_t i = 0; i < 21; ++i) {
        keep.push_back(std::to_string(i) + ".5");
        rows.push_back({texts[i % 5], ints[i % 4], i % 6 == 0 ? std::string_view() : std::string_view(keep.back()),
                        bools[i % 5], dates[i % 3], i % 2 ? "1970-01-01 00:00:01" : ""});
    }
    for (const std::size_t drop : {0, 1, 3, 7, 8, 9, 16, 20, 21, 30}) {
        for (const bool nulls : {true, false}) {
            BatchOptions options;
            options.empty_as_null = nulls;
            BatchBuilder all(specs, options);
            BatchBuilder rest(specs, options);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const bool fits = all.append_row(rows[i]) == AppendResult::Ok;
                if (!fits) continue;  // "" is not an int64 without empty_as_null
                if (i >= drop) ASSERT_EQ(rest.append_row(rows[i]), AppendResult::Ok);
            }
            const std::size_t kept = all.rows() - std::min(all.rows(), drop);
            all.drop_front(drop);
            ASSERT_EQ(all.rows(), kept);
            Owned<ArrowArray> got;
            Owned<ArrowArray> want;
            all.finish(got.get());
            rest.finish(want.get());
            if (nulls) EXPECT_EQ(batch_cells(*got.get(), specs), batch_cells(*want.get(), specs)) << "drop " << drop;
            // Appending after a drop goes on from the rows kept.
            all.clear();
            EXPECT_EQ(all.rows(), 0u);
            ASSERT_EQ(all.append_row(rows[1]), nulls ? AppendResult::Ok : AppendResult::Refused);
        }
    }
}

// Leading nulls are written only when a value follows or the batch outgrows
// the shared zeros: either way the cells read back the same, for every type,
// after a drop of the first rows too.
TEST(ArrowBatches, LeadingNullsReadBack) {
    const std::vector<ColumnSpec> specs = {{"s", ColumnType::Utf8},  {"i", ColumnType::Int64},
                                           {"f", ColumnType::Float64}, {"b", ColumnType::Bool},
                                           {"d", ColumnType::Date32},  {"t", ColumnType::Timestamp}};
    const Row value = {"x", "7", "2.5", "true", "2024-01-01", "1970-01-01 00:00:01"};
    BatchOptions options;
    options.limits = {std::size_t{1} << 20, std::size_t{1} << 30};
    BatchBuilder one(specs, options);
    ASSERT_EQ(one.append_row(value), AppendResult::Ok);
    Owned<ArrowArray> reference;
    one.finish(reference.get());
    const std::vector<std::vector<std::string>> value_cells = batch_cells(*reference.get(), specs);
    const std::int64_t before = live_buffers();
    for (const std::size_t nulls : {0, 1, 9, 1500, 40000}) {
        for (const bool then_value : {false, true}) {
            for (const std::size_t drop : {0, 5}) {
                BatchBuilder b(specs, options);
                for (std::size_t r = 0; r < nulls; ++r) ASSERT_EQ(b.append_row(Row{}), AppendResult::Ok);
                if (then_value) ASSERT_EQ(b.append_row(value), AppendResult::Ok);
                b.drop_front(drop);
                const std::size_t rows = nulls + (then_value ? 1 : 0) - std::min(drop, nulls + (then_value ? 1 : 0));
                Owned<ArrowArray> got;
                b.finish(got.get());
                ASSERT_EQ(static_cast<std::size_t>(got->length), rows);
                const auto cells = batch_cells(*got.get(), specs);
                for (std::size_t c = 0; c < specs.size(); ++c) {
                    for (std::size_t r = 0; r < rows; ++r) {
                        const bool is_value = then_value && r + 1 == rows;
                        ASSERT_EQ(cells[c][r], is_value ? value_cells[c][0] : "null")
                            << "nulls " << nulls << " column " << c << " row " << r;
                    }
                }
            }
        }
    }
    EXPECT_EQ(live_buffers(), before);
}

}  // namespace
}  // namespace brinewick::arrow
