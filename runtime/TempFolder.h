#pragma once
// The temp folder of the process, as the system would choose it for a process of its kind.
#include <windows.h>

#include <string>

namespace qlLib {

// GetTempPath2W where kernel32 has it (a SYSTEM process then gets the system's own temp folder,
// which other users cannot write to), GetTempPathW elsewhere (older systems, Wine). The folder
// ends with a backslash. False when the system cannot tell (GetLastError says why) or memory runs
// out (ERROR_NOT_ENOUGH_MEMORY).
bool GetTempFolder(std::wstring& folder);

}  // namespace qlLib
