#include "upscaler/games_own_contexts.h"

#include "common/pointer_set.h"

namespace fsr2bridge {

namespace {
PointerSet<gamesOwnContextCapacity> contexts;
} // namespace

bool rememberGamesOwnContext(void* context) noexcept
{
    return contexts.insert(context);
}

bool isGamesOwnContext(const void* context) noexcept
{
    return contexts.contains(context);
}

bool forgetGamesOwnContext(const void* context) noexcept
{
    return contexts.erase(context);
}

} // namespace fsr2bridge
