#include "system/PrioritySetter_Page.h"

#include "runtime/Trace.h"
#include "system/NativeProcessInfo.h"

namespace TARN {

bool CPrioritySetter_Page::ConvertValue(CProcessPrioritySetterMgr::eValueType value, ULONG& level) {
    if (value != CProcessPrioritySetterMgr::ePage_Normal) {
        TraceError(L"TARN::CPrioritySetter_Page::ConvertValue(10) : invalid argument: "
                   L"CPrioritySetter_Page::ConvertValue(CProcessPrioritySetterMgr::eValueType)");
        return false;
    }
    level = 5;   // MEMORY_PRIORITY_NORMAL
    return true;
}

bool CPrioritySetter_Page::Apply(HANDLE process) {
    ULONG level = m_level;
    const LONG status = CNativeProcessInfo::SetInformationProcess(process, CNativeProcessInfo::kProcessPagePriority,
                                                                  &level, sizeof(level));
    if (status != 0) {
        TraceError(L"TARN::CPrioritySetter_Page::Apply(23) : Could not set page priority, error returned %ld", status);
        return false;
    }
    TraceInfo(L"Successfully set Page priority level for current process to %lu", m_level);
    return true;
}

}  // namespace TARN
