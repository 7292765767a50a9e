// The camera hook, the FSR2 dispatch and the present path on three threads, as in a game whose simulation
// thread calls the camera function while its render thread dispatches FSR2 and another thread presents.
// Every constants record sent must describe one call of the camera function, every Frame Generation record
// must be whole, and Streamline's Frame Generation calls must never overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "hooking/MinHook.h"
#include "tests/support/d3d12_objects.h"
#include "tests/upscaler/fake_host.h"
#include "tests/upscaler/upscaler_world.h"
#include "upscaler/camera_constants.h"
#include "upscaler/frame_generation.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"

using namespace fsr2bridge;
using namespace upscalertest;

namespace {

constexpr std::uint32_t frames = 3000;
constexpr std::uint32_t framesPerContext = 500;
constexpr float step = 1e-3f;

// Call k's camera: yaw, frustum width and height all encode k modulo 1000.
struct Pose {
    float right[3], up[3], forward[3], frustum[6];
};

Pose poseOf(std::uint32_t k)
{
    const float index = static_cast<float>(k % 1000);
    const float yaw = index * step;
    const float halfWidth = 0.5f + index * step;
    const float halfHeight = 0.3f + index * step;
    return {{std::cos(yaw), 0, -std::sin(yaw)},
            {0, 1, 0},
            {std::sin(yaw), 0, std::cos(yaw)},
            {-halfWidth, halfWidth, halfHeight, -halfHeight, 0.1f, 100.0f + index}};
}

// The call index each part of a constants record stands for; a whole record gives the same one four times.
bool oneCall(const sl::Constants& c)
{
    const double fromRight = std::atan2(-c.cameraRight.z, c.cameraRight.x) / step;
    const double fromForward = std::atan2(c.cameraFwd.x, c.cameraFwd.z) / step;
    const double fromWidth = (1.0 / c.cameraViewToClip.m[0][0] - 0.5) / step;
    const double fromHeight = (1.0 / c.cameraViewToClip.m[1][1] - 0.3) / step;
    constexpr double tolerance = 0.3;
    return std::fabs(fromRight - fromForward) < tolerance && std::fabs(fromRight - fromWidth) < tolerance &&
           std::fabs(fromRight - fromHeight) < tolerance;
}

bool wholeFrameGenerationRecord(const sl::DLSSGOptions& o)
{
    const bool knownSize = (o.dynamicResWidth == 2560 && o.dynamicResHeight == 1440) ||
                           (o.dynamicResWidth == 1920 && o.dynamicResHeight == 1080);
    return o.next == nullptr &&
           std::memcmp(&o.structType, &sl::kDLSSGOptionsType, sizeof o.structType) == 0 &&
           o.structVersion == sl::kDLSSGOptionsVersion && static_cast<std::uint32_t>(o.mode) <= 1 &&
           o.numFramesToGenerate == 1 && o.flags == sl::kDLSSGFlagDynamicResolutionEnabled && knownSize;
}

struct alignas(16) HostContext {
    unsigned char bytes[0x1000];
};

// A 1280x720 dispatch whose resources are placeholders: the fake Streamline never reads them.
FfxFsr2DispatchDescription placeholderDispatch(int& commandList)
{
    static int placeholders[4];
    FfxFsr2DispatchDescription d{};
    d.commandList = &commandList;
    d.color.resource = &placeholders[0];
    d.depth.resource = &placeholders[1];
    d.motionVectors.resource = &placeholders[2];
    d.output.resource = &placeholders[3];
    d.renderSize = {1280, 720};
    d.preExposure = 1.0f;
    return d;
}

} // namespace

TEST(Threads, EveryRecordSentIsWholeAndFrameGenerationCallsNeverOverlap)
{
    testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
    useSettings(testSettings(true, false));
    setFrameTokenAvailable(true);
    resetFrameGenerationState(0);
    forgetCameraHistory();
    fake.recording = false;
    fake.dlssgCallMicroseconds = 20; // long enough for the threads to meet inside a call

    std::atomic<std::uint32_t> constantsSent{0}, tornConstants{0}, frameGenerationSent{0}, tornOptions{0};
    fake.onConstants = [&](const sl::Constants& c) {
        ++constantsSent;
        tornConstants += oneCall(c) ? 0 : 1;
    };
    fake.onDlssgOptions = [&](const sl::DLSSGOptions& o) {
        ++frameGenerationSent;
        tornOptions += wholeFrameGenerationRecord(o) ? 0 : 1;
    };

    FakeHost host;
    host.selectCamera(0, 0);
    const void* hookTarget = host.argument();
    auto callCamera = [&](std::uint32_t k) {
        const Pose p = poseOf(k);
        host.setPose(0, p.right, p.up, p.forward, p.frustum);
        host.setStateByte(k % 64 < 32 ? 0 : 1); // Frame Generation asked for, then not, in turns
        hostCameraHook(nullptr, const_cast<void*>(hookTarget), nullptr);
    };
    HostContext context{};
    auto createContext = [&](std::uint32_t frame) {
        FfxFsr2ContextDescription description{};
        const bool large = frame / framesPerContext % 2 == 0;
        description.maxRenderSize = large ? FfxDimensions2D{2560, 1440} : FfxDimensions2D{1920, 1080};
        description.displaySize = {3840, 2160};
        EXPECT_EQ(fsr2ContextCreateReplacement(&context, &description), FFX_OK);
    };
    int commandList = 0;
    FfxFsr2DispatchDescription d = placeholderDispatch(commandList);
    d.motionVectorScale = {1280, 720};
    d.cameraNear = 0.1f;
    d.cameraFar = 100.0f;
    d.cameraFovAngleVertical = 1.0f;
    // The first frame is whole before the other threads start. Until a frame has had the game's camera there
    // is none to fall back on when a camera write is under way (a reader that meets one gives up after a few
    // tries), and until a context exists the Frame Generation record has no render size.
    callCamera(0);
    createContext(0);
    std::uint32_t failedDispatches = fsr2ContextDispatchReplacement(&context, &d) != FFX_OK ? 1 : 0;

    std::atomic<bool> rendering{true};
    std::thread camera([&] {
        for (std::uint32_t k = 1; rendering.load(); ++k) {
            callCamera(k);
        }
    });
    std::thread presents([&] {
        for (std::uint32_t n = 0; rendering.load(); ++n) {
            setFrameGenerationMode(takeFrameGenerationRequest() ? 1 : 0);
            if (n % 97 == 0) { // a resize now and then
                pauseFrameGeneration();
                resumeFrameGeneration();
            }
            std::this_thread::yield();
        }
    });

    for (std::uint32_t frame = 1; frame < frames; ++frame) {
        if (frame % framesPerContext == 0) { // the render thread creates its context again
            createContext(frame);
        }
        failedDispatches += fsr2ContextDispatchReplacement(&context, &d) != FFX_OK ? 1 : 0;
    }
    rendering = false;
    camera.join();
    presents.join();

    EXPECT_EQ(failedDispatches, 0u);
    EXPECT_EQ(constantsSent.load(), frames);
    EXPECT_EQ(tornConstants.load(), 0u) << "constants mixing two calls of the camera function";
    EXPECT_GT(frameGenerationSent.load(), 0u);
    EXPECT_EQ(tornOptions.load(), 0u) << "Frame Generation records sent half-written";
    EXPECT_EQ(fake.dlssgOverlaps, 0u) << "Frame Generation calls made at the same time";
    fake.onConstants = nullptr;
    fake.onDlssgOptions = nullptr;
    setFrameTokenAvailable(false);
}

namespace {

// Both sides of a race, once per round: `side` runs on a thread of its own while `main` runs here, released
// together; `settle` runs here when both are done. At most `rounds`, and no longer than `milliseconds`.
template <class Side, class Main, class Settle>
std::uint32_t raceRounds(std::uint32_t rounds, std::uint64_t milliseconds, Side side, Main main,
                         Settle settle)
{
    constexpr std::uint32_t stop = 0xFFFFFFFFu;
    std::atomic<std::uint32_t> released{0}, done{0};
    std::thread other([&] {
        for (std::uint32_t round = 1;; ++round) {
            std::uint32_t now;
            while ((now = released.load(std::memory_order_acquire)) < round)
                YieldProcessor();
            if (now == stop)
                return;
            side(round);
            done.store(round, std::memory_order_release);
        }
    });
    const std::uint64_t end = GetTickCount64() + milliseconds;
    std::uint32_t round = 1;
    for (; round <= rounds && GetTickCount64() < end; ++round) {
        released.store(round, std::memory_order_release);
        main(round);
        while (done.load(std::memory_order_acquire) < round)
            YieldProcessor();
        settle(round);
    }
    released.store(stop, std::memory_order_release);
    other.join();
    return round - 1;
}

} // namespace

// A present that finds the Frame Generation lock taken marks its switch pending for the lock holder or the
// next present; the holder clears the mark and then reads the mode wanted. The two sides run against each
// other: afterwards a present asking for the same mode must find the record at that mode.
TEST(Threads, APresentsSwitchIsNeverLostToTheLockHolder)
{
    testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
    useSettings(testSettings(true, false));
    resetFrameGenerationState(0);
    fake.recording = false;
    std::uint32_t lost = 0;
    const std::uint32_t rounds = raceRounds(
        50000, 3000,
        [](std::uint32_t) { // a resize: holds the lock, applies what is wanted, then leaves it pending
            pauseFrameGeneration();
            resumeFrameGeneration();
        },
        [](std::uint32_t round) {
            for (std::uint32_t spin = round % 32; spin > 0; --spin) // meets the holder at every moment
                YieldProcessor();
            setFrameGenerationMode(round & 1);
        },
        [&](std::uint32_t round) {
            setFrameGenerationMode(round & 1);
            if (static_cast<std::uint32_t>(frameGenerationOptions().mode) != (round & 1)) {
                ++lost;
                resumeFrameGeneration();
            }
        });
    EXPECT_EQ(lost, 0u) << "switches lost between a present and the lock holder in " << rounds << " rounds";
}

// Two render threads dispatch with a transparency mask for the first time at once: the view hook is attempted
// once, and neither dispatch fails because the other made the attempt.
TEST(Threads, FirstDispatchesWithAMaskOnTwoThreadsBothSucceed)
{
    ID3D12Device* device = testsupport::sharedDevice();
    ASSERT_NE(device, nullptr) << "tests need a real D3D12 device (run under Xvfb)";
    testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
    useSettings(testSettings(false, false));
    setFrameTokenAvailable(true);
    fake.recording = false;
    void* const target = shaderResourceViewHookTarget(device);
    ASSERT_NE(target, nullptr);
    const auto unhook = [target] {
        MH_DisableHook(target);
        MH_RemoveHook(target);
        forgetShaderResourceViewHookAttempt();
    };
    FfxFsr2ContextDescription description{};
    description.maxRenderSize = {1280, 720};
    description.displaySize = {2560, 1440};
    description.device = device;
    HostContext contexts[2]{};
    for (HostContext& context : contexts)
        ASSERT_EQ(fsr2ContextCreateReplacement(&context, &description), FFX_OK);
    int commandList = 0;
    FfxFsr2DispatchDescription d = placeholderDispatch(commandList);
    static int mask;
    d.transparencyAndComposition.resource = &mask;
    std::atomic<std::uint32_t> failed{0};
    unhook();
    const std::uint32_t rounds = raceRounds(
        2000, 2000,
        [&](std::uint32_t) { failed += fsr2ContextDispatchReplacement(&contexts[1], &d) != FFX_OK; },
        [&](std::uint32_t) { failed += fsr2ContextDispatchReplacement(&contexts[0], &d) != FFX_OK; },
        [&](std::uint32_t) { unhook(); });
    EXPECT_EQ(failed.load(), 0u) << "dispatches failed in " << rounds << " rounds";
    setFrameTokenAvailable(false);
}
