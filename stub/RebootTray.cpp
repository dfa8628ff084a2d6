#include "stub/RebootTray.h"

#include <new>
#include <string>

#include "package/FileDataExtender.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/Isolation.h"
#include "runtime/MessageFilter.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const DWORD kUIOptionKey = 51001;

}  // namespace

CRebootTray* CRebootTray::Create() {
    return new (std::nothrow) CRebootTray();
}

HRESULT CRebootTray::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IInstallCallback) {
        *object = static_cast<IInstallCallback*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CRebootTray::AddRef() {
    return m_refs.AddRef();
}

ULONG CRebootTray::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

bool CRebootTray::Show(const wchar_t* compileGuid, bool needsExtraction, IInstallUIFrame* frame) {
    m_frame = frame;
    if (frame) frame->AddRef();
    m_needsExtraction = needsExtraction;
    if (!frame) {
        TraceError(L"CRebootTray::Show(31) : UI frame not set");
        return false;
    }
    m_pageEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_pageEvent) {
        TraceError(L"CRebootTray::Show(38) : failed to create page event");
        return false;
    }
    const HRESULT hr = frame->GetInstallTray(m_tray.Receive());
    if (FAILED(hr) || !m_tray) {
        TraceError(L"CRebootTray::Show(45) : failed to get InstallTray: 0x%08x", hr);
        return false;
    }
    m_tray->SetInstanceId(compileGuid);
    // Elevated, the tray would never hear a restarted shell ask for its icon again.
    qlLib::AllowShellMessages();
    m_tray->SetCallback(this);
    m_tray->Run();
    m_tray->SetCallback(nullptr);
    m_pageEvent.Reset();
    return m_pageSignalled != 0;
}

void CRebootTray::SignalPage() {
    qlLib::CCriticalSectionLock lock(m_pageLock);
    ::InterlockedExchange(&m_pageSignalled, 1);
    if (m_pageEvent) ::SetEvent(m_pageEvent.Get());
}

HRESULT CRebootTray::OnTrayClick(DWORD event) {
    if (event == eEvent_Restart) {
        ::InterlockedExchange(&m_rebootChosen, 1);
        if (m_frame) m_frame->Close();
        if (m_tray) m_tray->Notify();
        SignalPage();
        return S_OK;
    }
    if (event != eEvent_TrayClick) return S_OK;
    if (!m_frame) return E_POINTER;
    if (m_frame->ActivateIfDisplayed() == S_OK) {
        TraceInfo(L"setting existing window to foreground");
        return S_OK;
    }

    qlLib::CComPtr<IInstallUIFrame2> frame2;
    m_frame->QueryInterface(IID_IInstallUIFrame2, reinterpret_cast<void**>(frame2.Receive()));
    bool uiOption = false;
    HRESULT hr = S_OK;
    if (frame2) {
        std::wstring self;
        CFileDataExtender settings;
        if (!qlLib::GetModulePath(nullptr, self) || !settings.Initialize(self.c_str(), false)) {
            TraceError(L"CRebootTray::OnTrayClick(120) : failed to initialize data extender");
            return E_UNEXPECTED;
        }
        if (!settings.GetData(kUIOptionKey, &uiOption))
            TraceWarning(L"CRebootTray::OnTrayClick(126) : Transparent option not found.");
        hr = frame2->GetInstallUIWithOption(uiOption, m_page.Receive());
    } else {
        hr = m_frame->GetInstallUI(m_page.Receive());
    }
    if (FAILED(hr) || !m_page) {
        TraceError(L"CRebootTray::OnTrayClick(138) : failed to get InstallUI: 0x%08x", hr);
        return E_POINTER;
    }
    qlLib::CComPtr<qlLib::IKeyValueCollection> data = qlLib::CKeyValueCollectionImpl::New();
    if (!data || !data->SetDword(ePageKey_RestartKind, m_needsExtraction ? ePageRestart_Continue : ePageRestart_Finish))
        return E_OUTOFMEMORY;
    m_page->SetCallback(this);
    m_page->SetStartPage(ePage_Restart, data.Get());
    if (frame2) {
        if (FAILED(frame2->DisplayWithOption(uiOption)))
            TraceWarning(L"CRebootTray::OnTrayClick(163) : Unable to create Install UI2 Frame");
    } else if (FAILED(m_frame->Display())) {
        TraceWarning(L"CRebootTray::OnTrayClick(172) : Unable to create Install UI Frame");
    }
    {
        qlLib::CCriticalSectionLock lock(m_pageLock);
        m_page->SetCallback(nullptr);
        if (m_rebootChosen && m_tray) m_tray->Notify();
    }
    m_page = nullptr;
    return S_OK;
}

LONG CRebootTray::CheckPatchReboot() {
    std::wstring root;
    qlLib::CRegKey silo;
    if (!qlLib::CIsolation::GetIsolationRoot(root) || !silo.Open(HKEY_LOCAL_MACHINE, root.c_str(), KEY_READ)) {
        TraceError(L"Error opening SILO registry %lu", silo.GetLastError());
        return 1;
    }
    qlLib::CRegKey reboot;
    if (reboot.Open(silo.Get(), L"TARN\\Patch\\Reboot", KEY_READ)) {
        m_keyNotSeen = false;
        return E_FAIL;
    }
    if (m_keyNotSeen) {
        TraceInfo(L"Patch reboot key was not found, not watching key for close");
        return 1;
    }
    TraceError(L"Patch reboot key has been cleared, closing down tray");
    return 0;
}

}  // namespace TARN
