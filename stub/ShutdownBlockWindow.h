#pragma once
// While a quiet install runs, a hidden window refuses the end of the session and, where the
// system has it, names the product as the reason.
#include <windows.h>

#include <string>

namespace TARN {

class CShutdownBlockWindow {
public:
    CShutdownBlockWindow() = default;
    CShutdownBlockWindow(const CShutdownBlockWindow&) = delete;
    CShutdownBlockWindow& operator=(const CShutdownBlockWindow&) = delete;
    ~CShutdownBlockWindow();
    // The window's class, title and block reason are the product ID; false without a window.
    bool Create(const std::wstring& productId);
    // Ends the window and its thread. Safe without Create. A window that is still being made
    // is not waited for: it closes itself as soon as it exists.
    void Destroy();

private:
    class CWindowThread;
    void End();

    CWindowThread* m_thread = nullptr;
};

}  // namespace TARN
