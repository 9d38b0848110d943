#include "batch_queue.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

namespace brinewick::arrow {

BatchQueue::BatchQueue(std::unique_ptr<BatchPass> pass, std::shared_ptr<Waiter> waiter, bool large_strings,
                       std::optional<std::vector<ColumnSpec>> columns)
    : pass_(std::move(pass)), waiter_(std::move(waiter)), large_strings_(large_strings) {
    if (columns) {
        columns_ = std::move(*columns);
        published_ = true;
    }
}

BatchQueue::~BatchQueue() {
    stop();
    if (worker_.joinable()) worker_.join();
    for (ArrowArray& batch : ready_) {
        if (batch.release != nullptr) batch.release(&batch);
    }
}

Status BatchQueue::schema(ArrowSchema* out) {
    BRINEWICK_RETURN_IF_ERROR(start());
    BRINEWICK_RETURN_IF_ERROR(wait([this] { return published_ || done_; }));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!published_) return failure_.is_ok() ? Status::internal("the batch producer failed") : failure_;
    export_schema(columns_, large_strings_, out);
    return Status::ok();
}

Status BatchQueue::next(ArrowArray* out) {
    BRINEWICK_RETURN_IF_ERROR(start());
    BRINEWICK_RETURN_IF_ERROR(wait([this] { return !ready_.empty() || done_; }));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_.empty()) {
        *out = ready_.front();
        ready_.pop_front();
        worker_ready_.notify_all();
        return Status::ok();
    }
    return failure_;  // ok at the end: `out` stays released
}

void BatchQueue::publish(std::vector<ColumnSpec> columns) {
    std::lock_guard<std::mutex> lock(mutex_);
    columns_ = std::move(columns);
    published_ = true;
    consumer_ready_.notify_all();
}

bool BatchQueue::published() {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

bool BatchQueue::deliver(ArrowArray& batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    worker_ready_.wait(lock, [this] { return ready_.size() < kBatchesAhead || stopping_; });
    if (stopping_) {
        lock.unlock();
        batch.release(&batch);
        return false;
    }
    ready_.push_back(batch);
    consumer_ready_.notify_all();
    return true;
}

void BatchQueue::fail(Status status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.is_ok()) failure_ = std::move(status);
}

Status BatchQueue::start() {
    if (started_) return Status::ok();
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        return Status::internal(std::string("cannot start the reading thread: ") + e.what(), EAGAIN);
    }
    started_ = true;
    return Status::ok();
}

template <typename Ready>
Status BatchQueue::wait(Ready ready) {
    const bool got = waiter_->wait([&] {
        std::unique_lock<std::mutex> lock(mutex_);
        return consumer_ready_.wait_for(lock, kWaitSlice, ready);
    });
    if (got) return Status::ok();
    stop();
    return Status::cancelled();
}

void BatchQueue::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    pass_->cancel();
    worker_ready_.notify_all();
}

void BatchQueue::run() noexcept {
    try {
        pass_->run(*this);
    } catch (const std::bad_alloc&) {
        fail(Status::out_of_memory());
    } catch (const std::exception& e) {
        fail(internal_fault(e.what()));
    } catch (...) {
        fail(internal_fault("the reader failed"));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    consumer_ready_.notify_all();
}

}  // namespace brinewick::arrow
