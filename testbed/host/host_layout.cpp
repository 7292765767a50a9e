#include "testbed/host/host_layout.h"

#include <cmath>
#include <cstring>

namespace hostgame {
namespace {

template <class T> T readAt(const std::uint8_t* base, std::uintptr_t offset)
{
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

template <class Record> const Record* lookup(const Storage* storage, std::uint32_t handle)
{
    std::uint32_t position = storage->index[handle];
    return static_cast<const Record*>(storage->dense) + position;
}

} // namespace

CameraPose cameraForFrame(std::uint32_t frame, float aspect, float fovY, float nearZ, float farZ)
{
    const float yaw = 0.05f * static_cast<float>(frame);
    const float pitch = 0.2f * std::sin(0.03f * static_cast<float>(frame));
    CameraPose pose{};
    const float right[3] = {std::cos(yaw), 0.0f, -std::sin(yaw)};
    const float forward[3] = {std::sin(yaw) * std::cos(pitch), std::sin(pitch),
                              std::cos(yaw) * std::cos(pitch)};
    for (int i = 0; i < 3; ++i) {
        pose.right[i] = right[i];
        pose.forward[i] = 2.0f * forward[i];
    }
    // up = forward x right, unit length because both are unit and orthogonal
    pose.up[0] = forward[1] * right[2] - forward[2] * right[1];
    pose.up[1] = forward[2] * right[0] - forward[0] * right[2];
    pose.up[2] = forward[0] * right[1] - forward[1] * right[0];
    const float top = nearZ * std::tan(0.5f * fovY);
    const float side = top * aspect;
    const float frustum[6] = {-side, side, top, -top, nearZ, farZ};
    std::memcpy(pose.frustum, frustum, sizeof frustum);
    return pose;
}

HostWorld::HostWorld()
{
    // The active entity is the third; the others point at the decoy chain.
    entities_[0].handle = 0xAB000000u | decoyHandle;
    entities_[1].handle = 0x7A000000u | entityHandle;
    for (auto& entity : argument_.entities)
        entity = &entities_[0];
    argument_.activeEntity = 2;
    argument_.entities[2] = &entities_[1];

    // S1: handle 5 -> position 2, whose record names camera handle 9.
    linkIndex_[entityHandle] = 2;
    linkIndex_[decoyHandle] = 1;
    links_[2].handle = 0x3C000000u | cameraHandle;
    links_[1].handle = 0x3C000000u | decoyHandle;
    linkStorage_.index = linkIndex_;
    linkStorage_.dense = links_;

    // S2 and S3: camera handle 9 -> positions 1 and 3; decoys elsewhere.
    basisIndex_[cameraHandle] = 1;
    basisIndex_[decoyHandle] = 2;
    frustumIndex_[cameraHandle] = 3;
    frustumIndex_[decoyHandle] = 0;
    for (auto& basis : bases_) {
        const float down[4] = {0.0f, -1.0f, 0.0f, 0.0f};
        std::memcpy(basis.forward, down, sizeof down);
        basis.right[0] = 1.0f;
        basis.up[2] = 1.0f;
    }
    for (auto& frustum : frusta_) {
        const float decoy[6] = {-3.0f, 3.0f, 2.0f, -2.0f, 1.0f, 10.0f};
        std::memcpy(frustum.extents, decoy, sizeof decoy);
    }
    basisStorage_.index = basisIndex_;
    basisStorage_.dense = bases_;
    frustumStorage_.index = frustumIndex_;
    frustumStorage_.dense = frusta_;

    world1_.links = &linkStorage_;
    world2_.bases = &basisStorage_;
    world2_.frusta = &frustumStorage_;
    state_.menuOpen = 1;
}

void HostWorld::setCamera(const CameraPose& pose)
{
    BasisRecord& basis = bases_[basisIndex_[cameraHandle]];
    std::memcpy(basis.right, pose.right, sizeof pose.right);
    std::memcpy(basis.up, pose.up, sizeof pose.up);
    std::memcpy(basis.forward, pose.forward, sizeof pose.forward);
    std::memcpy(frusta_[frustumIndex_[cameraHandle]].extents, pose.frustum, sizeof pose.frustum);
}

bool HostWorld::publish(HMODULE image)
{
    if (!imageHasLayout(image))
        return false;
    auto* base = reinterpret_cast<std::uint8_t*>(image);
    World1* w1 = &world1_;
    World2* w2 = &world2_;
    GameState* g = &state_;
    std::memcpy(base + world1SlotRva, &w1, sizeof w1);
    std::memcpy(base + world2SlotRva, &w2, sizeof w2);
    std::memcpy(base + gameStateSlotRva, &g, sizeof g);
    return true;
}

LayoutReading readLayout(const std::uint8_t* imageBase, const CallArgument* argument)
{
    LayoutReading reading{};
    const auto* a1 = reinterpret_cast<const std::uint8_t*>(argument);
    const auto i = readAt<std::uint32_t>(a1, 456);
    const auto* entity = readAt<const std::uint8_t*>(a1, 408 + 8 * static_cast<std::uintptr_t>(i));
    const std::uint32_t h1 = readAt<std::uint32_t>(entity, 36) & 0xFFFFFFu;
    const auto* w1 = readAt<const World1*>(imageBase, world1SlotRva);
    const auto* link = lookup<LinkRecord>(w1->links, h1);
    const std::uint32_t h2 = link->handle & 0xFFFFFFu;
    const auto* w2 = readAt<const World2*>(imageBase, world2SlotRva);
    reading.basis = *lookup<BasisRecord>(w2->bases, h2);
    reading.frustum = *lookup<FrustumRecord>(w2->frusta, h2);
    const auto* g = readAt<const GameState*>(imageBase, gameStateSlotRva);
    reading.frameGenerationWanted = g->menuOpen == 0;
    return reading;
}

bool imageHasLayout(HMODULE image)
{
    const auto* base = reinterpret_cast<const std::uint8_t*>(image);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (nt->OptionalHeader.SizeOfImage < gameStateSlotRva + 8)
        return false;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    bool functionExecutable = false;
    bool slotsWritable = false;
    for (unsigned s = 0; s < nt->FileHeader.NumberOfSections; ++s, ++section) {
        const std::uintptr_t begin = section->VirtualAddress;
        const std::uintptr_t end = begin + section->Misc.VirtualSize;
        if (internalFunctionRva >= begin && internalFunctionRva + 16 <= end)
            functionExecutable = (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
        if (world2SlotRva >= begin && gameStateSlotRva + 8 <= end)
            slotsWritable = (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0;
    }
    return functionExecutable && slotsWritable;
}

} // namespace hostgame

#ifdef HOST_GAME_LAYOUT
// The game's own work behind the internal function: a value the caller checks,
// so a hook that loses an argument or the result shows.
extern "C" std::uint64_t hostInternalFunctionBody(void* a0, void* a1, void* a2)
{
    return reinterpret_cast<std::uintptr_t>(a0) ^ (reinterpret_cast<std::uintptr_t>(a1) >> 4) ^
           reinterpret_cast<std::uintptr_t>(a2) ^ 0x51DE5EEDull;
}
#endif
