#include "runtime/WorkerThread.h"

#include "runtime/Trace.h"

namespace qlLib {

CWorkerThread::~CWorkerThread() {
    // The derived part is gone by now: a thread still running would call into nothing.
    if (IsThreadRunning()) TraceError(L"qlLib::CWorkerThread::~CWorkerThread(14) : thread still running");
}

DWORD WINAPI CWorkerThread::ThreadProc(void* self) {
    return static_cast<CWorkerThread*>(self)->Run();
}

bool CWorkerThread::StartThread() {
    if (IsThreadRunning()) return false;
    m_thread.Reset(::CreateThread(nullptr, 0, &ThreadProc, this, 0, &m_threadId));
    if (!m_thread.IsValid()) {
        m_threadId = 0;
        return false;
    }
    return true;
}

DWORD CWorkerThread::WaitForThread(DWORD timeoutMs) {
    if (!m_thread.IsValid()) return WAIT_OBJECT_0;
    return ::WaitForSingleObject(m_thread.Get(), timeoutMs);
}

DWORD CWorkerThread::WaitPumping(DWORD timeoutMs) {
    if (!m_thread.IsValid()) return WAIT_OBJECT_0;
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = ::GetTickCount() - start;
            if (elapsed >= timeoutMs) return WAIT_TIMEOUT;
            remaining = timeoutMs - elapsed;
        }
        HANDLE thread = m_thread.Get();
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &thread, FALSE, remaining, QS_ALLINPUT);
        if (wait != WAIT_OBJECT_0 + 1) return wait;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

bool CWorkerThread::IsThreadRunning() {
    return m_thread.IsValid() && ::WaitForSingleObject(m_thread.Get(), 0) == WAIT_TIMEOUT;
}

void CWorkerThread::Stop(DWORD timeoutMs) {
    if (!IsThreadRunning()) return;
    RequestExit();
    if (WaitForThread(timeoutMs) != WAIT_OBJECT_0) {
        TraceError(L"qlLib::CWorkerThread::Stop(58) : thread did not end, terminating it");
        ::TerminateThread(m_thread.Get(), static_cast<DWORD>(-1));
        ::WaitForSingleObject(m_thread.Get(), INFINITE);
    }
}

}  // namespace qlLib
