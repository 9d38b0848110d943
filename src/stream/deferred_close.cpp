#include "deferred_close.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace brinewick::stream {
namespace {

struct Handed {
    int fd;
    dev_t device;  // which file it is, so that a child closes only that
    ino_t inode;
};

struct Pending {
    std::mutex mutex;  // held briefly: never across a close
    std::condition_variable none_left;
    std::vector<Handed> files;
};

// Never destroyed: a helper may still be running when static objects are.
Pending& pending() {
    static Pending* const state = new Pending;
    return *state;
}

void before_fork() noexcept { pending().mutex.lock(); }
void after_fork_in_parent() noexcept { pending().mutex.unlock(); }
// The helpers do not come along into a child: it closes its copies itself.
// A helper may have closed its descriptor just before the fork (and the
// number been reused since), so each is closed only if it is still the file.
void after_fork_in_child() noexcept {
    Pending& state = pending();
    for (const Handed& file : state.files) {
        struct stat status {};
        if (::fstat(file.fd, &status) == 0 && status.st_dev == file.device && status.st_ino == file.inode) {
            ::close(file.fd);
        }
    }
    state.files.clear();
    state.mutex.unlock();
}

void forget(int fd) noexcept {
    Pending& state = pending();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const auto at = std::find_if(state.files.begin(), state.files.end(),
                                 [fd](const Handed& file) { return file.fd == fd; });
    if (at != state.files.end()) state.files.erase(at);
    if (state.files.empty()) state.none_left.notify_all();
}

void close_on_helper(int fd) noexcept {
    ::close(fd);
    forget(fd);
}

}  // namespace

void close_later(int fd) noexcept {
    static std::once_flag registered;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {  // nothing a child could tell apart: close it here
        ::close(fd);
        return;
    }
    try {
        std::call_once(registered, [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
        {
            Pending& state = pending();
            const std::lock_guard<std::mutex> lock(state.mutex);
            state.files.push_back(Handed{fd, status.st_dev, status.st_ino});
        }
        // Started with every signal blocked, so that none is delivered to it.
        sigset_t all;
        sigset_t old;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread(close_on_helper, fd).detach();
        } catch (...) {
            ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
            throw;
        }
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    } catch (...) {
        // No thread (or no memory): close here after all.
        forget(fd);
        ::close(fd);
    }
}

void wait_for_pending_closes() noexcept {
    Pending& state = pending();
    std::unique_lock<std::mutex> lock(state.mutex);
    state.none_left.wait(lock, [&state] { return state.files.empty(); });
}

}  // namespace brinewick::stream
