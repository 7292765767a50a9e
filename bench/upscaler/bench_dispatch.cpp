// Creates one FSR2 context and times 10,000 dispatches through the replacement against the fake Streamline
// (which only counts), counting heap allocations made on the dispatching thread (operator new and the
// process heap): first with the game's camera published by the camera hook, then with none (neutral values).
// It prints which path it timed: NIS on or off, a transparency mask or none, the game's camera. The process's
// log runs all the while, as it does in the game.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/graphics.h"
#include "common/log.h"
#include "hooking/MinHook.h"
#include "streamline/reflex.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/d3d12_objects.h"
#include "tests/support/fake_streamline.h"
#include "tests/support/scratch_settings.h"
#include "upscaler/fsr2_replacements.h"
#include "upscaler/host_hooks.h"
#include "upscaler/upscaler_state.h"

using testsupport::ComPtr;

int main()
{
    constexpr int dispatches = 10000;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring logFolder =
        std::wstring(temp) + L"bench_dispatch_log_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(logFolder.c_str(), nullptr);
    fsr2bridge::startLog(logFolder);
    fsr2bridge::Config& config = testsupport::scratchSettings(L"bench_dispatch");
    const ComPtr<ID3D12Device> device = testsupport::createDevice();
    fsr2bridge::Settings settings = config.snapshot();
    settings.enableFrameGeneration = true;
    // NIS needs a real device for its intermediate texture; without a display there is none.
    settings.enableNisSharpening = device != nullptr;
    config.replace(settings);
    fsr2bridge::publishUpscalerState(nullptr, &config, GetModuleHandleW(nullptr));
    testsupport::FakeStreamline& fake = testsupport::installFakeStreamline();
    fake.recording = false;
    fsr2bridge::advanceFrameToken(); // a current frame token: the dispatch reaches Streamline
    fsr2bridge::advanceFrameToken();
    MH_Initialize();
    fsr2bridge::startReflex(nullptr); // Frame Generation needs Reflex running

    fsr2bridge::FfxFsr2ContextDescription description{};
    description.flags = 0x2C;
    description.maxRenderSize = {2560, 1440};
    description.displaySize = {3840, 2160};
    description.device = device.Get();
    alignas(16) static unsigned char context[0x10000];
    if (fsr2bridge::fsr2ContextCreateReplacement(context, &description) != fsr2bridge::FFX_OK) {
        std::fprintf(stderr, "bench_dispatch: context creation failed\n");
        return 1;
    }

    int commandList = 0;
    fsr2bridge::FfxFsr2DispatchDescription d{};
    d.commandList = &commandList;
    static int placeholders[5];
    d.color.resource = &placeholders[0];
    d.depth.resource = &placeholders[1];
    d.motionVectors.resource = &placeholders[2];
    d.output.resource = &placeholders[3];
    ComPtr<ID3D12Resource> output, mask;
    if (device) {
        output = testsupport::createTexture(device.Get(), 64, 64, DXGI_FORMAT_R16G16B16A16_FLOAT);
        mask = testsupport::createTexture(device.Get(), 64, 64, DXGI_FORMAT_R8_TYPELESS);
        d.output.resource = output.Get();
        d.transparencyAndComposition.resource = mask.Get();
    }
    d.renderSize = {2560, 1440};
    d.motionVectorScale = {2560, 1440};
    d.preExposure = 1.0f;
    d.sharpness = 0.3f;
    d.cameraNear = 0.1f;
    d.cameraFar = 1000.0f;
    d.cameraFovAngleVertical = 1.0f;

    // The first dispatch does the one-time work (intermediate texture, view hook).
    if (fsr2bridge::fsr2ContextDispatchReplacement(context, &d) != fsr2bridge::FFX_OK) {
        std::fprintf(stderr, "bench_dispatch: first dispatch failed\n");
        return 1;
    }
    if (!testsupport::countProcessHeap()) {
        std::fprintf(stderr, "bench_dispatch: heap hook failed\n");
    }
    testsupport::countOnlyThread(GetCurrentThreadId());
    // The counters must see both kinds of allocation, or a zero below would mean nothing.
    if (!testsupport::allocationCounterWorks()) {
        std::fprintf(stderr, "bench_dispatch: allocation counting does not work here\n");
        return 1;
    }

    // The game's camera, as the camera hook publishes it: a yawed basis and an off-centre frustum.
    unsigned char basis[160] = {};
    const float right[3] = {0.8f, 0.0f, -0.6f}, up[3] = {0.0f, 1.0f, 0.0f}, forward[3] = {0.6f, 0.0f, 0.8f};
    std::memcpy(basis + 32, right, sizeof right);
    std::memcpy(basis + 48, up, sizeof up);
    std::memcpy(basis + 64, forward, sizeof forward);
    const float frustum[6] = {-0.9f, 1.1f, 0.6f, -0.5f, 0.1f, 1000.0f};
    fsr2bridge::publishHostCamera(basis, frustum);
    bool gameCameraSent = false;
    fake.onConstants = [&](const sl::Constants& c) { gameCameraSent = c.cameraRight.x == 0.8f; };
    fsr2bridge::fsr2ContextDispatchReplacement(context, &d);
    fake.onConstants = nullptr;

    unsigned failures = 0;
    int i = 0;
    auto timeDispatches = [&] {
        return testsupport::measure(dispatches, [&] {
            d.jitterOffset = {static_cast<float>(i & 7) * 0.125f - 0.5f, 0.25f};
            ++i;
            failures += fsr2bridge::fsr2ContextDispatchReplacement(context, &d) != fsr2bridge::FFX_OK;
        });
    };
    const testsupport::Measured measured = timeDispatches();
    fsr2bridge::resetHostCamera(); // no camera from the game: neutral values on every frame
    const testsupport::Measured neutral = timeDispatches();

    // The log ran: its start lines and the settings' lines are in the file.
    fsr2bridge::flushLog(5000);
    std::ostringstream logText;
    logText << std::ifstream(std::filesystem::path(logFolder) / L"fsr2bridge.log", std::ios::binary).rdbuf();
    const bool logRunning = logText.str().find("] settings in use: ") != std::string::npos;
    std::printf("dispatch_log_running: %d flag\n", logRunning ? 1 : 0);
    std::printf("dispatch: %.1f ns\n", measured.nsPerCall);
    std::printf("dispatch_allocations: %.3f allocations/call\n",
                static_cast<double>(measured.allocations) / dispatches);
    std::printf("dispatch_neutral_camera: %.1f ns\n", neutral.nsPerCall);
    std::printf("dispatch_neutral_camera_allocations: %.3f allocations/call\n",
                static_cast<double>(neutral.allocations) / dispatches);
    std::printf("dispatch_nis: %d flag\n", settings.enableNisSharpening ? 1 : 0);
    std::printf("dispatch_mask: %d flag\n", d.transparencyAndComposition.resource ? 1 : 0);
    std::printf("dispatch_game_camera: %d flag\n", gameCameraSent ? 1 : 0);
    int status = 0;
    if (failures) {
        std::printf("FAIL: %u dispatches failed\n", failures);
        status = 1;
    }
    if (!logRunning) {
        std::printf("FAIL: the log did not run\n");
        status = 1;
    }
    if (!gameCameraSent) {
        std::printf("FAIL: the game's camera did not reach the constants\n");
        status = 1;
    }
    if (measured.allocations != 0 || neutral.allocations != 0) {
        std::printf("FAIL: the steady-state dispatch allocates\n");
        status = 1;
    }
    // The target is well under 2 us; only a gross regression should fail on a loaded machine.
    if (measured.nsPerCall > 20000.0 || neutral.nsPerCall > 20000.0) {
        std::printf("FAIL: dispatch slower than 20 us\n");
        status = 1;
    }
    return status;
}
