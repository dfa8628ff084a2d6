#include "samples/installui/InstallUI.h"

#include <new>

#include "samples/installui/InstallUIFrame.h"

namespace TARN {

CInstallUI* CInstallUI::Create(CInstallUIFrame* frame) {
    return frame ? new (std::nothrow) CInstallUI(frame) : nullptr;
}

CInstallUI::CInstallUI(CInstallUIFrame* frame) : m_frame(frame) {
    m_frame->AddRef();
}

CInstallUI::~CInstallUI() {
    m_frame->Release();
}

HRESULT CInstallUI::Notify() {
    m_frame->PageHandled();
    return S_OK;
}

HRESULT CInstallUI::SetProgress(ULONG done, ULONG total) {
    return m_frame->UpdateProgress(done, total);
}

HRESULT CInstallUI::SetStatus(DWORD phase, const wchar_t* text) {
    m_frame->UpdateStatus(phase, text);
    return S_OK;
}

HRESULT CInstallUI::SetStartPage(DWORD page, qlLib::IKeyValueCollection* data) {
    return m_frame->SelectStartPage(page, data);
}

HRESULT CInstallUI::ShowMessage(DWORD severity, const wchar_t* text) {
    m_frame->AddMessage(severity, text);
    return S_OK;
}

HRESULT CInstallUI::OnEngineEnd(HRESULT result, qlLib::IKeyValueCollection*) {
    m_frame->EngineEnded(result);
    return S_OK;
}

HRESULT CInstallUI::SetInteractive(BOOL interactive) {
    m_frame->SetInteractiveMode(interactive != FALSE);
    return S_OK;
}

bool CInstallUI::SetCallback(IInstallCallback* callback) {
    m_frame->SetUICallback(callback);
    return true;
}

}  // namespace TARN
