#include "proxies/game_references.h"

namespace fsr2bridge {

namespace {
LogError<const void*> referencedAfterLast{"proxy {} referenced again after the game's last release; refused"};
LogError<const void*> releasedAfterLast{"proxy {} released after the game's last release; ignored"};
LogError<const void*> queriedAfterLast{"proxy {} queried after the game's last release; refused"};
} // namespace

void noteQueryAfterLast(const void* proxy) noexcept
{
    logError(queriedAfterLast, proxy);
}

ULONG GameReferences::add(const void* proxy) noexcept
{
    ULONG count = count_.load(std::memory_order_relaxed);
    do {
        if (count == 0) {
            logError(referencedAfterLast, proxy);
            return 0;
        }
    } while (!count_.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    return count + 1;
}

ULONG GameReferences::release(const void* proxy, bool& last) noexcept
{
    last = false;
    ULONG count = count_.load(std::memory_order_relaxed);
    do {
        if (count == 0) {
            logError(releasedAfterLast, proxy);
            return 0;
        }
    } while (!count_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    last = count == 1;
    return count - 1;
}

} // namespace fsr2bridge
