/* src/binding/recursion_guard.hpp: the host's stack check around calls that may nest without bound */
#pragma once

#include "binding/ref.hpp"

namespace tolva {

// Wrappers can wrap wrappers to any depth, and each forwarded call nests one C frame
// deeper; the host's check turns an overflowing chain into RecursionError.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False when the limit was reached and RecursionError is set.
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace tolva
