#pragma once
// Direct3D 12 and DXGI with interface identifiers usable through __uuidof and
// IID_PPV_ARGS on every toolchain. Include this instead of <d3d12.h>.
#include <windows.h>

#include <d3d12.h>
#include <dxgi1_6.h>

#ifndef _MSC_VER
#include <dxguids/dxguids.h>
#endif

namespace fsr2bridge {

// Methods that return a structure are declared by value for MSVC; elsewhere the DirectX-Headers spell out
// the hidden out-pointer of the same ABI. These read them one way on every toolchain.
inline D3D12_RESOURCE_DESC resourceDescriptionOf(ID3D12Resource* resource)
{
#if defined(_MSC_VER) || !defined(_WIN32)
    return resource->GetDesc();
#else
    D3D12_RESOURCE_DESC description;
    resource->GetDesc(&description);
    return description;
#endif
}

inline LUID adapterLuidOf(ID3D12Device* device)
{
#if defined(_MSC_VER) || !defined(_WIN32)
    return device->GetAdapterLuid();
#else
    LUID luid{};
    device->GetAdapterLuid(&luid);
    return luid;
#endif
}

} // namespace fsr2bridge
