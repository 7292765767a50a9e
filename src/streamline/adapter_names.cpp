#include "streamline/adapter_names.h"

#include <wrl/client.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <type_traits>

#include "common/log.h"
#include "common/module_export.h"

namespace fsr2bridge {

namespace {

struct ListedAdapter {
    LUID luid;
    wchar_t name[128];
};

constexpr unsigned maxListed = 8;
ListedAdapter listed[maxListed] = {};
unsigned listedCount = 0;
std::atomic<bool> adaptersRead{false};

bool sameLuid(const LUID& a, const LUID& b) noexcept
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// The adapter's name ("NVIDIA GeForce RTX 4080"), empty when unknown: from a factory of the system's
// CreateDXGIFactory1, which the creation hooks leave alone.
std::wstring nameFromFactoryOfItsOwn(LUID luid) noexcept
{
    using CreateFactory1 = HRESULT(WINAPI*)(REFIID, void**);
    const HMODULE dxgi = GetModuleHandleW(L"dxgi.dll");
    auto* create = dxgi != nullptr
                       ? exportedFunction<std::remove_pointer_t<CreateFactory1>>(dxgi, "CreateDXGIFactory1")
                       : nullptr;
    Microsoft::WRL::ComPtr<IDXGIFactory4> factory;
    Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
    DXGI_ADAPTER_DESC description{};
    if (create == nullptr ||
        FAILED(create(__uuidof(IDXGIFactory4), reinterpret_cast<void**>(factory.GetAddressOf()))) ||
        FAILED(factory->EnumAdapterByLuid(luid, __uuidof(IDXGIAdapter),
                                          reinterpret_cast<void**>(adapter.GetAddressOf()))) ||
        FAILED(adapter->GetDesc(&description)))
        return {};
    try {
        return description.Description;
    } catch (...) {
        return {};
    }
}

} // namespace

void rememberAdapters(IUnknown* factory) noexcept
{
    Microsoft::WRL::ComPtr<IDXGIFactory1> factory1;
    if (factory == nullptr || adaptersRead.exchange(true) ||
        FAILED(factory->QueryInterface(__uuidof(IDXGIFactory1),
                                       reinterpret_cast<void**>(factory1.GetAddressOf()))))
        return;
    for (UINT index = 0; listedCount < maxListed; ++index) {
        Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
        DXGI_ADAPTER_DESC1 description{};
        if (FAILED(factory1->EnumAdapters1(index, adapter.GetAddressOf())))
            break;
        if (FAILED(adapter->GetDesc1(&description)))
            continue;
        ListedAdapter& entry = listed[listedCount++];
        entry.luid = description.AdapterLuid;
        std::wcsncpy(entry.name, description.Description, std::size(entry.name) - 1);
    }
}

void logAdapterName(LUID luid, bool featureMissing) noexcept
{
    for (unsigned n = 0; n < listedCount; ++n) {
        if (sameLuid(listed[n].luid, luid)) {
            logLine("adapter LUID %08lX:%08lX is %s, DXGI's adapter %u of %u",
                    static_cast<unsigned long>(luid.HighPart), static_cast<unsigned long>(luid.LowPart),
                    toUtf8(listed[n].name).c_str(), n, listedCount);
            return;
        }
    }
    const std::string name = featureMissing ? toUtf8(nameFromFactoryOfItsOwn(luid)) : std::string();
    if (!name.empty())
        logLine("adapter LUID %08lX:%08lX is %s", static_cast<unsigned long>(luid.HighPart),
                static_cast<unsigned long>(luid.LowPart), name.c_str());
}

} // namespace fsr2bridge
