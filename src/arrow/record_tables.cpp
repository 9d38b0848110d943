#include "record_tables.hpp"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "array_stream.hpp"
#include "batch_builder.hpp"

namespace brinewick::arrow {
namespace {

// One of the two tables, a bounded batch per call.
class RecordsProducer final : public BatchProducer {
public:
    RecordsProducer(std::shared_ptr<const ReadRecords> records, bool quarantine)
        : records_(std::move(records)),
          quarantine_(quarantine),
          builder_(
              {{"line", ColumnType::Int64},
               {"byte_offset", ColumnType::Int64},
               {quarantine ? "reason" : "change", ColumnType::Utf8},
               {quarantine ? "raw" : "detail", ColumnType::Utf8}},
              BatchOptions{BatchLimits{}, false, false}) {}

    Status schema(ArrowSchema* out) override {
        builder_.export_schema(out);
        return Status::ok();
    }

    Status next(ArrowArray* out) override {
        const std::size_t count = quarantine_ ? records_->quarantine.size() : records_->changes.size();
        char line[24];
        char offset[24];
        while (next_ < count && !builder_.full()) {
            std::uint64_t line_no = 0;
            std::uint64_t byte_offset = 0;
            std::string_view third;
            std::string_view fourth;
            if (quarantine_) {
                const QuarantineRecord& r = records_->quarantine[next_];
                line_no = r.line;
                byte_offset = r.byte_offset;
                third = r.reason;
                fourth = r.raw;
            } else {
                const ChangeRecord& r = records_->changes[next_];
                line_no = r.line;
                byte_offset = r.byte_offset;
                third = stream::change_kind_name(r.kind);
                fourth = r.detail;
            }
            const auto l = std::to_chars(line, line + sizeof line, line_no);
            const auto o = std::to_chars(offset, offset + sizeof offset, byte_offset);
            const std::string_view fields[4] = {{line, static_cast<std::size_t>(l.ptr - line)},
                                                {offset, static_cast<std::size_t>(o.ptr - offset)}, third, fourth};
            const AppendResult result = builder_.append_row(std::span<const std::string_view>(fields));
            if (result == AppendResult::Full) break;
            if (result == AppendResult::Refused) return builder_.refusal();
            ++next_;
        }
        if (builder_.rows() > 0) builder_.finish(out);
        return Status::ok();
    }

private:
    std::shared_ptr<const ReadRecords> records_;
    bool quarantine_;
    BatchBuilder builder_;
    std::size_t next_ = 0;
};

}  // namespace

bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), true), out);
}

bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out) {
    return make_array_stream(std::make_unique<RecordsProducer>(std::move(records), false), out);
}

}  // namespace brinewick::arrow
