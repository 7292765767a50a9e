#pragma once
// FSR2 contexts the game's own FSR2 serves: those made on a device Streamline does not serve (a second device
// it refused, a device made after the attached one was removed). Their memory is the game's FSR2's, so they
// are told apart from the system's by their address. Lock-free and allocation-free: the dispatch asks every
// frame.
#include <cstddef>

namespace fsr2bridge {

inline constexpr std::size_t gamesOwnContextCapacity = 64;

// False when the table is full (the context is then not created).
bool rememberGamesOwnContext(void* context) noexcept;
bool isGamesOwnContext(const void* context) noexcept;
// True when `context` was one (it is forgotten).
bool forgetGamesOwnContext(const void* context) noexcept;

} // namespace fsr2bridge
