// Borrow state of the core's Python objects: many shared holds or one
// exclusive hold, refused with "Already borrowed" / "Already mutably borrowed".
#pragma once

#include <utility>

#include "native/toolkit/errors.h"

namespace vorlix::py {

class BorrowState {
public:
    [[nodiscard]] bool exclusively_held() const { return holders_ < 0; }
    [[nodiscard]] bool held() const { return holders_ != 0; }

private:
    friend class SharedHold;
    friend class ExclusiveHold;
    // 0: free; n > 0: n shared holds; -1: one exclusive hold.
    long holders_ = 0;
};

// A shared hold for the guard's lifetime. Check `ok()` after construction: a
// refused hold has raised RuntimeError "Already mutably borrowed".
class [[nodiscard]] SharedHold {
public:
    explicit SharedHold(BorrowState& state) {
        if (state.holders_ < 0) {
            raise(ErrorKind::Runtime, "Already mutably borrowed");
            return;
        }
        ++state.holders_;
        state_ = &state;
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    SharedHold(SharedHold&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    ~SharedHold() { release(); }

    [[nodiscard]] bool ok() const { return state_ != nullptr; }
    void release() {
        if (state_ != nullptr) --std::exchange(state_, nullptr)->holders_;
    }

private:
    BorrowState* state_ = nullptr;
};

// An exclusive hold for the guard's lifetime; a refused hold has raised
// RuntimeError "Already borrowed".
class [[nodiscard]] ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowState& state) {
        if (state.holders_ != 0) {
            raise(ErrorKind::Runtime, "Already borrowed");
            return;
        }
        state.holders_ = -1;
        state_ = &state;
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ExclusiveHold(ExclusiveHold&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    ~ExclusiveHold() { release(); }

    [[nodiscard]] bool ok() const { return state_ != nullptr; }
    void release() {
        if (state_ != nullptr) std::exchange(state_, nullptr)->holders_ = 0;
    }

private:
    BorrowState* state_ = nullptr;
};

}  // namespace vorlix::py
