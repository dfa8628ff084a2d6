#pragma once
// Objects of the shared component set (the IPC library, the settings store): made by a DLL in
// the folder that the product's path map names "%QLROOT%", bound by its full path only.
#include <windows.h>

#include "components/ComponentModule.h"
#include "runtime/ComPtr.h"

namespace TARN {

// Loads dllName from the %QLROOT% folder into module and makes the object. E_COMPONENT_LOAD_FAILED
// when the folder is unknown, else the failures of the module binding.
HRESULT CreateSharedComponentObject(CComponentModule& module, const wchar_t* dllName, REFCLSID classId, REFIID iid,
                                    void** object);

// The object together with the module that holds its code: the object goes first, then the
// module.
template <class T>
class CSharedComponent {
public:
    CSharedComponent() = default;
    CSharedComponent(const CSharedComponent&) = delete;
    CSharedComponent& operator=(const CSharedComponent&) = delete;
    ~CSharedComponent() {
        m_object = nullptr;
        m_module.Unload();
    }

    HRESULT Create(const wchar_t* dllName, REFCLSID classId, REFIID iid) {
        return CreateSharedComponentObject(m_module, dllName, classId, iid, reinterpret_cast<void**>(m_object.Receive()));
    }
    T* Get() const { return m_object.Get(); }
    T* operator->() const { return m_object.Get(); }

private:
    CComponentModule m_module;
    qlLib::CComPtr<T> m_object;
};

}  // namespace TARN
