#pragma once
// Files opened so that a link cannot redirect them. A process running with more rights than the
// users of the machine must not write where a planted link (a junction, a symbolic link, a hard
// link to somebody else's file) would send it.
#include <windows.h>

#include <string>

namespace qlLib {

// What a refused open reports: ERROR_REPARSE_POINT_ENCOUNTERED.
const DWORD kErrorLinkRefused = 4395;

// The path an open handle really names, without the "\\?\" prefix ("\\?\UNC\" becomes "\\").
bool FinalPathOf(HANDLE handle, std::wstring& path);
// The same for an existing file or folder (links followed); false when it cannot be opened.
bool FinalPathOf(const std::wstring& path, std::wstring& finalPath);
// The attributes of an open file or folder and, when links is given, its number of names. Cheaper
// than GetFileInformationByHandle, which also asks for the volume's serial number: under Wine a
// round trip through the mount manager's process for every call.
bool QueryOpenFile(HANDLE handle, DWORD& attributes, DWORD* links = nullptr);
// Equal as the file system compares names (ordinal, case-insensitive), trailing backslashes aside.
bool SamePath(const std::wstring& a, const std::wstring& b);

// CreateFileW that refuses (INVALID_HANDLE_VALUE, kErrorLinkRefused) when the file is a link
// itself, is an existing file with more than one name (a hard link), or when the file or the
// folder it lies in is not where its name puts it (a link in place of either). A file this call
// created before it found out is removed again. Links further up are not judged: the folders
// above are to be the caller's own.
HANDLE CreateFileNoLink(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                        SECURITY_ATTRIBUTES* security = nullptr);

// Whether an existing file is exactly what its path names: no link in its place, one name only.
bool IsPlainFileAt(const std::wstring& path);

}  // namespace qlLib
