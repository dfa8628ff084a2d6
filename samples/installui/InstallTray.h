#pragma once
// The restart tray: a notification-area icon whose menu offers to restart now (event 1) and
// whose click opens the frame (event 0, left to the host), running until the host notifies it or
// the host's patch reboot check says the restart is no longer pending.
#include <windows.h>

#include <string>

#include "components/ComponentFactory.h"
#include "components/ComponentInterfaces.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "samples/installui/InstanceBeacon.h"

namespace TARN {

class CInstallUIFrame;

class CInstallTray final : public CComponentUnknown<IInstallTray, IID_IInstallTray>, private CComponentObject {
public:
    // One reference for the caller; null when out of memory.
    static CInstallTray* Create(CInstallUIFrame* frame);

    HRESULT STDMETHODCALLTYPE Notify() override;
    HRESULT STDMETHODCALLTYPE SetInstanceId(const wchar_t* compileGuid) override;
    HRESULT STDMETHODCALLTYPE SetCallback(IInstallCallback* callback) override;
    HRESULT STDMETHODCALLTYPE Run() override;
    bool STDMETHODCALLTYPE FindOtherInstance(BOOL signal) override;

private:
    explicit CInstallTray(CInstallUIFrame* frame);
    ~CInstallTray() override = default;

    HWND CreateTrayWindow(const std::wstring& title);
    // With balloon, the icon says once why it is there; an icon added again says nothing.
    void AddIcon(HWND window, bool balloon);
    void RemoveIcon(HWND window);
    void ShowMenu(HWND window);
    void RaiseEvent(DWORD event);
    void CheckPatchReboot(HWND window);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    qlLib::CCriticalSection m_lock;
    qlLib::CComPtr<CInstallUIFrame> m_frame;
    qlLib::CComPtr<IInstallCallback> m_callback;
    std::wstring m_instanceId;
    HWND m_window = nullptr;
    bool m_notifyPending = false;   // Notify came before Run: that Run ends at once
    bool m_iconShown = false;
    const UINT m_taskbarCreated;
    CInstanceBeacon m_beacon;
};

}  // namespace TARN
