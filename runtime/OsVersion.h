#pragma once
#include <windows.h>

namespace qlLib {

// Whether the running Windows is major.minor or later (VerifyVersionInfoW, which is not
// subject to the version lie of GetVersionEx).
bool IsWindowsVersionOrGreater(DWORD major, DWORD minor);

// Windows XP: 5.1 workstation, or 5.2 workstation (XP x64).
bool IsWindowsXP();
// Windows Vista or later: 6.0 workstation, or any version from 6.0 on.
bool IsVistaOrLater();

}  // namespace qlLib
