#pragma once
// The process priority class through SetPriorityClass; only ever raises it.
#include "system/PrioritySetter.h"
#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CPrioritySetter_CPU : public IPrioritySetter {
public:
    explicit CPrioritySetter_CPU(DWORD priorityClass, bool raiseOnly = true)
        : m_class(priorityClass), m_raiseOnly(raiseOnly) {}
    bool Apply(HANDLE process) override;

    // The priority class for a value; false (reported) for a value that is not a CPU level.
    static bool ConvertValue(CProcessPrioritySetterMgr::eValueType value, DWORD& priorityClass);
    // Whether moving from current to the requested class is needed; false when it cannot be decided.
    bool IsUpdateRequired(DWORD current, bool& required) const;

private:
    DWORD m_class;
    bool m_raiseOnly;
};

}  // namespace TARN
