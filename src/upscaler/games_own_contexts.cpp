#include "upscaler/games_own_contexts.h"

#include <atomic>

namespace fsr2bridge {

namespace {
std::atomic<const void*> contexts[gamesOwnContextCapacity] = {};
// How many slots are taken: the dispatch of a game without such contexts reads only this.
std::atomic<std::size_t> taken{0};
} // namespace

bool rememberGamesOwnContext(void* context) noexcept
{
    for (auto& slot : contexts) {
        const void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, context, std::memory_order_acq_rel)) {
            taken.fetch_add(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

bool isGamesOwnContext(const void* context) noexcept
{
    if (context == nullptr || taken.load(std::memory_order_acquire) == 0)
        return false;
    for (const auto& slot : contexts)
        if (slot.load(std::memory_order_acquire) == context)
            return true;
    return false;
}

bool forgetGamesOwnContext(const void* context) noexcept
{
    if (context == nullptr)
        return false;
    for (auto& slot : contexts) {
        const void* expected = context;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
            taken.fetch_sub(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

} // namespace fsr2bridge
