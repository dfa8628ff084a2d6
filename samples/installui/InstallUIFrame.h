#pragma once
// The sample install UI's frame: one window that shows the install's progress (fed by the engine
// through CInstallUI from any thread), the restart page and the media page. The window lives on
// the thread that calls Display; every other thread only changes the state under the lock and
// posts eUIMessage_Refresh.
#include <windows.h>

#include <memory>
#include <string>

#include "components/ComponentFactory.h"
#include "components/ComponentInterfaces.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "samples/installui/InstanceBeacon.h"
#include "samples/installui/LanguageModule.h"

namespace TARN {

class CInstallUIFrame final : public CComponentUnknown<IInstallUIFrame2, IID_IInstallUIFrame2>,
                              private CComponentObject {
public:
    // The factory's CreateObject.
    static HRESULT Create(REFIID iid, void** object) { return CreateAs<CInstallUIFrame>(iid, object); }
    CInstallUIFrame() = default;

    HRESULT STDMETHODCALLTYPE Initialize() override;
    HRESULT STDMETHODCALLTYPE Display() override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE GetInstallUI(IInstallUI** ui) override;
    HRESULT STDMETHODCALLTYPE GetInstallTray(IInstallTray** tray) override;
    HRESULT STDMETHODCALLTYPE ActivateIfDisplayed() override;
    HRESULT STDMETHODCALLTYPE SetInstanceId(const wchar_t* compileGuid) override;
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE DisplayWithOption(BOOL uiOption) override;
    HRESULT STDMETHODCALLTYPE GetInstallUIWithOption(BOOL uiOption, IInstallUI** ui) override;

    // What CInstallUI forwards (any thread).
    HRESULT UpdateProgress(ULONG done, ULONG total);
    void UpdateStatus(DWORD phase, const wchar_t* text);
    HRESULT SelectStartPage(DWORD page, qlLib::IKeyValueCollection* data);
    void AddMessage(DWORD severity, const wchar_t* text);
    void EngineEnded(HRESULT result);
    void SetInteractiveMode(bool interactive);
    void SetUICallback(IInstallCallback* callback);
    void PageHandled();

    // A text of the language module chosen by Initialize.
    std::wstring Text(UINT id) const;

private:
    ~CInstallUIFrame() override = default;
    bool OffersAlso(REFIID iid) const override { return iid == IID_IInstallUIFrame; }

    HRESULT RunWindow(DWORD page, BOOL uiOption);
    void PostRefresh();
    // Ends the window from the engine's side (unattended runs).
    void SelfClose();
    void RaiseEvent(DWORD event);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls(HWND window);
    void ApplyPage(HWND window, DWORD page);
    void Refresh(HWND window);
    void OnCommand(HWND window, int id);
    void BrowseForMedia(HWND window);

    mutable qlLib::CCriticalSection m_lock;
    CLanguageModule m_language;
    bool m_initialized = false;

    // Display state.
    HWND m_window = nullptr;
    bool m_closePending = false;   // a Close came before the window: the next Display ends at once
    bool m_selfClosed = false;     // the engine's end closed it: the host's Close that follows is spent
    DWORD m_startPage = ePage_Progress;
    DWORD m_page = ePage_Progress;
    qlLib::CComPtr<qlLib::IKeyValueCollection> m_pageData;
    qlLib::CComPtr<IInstallCallback> m_callback;
    bool m_interactive = true;
    BOOL m_uiOption = FALSE;       // the last one given; plain Display uses it
    std::wstring m_instanceId;
    CInstanceBeacon m_beacon;

    // What the engine reported.
    std::wstring m_title;
    std::wstring m_status;
    std::wstring m_detail;
    ULONG m_done = 0;
    ULONG m_total = 0;
    bool m_engineEnded = false;
    HRESULT m_engineResult = S_OK;
    volatile LONG m_canceled = 0;
};

}  // namespace TARN
