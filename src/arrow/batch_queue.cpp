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

int BatchQueue::schema(ArrowSchema* out, std::string& error) {
    if (const int code = start(error)) return code;
    if (!wait([this] { return published_ || done_; }, error)) return ECANCELED;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!published_) {
        error = message_;
        return code_ != 0 ? code_ : EIO;
    }
    export_schema(columns_, large_strings_, out);
    return 0;
}

int BatchQueue::next(ArrowArray* out, std::string& error) {
    if (const int code = start(error)) return code;
    if (!wait([this] { return !ready_.empty() || done_; }, error)) return ECANCELED;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_.empty()) {
        *out = ready_.front();
        ready_.pop_front();
        worker_ready_.notify_all();
        return 0;
    }
    if (code_ != 0) {
        error = message_;
        return code_;
    }
    return 0;  // the end: `out` stays released
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

void BatchQueue::fail(int code, std::string message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code_ != 0) return;
    code_ = code;
    message_ = std::move(message);
}

int BatchQueue::start(std::string& error) {
    if (started_) return 0;
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the reading thread: ") + e.what();
        return EAGAIN;
    }
    started_ = true;
    return 0;
}

template <typename Ready>
bool BatchQueue::wait(Ready ready, std::string& error) {
    const bool got = waiter_->wait([&] {
        std::unique_lock<std::mutex> lock(mutex_);
        return consumer_ready_.wait_for(lock, kWaitSlice, ready);
    });
    if (got) return true;
    stop();
    error = "interrupted while reading the input";
    return false;
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
        fail(ENOMEM, "out of memory while building an Arrow batch");
    } catch (const std::exception& e) {
        fail(EIO, e.what());
    } catch (...) {
        fail(EIO, "the reader failed");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    consumer_ready_.notify_all();
}

}  // namespace brinewick::arrow
