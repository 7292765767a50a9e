#pragma once
// A small set of addresses, for the frame paths: lock-free and allocation-free, any thread may add, remove
// and ask. Asking an empty set reads one atomic.
#include <atomic>
#include <cstddef>

namespace fsr2bridge {

template <std::size_t Capacity> class PointerSet {
public:
    // False when the set is full (or `p` is null).
    bool insert(const void* p) noexcept
    {
        for (auto& slot : slots_) {
            const void* empty = nullptr;
            if (p != nullptr && slot.compare_exchange_strong(empty, p, std::memory_order_acq_rel)) {
                count_.fetch_add(1, std::memory_order_release);
                return true;
            }
        }
        return false;
    }

    bool contains(const void* p) const noexcept
    {
        if (p == nullptr || count_.load(std::memory_order_acquire) == 0)
            return false;
        for (const auto& slot : slots_)
            if (slot.load(std::memory_order_acquire) == p)
                return true;
        return false;
    }

    // True when `p` was in the set.
    bool erase(const void* p) noexcept
    {
        for (auto& slot : slots_) {
            const void* expected = p;
            if (p != nullptr && slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
                count_.fetch_sub(1, std::memory_order_release);
                return true;
            }
        }
        return false;
    }

    void clear() noexcept
    {
        for (auto& slot : slots_)
            if (slot.exchange(nullptr, std::memory_order_acq_rel) != nullptr)
                count_.fetch_sub(1, std::memory_order_release);
    }

private:
    std::atomic<const void*> slots_[Capacity] = {};
    std::atomic<std::size_t> count_{0};
};

} // namespace fsr2bridge
