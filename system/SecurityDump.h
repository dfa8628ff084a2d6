#pragma once
// Writes an object's security descriptor (owner, group, DACL) to the trace log in SDDL form,
// after an access-denied failure, so that the log shows why. Nothing is changed.
#include <windows.h>
#include <aclapi.h>

namespace TARN {

void DumpSecurityDescriptor(const wchar_t* name, SE_OBJECT_TYPE type);

}  // namespace TARN
