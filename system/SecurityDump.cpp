#include "system/SecurityDump.h"

#include <sddl.h>

#include "runtime/Handles.h"
#include "runtime/Trace.h"

namespace TARN {

void DumpSecurityDescriptor(const wchar_t* name, SE_OBJECT_TYPE type) {
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetNamedSecurityInfoW(name, type, parts, nullptr, nullptr, nullptr, nullptr,
                                                 &descriptor);
    qlLib::CLocalMemory descriptorMemory(descriptor);
    if (status != ERROR_SUCCESS) {
        TraceWarning(L"TARN::DumpSecurityDescriptor(20) : failed to read the security descriptor: %s (%lu)", name, status);
        return;
    }
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
        TraceWarning(L"TARN::DumpSecurityDescriptor(25) : failed to convert the security descriptor: %s (%lu)", name,
                     ::GetLastError());
        return;
    }
    qlLib::CLocalMemory textMemory(text);
    TraceInfo(L"SDDL: %s (%s)", text, name);
}

}  // namespace TARN
