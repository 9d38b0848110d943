// The worker pool: threads that take chunks in the order they were cut and
// read them (parse_chunk), each with its own formatter, while the consumer
// waits for the oldest or reads one itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "chunk_cutter.hpp"
#include "chunk_reading.hpp"
#include "stream_salvage.hpp"

namespace brinewick::stream::pipeline {

template <class F>
struct Job {
    std::shared_ptr<Chunk> chunk;
    ResultOf<F> result;
    bool done = false;  // guarded by the pool's mutex
};

// How long the consumer waits for a chunk before looking at the cancel flag.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(5);

template <class F>
class WorkerPool {
public:
    // `make` builds each thread's formatter (on that thread).
    WorkerPool(std::size_t threads, const Shared& shared, std::function<F()> make, std::atomic<bool>& abort)
        : shared_(shared), make_(std::move(make)), abort_(abort) {
        threads_.reserve(threads);
        try {
            for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
        } catch (...) {
            stop();
            throw;
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stop(); }

    void submit(std::shared_ptr<Job<F>> job) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(job));
        }
        work_.notify_one();
    }
    [[nodiscard]] bool done(const Job<F>& job) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return job.done;
    }
    // Parses the oldest chunk no thread has taken yet, on the calling
    // thread with `formatter`; false when there is none.
    bool help(F& formatter) {
        std::shared_ptr<Job<F>> job;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) return false;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        execute(*job, &formatter);
        return true;
    }
    // Waits for `job`; false when the run is cancelled first.
    [[nodiscard]] bool wait(const Job<F>& job, const std::atomic<bool>& cancel) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!job.done) {
            if (cancel.load(std::memory_order_relaxed)) return false;
            finished_.wait_for(lock, kWaitSlice);
        }
        return true;
    }

private:
    void stop() noexcept {
        abort_.store(true);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

    void run() {
        std::optional<F> formatter;
        for (;;) {
            std::shared_ptr<Job<F>> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            F* target = nullptr;
            try {
                if (!formatter) formatter.emplace(make_());
                target = &*formatter;
            } catch (const std::bad_alloc&) {
                job->result.error = Status::out_of_memory();
            } catch (const std::length_error&) {
                job->result.error = Status::out_of_memory();
            } catch (...) {
                job->result.fault = true;
            }
            execute(*job, target);
        }
    }

    // Parses the job's chunk (unless it already failed: `formatter` null)
    // and marks it done.
    void execute(Job<F>& job, F* formatter) noexcept {
        if (formatter != nullptr) {
            try {
                parse_chunk<F>(*job.chunk, job.result, shared_, *formatter);
            } catch (const std::bad_alloc&) {
                job.result.error = Status::out_of_memory();
            } catch (const std::length_error&) {
                job.result.error = Status::out_of_memory();
            } catch (...) {
                job.result.fault = true;  // the consumer rethrows it, as the one-thread run would
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            job.done = true;
        }
        finished_.notify_all();
    }

    const Shared& shared_;
    std::function<F()> make_;
    std::atomic<bool>& abort_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job<F>>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace brinewick::stream::pipeline
