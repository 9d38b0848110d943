// The records a pass set aside, as Arrow tables: the quarantine ("line",
// "byte_offset", "reason", "raw") and the change records ("line",
// "byte_offset", "change", "detail"), built in batches on the caller's
// thread as the consumer pulls them.
#pragma once

#include <memory>

#include "c_data.hpp"
#include "parallel_read.hpp"

namespace brinewick::arrow {

[[nodiscard]] bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);
[[nodiscard]] bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);

}  // namespace brinewick::arrow
