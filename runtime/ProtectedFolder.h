#pragma once
// Whether a folder is one that only SYSTEM, the administrators and the trusted installer may
// change. An elevated or SYSTEM process writes, loads or runs things in a folder only when this
// holds, or when it made the folder itself a moment ago with such rights.
#include <windows.h>

#include <string>

namespace qlLib {

// Whether an owner and DACL (SDDL) keep everybody but SYSTEM, the administrators and the trusted
// installer from writing, creating or deleting in the folder and from changing its rights. The
// owner the system records for a folder this process creates with the administrators as owner
// counts as theirs: on a file system that keeps owners that is the administrators themselves;
// where owners are not kept (Wine maps every owner to the Unix user) it is what the system shows
// for every folder, so only the DACL can tell.
bool IsProtectedSddl(const std::wstring& sddl);

// The owner and DACL of an open file or folder as SDDL; false when they cannot be read.
bool ReadSecuritySddl(HANDLE handle, std::wstring& sddl);

// Opens folder without following links and says whether it is a folder (not a link itself),
// lies where its path says (no link on the way) and is protected as IsProtectedSddl says.
bool IsProtectedFolderAt(const std::wstring& folder);

}  // namespace qlLib
