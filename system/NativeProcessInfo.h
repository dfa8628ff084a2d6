#pragma once
// The native process-information calls of ntdll, looked up at run time so that the stub's import
// table names only the usual system DLLs.
#include <windows.h>

namespace TARN {

class CNativeProcessInfo {
public:
    // Information classes used by the priority setters.
    static constexpr ULONG kProcessPriorityClass = 18;   // 2 bytes: foreground flag, class
    static constexpr ULONG kProcessIoPriority = 33;      // 4 bytes
    static constexpr ULONG kProcessPagePriority = 39;    // 4 bytes
    // Returned when the native functions cannot be found.
    static constexpr LONG kNotResolved = 1;

    // NTSTATUS of ZwSetInformationProcess; 0 is success.
    static LONG SetInformationProcess(HANDLE process, ULONG informationClass, void* buffer, ULONG length);
    static LONG QueryInformationProcess(HANDLE process, ULONG informationClass, void* buffer, ULONG length,
                                        ULONG* returnLength);

private:
    static bool Initialize();
};

}  // namespace TARN
