// Chunk-parallel salvage: the input is cut at line breaks into chunks that
// worker threads parse and classify, and one ordered writer puts their
// results out while later chunks are parsed. The outputs are byte for byte
// those of stream_rows on one thread.
//
// A chunk starts either at a row or inside a quoted field that began
// earlier (at a line break nothing else is possible: a break outside quotes
// ends the row, and the stray-quote look-ahead never leaves its line). Each
// worker reads its chunk both ways at once: from a row start, and from
// inside a quoted field until that field's row ends and the two readings
// meet at a common row start, after which they are one. The writer keeps
// the reading that the previous chunk's true end selects, and parses the row
// that crosses the boundary again from its first byte.
#pragma once

#include <variant>

#include "atomic_output.hpp"
#include "input_window.hpp"
#include "stream_rows.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream {

struct ParallelOutputs {
    AtomicOutput* clean;
    AtomicOutput* quarantine;  // may be null
    AtomicOutput* changes;     // may be null
};

// Salvages the input in `window` with settings.jobs worker threads, writing
// to `outputs`.
// Requires neither settings.options.delimiter nor quote_char to be a line
// break (CR or LF): rows must end at line breaks outside quotes for chunks
// cut there to start at rows. Such options are refused with an error
// (What::Io, EINVAL); stream_rows reads them on one thread.
// With `one_thread` (a sink writing to the same outputs), an input that the
// dialect's settling read whole over many reads (a few long rows, which
// threads cannot share out) goes on into that sink on this thread instead.
[[nodiscard]] Result<StreamSummary> parallel_stream_rows(InputWindow& window, const StreamSettings& settings,
                                                         const ParallelOutputs& outputs, StreamControl& control,
                                                         StreamSink* one_thread = nullptr);

}  // namespace brinewick::stream
