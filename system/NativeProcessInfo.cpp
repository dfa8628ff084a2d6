#include "system/NativeProcessInfo.h"

#include "runtime/CriticalSection.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

typedef LONG(NTAPI* PFN_QUERY_INFORMATION_PROCESS)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(NTAPI* PFN_SET_INFORMATION_PROCESS)(HANDLE, ULONG, PVOID, ULONG);

// Process-wide: ntdll stays loaded for the life of the process.
qlLib::CCriticalSection g_lock;
bool g_initialized = false;
PFN_QUERY_INFORMATION_PROCESS g_query = nullptr;
PFN_SET_INFORMATION_PROCESS g_set = nullptr;

}  // namespace

bool CNativeProcessInfo::Initialize() {
    qlLib::CCriticalSectionLock lock(g_lock);
    if (g_initialized) return true;

    HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    bool ok = false;
    if (!ntdll) {
        TraceError(L"TARN::CNativeProcessInfo::Initialize(29) : Unable to retrieve NTDLL module handle, last error 0x%08x",
                   ::GetLastError());
    } else {
        auto query = reinterpret_cast<PFN_QUERY_INFORMATION_PROCESS>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "ZwQueryInformationProcess")));
        auto set = reinterpret_cast<PFN_SET_INFORMATION_PROCESS>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "ZwSetInformationProcess")));
        if (!query) {
            TraceError(L"TARN::CNativeProcessInfo::Initialize(37) : Unable to retrieve ZwQueryInformationProcess function "
                       L"pointer, error returned 0x%08x",
                       ::GetLastError());
        } else if (!set) {
            TraceError(L"TARN::CNativeProcessInfo::Initialize(41) : Unable to retrieve ZwSetInformationProcess function "
                       L"pointer, error returned 0x%08x",
                       ::GetLastError());
        } else {
            g_query = query;
            g_set = set;
            ok = true;
        }
    }
    if (!ok) {
        // Not remembered: the next call tries again.
        TraceError(L"TARN::CNativeProcessInfo::Initialize(52) : Unable to retrieve ZwSetInformationProcess function pointer");
        return false;
    }
    g_initialized = true;
    TraceInfo(L"Successfully initialized");
    return true;
}

LONG CNativeProcessInfo::SetInformationProcess(HANDLE process, ULONG informationClass, void* buffer, ULONG length) {
    if (!Initialize()) return kNotResolved;
    return g_set(process, informationClass, buffer, length);
}

LONG CNativeProcessInfo::QueryInformationProcess(HANDLE process, ULONG informationClass, void* buffer, ULONG length,
                                                 ULONG* returnLength) {
    if (!Initialize()) return kNotResolved;
    return g_query(process, informationClass, buffer, length, returnLength);
}

}  // namespace TARN
