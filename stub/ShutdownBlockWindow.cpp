#include "stub/ShutdownBlockWindow.h"

#include <atomic>
#include <new>

#include "runtime/MessageWindowThread.h"
#include "runtime/OsVersion.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// Vista and later only: looked up, so that the stub still starts where they are missing.
using ReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroyFn = BOOL(WINAPI*)(HWND);

void* User32Export(const char* name) {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<void*>(::GetProcAddress(user32, name)) : nullptr;
}

}  // namespace

class CShutdownBlockWindow::CWindowThread : public qlLib::CMessageWindowThread {
public:
    explicit CWindowThread(const std::wstring& productId) : m_productId(productId) {}
    // The window thread calls this object's hooks: it ends before the object does.
    ~CWindowThread() override { Stop(INFINITE); }

    bool Start() { return Create(m_productId.c_str(), m_productId.c_str()); }
    // Asks the window to go without waiting for it; the thread ends by itself. The object is
    // kept in the list of abandoned ones for AwaitAbandoned (it is never freed).
    void Abandon() {
        m_ending = true;
        RequestExit();
        m_nextAbandoned = s_abandoned.load();
        while (!s_abandoned.compare_exchange_weak(m_nextAbandoned, this)) {
        }
    }

    static std::atomic<CWindowThread*> s_abandoned;
    CWindowThread* m_nextAbandoned = nullptr;

protected:
    BOOL OnShutdownQuery() override {
        // A window made after the install's end has nothing left to protect.
        if (m_ending) return TRUE;
        TraceInfo(L"Shutdown blocked");
        HWND window = Window();
        if (qlLib::IsVistaOrLater() && ::IsWindow(window)) {
            TraceInfo(L"Trying to prevent shutdown on Vista+");
            auto create = reinterpret_cast<ReasonCreateFn>(User32Export("ShutdownBlockReasonCreate"));
            if (!create || !create(window, m_productId.c_str()))
                TraceError(L"Couldn't block the shutdown...%lu", ::GetLastError());
        }
        // The install must not be cut off half way.
        return FALSE;
    }

    void OnWindowDestroyed() override {
        HWND window = Window();
        if (!qlLib::IsVistaOrLater() || !::IsWindow(window)) return;
        TraceInfo(L"removing Shutdownblock");
        auto destroy = reinterpret_cast<ReasonDestroyFn>(User32Export("ShutdownBlockReasonDestroy"));
        if (!destroy || !destroy(window)) TraceError(L"Couldn't remove shutdown block");
    }

    void OnShutdownEnd(bool, bool) override {}

private:
    const std::wstring m_productId;
    std::atomic<bool> m_ending{false};
};

std::atomic<CShutdownBlockWindow::CWindowThread*> CShutdownBlockWindow::CWindowThread::s_abandoned{nullptr};

void CShutdownBlockWindow::AwaitAbandoned(DWORD timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (CWindowThread* thread = CWindowThread::s_abandoned.load(); thread; thread = thread->m_nextAbandoned) {
        const ULONGLONG spent = ::GetTickCount64() - start;
        const DWORD left = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        if (thread->WaitForThread(left) != WAIT_OBJECT_0) {
            TraceWarning(L"CShutdownBlockWindow::AwaitAbandoned : a hidden window is still being made");
            return;
        }
    }
}

CShutdownBlockWindow::~CShutdownBlockWindow() {
    End();
}

bool CShutdownBlockWindow::Create(const std::wstring& productId) {
    TraceInfo(L"create hidden window");
    End();
    try {
        m_thread = new CWindowThread(productId);
    } catch (const std::bad_alloc&) {
        TraceError(L"Couldn't copy ProductID");
        return false;
    }
    if (m_thread->Start()) return true;
    delete m_thread;
    m_thread = nullptr;
    return false;
}

void CShutdownBlockWindow::Destroy() {
    End();
    TraceInfo(L"destroy hidden window");
}

void CShutdownBlockWindow::End() {
    if (!m_thread) return;
    if (m_thread->Window() || !m_thread->IsThreadRunning()) {
        delete m_thread;   // closes the window and waits for its thread
    } else {
        // The thread is still making its window: the first window of a process can wait for
        // the session's desktop to come up (under Wine, for its desktop process to start),
        // long after a short install has ended. The thread closes the window as soon as it
        // exists and ends; its object stays for the rest of the process, as the thread uses it.
        m_thread->Abandon();
    }
    m_thread = nullptr;
}

}  // namespace TARN
