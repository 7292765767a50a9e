// Hooks on real system functions: the detour runs, the trampoline reaches the original, and
// the results are those of the unhooked function.
#include "common/graphics.h"
#include "hooking/MinHook.h"
#include "testbed/world/box_catcher.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

namespace {

using Microsoft::WRL::ComPtr;

int g_calls = 0;

using CreateDeviceFn = HRESULT(WINAPI*)(IUnknown*, D3D_FEATURE_LEVEL, REFIID, void**);
CreateDeviceFn g_createDevice = nullptr;
HRESULT WINAPI createDeviceDetour(IUnknown* a, D3D_FEATURE_LEVEL l, REFIID r, void** o)
{
    ++g_calls;
    return g_createDevice(a, l, r, o);
}

using CreateFactoryFn = HRESULT(WINAPI*)(UINT, REFIID, void**);
CreateFactoryFn g_createFactory = nullptr;
HRESULT WINAPI createFactoryDetour(UINT f, REFIID r, void** o)
{
    ++g_calls;
    return g_createFactory(f, r, o);
}

using PeekFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
PeekFn g_peek = nullptr;
BOOL WINAPI peekDetour(LPMSG m, HWND h, UINT a, UINT b, UINT r)
{
    ++g_calls;
    return g_peek(m, h, a, b, r);
}

using BoxFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
BoxFn g_box = nullptr;
int WINAPI boxDetour(HWND h, LPCWSTR t, LPCWSTR c, UINT s)
{
    ++g_calls;
    return g_box(h, t, c, s);
}

using SrvFn = void(STDMETHODCALLTYPE*)(ID3D12Device*, ID3D12Resource*, const D3D12_SHADER_RESOURCE_VIEW_DESC*,
                                       D3D12_CPU_DESCRIPTOR_HANDLE);
SrvFn g_srv = nullptr;
void STDMETHODCALLTYPE srvDetour(ID3D12Device* d, ID3D12Resource* r,
                                 const D3D12_SHADER_RESOURCE_VIEW_DESC* desc, D3D12_CPU_DESCRIPTOR_HANDLE h)
{
    ++g_calls;
    g_srv(d, r, desc, h);
}

class RealTargets : public ::testing::Test {
protected:
    void SetUp() override
    {
        MH_STATUS s = MH_Initialize();
        ASSERT_TRUE(s == MH_OK || s == MH_ERROR_ALREADY_INITIALIZED);
        g_calls = 0;
    }
    // Creates, enables, and checks that the reported target is the export itself.
    void hookExport(const wchar_t* module, const char* name, void* detour, void** original)
    {
        void* target = nullptr;
        ASSERT_EQ(MH_CreateHookApiEx(module, name, detour, original, &target), MH_OK) << name;
        ASSERT_EQ(target, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name))) << name;
        ASSERT_EQ(MH_EnableHook(target), MH_OK) << name;
        target_ = target;
    }
    void TearDown() override
    {
        if (target_ != nullptr) {
            EXPECT_EQ(MH_RemoveHook(target_), MH_OK);
        }
    }
    void* target_ = nullptr;
};

TEST_F(RealTargets, D3D12CreateDevice)
{
    ComPtr<ID3D12Device> plain;
    const HRESULT unhooked = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&plain));
    const HRESULT unhookedNull =
        D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device), nullptr);
    hookExport(L"d3d12.dll", "D3D12CreateDevice", reinterpret_cast<void*>(&createDeviceDetour),
               reinterpret_cast<void**>(&g_createDevice));
    ComPtr<ID3D12Device> device;
    EXPECT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), unhooked);
    EXPECT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, __uuidof(ID3D12Device), nullptr),
              unhookedNull);
    EXPECT_EQ(g_calls, 2);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetNodeCount(), plain->GetNodeCount());
}

TEST_F(RealTargets, CreateDXGIFactory2)
{
    ComPtr<IDXGIFactory2> plain;
    const HRESULT unhooked = CreateDXGIFactory2(0, IID_PPV_ARGS(&plain));
    hookExport(L"dxgi.dll", "CreateDXGIFactory2", reinterpret_cast<void*>(&createFactoryDetour),
               reinterpret_cast<void**>(&g_createFactory));
    ComPtr<IDXGIFactory2> factory;
    EXPECT_EQ(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory)), unhooked);
    EXPECT_EQ(g_calls, 1);
    ASSERT_NE(factory, nullptr);
}

TEST_F(RealTargets, PeekMessageA)
{
    MSG msg{};
    const BOOL emptyUnhooked = PeekMessageA(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE);
    hookExport(L"user32.dll", "PeekMessageA", reinterpret_cast<void*>(&peekDetour),
               reinterpret_cast<void**>(&g_peek));
    EXPECT_EQ(PeekMessageA(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE), emptyUnhooked);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 7, 42, 43));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 7));
    EXPECT_EQ(msg.wParam, 42u);
    EXPECT_EQ(msg.lParam, 43);
    EXPECT_EQ(g_calls, 2);
}

TEST_F(RealTargets, MessageBoxW)
{
    testworld::BoxCatcher catcher;
    hookExport(L"user32.dll", "MessageBoxW", reinterpret_cast<void*>(&boxDetour),
               reinterpret_cast<void**>(&g_box));
    EXPECT_EQ(MessageBoxW(nullptr, L"through the trampoline", L"hooked", MB_OK), IDOK);
    EXPECT_EQ(g_calls, 1);
    auto boxes = catcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"hooked");
    EXPECT_EQ(boxes[0].text, L"through the trampoline");
}

TEST_F(RealTargets, CreateShaderResourceViewOfARealDevice)
{
    ComPtr<ID3D12Device> device;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&device)), S_OK);
    void** vtable = *reinterpret_cast<void***>(device.Get());
    void* target = vtable[18];
    ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&srvDetour), reinterpret_cast<void**>(&g_srv)),
              MH_OK);
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    target_ = target;

    D3D12_DESCRIPTOR_HEAP_DESC heapDesc = {};
    heapDesc.Type = D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV;
    heapDesc.NumDescriptors = 2;
    ComPtr<ID3D12DescriptorHeap> heap;
    ASSERT_EQ(device->CreateDescriptorHeap(&heapDesc, IID_PPV_ARGS(&heap)), S_OK);
    D3D12_HEAP_PROPERTIES props = {};
    props.Type = D3D12_HEAP_TYPE_DEFAULT;
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = 16;
    desc.Height = 16;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    ComPtr<ID3D12Resource> texture;
    ASSERT_EQ(device->CreateCommittedResource(&props, D3D12_HEAP_FLAG_NONE, &desc,
                                              D3D12_RESOURCE_STATE_COMMON, nullptr, IID_PPV_ARGS(&texture)),
              S_OK);
    D3D12_CPU_DESCRIPTOR_HANDLE handle;
    heap->GetCPUDescriptorHandleForHeapStart(&handle);
    device->CreateShaderResourceView(texture.Get(), nullptr, handle);
    EXPECT_EQ(g_calls, 1);
    // The original wrote a descriptor: copying it to the second slot works as unhooked.
    D3D12_CPU_DESCRIPTOR_HANDLE second = handle;
    second.ptr += device->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV);
    device->CopyDescriptorsSimple(1, second, handle, D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV);
}

} // namespace
