#pragma once
// The host side of the reboot tray: the install UI's tray shows the icon and runs the messages;
// this object answers its clicks (the restart choice, or the restart page on a click) and tells
// it when a patch's reboot marker has gone.
#include <windows.h>

#include "components/ComponentInterfaces.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"

namespace TARN {

class CRebootTray final : public IInstallCallback {
public:
    // A new tray host with one reference for the caller; null when out of memory.
    static CRebootTray* Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Runs the frame's tray until it ends; true when the user chose to restart.
    bool Show(const wchar_t* compileGuid, bool needsExtraction, IInstallUIFrame* frame);
    // 1: the restart was chosen; 0: the icon was clicked (or a second start asked to come
    // forward): the restart page.
    HRESULT OnTrayClick(DWORD event);
    HRESULT STDMETHODCALLTYPE OnEvent(DWORD event) override { return OnTrayClick(event); }
    HRESULT STDMETHODCALLTYPE OnPageClosed(DWORD) override { return S_OK; }
    // Negative while "TARN\Patch\Reboot" exists below the isolation root, 0 once it has gone
    // after being seen, 1 when it was never seen or the root cannot be opened.
    LONG STDMETHODCALLTYPE CheckPatchReboot() override;

private:
    CRebootTray() = default;
    ~CRebootTray() = default;
    void SignalPage();

    qlLib::CRefCount m_refs;
    qlLib::CComPtr<IInstallUIFrame> m_frame;
    qlLib::CComPtr<IInstallTray> m_tray;
    qlLib::CComPtr<IInstallUI> m_page;
    qlLib::CKernelHandle m_pageEvent;
    qlLib::CCriticalSection m_pageLock;
    volatile LONG m_pageSignalled = 0;
    bool m_needsExtraction = false;
    volatile LONG m_rebootChosen = 0;
    bool m_keyNotSeen = true;
};

}  // namespace TARN
