#include "samples/installui/InstallTray.h"

#include <shellapi.h>

#include <memory>
#include <new>

#include "runtime/MessageFilter.h"
#include "runtime/Trace.h"
#include "samples/installui/InstallUIFrame.h"
#include "samples/installui/StringIds.h"
#include "samples/installui/UIControlIds.h"
#include "samples/installui/WindowClass.h"

namespace TARN {

namespace {

const UINT kIconId = 1;
const UINT_PTR kPatchCheckTimer = 1;
const UINT kPatchCheckMs = 1000;

void CopyText(wchar_t* buffer, size_t size, const std::wstring& text) {
    ::lstrcpynW(buffer, text.c_str(), static_cast<int>(size));
}

}  // namespace

CInstallTray* CInstallTray::Create(CInstallUIFrame* frame) {
    return frame ? new (std::nothrow) CInstallTray(frame) : nullptr;
}

CInstallTray::CInstallTray(CInstallUIFrame* frame) : m_frame(frame), m_taskbarCreated(qlLib::TaskbarCreatedMessage()) {}

HRESULT CInstallTray::Notify() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_window) {
        ::PostMessageW(m_window, eUIMessage_Close, 0, 0);
    } else {
        m_notifyPending = true;
    }
    return S_OK;
}

HRESULT CInstallTray::SetInstanceId(const wchar_t* compileGuid) {
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_instanceId = compileGuid ? compileGuid : L"";
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallTray::SetCallback(IInstallCallback* callback) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_callback = callback;
    return S_OK;
}

bool CInstallTray::FindOtherInstance(BOOL signal) {
    std::wstring id;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        id = m_instanceId;
    }
    return CInstanceBeacon::FindOther(id, signal != FALSE);
}

HWND CInstallTray::CreateTrayWindow(const std::wstring& title) {
    // A hidden top-level window can own the icon's menu; without a desktop (no display) a
    // message-only window still carries the icon's messages and the commands.
    HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW, kTrayWindowClass, title.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr,
                                    nullptr, ThisModule(), this);
    if (!window)
        window = ::CreateWindowExW(0, kTrayWindowClass, title.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   ThisModule(), this);
    // An elevated host hears the shell (unelevated) only for the messages it lets through: the
    // icon's clicks and the taskbar's re-creation.
    if (window && (!qlLib::AllowMessageForWindow(window, eUIMessage_TrayIcon) ||
                   (m_taskbarCreated && !qlLib::AllowMessageForWindow(window, m_taskbarCreated))))
        TraceWarning(L"TARN::CInstallTray::CreateTrayWindow(82) : the shell's messages are not let through (%lu)",
                     ::GetLastError());
    return window;
}

HRESULT CInstallTray::Run() {
    std::wstring id;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        if (m_window) return HRESULT_FROM_WIN32(ERROR_BUSY);
        if (m_notifyPending) {
            m_notifyPending = false;
            return S_OK;
        }
        id = m_instanceId;
    }
    CWindowClassUse windowClass(kTrayWindowClass, &WindowProc);
    if (!windowClass.IsRegistered()) return HRESULT_FROM_WIN32(::GetLastError());
    HWND window = CreateTrayWindow(id);
    if (!window) {
        const DWORD error = ::GetLastError();
        TraceError(L"TARN::CInstallTray::Run(103) : failed to create the tray window (%lu)", error);
        return HRESULT_FROM_WIN32(error ? error : ERROR_CANNOT_MAKE);
    }
    bool closeNow;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_window = window;
        closeNow = m_notifyPending;
        m_notifyPending = false;
    }
    TraceInfo(L"InstallUI: tray running");
    if (closeNow) {
        ::DestroyWindow(window);
    } else {
        // The marker is looked at first, then every second: adding the icon below waits for the
        // shell's taskbar, which may still be starting with the session.
        CheckPatchReboot(window);
    }
    if (!closeNow && ::IsWindow(window)) {
        AddIcon(window, true);
        m_beacon.Create(id, window);
        ::SetTimer(window, kPatchCheckTimer, kPatchCheckMs, nullptr);
    }
    RunWindowMessages(window, [this] {
        qlLib::CCriticalSectionLock lock(m_lock);
        return m_window != nullptr;
    }, false);
    m_beacon.Destroy();
    TraceInfo(L"InstallUI: tray ended");
    return S_OK;
}

void CInstallTray::AddIcon(HWND window, bool balloon) {
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof(icon);
    icon.hWnd = window;
    icon.uID = kIconId;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | (balloon ? NIF_INFO : 0);
    icon.uCallbackMessage = eUIMessage_TrayIcon;
    icon.hIcon = ::LoadIconW(nullptr, IDI_WARNING);
    CopyText(icon.szTip, ARRAYSIZE(icon.szTip), m_frame->Text(IDS_TRAY_TIP));
    CopyText(icon.szInfoTitle, ARRAYSIZE(icon.szInfoTitle), m_frame->Text(IDS_TRAY_TIP));
    CopyText(icon.szInfo, ARRAYSIZE(icon.szInfo), m_frame->Text(IDS_RESTART_FINISH));
    icon.dwInfoFlags = NIIF_WARNING;
    m_iconShown = ::Shell_NotifyIconW(NIM_ADD, &icon) != FALSE;
    // Without a notification area the menu commands still work; the tray keeps running.
    if (m_iconShown) {
        TraceInfo(L"InstallUI: tray icon added");
    } else {
        TraceWarning(L"TARN::CInstallTray::AddIcon(147) : no notification icon (%lu)", ::GetLastError());
    }
}

void CInstallTray::RemoveIcon(HWND window) {
    if (!m_iconShown) return;
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof(icon);
    icon.hWnd = window;
    icon.uID = kIconId;
    ::Shell_NotifyIconW(NIM_DELETE, &icon);
    m_iconShown = false;
}

void CInstallTray::ShowMenu(HWND window) {
    HMENU menu = ::CreatePopupMenu();
    if (!menu) return;
    ::AppendMenuW(menu, MF_STRING, eTray_RestartNow, m_frame->Text(IDS_RESTART_NOW).c_str());
    ::AppendMenuW(menu, MF_STRING, eTray_Open, m_frame->Text(IDS_TRAY_OPEN).c_str());
    POINT point;
    ::GetCursorPos(&point);
    // The menu closes when the user clicks elsewhere only while its owner is in the foreground.
    ::SetForegroundWindow(window);
    ::TrackPopupMenu(menu, TPM_RIGHTBUTTON, point.x, point.y, 0, window, nullptr);
    ::PostMessageW(window, WM_NULL, 0, 0);
    ::DestroyMenu(menu);
}

void CInstallTray::RaiseEvent(DWORD event) {
    qlLib::CComPtr<IInstallCallback> callback;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        callback = m_callback;
    }
    if (callback) {
        callback->OnEvent(event);
    } else if (event == eEvent_Restart) {
        Notify();   // nobody to ask: the choice ends the tray
    }
}

void CInstallTray::CheckPatchReboot(HWND window) {
    qlLib::CComPtr<IInstallCallback> callback;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        callback = m_callback;
    }
    if (callback && callback->CheckPatchReboot() == 0) {
        TraceInfo(L"InstallUI: restart no longer pending, tray ends");
        ::DestroyWindow(window);
    }
}

LRESULT CALLBACK CInstallTray::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    CInstallTray* self = reinterpret_cast<CInstallTray*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->HandleMessage(window, message, wParam, lParam) : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CInstallTray::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == m_taskbarCreated && m_taskbarCreated) {
        // The shell restarted and lost every icon (or never had ours): ours is added afresh.
        RemoveIcon(window);
        AddIcon(window, false);
        return 0;
    }
    switch (message) {
    case eUIMessage_TrayIcon:
        switch (LOWORD(lParam)) {
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case NIN_SELECT:
        case NIN_KEYSELECT:
            RaiseEvent(eEvent_TrayClick);
            break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
            ShowMenu(window);
            break;
        default:
            break;
        }
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == eTray_RestartNow) RaiseEvent(eEvent_Restart);
        if (LOWORD(wParam) == eTray_Open) RaiseEvent(eEvent_TrayClick);
        return 0;
    case eUIMessage_ComeForward:
        RaiseEvent(eEvent_TrayClick);
        return 0;
    case WM_TIMER:
        if (wParam == kPatchCheckTimer) CheckPatchReboot(window);
        return 0;
    case eUIMessage_Close:
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY: {
        ::KillTimer(window, kPatchCheckTimer);
        RemoveIcon(window);
        qlLib::CCriticalSectionLock lock(m_lock);
        m_window = nullptr;
        return 0;
    }
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace TARN
