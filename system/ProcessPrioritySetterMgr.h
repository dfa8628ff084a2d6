#pragma once
// Applies a list of priority setters to one process on a worker thread, retrying the ones that
// fail every frequency interval until all succeed, the timeout passes or Stop is called.
#include <windows.h>

#include <memory>
#include <vector>

#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"
#include "system/PrioritySetter.h"

namespace TARN {

class CPrioritySetterFactory;

class CProcessPrioritySetterMgr {
public:
    enum eType : DWORD {
        eCPU = 1,
        eCPU_NativeBackground = 2,
        eCPU_NativeForeground = 3,
        eIO = 4,
        ePage = 5,
    };
    enum eValueType : DWORD {
        eCPU_Idle = 1,
        eCPU_BelowNormal = 2,
        eCPU_Normal = 3,
        eCPU_AboveNormal = 4,
        eCPU_High = 5,
        eCPU_Realtime = 6,
        eIO_VeryLow = 7,
        eIO_Low = 8,
        eIO_Normal = 9,
        eIO_High = 10,
        eIO_Critical = 11,
        ePage_Normal = 12,
    };
    enum eResult : DWORD {
        eResultNone = 0,
        eResultRunning = 1,
        eResultIncomplete = 2,   // stopped, timed out, no process, or the setters could not be built
        eResultAllApplied = 3,
    };
    struct CSetterInfo {
        eType type;
        eValueType value;
    };

    // The process handle is opened with just what the setters need.
    static constexpr DWORD kProcessAccess = PROCESS_SET_INFORMATION | PROCESS_QUERY_INFORMATION;

    // factory: what builds the setters; null for the real ones. Not owned.
    explicit CProcessPrioritySetterMgr(CPrioritySetterFactory* factory = nullptr);
    ~CProcessPrioritySetterMgr();
    CProcessPrioritySetterMgr(const CProcessPrioritySetterMgr&) = delete;
    CProcessPrioritySetterMgr& operator=(const CProcessPrioritySetterMgr&) = delete;

    // The level each setter brings its priority back to.
    static eValueType getNormalValue(eType type);
    static bool IsValueAccepted(eType type, eValueType value);

    bool AddPrioritySetter(eType type, eValueType value);
    bool Start(HANDLE process, DWORD frequencyMs, DWORD timeoutMs);
    // Asks the worker to end; does not wait for it.
    void Stop();
    // Waits for the worker thread to end; true when it has (or none was started).
    bool WaitForExit(DWORD timeoutMs);
    DWORD GetResult();

private:
    static DWORD WINAPI ThreadProc(void* self);
    void Run();
    // The retry passes; the result they end with.
    DWORD ApplySetters(std::vector<std::unique_ptr<IPrioritySetter>>& setters, HANDLE process, DWORD frequency,
                       DWORD timeout);
    void SetResult(DWORD result);

    CPrioritySetterFactory* m_factory;
    qlLib::CCriticalSection m_lock;
    std::vector<CSetterInfo> m_setters;
    qlLib::CKernelHandle m_process;
    qlLib::CKernelHandle m_thread;
    qlLib::CKernelHandle m_stop;
    bool m_stopRequested = false;
    DWORD m_frequency = 0;
    DWORD m_timeout = 0;
    DWORD m_result = eResultNone;
};

}  // namespace TARN
