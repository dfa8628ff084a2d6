#include "components/EngineWrapper.h"

#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

CEngineWrapper::~CEngineWrapper() {
    Unload();
}

void CEngineWrapper::LinkTraceLocked(bool link) {
    m_traceLink.reset();
    if (link) m_traceLink = m_module.LinkTraceLog(kExportGetDebugOutput2);
}

HRESULT CEngineWrapper::Load(const std::wstring& folder, bool linkTrace) {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_engine) {
        LinkTraceLocked(linkTrace);
        return S_FALSE;
    }
    TraceInfo(L"Start: Load EngineManager");
    std::wstring path;
    if (!qlLib::JoinPath(path, folder, L"engine.dll")) return E_OUTOFMEMORY;
    HRESULT hr = m_module.Load(path);
    if (FAILED(hr)) {
        TraceError(L"CEngineWrapper::Load(68) : failed to initialize Engine: %s (0x%08x)", path.c_str(), hr);
        return E_UNEXPECTED;
    }
    LinkTraceLocked(linkTrace);
    hr = m_module.CreateObject(CLSID_EngineManager, IID_IInstallEngine, reinterpret_cast<void**>(m_engine.Receive()));
    if (FAILED(hr)) {
        TraceError(L"CEngineWrapper::Load(87) : failed to create EngineManager object (0x%08x)", hr);
        // Nothing of a module without its object is of use; a later Load starts afresh.
        UnloadLocked();
        return E_UNEXPECTED;
    }
    TraceInfo(L"Finish: Load EngineManager");
    return S_OK;
}

HRESULT CEngineWrapper::Initialize(DWORD mode, qlLib::IKeyValueCollection* streams, IInstallUIFrame* frame,
                                   IInstallUI* ui) {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (!m_engine) {
        TraceError(L"CEngineWrapper::Initialize(118) : must call Load first");
        return E_POINTER;
    }
    return m_engine->Initialize(mode, streams, frame, ui);
}

HRESULT CEngineWrapper::Start(qlLib::IKeyValueCollection* results) {
    // Held for the whole run: an Unload from another thread waits instead of freeing the code
    // the run executes.
    qlLib::CCriticalSectionLock lock(m_lock);
    if (!m_engine) {
        TraceError(L"CEngineWrapper::Start(140) : must call Load first");
        return E_POINTER;
    }
    return m_engine->Start(results);
}

void CEngineWrapper::Unload() {
    qlLib::CCriticalSectionLock lock(m_lock);
    UnloadLocked();
}

void CEngineWrapper::UnloadLocked() {
    m_traceLink.reset();
    m_engine.Release();
    m_module.Unload();
}

bool CEngineWrapper::IsLoaded() {
    qlLib::CCriticalSectionLock lock(m_lock);
    return static_cast<bool>(m_engine);
}

}  // namespace TARN
