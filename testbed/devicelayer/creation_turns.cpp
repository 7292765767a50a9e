// Factory creations and the system swap chains' presents, taking turns (keepCreationsApartFromPresents).
#include "testbed/devicelayer/device_layer.h"
#include "testbed/devicelayer/layer_internal.h"

namespace testworld {
namespace {

// Wine under Xvfb can deadlock when one thread makes a DXGI factory (whose wined3d makes an OpenGL context,
// wglCreateContextAttribsARB) while another is inside a Vulkan present (vkAcquireNextImageKHR); Windows does
// not. Presents share this lock, factory creations take it alone (once per thread: Wine's D3D12CreateDevice
// makes a factory itself).
SRWLOCK presentsOrCreations = SRWLOCK_INIT;
thread_local int creationsEntered = 0;

using CreateFactoryCall = HRESULT(WINAPI*)(UINT, REFIID, void**);
using PresentCall = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using Present1Call = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain1*, UINT, UINT,
                                                 const DXGI_PRESENT_PARAMETERS*);
CreateFactoryCall systemCreateFactory2 = nullptr;
PresentCall systemPresent = nullptr;
Present1Call systemPresent1 = nullptr;

HRESULT WINAPI createFactoryApart(UINT flags, REFIID riid, void** factory)
{
    if (creationsEntered++ == 0)
        AcquireSRWLockExclusive(&presentsOrCreations);
    const HRESULT hr = systemCreateFactory2(flags, riid, factory);
    if (--creationsEntered == 0)
        ReleaseSRWLockExclusive(&presentsOrCreations);
    return hr;
}

template <class Present> HRESULT presentApart(Present present)
{
    AcquireSRWLockShared(&presentsOrCreations);
    const HRESULT hr = present();
    ReleaseSRWLockShared(&presentsOrCreations);
    return hr;
}

HRESULT STDMETHODCALLTYPE presentBeside(IDXGISwapChain* swapChain, UINT sync, UINT flags)
{
    return presentApart([&] { return systemPresent(swapChain, sync, flags); });
}

HRESULT STDMETHODCALLTYPE present1Beside(IDXGISwapChain1* swapChain, UINT sync, UINT flags,
                                         const DXGI_PRESENT_PARAMETERS* parameters)
{
    return presentApart([&] { return systemPresent1(swapChain, sync, flags, parameters); });
}

template <class Fn> bool hookOnce(void* target, Fn detour, Fn* original)
{
    return target != nullptr &&
           layerTable().create(target, reinterpret_cast<void*>(detour), reinterpret_cast<void**>(original)) ==
               MH_OK &&
           layerTable().enable(target) == MH_OK;
}

} // namespace

bool keepCreationsApartFromPresents()
{
    static const bool installed = [] {
        const SystemMethods& m = systemMethods();
        void* target = nullptr;
        return m.found &&
               layerTable().createForExport(
                   L"dxgi.dll", "CreateDXGIFactory2", reinterpret_cast<void*>(&createFactoryApart),
                   reinterpret_cast<void**>(&systemCreateFactory2), &target) == MH_OK &&
               layerTable().enable(target) == MH_OK && hookOnce(m.present, &presentBeside, &systemPresent) &&
               hookOnce(m.present1, &present1Beside, &systemPresent1);
    }();
    return installed;
}

} // namespace testworld
