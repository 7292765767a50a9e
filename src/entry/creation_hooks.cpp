#include "entry/creation_hooks.h"

#include <cstdint>
#include <memory>
#include <new>

#include "common/log.h"
#include "entry/load_once.h"
#include "entry/loader_lock.h"
#include "hooking/MinHook.h"
#include "proxies/D3D12DeviceProxy.h"
#include "proxies/DXGIFactoryProxy.h"
#include "streamline/adapter_names.h"
#include "streamline/device_attachment.h"
#include "streamline/device_loss.h"
#include "streamline/startup_phases.h"
#include "streamline/streamline_api.h"
#include "upscaler/host_installation.h"
#include "upscaler/upscaler_state.h"

namespace fsr2bridge {

namespace {

using CreateDeviceFunction = HRESULT(WINAPI*)(IUnknown*, D3D_FEATURE_LEVEL, REFIID, void**);
using CreateFactoryFunction = HRESULT(WINAPI*)(UINT, REFIID, void**);

CreateDeviceFunction systemCreateDevice = nullptr;
CreateFactoryFunction systemCreateFactory = nullptr;

// Far longer than a load takes; past it a creator goes on without Streamline rather than stall the game.
constexpr std::uint32_t loadWaitMilliseconds = 10000;
constinit LoadOnce streamlineLoad(loadWaitMilliseconds);

// A creation that must not wait for the load, or waited in vain: the system object goes to the host as it
// is. Inside the load it is Streamline's own; past the wait it is logged.
bool passesByTheLoad(LoadOnce::Turn turn, const char* what) noexcept
{
    if (turn == LoadOnce::Turn::stillRunning)
        logLine("%s created while the Streamline load has run for over %u s: passed through", what,
                loadWaitMilliseconds / 1000);
    return turn == LoadOnce::Turn::nested || turn == LoadOnce::Turn::stillRunning;
}

// Inside a module's DllMain (an overlay's, an injector's) the loader lock is held. The load there would run
// Streamline's initialisation under it, and waiting there for a load or signature check running on another
// thread, which needs the lock to load its modules, stalls the game until the waits give up. So a factory
// made there before the load has finished passes through and leaves the load to the first factory made
// outside; a device made there passes through untouched, since its attachment starts Streamline's work
// on it.
bool passesByTheLoaderLock(const char* what, bool loadNeeded) noexcept
{
    if ((loadNeeded && streamlineLoad.finished()) || !loaderLockHeld())
        return false;
    logLine(
        "%s created inside a module's DllMain (the loader lock is held): passed through as the system made "
        "it%s",
        what, loadNeeded ? "; Streamline loads at the first factory made outside" : "");
    return true;
}

// Streamline can upgrade objects only once it is loaded; until then (a device before the first factory) and
// after a failed load objects pass through as in pass-through mode.
sl::PFun_slUpgradeInterface* upgraderIfLoaded() noexcept
{
    return streamlineLoader.passThroughMode() ? nullptr : streamlineApi.slUpgradeInterface;
}

// A failed attach unloads the module: nothing of it may stay behind. Enabling is all or none, so removing
// the hooks leaves both system functions as they were. When even that fails a hook may still lead into the
// module, which must then stay: false.
bool takeDownFailedInstallation() noexcept
{
    const MH_STATUS removed = MH_Uninitialize();
    if (removed == MH_OK)
        return true;
    logLine("creation hooks failed and could not be removed (%s): the module stays loaded",
            MH_StatusToString(removed));
    return false;
}

// The upscaler's installation, timed for the start-up's phases line.
bool installUpscalerTimed(HMODULE interposer, Config* settings) noexcept
{
    const long long start = performanceNow();
    const bool installed = installUpscaler(interposer, settings);
    StartupPhases& phases = startupPhases();
    if (phases.hooks < 0)
        phases.hooks = millisecondsSince(start);
    return installed;
}

// A device's attachment; the first one after the load ends the start-up, whose phases are then logged.
template <class Attach> auto attachTimed(Attach attach) noexcept
{
    const long long start = performanceNow();
    const auto outcome = attach();
    StartupPhases& phases = startupPhases();
    if (phases.attachment < 0 && streamlineLoad.claimed()) {
        phases.attachment = millisecondsSince(start);
        logStartupPhases();
    }
    return outcome;
}

} // namespace

StreamlineLoader streamlineLoader;

bool streamlineLoadAttempted() noexcept
{
    return streamlineLoad.claimed();
}

std::uint32_t streamlineLoadWaiters() noexcept
{
    return streamlineLoad.waiters();
}

HRESULT wrapCreatedDevice(HRESULT created, REFIID riid, void** device) noexcept
{
    if (created != S_OK || !IsEqualIID(riid, __uuidof(ID3D12Device5)) || device == nullptr ||
        *device == nullptr)
        return created;
    if (passesByTheLoaderLock("device", false) || passesByTheLoad(streamlineLoad.awaitEnd(), "device"))
        return created;
    auto* native = static_cast<ID3D12Device10*>(*device);
    sl::PFun_slUpgradeInterface* upgrade = upgraderIfLoaded();
    if (upgrade == nullptr) {
        attachTimed([device] { return attachDevice(static_cast<ID3D12Device*>(*device)); });
        return S_OK;
    }
    void* upgraded = native;
    if (!streamlineAccepted(upgrade(&upgraded), StreamlineCall::slUpgradeInterface))
        return E_UNEXPECTED; // the system device stays in the out-pointer
    std::unique_ptr<D3D12DeviceProxy> proxy(
        new (std::nothrow) D3D12DeviceProxy(static_cast<ID3D12Device10*>(upgraded), native));
    if (proxy == nullptr)
        return E_OUTOFMEMORY;
    if (attachTimed([&proxy] { return attachDeviceOutcome(proxy.get()); }) ==
        AttachmentOutcome::deviceRefused) {
        // Streamline serves another device, or none after a loss: this one goes to the game as the system
        // made it (the system device is still in the out-pointer), and Streamline's object for it goes now,
        // with the reference on the system device it holds, so that the device dies with the game's release.
        proxy->upgraded->Release();
        return S_OK;
    }
    *device = proxy.release(); // lives as long as the process, like every proxy
    return S_OK;
}

HRESULT wrapCreatedFactory(HRESULT created, void** factory) noexcept
{
    if (created != S_OK || factory == nullptr || *factory == nullptr ||
        passesByTheLoaderLock("factory", true))
        return created;
    const LoadOnce::Turn turn = streamlineLoad.claim();
    if (turn == LoadOnce::Turn::yours) {
        const bool loaded = streamlineLoader.loadStreamline();
        if (loaded && !streamlineLoader.passThroughMode())
            rememberAdapters(static_cast<IUnknown*>(*factory)); // before any device can be attached
        streamlineLoad.finish();
        if (!loaded)
            return E_UNEXPECTED; // the system factory stays in the out-pointer
    } else if (passesByTheLoad(turn, "factory")) {
        return created;
    }
    sl::PFun_slUpgradeInterface* upgrade = upgraderIfLoaded();
    if (upgrade == nullptr || attachmentLost())
        return S_OK; // after a device loss Streamline serves no device: its factories would serve none either
    return wrapSystemFactory(upgrade, factory);
}

HRESULT WINAPI createDeviceHook(IUnknown* adapter, D3D_FEATURE_LEVEL minimumLevel, REFIID riid, void** device)
{
    return wrapCreatedDevice(systemCreateDevice(adapter, minimumLevel, riid, device), riid, device);
}

HRESULT WINAPI createFactoryHook(UINT flags, REFIID riid, void** factory)
{
    return wrapCreatedFactory(systemCreateFactory(flags, riid, factory), factory);
}

bool installCreationHooks() noexcept
{
    // The layers below reach up only through what is registered here.
    setUpscalerInstaller(&installUpscalerTimed);
    publishSystemDeviceLookup(&nativeDeviceOf);
    const MH_STATUS started = MH_Initialize();
    if (started != MH_OK) {
        logLine("creation hooks not installed: the hook engine did not start (%s)",
                MH_StatusToString(started));
        return false;
    }
    const struct {
        const wchar_t* module;
        const char* function;
        void* detour;
        void** trampoline;
    } hooks[] = {
        {L"d3d12.dll", "D3D12CreateDevice", reinterpret_cast<void*>(&createDeviceHook),
         reinterpret_cast<void**>(&systemCreateDevice)},
        {L"dxgi.dll", "CreateDXGIFactory2", reinterpret_cast<void*>(&createFactoryHook),
         reinterpret_cast<void**>(&systemCreateFactory)},
    };
    for (const auto& hook : hooks) {
        const MH_STATUS made = MH_CreateHookApi(hook.module, hook.function, hook.detour, hook.trampoline);
        if (made != MH_OK) {
            logLine("creation hooks not installed: %s could not be hooked (%s%s%s)", hook.function,
                    MH_StatusToString(made), made == MH_ERROR_MODULE_NOT_FOUND ? ": " : "",
                    made == MH_ERROR_MODULE_NOT_FOUND
                        ? toUtf8(hook.module).append(" is not loaded yet").c_str()
                        : "");
            return !takeDownFailedInstallation();
        }
    }
    const MH_STATUS enabled = MH_EnableHook(MH_ALL_HOOKS);
    if (enabled != MH_OK) {
        logLine("creation hooks not installed: they could not be enabled (%s)", MH_StatusToString(enabled));
        return !takeDownFailedInstallation();
    }
    logLine("hooks on D3D12CreateDevice and CreateDXGIFactory2 installed");
    return true;
}

} // namespace fsr2bridge
