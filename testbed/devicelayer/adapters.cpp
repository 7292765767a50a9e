// TESTWORLD_ADAPTERS=2: a laptop's two GPUs. Wine with lavapipe has one adapter; DXGI then enumerates a
// modelled integrated GPU first and Wine's adapter second, as a laptop lists its integrated GPU before the
// one the game renders on. The modelled adapter is Wine's adapter object marked with private data, whose
// descriptions answer the modelled LUID and name.
#include <cstring>
#include <cwchar>
#include <iterator>

#include <wrl/client.h>

#include "testbed/devicelayer/device_layer.h"
#include "testbed/devicelayer/layer_internal.h"

namespace testworld {
namespace {

using Microsoft::WRL::ComPtr;

constexpr GUID modelledSlot = {0x0E3B9F52, 0x6A41, 0x4C7D, {0xB2, 0x18, 0x5F, 0x90, 0x3C, 0xA7, 0x21, 0x6E}};

EnumAdapters1Fn originalEnumAdapters1 = nullptr;
EnumAdapterByLuidFn originalEnumAdapterByLuid = nullptr;
GetDescFn originalGetDesc = nullptr;
GetDesc1Fn originalGetDesc1 = nullptr;

// Wine's own functions may call each other (EnumAdapters through EnumAdapters1, a search by LUID through the
// enumeration): only the outermost call of the model moves indices or rewrites a description.
thread_local int modelDepth = 0;
struct Outermost {
    Outermost() : outermost(modelDepth++ == 0) {}
    ~Outermost() { --modelDepth; }
    Outermost(const Outermost&) = delete;
    Outermost& operator=(const Outermost&) = delete;
    const bool outermost;
};

bool sameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

bool isModelled(IUnknown* adapter)
{
    ComPtr<IDXGIObject> object;
    char mark = 0;
    UINT size = sizeof mark;
    return adapter != nullptr && SUCCEEDED(adapter->QueryInterface(IID_PPV_ARGS(&object))) &&
           SUCCEEDED(object->GetPrivateData(modelledSlot, &size, &mark)) && mark == 1;
}

// The modelled adapter: a fresh object of Wine's first adapter, marked.
HRESULT modelledAdapter(IDXGIFactory1* factory, IDXGIAdapter1** adapter)
{
    const HRESULT hr = originalEnumAdapters1(factory, 0, adapter);
    if (SUCCEEDED(hr) && *adapter != nullptr) {
        const char mark = 1;
        (*adapter)->SetPrivateData(modelledSlot, sizeof mark, &mark);
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE enumAdapters1Detour(IDXGIFactory1* factory, UINT index, IDXGIAdapter1** adapter)
{
    const Outermost call;
    if (!call.outermost || adapter == nullptr)
        return originalEnumAdapters1(factory, index, adapter);
    return index == 0 ? modelledAdapter(factory, adapter)
                      : originalEnumAdapters1(factory, index - 1, adapter);
}

HRESULT STDMETHODCALLTYPE enumAdapterByLuidDetour(IDXGIFactory4* factory, LUID luid, REFIID riid, void** out)
{
    const Outermost call;
    if (!call.outermost || out == nullptr || !sameLuid(luid, modelledAdapterLuid))
        return originalEnumAdapterByLuid(factory, luid, riid, out);
    *out = nullptr;
    ComPtr<IDXGIAdapter1> adapter;
    const HRESULT hr = modelledAdapter(factory, adapter.GetAddressOf());
    return FAILED(hr) ? hr : adapter->QueryInterface(riid, out);
}

template <class Desc> void describeModelled(Desc& desc)
{
    std::wcsncpy(desc.Description, modelledAdapterName, std::size(desc.Description) - 1);
    desc.Description[std::size(desc.Description) - 1] = L'\0';
    desc.VendorId = 0x8086;
    desc.AdapterLuid = modelledAdapterLuid;
}

// GetDesc and GetDesc1: Wine's description, the modelled one's for the modelled adapter.
template <class Adapter, class Desc, HRESULT(STDMETHODCALLTYPE** original)(Adapter*, Desc*)>
HRESULT STDMETHODCALLTYPE describeDetour(Adapter* adapter, Desc* desc)
{
    const Outermost call;
    const HRESULT hr = (*original)(adapter, desc);
    if (call.outermost && SUCCEEDED(hr) && desc != nullptr && isModelled(adapter))
        describeModelled(*desc);
    return hr;
}

} // namespace

bool isModelledAdapter(IUnknown* adapter)
{
    return originalEnumAdapters1 != nullptr && isModelled(adapter);
}

bool installAdapterModel()
{
    char text[8] = {};
    GetEnvironmentVariableA("TESTWORLD_ADAPTERS", text, sizeof text);
    if (std::strcmp(text, "2") != 0)
        return text[0] == '\0' || std::strcmp(text, "1") == 0;
    const ComPtr<IDXGIFactory4> factory = systemFactory();
    ComPtr<IDXGIAdapter1> adapter;
    return factory && SUCCEEDED(factory->EnumAdapters1(0, &adapter)) &&
           hookVirtual(
               adapter.Get(), adapterGetDescSlot,
               reinterpret_cast<void*>(&describeDetour<IDXGIAdapter, DXGI_ADAPTER_DESC, &originalGetDesc>),
               reinterpret_cast<void**>(&originalGetDesc)) &&
           hookVirtual(
               adapter.Get(), adapterGetDesc1Slot,
               reinterpret_cast<void*>(&describeDetour<IDXGIAdapter1, DXGI_ADAPTER_DESC1, &originalGetDesc1>),
               reinterpret_cast<void**>(&originalGetDesc1)) &&
           hookVirtual(factory.Get(), factoryEnumAdapterByLuidSlot,
                       reinterpret_cast<void*>(&enumAdapterByLuidDetour),
                       reinterpret_cast<void**>(&originalEnumAdapterByLuid)) &&
           hookVirtual(factory.Get(), factoryEnumAdapters1Slot, reinterpret_cast<void*>(&enumAdapters1Detour),
                       reinterpret_cast<void**>(&originalEnumAdapters1));
}

} // namespace testworld
