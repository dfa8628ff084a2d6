#pragma once
// Path helpers: the one way paths are joined, and the running module's own path.
#include <windows.h>
#include <string>

namespace qlLib {

// left + exactly one backslash + right (trailing backslashes of left and leading ones of right
// collapse). An empty side yields the other side unchanged. False only when memory runs out.
bool JoinPath(std::wstring& out, const std::wstring& left, const std::wstring& right) noexcept;

// Whether a name taken from a package or archive stays inside the folder it is joined to:
// relative, no "." or ".." component, no drive, no alternate data stream (':'), no empty
// component, no characters that file names cannot hold, no device names (CON, NUL, COM1,
// "aux.txt", ...). Both '\' and '/' separate components.
bool IsSafeRelativePath(const std::wstring& path);

// Removes every trailing backslash (also from a root such as "C:\": the caller decides).
void RemoveTrailingBackslashes(std::wstring& path);

// Full path of a loaded module (null: the executable). False on failure or when memory runs out.
bool GetModulePath(HMODULE module, std::wstring& path);

// Full path of a DLL in the system folder; DLLs outside the known list are loaded from here
// by full path so that a copy next to the executable (a download folder) is never picked up.
bool GetSystemDllPath(const wchar_t* dllName, std::wstring& path);

// Loads a system DLL by its full path in the system folder; null on failure.
HMODULE LoadSystemLibrary(const wchar_t* dllName);

// Restricts the process's DLL search to the system folder where the system supports it, and
// removes the current folder from the search in any case.
void HardenDllSearchPath();

}  // namespace qlLib
