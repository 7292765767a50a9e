#pragma once
// Where the host executable keeps what the system reads at fixed positions: byte offsets from its image
// base and into its objects. They hold for one build of the host; checkCameraTarget tests an image for them.
#include <cstddef>
#include <cstdint>

namespace fsr2bridge::hostlayout {

inline constexpr std::uintptr_t cameraFunction = 0x33E4D68;
// The camera function of the known build: its function-table entry's length, and its first bytes up to the
// call's displacement (the argument registers stored to their home slots, sub rsp, 28h; call).
inline constexpr std::uint32_t cameraFunctionLength = 0x1D;
inline constexpr std::uint8_t cameraFunctionStart[] = {0x48, 0x89, 0x4C, 0x24, 0x08, 0x48, 0x89,
                                                       0x54, 0x24, 0x10, 0x4C, 0x89, 0x44, 0x24,
                                                       0x18, 0x48, 0x83, 0xEC, 0x28, 0xE8};
inline constexpr std::uintptr_t worldObject1 = 0x5049F90;
inline constexpr std::uintptr_t worldObject2 = 0x5049EB8;
inline constexpr std::uintptr_t gameObject = 0x59056A0;
inline constexpr std::size_t handleStorageOfWorld1 = 296;
inline constexpr std::size_t basisStorageOfWorld2 = 264;
inline constexpr std::size_t frustumStorageOfWorld2 = 256;
inline constexpr std::size_t storageIndexArray = 64;
inline constexpr std::size_t storageDenseArray = 968;
inline constexpr std::size_t handleRecordSize = 24;
inline constexpr std::size_t handleInRecord = 4;
inline constexpr std::size_t basisRecordSize = 160;
inline constexpr std::size_t frustumRecordSize = 24;
inline constexpr std::size_t viewIndexOfArgument = 456;
inline constexpr std::size_t viewTableOfArgument = 408;
inline constexpr std::size_t handleOfView = 36;
inline constexpr std::size_t frameGenerationStateByte = 1100;
inline constexpr std::uint32_t handleMask = 0xFFFFFF;

// The image must reach this far for every fixed-offset read of the camera hook.
inline constexpr std::uintptr_t fixedReadsEnd = gameObject + frameGenerationStateByte + 1;

// The object pointers the camera hook reads out of the image: game data, written by the game.
inline constexpr std::uintptr_t objectPointers[] = {worldObject1, worldObject2, gameObject};

} // namespace fsr2bridge::hostlayout
