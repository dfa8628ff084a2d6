#pragma once
// A thread that runs one virtual operation of its owner. The owner waits for (or stops) the
// thread before it is destroyed: the body is a virtual of the derived class.
#include <windows.h>

#include "runtime/Handles.h"

namespace qlLib {

class CWorkerThread {
public:
    CWorkerThread() = default;
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Ends the thread: asks it to exit and waits up to timeoutMs; a thread that does not end by
    // then is terminated. Nothing to do when it does not run.
    virtual void Stop(DWORD timeoutMs);
    // Waits for the thread while dispatching this thread's messages (a window of this thread
    // stays responsive). WAIT_OBJECT_0 at once when no thread was started.
    virtual DWORD WaitPumping(DWORD timeoutMs);
    // The body.
    virtual DWORD Run() = 0;

    // Starts a new thread running Run; false when one still runs or it cannot be created.
    bool StartThread();
    // WAIT_OBJECT_0 when the thread has ended (or none was started), WAIT_TIMEOUT, WAIT_FAILED.
    DWORD WaitForThread(DWORD timeoutMs);
    bool IsThreadRunning();
    DWORD ThreadId() const { return m_threadId; }

protected:
    // Asks the body to end; the base has no way to, the message-window thread posts a message.
    virtual void RequestExit() {}

private:
    static DWORD WINAPI ThreadProc(void* self);

    CKernelHandle m_thread;
    DWORD m_threadId = 0;
};

}  // namespace qlLib
