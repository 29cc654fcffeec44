// A small thread-safe signal: slots connect from any thread, and emit calls them in order of
// connection. The signal stays locked while its slots run (a slot may connect more slots), so
// a slot is never called after disconnect_all() has returned.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace kelvra::serial {

template <typename... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    void connect(Slot slot) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        slots_.push_back(std::move(slot));
    }

    void disconnect_all() {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        slots_.clear();
    }

    void emit(Args... args) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        // Index loop: a slot that connects another must not invalidate the iteration.
        for (size_t i = 0; i < slots_.size(); ++i) slots_[i](args...);
    }

private:
    std::recursive_mutex mutex_;
    std::vector<Slot> slots_;
};

}  // namespace kelvra::serial
