// The chunk-parallel pipeline under both the parallel salvage and the
// parallel Arrow reader: the input is cut at line breaks into chunks that
// worker threads parse and classify, and one ordered consumer places their
// results while later chunks are parsed. What a worker makes of a row (clean
// CSV bytes, Arrow cells, nothing but counts) is a Formatter's business; the
// pipeline only decides which rows count and on which line each stands.
//
// A chunk starts either at a row or inside a quoted field that began
// earlier (at a line break nothing else is possible: a break outside quotes
// ends the row, and the stray-quote look-ahead never leaves its line). Each
// worker reads its chunk both ways at once: from a row start, and from
// inside a quoted field until that field's row ends and the two readings
// meet at a common row start, after which they are one. The consumer keeps
// the reading that the previous chunk's true end selects, and parses the row
// that crosses the boundary again from its first byte.
//
// The parts, each in its own file:
//   chunk_cutter.hpp   chunks cut off the input window at line breaks
//   chunk_reading.hpp  a chunk's two readings; the Formatter contract (ChunkFormatter)
//   worker_pool.hpp    the threads that read chunks
//   chunk_placer.hpp   readings placed in order; the Emitter contract (ChunkEmitter)
// and run_pipeline below, which wires them together.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "chunk_cutter.hpp"
#include "chunk_placer.hpp"
#include "chunk_reading.hpp"
#include "input_window.hpp"
#include "stream_salvage.hpp"
#include "worker_pool.hpp"

namespace brinewick::stream::pipeline {

// Told where the parse stands after each chunk placed, but the last: the
// chunk's end offset, the line there, and whether a row runs on past it.
using CutHook = std::function<void(std::uint64_t offset, std::size_t line, bool in_row)>;

// Runs the pipeline over the window (its view starts at the span's first
// byte, behind any BOM): cuts chunks, parses them on `jobs` threads with
// at most two chunks per thread in flight, and places them in order.
// Returns the line after the last row placed.
template <ChunkFormatter F, ChunkEmitter<F> E>
[[nodiscard]] Result<std::size_t> run_pipeline(
    InputWindow& window, std::size_t jobs, std::size_t chunk_size, const Shared& shared,
    std::function<F()> make_formatter, E& emitter, const Span& span, std::atomic<bool>& abort,
    const std::atomic<bool>& cancel, const CutHook& on_cut = nullptr) {
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    F formatter = make_formatter();
    Placer<F, E> placer(shared, formatter, emitter, span);
    // The consumer parses too whenever it has nothing to read or place, so
    // `jobs` threads in all parse: one fewer in the pool. A pool as large
    // as `jobs` would leave the consumer sharing a core, and the workers
    // waiting on it for chunks while another core stood idle.
    WorkerPool<F> pool(std::max<std::size_t>(jobs, 1) - 1, shared, std::move(make_formatter), abort);
    const std::size_t in_flight = 2 * std::max<std::size_t>(jobs, 1);  // one parsed, one waiting
    std::deque<std::shared_ptr<Job<F>>> queued;
    std::vector<std::shared_ptr<Job<F>>> spare;  // placed, their memory kept for later chunks
    bool input_done = false;
    bool past_end = false;  // the chunk that ends the span is cut
    for (;;) {
        while (!queued.empty() && pool.done(*queued.front())) {
            Job<F>& job = *queued.front();
            if (job.result.fault) throw std::runtime_error("a salvage worker failed");
            if (!job.result.error.is_ok()) return job.result.error;
            BRINEWICK_RETURN_IF_ERROR(placer.place(job.chunk, job.result));
            if (on_cut && !job.chunk->last) {
                on_cut(job.chunk->offset + job.chunk->size, placer.end_line(), placer.in_row());
            }
            std::shared_ptr<Job<F>> done = std::move(queued.front());
            queued.pop_front();
            // No worker holds it any more; the placer may still hold its chunk.
            done->result.clear();
            done->done = false;
            if (done->chunk.use_count() != 1) done->chunk.reset();
            spare.push_back(std::move(done));
        }
        if (placer.done() || (input_done && queued.empty())) break;
        // Past the span's end a chunk is cut only while the row that runs
        // on still needs one, so nothing more than that is read.
        const bool want = !input_done && queued.size() < in_flight && (!past_end || queued.empty());
        if (want) {
            std::shared_ptr<Job<F>> job;
            if (spare.empty()) {
                job = std::make_shared<Job<F>>();
            } else {
                job = std::move(spare.back());
                spare.pop_back();
            }
            std::optional<std::uint64_t> limit;
            if (span.end && !past_end) limit = *span.end > window.offset() ? *span.end - window.offset() : 0;
            auto next = next_chunk(window, chunk_size, shared.options->quote_char, std::move(job->chunk), limit);
            if (!next.is_ok()) return std::move(next).status();
            job->chunk = std::move(next).value();
            input_done = job->chunk->last;
            if (span.end && job->chunk->offset + job->chunk->size >= *span.end) past_end = true;
            pool.submit(job);
            queued.push_back(std::move(job));
            continue;
        }
        if (queued.empty()) break;
        if (pool.help(formatter)) continue;
        if (!pool.wait(*queued.front(), cancel)) return Status::cancelled();
    }
    if (cancel.load(std::memory_order_relaxed)) return Status::cancelled();
    return placer.line();
}

}  // namespace brinewick::stream::pipeline
