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
    // Before the process ends: waits up to timeoutMs in all for the threads of windows that
    // were still being made when destroyed. A process that ends while one of them is still in
    // the system's window set-up can lose its exit code (under Wine the thread then faults in
    // the middle of the process's end, and the process ends with 1 or by a signal).
    static void AwaitAbandoned(DWORD timeoutMs);

private:
    class CWindowThread;
    void End();

    CWindowThread* m_thread = nullptr;
};

}  // namespace TARN
