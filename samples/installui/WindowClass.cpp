#include "samples/installui/WindowClass.h"

namespace TARN {

HMODULE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

void RunWindowMessages(HWND window, const std::function<bool()>& isAlive, bool dialogKeys) {
    while (isAlive()) {
        MSG message;
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            ::DestroyWindow(window);
            ::PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (got == -1) return;
        if (dialogKeys && ::IsDialogMessageW(window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

CWindowClassUse::CWindowClassUse(const wchar_t* name, WNDPROC procedure, HBRUSH background) : m_name(name) {
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof(existing);
    m_registered = ::GetClassInfoExW(ThisModule(), name, &existing) != FALSE;
    if (m_registered) return;   // another window of this DLL still uses it
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ThisModule();
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = name;
    m_registered = ::RegisterClassExW(&windowClass) != 0 || ::GetClassInfoExW(ThisModule(), name, &existing);
}

CWindowClassUse::~CWindowClassUse() {
    // Fails while other windows of the class exist; the last user's attempt succeeds.
    if (m_registered) ::UnregisterClassW(m_name, ThisModule());
}

}  // namespace TARN
