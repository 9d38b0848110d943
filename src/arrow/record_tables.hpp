// The records a pass set aside, as Arrow tables: the quarantine and the
// change records, with the columns of stream/records.hpp (the numbers
// int64, the rest text; a cell with nothing to say is null), built in
// batches on the caller's thread as the consumer pulls them.
#pragma once

#include <memory>

#include "c_data.hpp"
#include "parallel_read.hpp"

namespace brinewick::arrow {

[[nodiscard]] bool make_quarantine_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);
[[nodiscard]] bool make_changes_stream(std::shared_ptr<const ReadRecords> records, ArrowArrayStream* out);

}  // namespace brinewick::arrow
