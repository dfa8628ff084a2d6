#pragma once
// IUnknown for the objects that cross the component boundary: one interface (kInterfaceId, plus
// whatever OffersAlso accepts), a reference count, and deletion at the last Release.
#include <windows.h>
#include <unknwn.h>

#include <new>

#include "runtime/ComPtr.h"

namespace TARN {

template <class TInterface, const IID& kInterfaceId>
class CComponentUnknown : public TInterface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == kInterfaceId || OffersAlso(iid)) {
            *object = static_cast<TInterface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = m_refs.Release();
        if (count == 0) delete this;
        return count;
    }

    // A new object of TObject answering iid, for a factory's CreateObject.
    template <class TObject>
    static HRESULT CreateAs(REFIID iid, void** object) {
        if (!object) return E_POINTER;
        *object = nullptr;
        TObject* created = new (std::nothrow) TObject();
        if (!created) return E_OUTOFMEMORY;
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }

protected:
    CComponentUnknown() = default;
    virtual ~CComponentUnknown() = default;
    // Further interfaces this object answers with TInterface (its base interfaces).
    virtual bool OffersAlso(REFIID) const { return false; }

private:
    qlLib::CRefCount m_refs;
};

}  // namespace TARN
