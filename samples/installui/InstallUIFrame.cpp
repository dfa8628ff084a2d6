#include "samples/installui/InstallUIFrame.h"

#include <commctrl.h>
#include <commdlg.h>

#include <new>

#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "samples/installui/InstallTray.h"
#include "samples/installui/InstallUI.h"
#include "samples/installui/StringIds.h"
#include "samples/installui/UIControlIds.h"
#include "samples/installui/WindowClass.h"

namespace TARN {

namespace {

const int kClientWidth = 480;
const int kClientHeight = 180;
const ULONG kProgressRange = 1000;
// Alpha of the see-through frame (the UI option).
const BYTE kTransparentAlpha = 230;

bool IsRebootResult(HRESULT result) {
    return result == HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED) ||
           result == HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_INITIATED);
}

HWND Control(HWND window, int id) {
    return ::GetDlgItem(window, id);
}

void Show(HWND window, int id, bool visible) {
    ::ShowWindow(Control(window, id), visible ? SW_SHOW : SW_HIDE);
}

}  // namespace

HRESULT CInstallUIFrame::Initialize() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_initialized) return S_OK;
    std::wstring module, folder;
    if (!qlLib::GetModulePath(ThisModule(), module)) return E_UNEXPECTED;
    folder = module.substr(0, module.find_last_of(L'\\'));
    // Without a module of a language this user can read, the host writes a fallback marker and
    // tries again.
    if (!m_language.Load(folder)) {
        TraceError(L"TARN::CInstallUIFrame::Initialize(51) : no language module for this user below %s", folder.c_str());
        return E_FAIL;
    }
    TraceInfo(L"InstallUI: language module %s (%04X)", m_language.Path().c_str(), m_language.Language());
    m_title = m_language.String(IDS_TITLE);
    m_status = m_language.String(IDS_PREPARING);
    m_initialized = true;
    return S_OK;
}

std::wstring CInstallUIFrame::Text(UINT id) const {
    return m_language.String(id);
}

HRESULT CInstallUIFrame::Display() {
    BOOL uiOption;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        uiOption = m_uiOption;   // as last given with the install UI
    }
    return DisplayWithOption(uiOption);
}

HRESULT CInstallUIFrame::DisplayWithOption(BOOL uiOption) {
    DWORD page = ePage_Progress;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        if (!m_initialized) return E_UNEXPECTED;
        if (m_window) return HRESULT_FROM_WIN32(ERROR_BUSY);
        if (m_closePending) {
            m_closePending = false;
            m_selfClosed = false;
            m_startPage = ePage_Progress;
            m_pageData.Release();
            TraceInfo(L"InstallUI: closed before it was displayed");
            return S_OK;
        }
        m_selfClosed = false;
        page = m_page = m_startPage;
        m_uiOption = uiOption;
        if (page == ePage_Progress) m_canceled = 0;   // nobody could cancel before the window existed
    }
    const HRESULT hr = RunWindow(page, uiOption);
    qlLib::CComPtr<IInstallCallback> callback;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        callback = m_callback;
        m_startPage = ePage_Progress;
        m_page = ePage_Progress;
        m_pageData.Release();
    }
    if (callback && page != ePage_Progress) callback->OnPageClosed(page);
    return hr;
}

HRESULT CInstallUIFrame::RunWindow(DWORD page, BOOL uiOption) {
    CWindowClassUse windowClass(kFrameWindowClass, &WindowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    if (!windowClass.IsRegistered()) return HRESULT_FROM_WIN32(::GetLastError());
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW | (uiOption ? WS_EX_LAYERED : 0);
    RECT rect = {0, 0, kClientWidth, kClientHeight};
    ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    std::wstring title;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        title = m_title;
    }
    HWND window = ::CreateWindowExW(exStyle, kFrameWindowClass, title.c_str(), style,
                                    (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                    (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr, nullptr,
                                    ThisModule(), this);
    if (!window) {
        const DWORD error = ::GetLastError();
        TraceError(L"TARN::CInstallUIFrame::RunWindow(130) : failed to create the frame window (%lu)", error);
        return HRESULT_FROM_WIN32(error ? error : ERROR_CANNOT_MAKE);
    }
    if (uiOption) ::SetLayeredWindowAttributes(window, 0, kTransparentAlpha, LWA_ALPHA);
    bool closeNow = false;
    std::wstring instanceId;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_window = window;
        // A Close that slipped in while the window was being made.
        closeNow = m_closePending;
        m_closePending = false;
        instanceId = m_instanceId;
    }
    if (closeNow) {
        ::DestroyWindow(window);
    } else {
        ApplyPage(window, page);
        Refresh(window);
        ::ShowWindow(window, SW_SHOW);
        ::SetForegroundWindow(window);
        m_beacon.Create(instanceId, window);
    }
    RunWindowMessages(window, [this] {
        qlLib::CCriticalSectionLock lock(m_lock);
        return m_window != nullptr;
    }, true);
    m_beacon.Destroy();
    return S_OK;
}

HRESULT CInstallUIFrame::Close() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_window) {
        ::PostMessageW(m_window, eUIMessage_Close, 0, 0);
        m_selfClosed = false;
    } else if (m_selfClosed) {
        m_selfClosed = false;
    } else {
        m_closePending = true;
    }
    return S_OK;
}

void CInstallUIFrame::SelfClose() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_window) {
        ::PostMessageW(m_window, eUIMessage_Close, 0, 0);
    } else {
        m_closePending = true;
    }
    m_selfClosed = true;
}

HRESULT CInstallUIFrame::GetInstallUI(IInstallUI** ui) {
    if (!ui) return E_POINTER;
    *ui = CInstallUI::Create(this);
    return *ui ? S_OK : E_OUTOFMEMORY;
}

HRESULT CInstallUIFrame::GetInstallUIWithOption(BOOL uiOption, IInstallUI** ui) {
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_uiOption = uiOption;
    }
    return GetInstallUI(ui);
}

HRESULT CInstallUIFrame::GetInstallTray(IInstallTray** tray) {
    if (!tray) return E_POINTER;
    *tray = CInstallTray::Create(this);
    return *tray ? S_OK : E_OUTOFMEMORY;
}

HRESULT CInstallUIFrame::ActivateIfDisplayed() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (!m_window) return S_FALSE;
    // The window's own thread may take the foreground; this one may not.
    ::PostMessageW(m_window, eUIMessage_ComeForward, 0, 0);
    return S_OK;
}

HRESULT CInstallUIFrame::SetInstanceId(const wchar_t* compileGuid) {
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_instanceId = compileGuid ? compileGuid : L"";
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallUIFrame::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    qlLib::CCriticalSectionLock lock(m_lock);
    *window = m_window;
    return S_OK;
}

// ---- state from the engine and the host -------------------------------------------------------

void CInstallUIFrame::PostRefresh() {
    if (m_window) ::PostMessageW(m_window, eUIMessage_Refresh, 0, 0);
}

HRESULT CInstallUIFrame::UpdateProgress(ULONG done, ULONG total) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_done = done;
    m_total = total;
    PostRefresh();
    return m_canceled ? E_INSTALL_USEREXIT : S_OK;
}

void CInstallUIFrame::UpdateStatus(DWORD phase, const wchar_t* text) {
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        const std::wstring value = text ? text : L"";
        if (phase == eStatus_Begin) {
            m_title = value;
            qlLib::FormatString(m_status, m_language.String(IDS_INSTALLING).c_str(), value.c_str());
            m_detail.clear();
            m_done = m_total = 0;
            m_engineEnded = false;
        } else {
            m_detail = value;
        }
        PostRefresh();
    } catch (const std::bad_alloc&) {
    }
}

HRESULT CInstallUIFrame::SelectStartPage(DWORD page, qlLib::IKeyValueCollection* data) {
    if (page != ePage_Progress && page != ePage_Restart && page != ePage_Media) return E_INVALIDARG;
    qlLib::CCriticalSectionLock lock(m_lock);
    m_startPage = page;
    m_pageData = data;
    return S_OK;
}

void CInstallUIFrame::AddMessage(DWORD severity, const wchar_t* text) {
    if (!text) return;
    if (severity >= eMessage_Error) {
        TraceError(L"TARN::CInstallUIFrame::AddMessage(272) : %s", text);
    } else {
        TraceInfo(L"InstallUI: %s", text);
    }
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_detail = text;
        PostRefresh();
    } catch (const std::bad_alloc&) {
    }
}

void CInstallUIFrame::EngineEnded(HRESULT result) {
    bool closeNow = false;
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_engineEnded = true;
        m_engineResult = result;
        if (result == E_INSTALL_USEREXIT) {
            m_status = m_language.String(IDS_CANCELED);
        } else if (IsRebootResult(result)) {
            m_status = m_language.String(IDS_COMPLETE_RESTART);
        } else if (SUCCEEDED(result)) {
            m_status = m_language.String(IDS_COMPLETE);
            m_done = m_total = 1;
        } else {
            qlLib::FormatString(m_status, m_language.String(IDS_FAILED).c_str(), result);
        }
        PostRefresh();
        closeNow = !m_interactive;
    } catch (const std::bad_alloc&) {
    }
    if (closeNow) SelfClose();
}

void CInstallUIFrame::SetInteractiveMode(bool interactive) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_interactive = interactive;
}

void CInstallUIFrame::SetUICallback(IInstallCallback* callback) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_callback = callback;
}

void CInstallUIFrame::PageHandled() {
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_window && m_page != ePage_Progress) ::PostMessageW(m_window, eUIMessage_Close, 0, 0);
}

void CInstallUIFrame::RaiseEvent(DWORD event) {
    qlLib::CComPtr<IInstallCallback> callback;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        callback = m_callback;
    }
    // Outside the lock: the host answers by calling back into this frame.
    if (callback) callback->OnEvent(event);
}

// ---- the window (on the displaying thread) --------------------------------------------------------

LRESULT CALLBACK CInstallUIFrame::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    CInstallUIFrame* self = reinterpret_cast<CInstallUIFrame*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->HandleMessage(window, message, wParam, lParam) : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CInstallUIFrame::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls(window);
        return 0;
    case eUIMessage_Refresh:
        Refresh(window);
        return 0;
    case eUIMessage_Close:
        ::DestroyWindow(window);
        return 0;
    case eUIMessage_ComeForward:
        if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
        ::SetForegroundWindow(window);
        return 0;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case WM_CLOSE:   // the title bar's close box is the secondary button
        OnCommand(window, eControl_Secondary);
        return 0;
    case WM_DESTROY: {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_window = nullptr;
        return 0;
    }
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

void CInstallUIFrame::CreateControls(HWND window) {
    struct Item {
        const wchar_t* windowClass;
        DWORD style;
        int id, x, y, width, height;
    };
    const Item items[] = {
        {L"STATIC", SS_LEFT, eControl_Status, 16, 14, 448, 36},
        {L"STATIC", SS_LEFTNOWORDWRAP | SS_PATHELLIPSIS, eControl_Detail, 16, 54, 448, 18},
        {PROGRESS_CLASSW, 0, eControl_Progress, 16, 80, 448, 18},
        {L"EDIT", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, eControl_MediaPath, 16, 80, 352, 22},
        {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, eControl_Browse, 376, 79, 88, 24},
        {L"BUTTON", WS_TABSTOP | BS_DEFPUSHBUTTON, eControl_Primary, 264, 138, 96, 26},
        {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, eControl_Secondary, 368, 138, 96, 26},
    };
    HFONT font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    for (const Item& item : items) {
        HWND control = ::CreateWindowExW(0, item.windowClass, L"", WS_CHILD | item.style, item.x, item.y, item.width,
                                         item.height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)),
                                         ThisModule(), nullptr);
        if (control) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    ::SendMessageW(Control(window, eControl_Progress), PBM_SETRANGE32, 0, kProgressRange);
    ::SetDlgItemTextW(window, eControl_Browse, m_language.String(IDS_BROWSE).c_str());
}

void CInstallUIFrame::ApplyPage(HWND window, DWORD page) {
    const bool progress = page == ePage_Progress;
    const bool media = page == ePage_Media;
    Show(window, eControl_Status, true);
    Show(window, eControl_Detail, progress);
    Show(window, eControl_Progress, progress);
    Show(window, eControl_MediaPath, media);
    Show(window, eControl_Browse, media);
    Show(window, eControl_Primary, !progress);
    Show(window, eControl_Secondary, true);
    if (progress) return;
    qlLib::CComPtr<qlLib::IKeyValueCollection> data;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        data = m_pageData;
    }
    if (page == ePage_Restart) {
        DWORD kind = ePageRestart_Finish;
        if (data) data->GetDword(ePageKey_RestartKind, &kind);
        ::SetDlgItemTextW(window, eControl_Status,
                          m_language.String(kind == ePageRestart_Continue ? IDS_RESTART_CONTINUE : IDS_RESTART_FINISH).c_str());
        ::SetDlgItemTextW(window, eControl_Primary, m_language.String(IDS_RESTART_NOW).c_str());
        ::SetDlgItemTextW(window, eControl_Secondary, m_language.String(IDS_LATER).c_str());
    } else {
        std::wstring path;
        if (data) qlLib::ReadStringAsWide(data.Get(), ePageKey_MediaPath, path);
        ::SetDlgItemTextW(window, eControl_Status, m_language.String(IDS_MEDIA_TEXT).c_str());
        ::SetDlgItemTextW(window, eControl_MediaPath, path.c_str());
        ::SetDlgItemTextW(window, eControl_Primary, m_language.String(IDS_OK).c_str());
        ::SetDlgItemTextW(window, eControl_Secondary, m_language.String(IDS_CANCEL).c_str());
        ::SetFocus(Control(window, eControl_MediaPath));
    }
}

void CInstallUIFrame::Refresh(HWND window) {
    std::wstring title, status, detail;
    ULONGLONG position = 0;
    bool ended = false, canceled = false;
    DWORD page = ePage_Progress;
    try {
        qlLib::CCriticalSectionLock lock(m_lock);
        title = m_title;
        status = m_status;
        detail = m_detail;
        if (m_total) position = static_cast<ULONGLONG>(m_done) * kProgressRange / m_total;
        ended = m_engineEnded;
        canceled = m_canceled != 0;
        page = m_page;
    } catch (const std::bad_alloc&) {
        return;
    }
    ::SetWindowTextW(window, title.c_str());
    if (page != ePage_Progress) return;
    if (canceled && !ended) status = m_language.String(IDS_CANCELING);
    ::SetDlgItemTextW(window, eControl_Status, status.c_str());
    ::SetDlgItemTextW(window, eControl_Detail, detail.c_str());
    ::SendMessageW(Control(window, eControl_Progress), PBM_SETPOS, static_cast<WPARAM>(position), 0);
    ::SetDlgItemTextW(window, eControl_Secondary, m_language.String(ended ? IDS_CLOSE : IDS_CANCEL).c_str());
    ::EnableWindow(Control(window, eControl_Secondary), ended || !canceled);
}

void CInstallUIFrame::OnCommand(HWND window, int id) {
    DWORD page;
    bool ended;
    qlLib::CComPtr<qlLib::IKeyValueCollection> data;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        page = m_page;
        ended = m_engineEnded;
        data = m_pageData;
    }
    if (page == ePage_Progress) {
        if (id != eControl_Secondary) return;
        if (ended) {
            ::DestroyWindow(window);
            return;
        }
        // The engine sees the cancel at its next progress report and ends; the window stays
        // until then.
        ::InterlockedExchange(&m_canceled, 1);
        TraceInfo(L"InstallUI: canceled by the user");
        RaiseEvent(eEvent_Cancel);
        Refresh(window);
    } else if (page == ePage_Restart) {
        if (id == eControl_Primary) RaiseEvent(eEvent_Restart);
        if (id == eControl_Primary || id == eControl_Secondary) ::DestroyWindow(window);
    } else if (page == ePage_Media) {
        if (id == eControl_Browse) {
            BrowseForMedia(window);
        } else if (id == eControl_Primary) {
            wchar_t path[MAX_PATH] = {};
            ::GetDlgItemTextW(window, eControl_MediaPath, path, MAX_PATH);
            if (data) data->SetWString(ePageKey_MediaPath, path);
            ::DestroyWindow(window);
        } else if (id == eControl_Secondary) {
            RaiseEvent(eEvent_Cancel);
            ::DestroyWindow(window);
        }
    }
}

void CInstallUIFrame::BrowseForMedia(HWND window) {
    wchar_t path[MAX_PATH] = {};
    ::GetDlgItemTextW(window, eControl_MediaPath, path, MAX_PATH);
    std::wstring filter = m_language.String(IDS_MEDIA_FILTER);
    for (wchar_t& c : filter) {
        if (c == L'|') c = L'\0';
    }
    filter.push_back(L'\0');
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (::GetOpenFileNameW(&dialog)) ::SetDlgItemTextW(window, eControl_MediaPath, path);
}

}  // namespace TARN
