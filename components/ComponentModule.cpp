#include "components/ComponentModule.h"

#include <shlwapi.h>

#include <new>

#include "runtime/ComPtr.h"

namespace TARN {

HRESULT CComponentModule::Load(const std::wstring& path) {
    Unload();
    m_loadError = 0;
    if (path.size() >= MAX_PATH) return E_COMPONENT_PATH_TOO_LONG;
    // A relative name would be looked for along the search path, the download folder included.
    if (path.empty() || ::PathIsRelativeW(path.c_str())) {
        m_loadError = ERROR_INVALID_PARAMETER;
        return E_COMPONENT_LOAD_FAILED;
    }
    m_module.Reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!m_module) {
        m_loadError = ::GetLastError();
        return E_COMPONENT_LOAD_FAILED;
    }
    m_getFactory = GetExportAs<PFN_GetFactory>(kExportGetFactory);
    if (!m_getFactory || !GetExport(kExportGetObjectCount)) {
        Unload();
        return E_COMPONENT_NO_EXPORTS;
    }
    return S_OK;
}

HRESULT CComponentModule::CreateObject(REFCLSID classId, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!m_getFactory) return E_UNEXPECTED;
    qlLib::CComPtr<IComponentFactory> factory;
    HRESULT hr = m_getFactory(classId, factory.Receive());
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateObject(iid, object);
    if (SUCCEEDED(hr) && !*object) hr = E_UNEXPECTED;
    return hr;
}

FARPROC CComponentModule::GetExport(const char* name) const {
    return m_module ? ::GetProcAddress(m_module.Get(), name) : nullptr;
}

std::unique_ptr<qlLib::CDebugOutputLink> CComponentModule::LinkTraceLog(const char* exportName) const {
    PFN_GetDebugOutput get = GetExportAs<PFN_GetDebugOutput>(exportName);
    qlLib::CDebugOutput* component = get ? get() : nullptr;
    if (!component) return nullptr;
    return std::unique_ptr<qlLib::CDebugOutputLink>(
        new (std::nothrow) qlLib::CDebugOutputLink(component, &qlLib::GetDebugOutput()));
}

void CComponentModule::Unload() {
    m_getFactory = nullptr;
    m_module.Reset();
}

}  // namespace TARN
