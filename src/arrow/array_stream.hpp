// An ArrowArrayStream over a C++ producer of batches: get_next asks the
// producer for the next batch, so the engine runs only as the consumer
// pulls. The stream is consumed once; after release everything is freed.
#pragma once

#include <memory>

#include "../error/status.hpp"
#include "c_data.hpp"

namespace brinewick::arrow {

class BatchProducer {
public:
    virtual ~BatchProducer() = default;
    // Fills `out` with the schema every batch follows.
    virtual Status schema(ArrowSchema* out) = 0;
    // Fills `out` with the next batch, or marks it released (release = NULL)
    // at the end. May throw: std::bad_alloc fails as out of memory, anything
    // else as an internal fault.
    virtual Status next(ArrowArray* out) = 0;
};

// Makes `out` a stream over `producer` (which it owns from now on). A
// failure's Status becomes the callback's errno (Status::error_number) and
// get_last_error's text. After a failure every later get_next returns the
// same error; after the end, every later get_next returns the end again.
// False (out untouched, the producer destroyed) when memory for the
// stream's state runs out.
[[nodiscard]] bool make_array_stream(std::unique_ptr<BatchProducer> producer, ArrowArrayStream* out) noexcept;

}  // namespace brinewick::arrow
