#pragma once
// The module binding: a component DLL loaded from a full path, its two required exports, and
// objects made through its factory.
#include <windows.h>

#include <memory>
#include <string>

#include "components/ComponentInterfaces.h"
#include "runtime/DebugOutput.h"
#include "runtime/Handles.h"

namespace TARN {

class CComponentModule {
public:
    CComponentModule() = default;
    CComponentModule(const CComponentModule&) = delete;
    CComponentModule& operator=(const CComponentModule&) = delete;

    // LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH, so the DLL's own folder serves its
    // imports. E_COMPONENT_LOAD_FAILED when it does not load (also for a relative path: nothing is
    // ever found by search), E_COMPONENT_PATH_TOO_LONG, E_COMPONENT_NO_EXPORTS when "GetFactory"
    // or "GetObjectCount" is missing (the module is freed again).
    HRESULT Load(const std::wstring& path);
    // GetFactory(classId), then the factory's CreateObject(iid); the factory is released.
    HRESULT CreateObject(REFCLSID classId, REFIID iid, void** object);
    // An optional export; null when absent or not loaded.
    FARPROC GetExport(const char* name) const;
    template <class F>
    F GetExportAs(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetExport(name)));
    }
    // Forwards the component's trace log (from a GetDebugOutput-style export) to the process's
    // for as long as the link lives; null when the component has none. Release it before Unload.
    std::unique_ptr<qlLib::CDebugOutputLink> LinkTraceLog(const char* exportName) const;
    bool IsLoaded() const { return m_module.IsValid(); }
    // The Win32 error of the last failed LoadLibraryExW.
    DWORD LoadError() const { return m_loadError; }
    void Unload();

private:
    qlLib::CModuleHandle m_module;
    PFN_GetFactory m_getFactory = nullptr;
    DWORD m_loadError = 0;
};

}  // namespace TARN
