#include "system/PrioritySetter_CPU.h"

#include "runtime/Trace.h"

namespace TARN {

namespace {

// Lowest first.
const DWORD kClassOrder[] = {IDLE_PRIORITY_CLASS,  BELOW_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
                             ABOVE_NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS};

}  // namespace

bool CPrioritySetter_CPU::ConvertValue(CProcessPrioritySetterMgr::eValueType value, DWORD& priorityClass) {
    if (value < CProcessPrioritySetterMgr::eCPU_Idle || value > CProcessPrioritySetterMgr::eCPU_Realtime) {
        TraceError(L"TARN::CPrioritySetter_CPU::ConvertValue(20) : invalid argument: "
                   L"CPrioritySetter_CPU::ConvertValue(CProcessPrioritySetterMgr::eValueType)");
        return false;
    }
    priorityClass = kClassOrder[value - CProcessPrioritySetterMgr::eCPU_Idle];
    return true;
}

bool CPrioritySetter_CPU::IsUpdateRequired(DWORD current, bool& required) const {
    TraceInfo(L"Current process priority class 0x%08x, Requested process priority class 0x%08x", current, m_class);
    required = false;
    if (current == m_class) return true;
    if (!m_raiseOnly) {
        required = true;
        return true;
    }
    const size_t count = sizeof(kClassOrder) / sizeof(kClassOrder[0]);
    size_t requested = 0;
    while (requested < count && kClassOrder[requested] != m_class) ++requested;
    if (requested == count) return false;   // not a class we know how to rank
    for (size_t i = requested; i < count; ++i) {
        if (kClassOrder[i] == current) return true;   // already at least as high
    }
    required = true;
    return true;
}

bool CPrioritySetter_CPU::Apply(HANDLE process) {
    const DWORD current = ::GetPriorityClass(process);
    if (current == 0) {
        TraceError(L"TARN::CPrioritySetter_CPU::Apply(50) : Unable to get process priority class, last error 0x%08x",
                   ::GetLastError());
        return false;
    }
    TraceInfo(L"Priority class for process 0x%08x", current);

    bool required = false;
    if (!IsUpdateRequired(current, required)) {
        TraceError(L"TARN::CPrioritySetter_CPU::Apply(58) : Unable to determine if update is required");
        return false;
    }
    if (!required) {
        TraceInfo(L"Request already satisfied, no update required");
        return true;
    }
    if (!::SetPriorityClass(process, m_class)) {
        TraceWarning(L"TARN::CPrioritySetter_CPU::Apply(66) : Unable to set process priority class, last error 0x%08x",
                     ::GetLastError());
        return false;
    }
    const DWORD updated = ::GetPriorityClass(process);
    if (updated != m_class) {
        TraceError(L"TARN::CPrioritySetter_CPU::Apply(72) : Successfully set process priority class to 0x%08x, but "
                   L"retrieved value 0x%08x differs!!!",
                   m_class, updated);
        return false;
    }
    TraceInfo(L"Successfully set process 0x%08x priority class to 0x%08x",
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(process)), m_class);
    return true;
}

}  // namespace TARN
