// Buffers a call keeps on its thread for the next call, so that calls on the
// hot path reuse their capacity instead of allocating it again.
#pragma once

#include <cstddef>
#include <utility>

namespace ordwyne {

// T holds the buffers and tells their size with capacity_bytes(). A call
// takes them out for its whole length: a callback that calls again meanwhile
// starts from none. At the end they go back only if nothing else did
// meanwhile and they hold at most Keep bytes, so that one huge call does not
// pin its memory for the thread's life.
template <class T, std::size_t Keep>
class Spare {
public:
    Spare() : value_(std::exchange(slot(), T{})) {}
    ~Spare() {
        if (slot().capacity_bytes() == 0 && value_.capacity_bytes() <= Keep) {
            slot() = std::move(value_);
        }
    }
    Spare(const Spare&) = delete;
    Spare& operator=(const Spare&) = delete;

    T& operator*() { return value_; }
    T* operator->() { return &value_; }

private:
    static T& slot() {
        thread_local T spare;
        return spare;
    }
    T value_;
};

}  // namespace ordwyne
