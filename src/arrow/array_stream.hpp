// An ArrowArrayStream over a C++ producer of batches: get_next asks the
// producer for the next batch, so the engine runs only as the consumer
// pulls. The stream is consumed once; after release everything is freed.
#pragma once

#include <memory>
#include <string>

#include "c_data.hpp"

namespace brinewick::arrow {

class BatchProducer {
public:
    virtual ~BatchProducer() = default;
    // Fills `out` with the schema every batch follows. Returns 0, or an errno
    // value (EIO, ENOMEM, EINVAL, ECANCELED, ...) with `error` set.
    virtual int schema(ArrowSchema* out, std::string& error) = 0;
    // Fills `out` with the next batch, or marks it released (release = NULL)
    // at the end. Returns 0, or an errno value with `error` set. May throw;
    // std::bad_alloc becomes ENOMEM, anything else EIO.
    virtual int next(ArrowArray* out, std::string& error) = 0;
};

// Makes `out` a stream over `producer` (which it owns from now on). After
// a failure every later get_next returns the same error; after the end,
// every later get_next returns the end again. False (out untouched, the
// producer destroyed) when memory for the stream's state runs out.
[[nodiscard]] bool make_array_stream(std::unique_ptr<BatchProducer> producer, ArrowArrayStream* out) noexcept;

}  // namespace brinewick::arrow
