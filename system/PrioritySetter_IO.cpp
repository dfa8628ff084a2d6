#include "system/PrioritySetter_IO.h"

#include "runtime/Trace.h"
#include "system/NativeProcessInfo.h"

namespace TARN {

bool CPrioritySetter_IO::ConvertValue(CProcessPrioritySetterMgr::eValueType value, ULONG& level) {
    if (value < CProcessPrioritySetterMgr::eIO_VeryLow || value > CProcessPrioritySetterMgr::eIO_Critical) {
        TraceError(L"TARN::CPrioritySetter_IO::ConvertValue(10) : invalid argument: "
                   L"CPrioritySetter_IO::ConvertValue(CProcessPrioritySetterMgr::eValueType)");
        return false;
    }
    // Very low, low, normal, high, critical: 0 to 4.
    level = value - CProcessPrioritySetterMgr::eIO_VeryLow;
    return true;
}

bool CPrioritySetter_IO::Apply(HANDLE process) {
    ULONG level = m_level;
    const LONG status =
        CNativeProcessInfo::SetInformationProcess(process, CNativeProcessInfo::kProcessIoPriority, &level, sizeof(level));
    if (status != 0) {
        TraceError(L"TARN::CPrioritySetter_IO::Apply(24) : Could not set IO priority, error returned %ld", status);
        return false;
    }
    TraceInfo(L"Successfully set IO priority level for current process to %lu", m_level);
    return true;
}

}  // namespace TARN
