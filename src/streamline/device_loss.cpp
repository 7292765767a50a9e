#include "streamline/device_loss.h"

#include <atomic>

#include "common/log.h"
#include "common/pointer_set.h"

namespace fsr2bridge {

namespace {

constexpr std::uint32_t lossFlushMilliseconds = 200;

std::atomic<ID3D12Device*> attached{nullptr};
std::atomic<bool> lost{false};
PointerSet<8> refused;

inline constexpr LogEvent<HRESULT, HRESULT> removedAtPresent{
    "device removed: the present answered {x}, the device's reason is {x}; Streamline's objects for it are "
    "gone, so DLSS, Frame Generation and Reflex stop, and FSR2 contexts the game makes from now on run on "
    "its "
    "own FSR2"};
inline constexpr LogEvent<HRESULT, HRESULT> removedAtResize{
    "device removed: the swap chain's resize answered {x}, the device's reason is {x}; Streamline's objects "
    "for it are gone, so DLSS, Frame Generation and Reflex stop, and FSR2 contexts the game makes from now "
    "on "
    "run on its own FSR2"};
LogError<HRESULT> removalOfAnotherDevice{
    "a swap chain answered {x}, but the device Streamline serves reports no removal: it goes on"};

} // namespace

void recordAttachedDevice(ID3D12Device* device) noexcept
{
    attached.store(device, std::memory_order_release);
}

ID3D12Device* attachedDevice() noexcept
{
    return attached.load(std::memory_order_acquire);
}

void recordRefusedDevice(ID3D12Device* device) noexcept
{
    // The device as the game holds it may be a proxy; the system device answers its query.
    ID3D12Device* system = nullptr;
    if (device == nullptr ||
        FAILED(device->QueryInterface(__uuidof(ID3D12Device), reinterpret_cast<void**>(&system))) ||
        system == nullptr)
        return;
    system->Release();
    refused.insert(system); // a ninth refused device goes unrecorded: its contexts would get DLSS as before
}

bool isRefusedDevice(const void* systemDevice) noexcept
{
    return refused.contains(systemDevice);
}

bool noteDeviceRemoval(HRESULT result, RemovalSeenAt seenAt) noexcept
{
    if (lost.load(std::memory_order_acquire))
        return true;
    ID3D12Device* device = attachedDevice();
    if (!isDeviceRemovalResult(result) || device == nullptr)
        return false;
    // The present of a frame Streamline generated may report the loss a frame late, or on a swap chain of
    // another device: the attached device's own answer decides.
    const HRESULT reason = device->GetDeviceRemovedReason();
    if (SUCCEEDED(reason)) {
        logError(removalOfAnotherDevice, result);
        return false;
    }
    if (!lost.exchange(true, std::memory_order_acq_rel)) {
        logEvent(seenAt == RemovalSeenAt::present ? removedAtPresent : removedAtResize, result, reason);
        // Most games quit right after a device loss: this line must reach the file first. Once per process,
        // on a frame that is lost anyway, the present waits for the writer (briefly).
        flushLog(lossFlushMilliseconds);
    }
    return true;
}

bool attachmentLost() noexcept
{
    return lost.load(std::memory_order_acquire);
}

void forgetAttachment() noexcept
{
    refused.clear();
    attached.store(nullptr, std::memory_order_release);
    lost.store(false, std::memory_order_release);
}

} // namespace fsr2bridge
