#include "system/PrioritySetterFactory.h"

#include <new>

#include "runtime/Trace.h"
#include "system/PrioritySetter_CPU.h"
#include "system/PrioritySetter_CPU_Native.h"
#include "system/PrioritySetter_IO.h"
#include "system/PrioritySetter_Page.h"

namespace TARN {

CPrioritySetterFactory::eOutcome CPrioritySetterFactory::Create(const CProcessPrioritySetterMgr::CSetterInfo& info,
                                                                IPrioritySetter*& setter) {
    setter = nullptr;
    switch (info.type) {
    case CProcessPrioritySetterMgr::eCPU: {
        DWORD priorityClass = 0;
        if (!CPrioritySetter_CPU::ConvertValue(info.value, priorityClass)) return eFailed;
        setter = new (std::nothrow) CPrioritySetter_CPU(priorityClass);
        TraceInfo(L"Created PRIMITIVE CPrioritySetter_CPU");
        break;
    }
    case CProcessPrioritySetterMgr::eCPU_NativeBackground:
    case CProcessPrioritySetterMgr::eCPU_NativeForeground: {
        BYTE nativeClass = 0;
        if (!CPrioritySetter_CPU_Native::ConvertValue(info.value, nativeClass)) return eFailed;
        setter = new (std::nothrow)
            CPrioritySetter_CPU_Native(nativeClass, info.type == CProcessPrioritySetterMgr::eCPU_NativeForeground);
        TraceInfo(L"Created PRIMITIVE CPrioritySetter_CPU_Native");
        break;
    }
    case CProcessPrioritySetterMgr::eIO: {
        ULONG level = 0;
        if (!CPrioritySetter_IO::ConvertValue(info.value, level)) return eFailed;
        setter = new (std::nothrow) CPrioritySetter_IO(level);
        TraceInfo(L"Created PRIMITIVE CPrioritySetter_IO");
        break;
    }
    case CProcessPrioritySetterMgr::ePage: {
        ULONG level = 0;
        if (!CPrioritySetter_Page::ConvertValue(info.value, level)) return eFailed;
        setter = new (std::nothrow) CPrioritySetter_Page(level);
        TraceInfo(L"Created PRIMITIVE CPrioritySetter_Page");
        break;
    }
    default:
        TraceError(L"TARN::CPrioritySetterFactory::Create(46) : switch(info.eType == %lu) default",
                   static_cast<unsigned long>(info.type));
        return eUnknownType;
    }
    if (!setter) return eFailed;
    TraceInfo(L"Create the primitive based on identifier DONE");
    return eCreated;
}

}  // namespace TARN
