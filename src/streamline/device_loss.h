#pragma once
// A device removed under the game (a driver timeout, a driver update, an overclock): Streamline's objects and
// everything the system made for that device are dead, and Streamline 2.1.1 attaches no other device once it
// has served one. The first of the game's calls that answers a removal code, confirmed by the attached
// device's own reason, makes the loss known: from then on the frame paths leave Streamline alone, FSR2
// contexts the game makes run on its own FSR2, and new factories and swap chains are the system's.
#include "common/graphics.h"

namespace fsr2bridge {

// The device Streamline serves, as the game holds it (device attachment records it; no reference is kept).
void recordAttachedDevice(ID3D12Device* device) noexcept;
ID3D12Device* attachedDevice() noexcept;

// The devices Streamline refused (a second one while it serves the first, any after a loss): the system
// devices behind them, by address, without a reference. FSR2 contexts on them are the game's own.
void recordRefusedDevice(ID3D12Device* device) noexcept;
bool isRefusedDevice(const void* systemDevice) noexcept;

// The codes by which Present, ResizeBuffers and the device report a removed device.
constexpr bool isDeviceRemovalResult(HRESULT result) noexcept
{
    return result == DXGI_ERROR_DEVICE_REMOVED || result == DXGI_ERROR_DEVICE_RESET ||
           result == DXGI_ERROR_DEVICE_HUNG;
}

enum class RemovalSeenAt { present, resize };

// A call of the game's answered `result`. When it is a removal code and the attached device reports itself
// removed, the attachment is lost: once, with one log record of the call's result and the device's reason.
// True when the attachment is lost (now or before). Asks the device only when `result` is a removal code.
bool noteDeviceRemoval(HRESULT result, RemovalSeenAt seenAt) noexcept;

// Whether the attached device was removed; every frame path asks (one atomic load).
bool attachmentLost() noexcept;

// Tests: no attached or refused device, no loss.
void forgetAttachment() noexcept;

} // namespace fsr2bridge
