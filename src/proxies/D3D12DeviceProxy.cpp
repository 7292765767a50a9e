#include "proxies/D3D12DeviceProxy.h"

#include <new>

#include "proxies/D3D12CommandQueueProxy.h"
#include "proxies/identity.h"

namespace fsr2bridge {

namespace {
inline constexpr LogEvent<const void*> deviceGivenBack{
    "device proxy {}: the game released its last reference; system and Streamline devices given back"};

// Its virtual table is the one every device proxy carries.
constinit D3D12DeviceProxy vtableProbe{nullptr, nullptr};

const void* vtableOf(const void* object) noexcept
{
    return *static_cast<const void* const*>(object);
}
} // namespace

ID3D12Device* nativeDeviceOf(void* device) noexcept
{
    if (device == nullptr || vtableOf(device) != vtableOf(&vtableProbe))
        return static_cast<ID3D12Device*>(device);
    return static_cast<D3D12DeviceProxy*>(device)->native;
}

void repairShaderResourceViewFormat(const D3D12_SHADER_RESOURCE_VIEW_DESC* desc) noexcept
{
    // The host's descriptor is writable memory handed to us as const; the repair is visible to the host.
    if (desc != nullptr && desc->Format == DXGI_FORMAT_R8_TYPELESS)
        const_cast<D3D12_SHADER_RESOURCE_VIEW_DESC*>(desc)->Format = DXGI_FORMAT_R8_UNORM;
}

HRESULT wrapCreatedQueue(HRESULT created, void** queue, IUnknown* maker) noexcept
{
    if (FAILED(created))
        return created;
    if (queue == nullptr || *queue == nullptr)
        return created; // nothing was handed out (a null out-pointer only asks whether creation would work)
    auto* proxy = new (std::nothrow) D3D12CommandQueueProxy(static_cast<ID3D12CommandQueue*>(*queue), maker);
    if (proxy == nullptr)
        return E_OUTOFMEMORY; // the queue stays in the out-pointer, as Streamline's device made it
    if (maker != nullptr)
        maker->AddRef();
    *queue = proxy;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE D3D12DeviceProxy::QueryInterface(REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (native == nullptr) { // the game's last release gave the device back
        noteQueryAfterLast(this);
        *object = nullptr;
        return E_NOINTERFACE;
    }
    return native->QueryInterface(riid, object);
}

ULONG STDMETHODCALLTYPE D3D12DeviceProxy::AddRef()
{
    return gameReferences.add(this);
}

ULONG STDMETHODCALLTYPE D3D12DeviceProxy::Release()
{
    return releaseGameReference(*this, deviceGivenBack);
}

HRESULT STDMETHODCALLTYPE D3D12DeviceProxy::CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* desc,
                                                               REFIID riid, void** queue)
{
    return wrapCreatedQueue(upgraded->CreateCommandQueue(desc, riid, queue), queue, upgraded);
}

void STDMETHODCALLTYPE D3D12DeviceProxy::CreateShaderResourceView(ID3D12Resource* resource,
                                                                  const D3D12_SHADER_RESOURCE_VIEW_DESC* desc,
                                                                  D3D12_CPU_DESCRIPTOR_HANDLE destination)
{
    repairShaderResourceViewFormat(desc);
    native->CreateShaderResourceView(resource, desc, destination);
}

HRESULT STDMETHODCALLTYPE D3D12DeviceProxy::GetDeviceRemovedReason()
{
    // Asked when a present reports the device removed, also after the game let go of the device.
    return native != nullptr ? native->GetDeviceRemovedReason() : DXGI_ERROR_DEVICE_REMOVED;
}

HRESULT STDMETHODCALLTYPE D3D12DeviceProxy::CreateCommandQueue1(const D3D12_COMMAND_QUEUE_DESC* desc,
                                                                REFIID creatorId, REFIID riid, void** queue)
{
    return wrapCreatedQueue(upgraded->CreateCommandQueue1(desc, creatorId, riid, queue), queue, upgraded);
}

} // namespace fsr2bridge
