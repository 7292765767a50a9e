#pragma once
// A COM object for the proxies' identity and lifetime rules: one reference count shared by its facets, and a
// count per facet. Facet 0 is the pointer the proxy is given; facet n + 1 is what a query for the object's
// n-th answered identifier hands out, so that a proxy's switch of its inner pointer shows. Identifiers the
// object does not answer are refused with E_NOINTERFACE and a null out-pointer. Only the IUnknown slots are
// real: the proxies are driven here through QueryInterface, AddRef and Release alone.
#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "common/graphics.h"

namespace fakes {

class FakeObject {
public:
    explicit FakeObject(std::vector<IID> answered = {}, long references = 1)
        : answered_(std::move(answered)), facets_(answered_.size() + 1), references_(references)
    {
        for (Facet& facet : facets_)
            facet.owner = this;
        facets_[0].references = references;
    }
    FakeObject(const FakeObject&) = delete;
    FakeObject& operator=(const FakeObject&) = delete;

    template <class T> T* as(std::size_t facet = 0) { return reinterpret_cast<T*>(unknown(facet)); }
    IUnknown* unknown(std::size_t facet = 0) { return &facets_[facet]; }
    // The facet a query for `riid` hands out; null when the object does not answer it.
    IUnknown* facetFor(REFIID riid)
    {
        for (std::size_t n = 0; n < answered_.size(); ++n)
            if (IsEqualIID(riid, answered_[n]))
                return &facets_[n + 1];
        return nullptr;
    }

    long references() const { return references_; }
    // References taken (and not given back) through one facet; negative after a release too many.
    long referencesOf(const IUnknown* facet) const { return static_cast<const Facet*>(facet)->references; }
    int queries() const { return queries_; }

private:
    struct Facet final : IUnknown {
        FakeObject* owner = nullptr;
        std::atomic<long> references{0};

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
        {
            ++owner->queries_;
            IUnknown* answer = owner->facetFor(riid);
            *object = answer;
            if (answer == nullptr)
                return E_NOINTERFACE;
            answer->AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override
        {
            ++references;
            return static_cast<ULONG>(++owner->references_);
        }
        ULONG STDMETHODCALLTYPE Release() override
        {
            --references;
            return static_cast<ULONG>(--owner->references_);
        }
    };

    std::vector<IID> answered_;
    std::vector<Facet> facets_;
    std::atomic<long> references_;
    std::atomic<int> queries_{0};
};

} // namespace fakes
