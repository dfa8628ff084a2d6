#pragma once
// The process's I/O priority through the native call.
#include "system/PrioritySetter.h"
#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CPrioritySetter_IO : public IPrioritySetter {
public:
    explicit CPrioritySetter_IO(ULONG level) : m_level(level) {}
    bool Apply(HANDLE process) override;

    // The native level for a value; false (reported) for a value that is not a I/O priority level.
    static bool ConvertValue(CProcessPrioritySetterMgr::eValueType value, ULONG& level);

private:
    ULONG m_level;
};

}  // namespace TARN
