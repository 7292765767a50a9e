#pragma once
// The game's memory as the bridge's camera hook reads it: an internal function
// at a fixed position of the image, three object pointers at fixed positions,
// storages with index and dense arrays, the active camera and the game state.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace hostgame {

inline constexpr std::uintptr_t internalFunctionRva = 0x33E4D68;
inline constexpr std::uintptr_t world1SlotRva = 0x5049F90;
inline constexpr std::uintptr_t world2SlotRva = 0x5049EB8;
inline constexpr std::uintptr_t gameStateSlotRva = 0x59056A0;

// Where the camera looks and how far the frustum reaches, for one frame.
struct CameraPose {
    float right[3];
    float up[3];
    float forward[3];
    float frustum[6]; // left, right, top, bottom, near, far
};

// The camera of frame `frame`: it turns around the vertical axis and nods a
// little. The forward vector is deliberately twice unit length.
CameraPose cameraForFrame(std::uint32_t frame, float aspect, float fovY, float nearZ, float farZ);

// A storage: index array (handle -> dense position) at +64, records at +968.
struct Storage {
    std::uint8_t head[64];
    std::uint32_t* index;
    std::uint8_t middle[968 - 72];
    void* dense;
};
static_assert(offsetof(Storage, index) == 64);
static_assert(offsetof(Storage, dense) == 968);

struct World1 {
    std::uint8_t head[296];
    Storage* links; // S1
};
static_assert(offsetof(World1, links) == 296);

struct World2 {
    std::uint8_t head[256];
    Storage* frusta; // S3
    Storage* bases;  // S2
};
static_assert(offsetof(World2, frusta) == 256);
static_assert(offsetof(World2, bases) == 264);

struct GameState {
    std::uint8_t head[1100];
    std::uint8_t menuOpen; // zero while playing: Frame Generation wanted
    std::uint8_t tail[3];
};
static_assert(offsetof(GameState, menuOpen) == 1100);

struct Entity {
    std::uint8_t head[36];
    std::uint32_t handle; // low 24 bits
};
static_assert(offsetof(Entity, handle) == 36);

// The object the internal function gets as its second argument.
struct CallArgument {
    std::uint8_t head[408];
    Entity* entities[6];
    std::uint32_t activeEntity;
};
static_assert(offsetof(CallArgument, entities) == 408);
static_assert(offsetof(CallArgument, activeEntity) == 456);

struct LinkRecord {
    std::uint32_t tag;
    std::uint32_t handle; // low 24 bits: camera handle
    std::uint8_t rest[16];
};
static_assert(sizeof(LinkRecord) == 24);

struct BasisRecord {
    std::uint8_t head[32];
    float right[4];
    float up[4];
    float forward[4];
    std::uint8_t tail[80];
};
static_assert(sizeof(BasisRecord) == 160);
static_assert(offsetof(BasisRecord, right) == 32 && offsetof(BasisRecord, up) == 48);
static_assert(offsetof(BasisRecord, forward) == 64);

struct FrustumRecord {
    float extents[6];
};
static_assert(sizeof(FrustumRecord) == 24);

// All game objects behind the fixed pointers, with decoy records around the
// real ones so that a wrong lookup reads a wrong camera.
class HostWorld {
public:
    HostWorld();
    HostWorld(const HostWorld&) = delete;
    HostWorld& operator=(const HostWorld&) = delete;

    // Writes the three object pointers into the image at their fixed
    // positions; false (nothing written) when the image lacks the layout.
    bool publish(HMODULE image);
    void setCamera(const CameraPose& pose);
    void setMenuOpen(bool open) { state_.menuOpen = open ? 1 : 0; }
    CallArgument* argument() { return &argument_; }
    World1* world1() { return &world1_; }
    World2* world2() { return &world2_; }
    GameState* gameState() { return &state_; }

private:
    static constexpr std::uint32_t entityHandle = 5; // in S1
    static constexpr std::uint32_t cameraHandle = 9; // in S2 and S3
    static constexpr std::uint32_t decoyHandle = 3;  // everywhere

    Entity entities_[2]{};
    CallArgument argument_{};
    std::uint32_t linkIndex_[16]{};
    std::uint32_t basisIndex_[16]{};
    std::uint32_t frustumIndex_[16]{};
    LinkRecord links_[4]{};
    BasisRecord bases_[4]{};
    FrustumRecord frusta_[4]{};
    Storage linkStorage_{};
    Storage basisStorage_{};
    Storage frustumStorage_{};
    World1 world1_{};
    World2 world2_{};
    GameState state_{};
};

// Follows the fixed offsets from an image base and a call argument exactly as
// a reader outside the game does; used by the game's self-check and tests.
struct LayoutReading {
    BasisRecord basis;
    FrustumRecord frustum;
    bool frameGenerationWanted;
};
LayoutReading readLayout(const std::uint8_t* imageBase, const CallArgument* argument);

// Whether the image spans every fixed position and has the function in an
// executable section (the game build with the layout).
bool imageHasLayout(HMODULE image);

} // namespace hostgame

#ifdef HOST_GAME_LAYOUT
extern "C" std::uint64_t hostInternalFunction(void* a0, void* a1, void* a2);
extern "C" std::uint64_t hostInternalFunctionBody(void* a0, void* a1, void* a2);
extern "C" std::uint8_t hostWorld1Slot[8];
extern "C" std::uint8_t hostWorld2Slot[8];
extern "C" std::uint8_t hostGameStateSlot[8];
#endif
