#include "runtime/MessageWindowThread.h"

#include <new>

#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace qlLib {

namespace {

// Input method windows would be created for this hidden window's thread: none are wanted.
void DisableInputMethod() {
    CModuleHandle imm(LoadSystemLibrary(L"imm32.dll"));
    using ImmDisableIMEFn = BOOL(WINAPI*)(DWORD);
    auto disable = imm ? reinterpret_cast<ImmDisableIMEFn>(reinterpret_cast<void*>(::GetProcAddress(imm.Get(), "ImmDisableIME"))) : nullptr;
    if (!disable || !disable(0))
        TraceInfo(L"qlLib::CMessageWindowThread::Run(20) : ImmDisableIME not available (%lu)", ::GetLastError());
}

}  // namespace

CMessageWindowThread::~CMessageWindowThread() {
    Stop(INFINITE);
}

bool CMessageWindowThread::Create(const wchar_t* className, const wchar_t* title) {
    if (!className || !*className || !title || !*title) return false;
    Stop(INFINITE);
    try {
        m_className = className;
        m_title = title;
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_exitRequested = false;
    m_queueReady.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return m_queueReady.IsValid() && StartThread();
}

DWORD CMessageWindowThread::Run() {
    // The thread's message queue first, so that an early request to end is not lost.
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    ::SetEvent(m_queueReady.Get());
    DisableInputMethod();

    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    if (!::GetClassInfoExW(instance, m_className.c_str(), &windowClass)) {
        windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = &StaticWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = m_className.c_str();
        if (!::RegisterClassExW(&windowClass) && !::GetClassInfoExW(instance, m_className.c_str(), &windowClass))
            return 1;
    }
    HWND window = ::CreateWindowExW(0, m_className.c_str(), m_title.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                                    instance, nullptr);
    if (!window) {
        ::UnregisterClassW(m_className.c_str(), instance);
        return 1;
    }
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_window = window;
    // Asked to end while the window was being made: the request found no window to close.
    if (m_exitRequested) ::PostMessageW(window, WM_CLOSE, 0, 0);

    while (::GetMessageW(&message, nullptr, 0, 0) == 1) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (HWND left = m_window.exchange(nullptr)) ::DestroyWindow(left);
    ::UnregisterClassW(m_className.c_str(), instance);
    return 0;
}

void CMessageWindowThread::RequestExit() {
    m_exitRequested = true;
    if (HWND window = m_window.load()) {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    // The thread makes its queue at once; a quit posted before that would vanish.
    ::WaitForSingleObject(m_queueReady.Get(), 5000);
    ::PostThreadMessageW(ThreadId(), WM_QUIT, 0, 0);
}

LRESULT CALLBACK CMessageWindowThread::StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CMessageWindowThread*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->WindowProc(window, message, wParam, lParam) : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CMessageWindowThread::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        OnWindowDestroyed();
        m_window = nullptr;
        RequestExit();
        return 0;
    case WM_QUERYENDSESSION:
        return OnShutdownQuery();
    case WM_ENDSESSION:
        OnShutdownEnd(wParam != 0, (static_cast<DWORD>(lParam) & 0x80000000u) == 0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace qlLib
