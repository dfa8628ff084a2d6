#pragma once
// Owns the install engine (engine.dll) of a run: loads it from a folder, links its trace log to
// the process's, and forwards the calls the install manager makes. One lock serialises all of it.
#include <windows.h>

#include <memory>
#include <string>

#include "components/ComponentInterfaces.h"
#include "components/ComponentModule.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/DebugOutput.h"

namespace TARN {

class CEngineWrapper {
public:
    CEngineWrapper() = default;
    ~CEngineWrapper();
    CEngineWrapper(const CEngineWrapper&) = delete;
    CEngineWrapper& operator=(const CEngineWrapper&) = delete;

    // engine.dll of folder. 0 when loaded now, 1 when the engine object already existed (its
    // trace link is made again), E_UNEXPECTED on failure. Validation runs pass linkTrace false.
    HRESULT Load(const std::wstring& folder, bool linkTrace = true);
    // The engine's Initialize; E_POINTER before Load.
    HRESULT Initialize(DWORD mode, qlLib::IKeyValueCollection* streams, IInstallUIFrame* frame, IInstallUI* ui);
    // The engine's Start: returns when the install has ended. E_POINTER before Load.
    HRESULT Start(qlLib::IKeyValueCollection* results);
    // Trace link, object, module, in that order.
    void Unload();
    bool IsLoaded();

private:
    void LinkTraceLocked(bool link);
    void UnloadLocked();

    qlLib::CCriticalSection m_lock;
    CComponentModule m_module;
    std::unique_ptr<qlLib::CDebugOutputLink> m_traceLink;
    qlLib::CComPtr<IInstallEngine> m_engine;
};

}  // namespace TARN
