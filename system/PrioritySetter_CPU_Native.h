#pragma once
// The process priority class through the native call, as a background or foreground process.
#include "system/PrioritySetter.h"
#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CPrioritySetter_CPU_Native : public IPrioritySetter {
public:
    CPrioritySetter_CPU_Native(BYTE nativeClass, bool foreground) : m_class(nativeClass), m_foreground(foreground) {}
    bool Apply(HANDLE process) override;

    // The native PROCESS_PRIORITY_CLASS for a value; false (reported) for a value that is not a CPU level.
    static bool ConvertValue(CProcessPrioritySetterMgr::eValueType value, BYTE& nativeClass);

private:
    BYTE m_class;
    bool m_foreground;
};

}  // namespace TARN
