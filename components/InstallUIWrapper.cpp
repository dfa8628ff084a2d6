#include "components/InstallUIWrapper.h"

#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

CInstallUIWrapper::~CInstallUIWrapper() {
    Unload();
}

HRESULT CInstallUIWrapper::Load(const std::wstring& folder) {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_frame) return S_FALSE;
    TraceInfo(L"Start: Load InstallUI");
    std::wstring path;
    if (!qlLib::JoinPath(path, folder, L"InstUI.dll")) return E_OUTOFMEMORY;
    // A missing UI is an expected state of a cache (the caller may fall back), not an error.
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            TraceInfo(L"Finish: Load InstallUI (ERROR_FILE_NOT_FOUND)");
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
    }
    HRESULT hr = m_module.Load(path);
    if (FAILED(hr)) {
        TraceError(L"CInstallUIWrapper::Load(58) : failed to initialize InstallUI: %s (0x%08x)", path.c_str(), hr);
        return E_UNEXPECTED;
    }
    m_traceLink = m_module.LinkTraceLog(kExportGetDebugOutput);
    hr = m_module.CreateObject(CLSID_InstallUIFrame, IID_IInstallUIFrame, reinterpret_cast<void**>(m_frame.Receive()));
    if (FAILED(hr)) {
        TraceError(L"CInstallUIWrapper::Load(80) : failed to create install UI frame object (0x%08x)", hr);
        UnloadLocked();
        return E_UNEXPECTED;
    }
    hr = m_frame->Initialize();
    if (FAILED(hr)) {
        TraceError(L"CInstallUIWrapper::Load(88) : engine IInstallUIFrame::Initialize failed (0x%08x)", hr);
        UnloadLocked();
        return hr;
    }
    TraceInfo(L"Finish: Load InstallUI");
    return S_OK;
}

HRESULT CInstallUIWrapper::FrameOrError(const char* notLoadedMessage, qlLib::CComPtr<IInstallUIFrame>& frame) {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (!m_frame) {
        qlLib::TraceErrorFormat(notLoadedMessage);
        return E_POINTER;
    }
    frame = m_frame;
    return S_OK;
}

HRESULT CInstallUIWrapper::GetFrame(IInstallUIFrame** frame) {
    if (!frame) return E_POINTER;
    *frame = nullptr;
    qlLib::CComPtr<IInstallUIFrame> held;
    const HRESULT hr =
        FrameOrError(QL_TRACE_FORMAT(L"CInstallUIWrapper::GetFrame(156) : must call Load first"), held);
    if (SUCCEEDED(hr)) *frame = held.Detach();
    return hr;
}

HRESULT CInstallUIWrapper::CloseFrame() {
    qlLib::CComPtr<IInstallUIFrame> frame;
    const HRESULT hr =
        FrameOrError(QL_TRACE_FORMAT(L"CInstallUIWrapper::CloseFrame(170) : must call Load first"), frame);
    return FAILED(hr) ? hr : frame->Close();
}

HRESULT CInstallUIWrapper::DisplayFrame(BOOL uiOption) {
    qlLib::CComPtr<IInstallUIFrame> frame;
    const HRESULT hr =
        FrameOrError(QL_TRACE_FORMAT(L"CInstallUIWrapper::DisplayFrame(184) : must call Load first"), frame);
    if (FAILED(hr)) return hr;
    qlLib::CComPtr<IInstallUIFrame2> frame2 = frame.As<IInstallUIFrame2>(IID_IInstallUIFrame2);
    return frame2 ? frame2->DisplayWithOption(uiOption) : frame->Display();
}

HRESULT CInstallUIWrapper::GetInstallUI(BOOL uiOption, IInstallUI** ui) {
    if (!ui) return E_POINTER;
    *ui = nullptr;
    qlLib::CComPtr<IInstallUIFrame> frame;
    const HRESULT hr =
        FrameOrError(QL_TRACE_FORMAT(L"CInstallUIWrapper::GetInstallUI(205) : must call Load first"), frame);
    if (FAILED(hr)) return hr;
    qlLib::CComPtr<IInstallUIFrame2> frame2 = frame.As<IInstallUIFrame2>(IID_IInstallUIFrame2);
    return frame2 ? frame2->GetInstallUIWithOption(uiOption, ui) : frame->GetInstallUI(ui);
}

void CInstallUIWrapper::Unload() {
    qlLib::CCriticalSectionLock lock(m_lock);
    UnloadLocked();
}

void CInstallUIWrapper::UnloadLocked() {
    m_traceLink.reset();
    m_frame.Release();
    m_module.Unload();
}

bool CInstallUIWrapper::IsLoaded() {
    qlLib::CCriticalSectionLock lock(m_lock);
    return static_cast<bool>(m_frame);
}

}  // namespace TARN
