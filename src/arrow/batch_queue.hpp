// Between a pass that makes batches on a worker thread and the consumer that
// pulls them through an ArrowArrayStream: the worker starts when the
// consumer first asks for something and runs at most kBatchesAhead batches
// ahead of it, so memory stays a few batches however large the input. The
// consumer waits through a Waiter; giving up, or letting the stream go,
// stops the pass.
//
// No Python here: the waiting side is abstracted by Waiter, which the
// extension implements to release the interpreter lock and watch for Ctrl-C.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "array_stream.hpp"
#include "batch_builder.hpp"

namespace brinewick::arrow {

// How a thread that wants a batch waits for the worker. `slice` blocks for
// at most a few tens of ms and returns true once the batch (or the end) is
// there. Returns false to give up: the stream then fails as cancelled.
class Waiter {
public:
    virtual ~Waiter() = default;
    [[nodiscard]] virtual bool wait(const std::function<bool()>& slice) = 0;
};

inline constexpr std::size_t kBatchesAhead = 2;
inline constexpr std::chrono::milliseconds kWaitSlice{20};

class BatchQueue;

// The work a queue runs once on its worker thread.
class BatchPass {
public:
    virtual ~BatchPass() = default;
    // Publishes the columns (unless the queue had them from the start),
    // delivers the batches in order, and fails the queue on an error. An
    // exception fails the queue too.
    virtual void run(BatchQueue& queue) = 0;
    // Asks a running pass to stop soon; called on the consumer's thread.
    virtual void cancel() noexcept = 0;
};

class BatchQueue final : public BatchProducer {
public:
    // `columns`: the schema when it is known now, else the pass publishes it.
    BatchQueue(std::unique_ptr<BatchPass> pass, std::shared_ptr<Waiter> waiter, bool large_strings,
               std::optional<std::vector<ColumnSpec>> columns);
    BatchQueue(const BatchQueue&) = delete;
    BatchQueue& operator=(const BatchQueue&) = delete;
    // Stops the pass and waits for its thread.
    ~BatchQueue() override;

    // The consumer's side.
    Status schema(ArrowSchema* out) override;
    Status next(ArrowArray* out) override;

    // The worker's side.
    void publish(std::vector<ColumnSpec> columns);
    [[nodiscard]] bool published();
    // Hands `batch` on (ownership passes), waiting while the consumer is
    // kBatchesAhead behind. False when the consumer has gone: the batch is
    // released.
    [[nodiscard]] bool deliver(ArrowArray& batch);
    // Ends the stream with this failure; the first one holds.
    void fail(Status status);

private:
    Status start();
    // Waits until `ready`; cancelled when the waiter gives up.
    template <typename Ready>
    Status wait(Ready ready);
    void stop() noexcept;
    void run() noexcept;

    std::unique_ptr<BatchPass> pass_;
    std::shared_ptr<Waiter> waiter_;
    bool large_strings_;
    bool started_ = false;  // consumer side only
    std::thread worker_;

    std::mutex mutex_;
    std::condition_variable consumer_ready_;
    std::condition_variable worker_ready_;
    std::vector<ColumnSpec> columns_;  // written once under mutex_, then read-only
    bool published_ = false;
    std::deque<ArrowArray> ready_;
    bool done_ = false;
    bool stopping_ = false;
    Status failure_;
};

}  // namespace brinewick::arrow
