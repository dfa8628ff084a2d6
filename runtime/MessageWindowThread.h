#pragma once
// A hidden top-level window with a thread and message loop of its own, for messages that only
// top-level windows get (the session's end, for one).
#include <windows.h>

#include <atomic>
#include <string>

#include "runtime/Handles.h"
#include "runtime/WorkerThread.h"

namespace qlLib {

class CMessageWindowThread : public CWorkerThread {
public:
    CMessageWindowThread() = default;
    // A derived class stops the thread in its own destructor: the window calls its hooks.
    ~CMessageWindowThread() override;

    // Starts the thread that makes a window of this class name and title (both non-empty) and
    // runs its messages. A running thread is stopped first. False when nothing was started.
    bool Create(const wchar_t* className, const wchar_t* title);
    HWND Window() const { return m_window.load(); }

protected:
    DWORD Run() override;
    // Closes the window, or ends the loop of a thread whose window does not exist (yet).
    void RequestExit() override;

    // The window is being destroyed (the handle is still valid).
    virtual void OnWindowDestroyed() {}
    // WM_QUERYENDSESSION: TRUE lets the session end.
    virtual BOOL OnShutdownQuery() { return TRUE; }
    // WM_ENDSESSION.
    virtual void OnShutdownEnd(bool /*ending*/, bool /*topBitClear*/) {}
    virtual LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::wstring m_className;
    std::wstring m_title;
    std::atomic<HWND> m_window{nullptr};
    // Set once the thread has its message queue: a WM_QUIT posted before would be lost.
    CKernelHandle m_queueReady;
    std::atomic<bool> m_exitRequested{false};
};

}  // namespace qlLib
