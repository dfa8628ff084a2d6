#pragma once
// A window class of this DLL, registered while a window of it may live and unregistered
// afterwards: a class left registered would outlive an unloaded DLL and point into freed code.
#include <windows.h>

#include <functional>

namespace TARN {

// InstUI.dll's own module handle.
HMODULE ThisModule();

// Runs this thread's messages for window until isAlive() answers false. A WM_QUIT meant for an
// outer loop destroys the window and is posted again. With dialogKeys, Tab and Escape work as in
// a dialog.
void RunWindowMessages(HWND window, const std::function<bool()>& isAlive, bool dialogKeys);

class CWindowClassUse {
public:
    CWindowClassUse(const wchar_t* name, WNDPROC procedure, HBRUSH background = nullptr);
    ~CWindowClassUse();
    CWindowClassUse(const CWindowClassUse&) = delete;
    CWindowClassUse& operator=(const CWindowClassUse&) = delete;

    bool IsRegistered() const { return m_registered; }

private:
    const wchar_t* m_name;
    bool m_registered;
};

}  // namespace TARN
