#pragma once
// The QueryInterface rules shared by the queue, swap chain and factory proxies.
#include <span>

#include "common/graphics.h"

namespace fsr2bridge {

// What a proxy answers when the inner object refuses one of the interfaces the proxy itself stands for.
enum class FailedUpgrade {
    QueryAgain,   // ask the inner object again, into the caller's pointer, and return its answer
    ReturnAsLeft, // hand the caller the pointer as the failed query left it
};

// `selfIds`: answered with the proxy plus one reference on `inner`. `innerIds`: the proxy switches `inner`
// to the interface asked for (net one added reference) and answers with itself. Anything else: `inner`'s
// own answer. A null out-pointer is E_POINTER without touching `inner`.
template <class Inner, class Proxy>
HRESULT answerQueryInterface(Proxy* proxy, Inner*& inner, REFIID riid, void** object,
                             std::span<const IID> selfIds, std::span<const IID> innerIds,
                             FailedUpgrade onFailure) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    for (const IID& id : selfIds) {
        if (IsEqualIID(riid, id)) {
            inner->AddRef();
            *object = proxy;
            return S_OK;
        }
    }
    for (const IID& id : innerIds) {
        if (!IsEqualIID(riid, id))
            continue;
        void* upgradedInner = nullptr;
        const HRESULT result = inner->QueryInterface(riid, &upgradedInner);
        if (FAILED(result)) {
            if (onFailure == FailedUpgrade::QueryAgain)
                return inner->QueryInterface(riid, object);
            *object = upgradedInner;
            return result;
        }
        // The query added one reference to the new interface; the old one gives its reference back, and
        // the proxy handed out counts one more.
        inner->Release();
        inner = static_cast<Inner*>(upgradedInner);
        inner->AddRef();
        *object = proxy;
        return S_OK;
    }
    return inner->QueryInterface(riid, object);
}

} // namespace fsr2bridge
