#include "system/ProcessPrioritySetterMgr.h"

#include <memory>
#include <new>

#include "runtime/Trace.h"
#include "system/PrioritySetterFactory.h"

namespace TARN {

namespace {

CPrioritySetterFactory g_defaultFactory;

unsigned HandleValue(HANDLE h) {
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(h));
}

}  // namespace

CProcessPrioritySetterMgr::CProcessPrioritySetterMgr(CPrioritySetterFactory* factory)
    : m_factory(factory ? factory : &g_defaultFactory) {}

CProcessPrioritySetterMgr::~CProcessPrioritySetterMgr() {
    // The worker uses this object: it must be gone before the object is.
    if (m_thread) {
        if (m_stop) ::SetEvent(m_stop.Get());
        ::WaitForSingleObject(m_thread.Get(), INFINITE);
    }
}

CProcessPrioritySetterMgr::eValueType CProcessPrioritySetterMgr::getNormalValue(eType type) {
    switch (type) {
    case eCPU:
    case eCPU_NativeBackground:
    case eCPU_NativeForeground:
        return eCPU_Normal;
    case eIO:
        return eIO_Normal;
    case ePage:
        return ePage_Normal;
    }
    return static_cast<eValueType>(0);
}

bool CProcessPrioritySetterMgr::IsValueAccepted(eType type, eValueType value) {
    switch (type) {
    case eCPU:
    case eCPU_NativeBackground:
    case eCPU_NativeForeground:
        return value >= eCPU_Idle && value <= eCPU_Realtime;
    case eIO:
        return value >= eIO_VeryLow && value <= eIO_Critical;
    case ePage:
        return value == ePage_Normal;
    }
    return false;
}

bool CProcessPrioritySetterMgr::AddPrioritySetter(eType type, eValueType value) {
    if (!IsValueAccepted(type, value)) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::AddPrioritySetter(62) : Invalid args");
        return false;
    }
    qlLib::CCriticalSectionLock lock(m_lock);
    if (m_thread) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::AddPrioritySetter(67) : Already started!");
        return false;
    }
    try {
        m_setters.push_back(CSetterInfo{type, value});
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::AddPrioritySetter(73) : std::bad_alloc");
        return false;
    }
    return true;
}

bool CProcessPrioritySetterMgr::Start(HANDLE process, DWORD frequencyMs, DWORD timeoutMs) {
    qlLib::CCriticalSectionLock lock(m_lock);
    // Checked before the handle is replaced: a running worker is using it.
    if (m_thread) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::Start(83) : Already started!");
        return false;
    }
    // The pass count is timeout / frequency.
    if (frequencyMs == 0) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::Start(88) : Invalid args");
        return false;
    }
    if (!::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), m_process.Receive(), kProcessAccess,
                           FALSE, 0)) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::Start(93) : DuplicateHandle(...) == FALSE, last error 0x%08x",
                   ::GetLastError());
        return false;
    }
    m_frequency = frequencyMs;
    m_timeout = timeoutMs;
    m_stopRequested = false;
    m_result = eResultRunning;
    m_stop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (m_stop) m_thread.Reset(::CreateThread(nullptr, 0, &ThreadProc, this, 0, nullptr));
    if (!m_thread) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::Start(104) : Create(NULL, 0, 0) == FALSE, last error 0x%08x",
                   ::GetLastError());
        m_process.Close();
        m_result = eResultNone;
        return false;
    }
    TraceInfo(L"Successfully started!");
    return true;
}

void CProcessPrioritySetterMgr::Stop() {
    TraceInfo(L"Entered");
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        if (m_thread && ::WaitForSingleObject(m_thread.Get(), 0) == WAIT_TIMEOUT) {
            if (!m_stopRequested) {
                m_stopRequested = true;
                ::SetEvent(m_stop.Get());
                TraceInfo(L"Requested thread termination");
            }
        } else {
            TraceWarning(L"TARN::CProcessPrioritySetterMgr::Stop(124) : No running thread to stop");
        }
    }
    TraceInfo(L"Exiting");
}

bool CProcessPrioritySetterMgr::WaitForExit(DWORD timeoutMs) {
    HANDLE thread = nullptr;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        thread = m_thread.Get();
    }
    // Not waited on under the lock: the worker takes it to store its result. The handle stays
    // open until the destructor.
    return !thread || ::WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
}

DWORD CProcessPrioritySetterMgr::GetResult() {
    qlLib::CCriticalSectionLock lock(m_lock);
    return m_result;
}

void CProcessPrioritySetterMgr::SetResult(DWORD result) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_result = result;
}

DWORD WINAPI CProcessPrioritySetterMgr::ThreadProc(void* self) {
    static_cast<CProcessPrioritySetterMgr*>(self)->Run();
    return 0;
}

void CProcessPrioritySetterMgr::Run() {
    TraceInfo(L"Entered");
    SetResult(eResultRunning);

    HANDLE process = nullptr;
    DWORD frequency = 0, timeout = 0;
    std::vector<CSetterInfo> infos;
    DWORD result = eResultIncomplete;
    bool filled = false;
    std::vector<std::unique_ptr<IPrioritySetter>> setters;
    try {
        {
            qlLib::CCriticalSectionLock lock(m_lock);
            process = m_process.Get();
            infos = m_setters;
            frequency = m_frequency;
            timeout = m_timeout;
        }
        if (!process) {
            TraceError(L"TARN::CProcessPrioritySetterMgr::Run(168) : !m_hProcess.IsHandle()");
        } else {
            filled = true;
            setters.reserve(infos.size());
            for (const CSetterInfo& info : infos) {
                IPrioritySetter* setter = nullptr;
                if (m_factory->Create(info, setter) == CPrioritySetterFactory::eFailed) {
                    TraceError(L"TARN::CProcessPrioritySetterMgr::Run(174) : invalid_argument while creating setter %lu",
                               static_cast<unsigned long>(info.type));
                    filled = false;
                    break;
                }
                // An unknown id leaves an empty slot, dropped on the first pass.
                setters.emplace_back(setter);
            }
        }
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CProcessPrioritySetterMgr::Run(184) : std::bad_alloc while creating setters");
        filled = false;
    }
    if (filled) {
        TraceInfo(L"Filled priority setters collection...");
        result = ApplySetters(setters, process, frequency, timeout);
    }

    SetResult(result);
    TraceInfo(L"Result updated to 0x%08x", result);
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        TraceInfo(L"Closing process handle 0x%08x", HandleValue(m_process.Get()));
        m_process.Close();
    }
    TraceInfo(L"Exiting");
}

DWORD CProcessPrioritySetterMgr::ApplySetters(std::vector<std::unique_ptr<IPrioritySetter>>& setters, HANDLE process,
                                              DWORD frequency, DWORD timeout) {
    const HANDLE stop = m_stop.Get();
    // 64-bit: a timeout of 0xFFFFFFFF with a frequency of 1 must still end.
    const ULONGLONG lastPass = timeout / frequency;
    for (ULONGLONG pass = 0; pass <= lastPass; ++pass) {
        for (auto it = setters.begin(); it != setters.end();) {
            if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) break;
            if (!*it) {
                TraceWarning(L"TARN::CProcessPrioritySetterMgr::Run(213) : Current priority setter in invalid...");
                it = setters.erase(it);
            } else if ((*it)->Apply(process)) {
                TraceInfo(L"Priority setter succeeded.");
                it = setters.erase(it);
            } else {
                TraceWarning(L"TARN::CProcessPrioritySetterMgr::Run(219) : Priority setter needs to be retried.  Move on "
                             L"to next setter.");
                ++it;
            }
        }
        if (setters.empty()) {
            TraceInfo(L"All priority setters succeeded.");
            return eResultAllApplied;
        }
        TraceInfo(L"Waiting on stop signal for %lu milliseconds, %lu of %lu", frequency, static_cast<DWORD>(pass),
                  static_cast<DWORD>(lastPass + 1));
        if (::WaitForSingleObject(stop, frequency) == WAIT_OBJECT_0) {
            TraceWarning(L"TARN::CProcessPrioritySetterMgr::Run(231) : Terminate signalled received prior to "
                         L"successfully applying all priority setters!");
            break;
        }
    }
    return eResultIncomplete;
}

}  // namespace TARN
