#pragma once
// The running processes with their ids and image paths.
#include <windows.h>

#include <string>
#include <vector>

namespace qlLib {

struct CProcessEntry {
    DWORD processId;
    std::wstring imagePath;   // the full path, or only the file name where the process cannot be opened
};

// False when the list cannot be taken (or memory runs out); processes is then empty.
bool GetProcessList(std::vector<CProcessEntry>& processes);

}  // namespace qlLib
