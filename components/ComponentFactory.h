#pragma once
// The component side of the module binding, shared by every component DLL: a count of live
// objects (the GetObjectCount export) and the factory that GetFactory hands out. Each DLL compiles
// its own copy, so each has its own count.
#include <windows.h>

#include <new>

#include "components/ComponentInterfaces.h"
#include "components/ComponentUnknown.h"

namespace TARN {

// Objects of this module that are still alive.
inline volatile LONG g_componentObjects = 0;

// Base of every object a component hands out: counts itself while it lives.
class CComponentObject {
protected:
    CComponentObject() noexcept { ::InterlockedIncrement(&g_componentObjects); }
    ~CComponentObject() { ::InterlockedDecrement(&g_componentObjects); }
};

// A factory whose CreateObject calls create(iid, object).
class CComponentFactory final : public CComponentUnknown<IComponentFactory, IID_IComponentFactory>,
                                private CComponentObject {
public:
    using CreateFunction = HRESULT (*)(REFIID iid, void** object);

    // GetFactory for one class: CLASS_E_CLASSNOTAVAILABLE for any other class id.
    static HRESULT Get(REFCLSID requested, REFCLSID offered, CreateFunction create,
                       IComponentFactory** factory) {
        if (!factory) return E_POINTER;
        *factory = nullptr;
        if (requested != offered) return CLASS_E_CLASSNOTAVAILABLE;
        CComponentFactory* created = new (std::nothrow) CComponentFactory(create);
        if (!created) return E_OUTOFMEMORY;
        *factory = created;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateObject(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        return m_create(iid, object);
    }

private:
    explicit CComponentFactory(CreateFunction create) noexcept : m_create(create) {}
    ~CComponentFactory() override = default;

    CreateFunction m_create;
};

}  // namespace TARN
