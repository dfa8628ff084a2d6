#pragma once
// Creating folders together with their missing parents.
#include <windows.h>
#include <string>

namespace qlLib {

// Creates path and every missing folder above it. A component that exists but cannot be looked
// at because access is denied counts as present (the caller may still be allowed further down).
// On failure error receives the Win32 error (never 0).
bool CreateFolderTree(const std::wstring& path, DWORD* error);

// Deletes a folder with everything in it; read-only entries are made writable first. Links
// (reparse points) inside are removed themselves, never followed, so a junction cannot make this
// delete what lies outside the folder. A folder that does not exist counts as deleted. On failure
// error receives the Win32 error of the first entry that stayed.
bool DeleteFolderTree(const std::wstring& path, DWORD* error);

}  // namespace qlLib
