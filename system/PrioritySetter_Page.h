#pragma once
// The process's memory page priority through the native call.
#include "system/PrioritySetter.h"
#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CPrioritySetter_Page : public IPrioritySetter {
public:
    explicit CPrioritySetter_Page(ULONG level) : m_level(level) {}
    bool Apply(HANDLE process) override;

    // The native level for a value; false (reported) for a value that is not a memory page priority level.
    static bool ConvertValue(CProcessPrioritySetterMgr::eValueType value, ULONG& level);

private:
    ULONG m_level;
};

}  // namespace TARN
