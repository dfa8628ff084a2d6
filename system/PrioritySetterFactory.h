#pragma once
// Builds the setter for one (setter id, value) entry of the priority setter manager.
#include "system/PrioritySetter.h"
#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CPrioritySetterFactory {
public:
    enum eOutcome {
        eCreated,
        eUnknownType,   // no setter for the id: an empty slot
        eFailed,        // the value did not convert, or no memory
    };

    virtual ~CPrioritySetterFactory() = default;
    // The caller owns the new setter (null unless eCreated).
    virtual eOutcome Create(const CProcessPrioritySetterMgr::CSetterInfo& info, IPrioritySetter*& setter);
};

}  // namespace TARN
