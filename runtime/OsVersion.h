#pragma once
#include <windows.h>

namespace qlLib {

// Whether the running Windows is major.minor or later (VerifyVersionInfoW, which is not
// subject to the version lie of GetVersionEx).
bool IsWindowsVersionOrGreater(DWORD major, DWORD minor);

}  // namespace qlLib
