// The claim flag of an object: readers share it, a mover takes it alone.
// Every claim is taken and released within one call under the interpreter
// lock, so a refusal means re-entrant use from inside such a call.
#pragma once

#include "py_ref.hpp"

namespace brinewick::py {

struct ClaimFlag {
    Py_ssize_t state = 0;  // > 0: shared claims held; -1: exclusive
};

class SharedClaim {
public:
    explicit SharedClaim(ClaimFlag& flag) noexcept : flag_(flag) {
        if (flag_.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++flag_.state;
        held_ = true;
    }
    ~SharedClaim() {
        if (held_) --flag_.state;
    }
    SharedClaim(const SharedClaim&) = delete;
    SharedClaim& operator=(const SharedClaim&) = delete;
    [[nodiscard]] bool held() const noexcept { return held_; }

private:
    ClaimFlag& flag_;
    bool held_ = false;
};

class ExclusiveClaim {
public:
    explicit ExclusiveClaim(ClaimFlag& flag) noexcept : flag_(flag) {
        if (flag_.state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        flag_.state = -1;
        held_ = true;
    }
    ~ExclusiveClaim() {
        if (held_) flag_.state = 0;
    }
    ExclusiveClaim(const ExclusiveClaim&) = delete;
    ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
    [[nodiscard]] bool held() const noexcept { return held_; }

private:
    ClaimFlag& flag_;
    bool held_ = false;
};

}  // namespace brinewick::py
