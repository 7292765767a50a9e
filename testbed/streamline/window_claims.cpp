// One live flip-model swap chain per window, as Windows enforces it.
#include "window_claims.h"

#include <atomic>
#include <new>

namespace fsr2bridge::standin {

namespace {

// The private-data slot the claim occupies on the system swap chain.
constexpr GUID claimSlot = {0xD736E49F, 0x929F, 0x41D9, {0xBB, 0x85, 0x37, 0xBE, 0x94, 0x22, 0xF3, 0xC3}};

constexpr int maxClaims = 64;
SRWLOCK claimsLock = SRWLOCK_INIT;
HWND claims[maxClaims] = {};

bool isFlipModel(DXGI_SWAP_EFFECT effect)
{
    return effect == DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL || effect == DXGI_SWAP_EFFECT_FLIP_DISCARD;
}

// False when the window is claimed already. A full table claims nothing and refuses nothing.
bool claim(HWND window)
{
    AcquireSRWLockExclusive(&claimsLock);
    int freeSlot = -1;
    bool taken = false;
    for (int n = 0; n < maxClaims; ++n) {
        taken = taken || claims[n] == window;
        if (claims[n] == nullptr && freeSlot < 0)
            freeSlot = n;
    }
    if (!taken && freeSlot >= 0)
        claims[freeSlot] = window;
    ReleaseSRWLockExclusive(&claimsLock);
    return !taken;
}

void unclaim(HWND window)
{
    AcquireSRWLockExclusive(&claimsLock);
    for (HWND& claimed : claims) {
        if (claimed == window) {
            claimed = nullptr;
            break;
        }
    }
    ReleaseSRWLockExclusive(&claimsLock);
}

// Held by the system swap chain as private data; its last release (the swap chain's destruction) frees the
// window.
class ClaimHolder final : public IUnknown {
public:
    explicit ClaimHolder(HWND window) : window_(window) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, __uuidof(IUnknown)))
            return E_NOINTERFACE;
        AddRef();
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0) {
            unclaim(window_);
            delete this;
        }
        return left;
    }

private:
    ~ClaimHolder() = default;
    HWND window_;
    std::atomic<ULONG> references_{1};
};

} // namespace

WindowClaim::WindowClaim(HWND window, DXGI_SWAP_EFFECT effect)
{
    if (window == nullptr || !isFlipModel(effect))
        return;
    granted_ = claim(window);
    if (granted_)
        window_ = window;
}

WindowClaim::~WindowClaim()
{
    if (window_ != nullptr)
        unclaim(window_);
}

void WindowClaim::keep(IUnknown* swapChain)
{
    if (window_ == nullptr || swapChain == nullptr)
        return;
    IDXGIObject* object = nullptr;
    if (FAILED(swapChain->QueryInterface(__uuidof(IDXGIObject), reinterpret_cast<void**>(&object))))
        return; // untracked: the window is given back at once
    if (auto* holder = new (std::nothrow) ClaimHolder(window_)) {
        window_ = nullptr; // the holder owns the claim from here on
        object->SetPrivateDataInterface(claimSlot, holder);
        holder->Release(); // the private data keeps its own reference; without it the window is free again
    }
    object->Release();
}

} // namespace fsr2bridge::standin
