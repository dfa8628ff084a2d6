#include "samples/installui/InstanceBeacon.h"

#include <new>

#include "runtime/Trace.h"
#include "samples/installui/UIControlIds.h"

namespace TARN {

bool CInstanceBeacon::Create(const std::wstring& compileGuid, HWND owner) {
    Destroy();
    if (compileGuid.empty()) return false;
    m_class.reset(new (std::nothrow) CWindowClassUse(kBeaconWindowClass, &WindowProc));
    if (!m_class || !m_class->IsRegistered()) return false;
    m_window = ::CreateWindowExW(0, kBeaconWindowClass, compileGuid.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ThisModule(), nullptr);
    if (!m_window) {
        TraceWarning(L"TARN::CInstanceBeacon::Create(18) : failed to create the instance window (%lu)", ::GetLastError());
        m_class.reset();
        return false;
    }
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return true;
}

void CInstanceBeacon::Destroy() {
    if (m_window) {
        ::DestroyWindow(m_window);
        m_window = nullptr;
    }
    m_class.reset();
}

bool CInstanceBeacon::FindOther(const std::wstring& compileGuid, bool signal) {
    if (compileGuid.empty()) return false;
    HWND found = nullptr;
    while ((found = ::FindWindowExW(HWND_MESSAGE, found, kBeaconWindowClass, compileGuid.c_str())) != nullptr) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(found, &process);
        if (process == ::GetCurrentProcessId()) continue;
        if (signal) {
            // Only the instance that is asked may take the foreground.
            ::AllowSetForegroundWindow(process);
            ::PostMessageW(found, eUIMessage_ComeForward, 0, 0);
        }
        return true;
    }
    return false;
}

LRESULT CALLBACK CInstanceBeacon::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == eUIMessage_ComeForward) {
        HWND owner = reinterpret_cast<HWND>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (owner) ::PostMessageW(owner, eUIMessage_ComeForward, 0, 0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace TARN
