#include "system/PrioritySetter_CPU_Native.h"

#include "runtime/Trace.h"
#include "system/NativeProcessInfo.h"

namespace TARN {

bool CPrioritySetter_CPU_Native::ConvertValue(CProcessPrioritySetterMgr::eValueType value, BYTE& nativeClass) {
    // Idle, below normal, normal, above normal, high, realtime.
    static const BYTE kNative[] = {1, 5, 2, 6, 3, 4};
    if (value < CProcessPrioritySetterMgr::eCPU_Idle || value > CProcessPrioritySetterMgr::eCPU_Realtime) {
        TraceError(L"TARN::CPrioritySetter_CPU_Native::ConvertValue(13) : invalid argument: "
                   L"CPrioritySetter_CPU_Native::ConvertValue(CProcessPrioritySetterMgr::eValueType)");
        return false;
    }
    nativeClass = kNative[value - CProcessPrioritySetterMgr::eCPU_Idle];
    return true;
}

bool CPrioritySetter_CPU_Native::Apply(HANDLE process) {
    // PROCESS_PRIORITY_CLASS: BOOLEAN Foreground; UCHAR PriorityClass.
    BYTE record[2] = {static_cast<BYTE>(m_foreground ? 1 : 0), m_class};
    const LONG status = CNativeProcessInfo::SetInformationProcess(process, CNativeProcessInfo::kProcessPriorityClass,
                                                                  record, sizeof(record));
    if (status != 0) {
        TraceError(L"TARN::CPrioritySetter_CPU_Native::Apply(27) : Could not set process priority class, error returned %ld",
                   status);
        return false;
    }
    TraceInfo(L"Successfully set process priority class for current process to %s, %lu",
              m_foreground ? L"FOREGROUND" : L"BACKGROUND", static_cast<unsigned long>(m_class));
    return true;
}

}  // namespace TARN
