// CancelCheck: lets the owner of a long run stop it part way.
//
// The engine asks at intervals (and whenever a system call was interrupted)
// whether to go on; what the answer depends on is the owner's business (the
// Python layer runs pending signal handlers there). Asking is cheap, but not
// free, so callers compare their position against a mark and ask only when
// they pass it. A default-made check never stops anything.
#pragma once

#include <cstddef>

namespace brinewick {

class CancelCheck {
public:
    // Bytes read or parsed between two questions.
    static constexpr std::size_t kInterval = std::size_t{16} << 20;

    constexpr CancelCheck() noexcept = default;
    // `ask(context)` returns false to stop the run.
    constexpr CancelCheck(bool (*ask)(void*), void* context) noexcept
        : go_on_(ask), context_(context) {}

    // False once the owner has said stop, and on every later question.
    [[nodiscard]] bool go_on() noexcept {
        if (!stopped_ && go_on_ != nullptr && !go_on_(context_)) stopped_ = true;
        return !stopped_;
    }
    [[nodiscard]] bool stopped() const noexcept { return stopped_; }
    // True when asking can ever give "stop".
    [[nodiscard]] bool active() const noexcept { return go_on_ != nullptr; }

private:
    bool (*go_on_)(void*) = nullptr;
    void* context_ = nullptr;
    bool stopped_ = false;
};

// True when a run handed `cancel` (maybe none) was told to stop.
[[nodiscard]] inline bool was_cancelled(const CancelCheck* cancel) noexcept {
    return cancel != nullptr && cancel->stopped();
}

}  // namespace brinewick
