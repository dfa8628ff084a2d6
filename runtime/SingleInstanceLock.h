#pragma once
// A name claimed across the machine (global) or one terminal session: an exclusively opened,
// delete-on-close lock file under the owner's folder, so a lock held by a process that dies
// disappears with it.
#include <windows.h>

#include <string>

#include "runtime/Handles.h"

namespace qlLib {

class CSingleInstanceLock {
public:
    CSingleInstanceLock() = default;
    explicit CSingleInstanceLock(const std::wstring& folder);
    CSingleInstanceLock(const CSingleInstanceLock&) = delete;
    CSingleInstanceLock& operator=(const CSingleInstanceLock&) = delete;

    // The folder under which the "_lck" folder and the lock files live.
    bool SetFolder(const std::wstring& folder);
    // Non-zero when this object now holds the lock; 0 when another process holds it or it could
    // not be taken (GetLastError says why). An object that already holds a lock answers 0.
    DWORD Create(const wchar_t* name, bool global);
    // Gives the lock up (the file vanishes with its handle).
    void Release() { m_file.Close(); }
    bool IsHeld() const { return m_file.IsValid(); }
    DWORD GetLastError() const { return m_lastError; }

    // The lock file's path for a name and scope, or false with the error Create would report.
    bool BuildLockPath(const wchar_t* name, bool global, std::wstring& path, DWORD& error) const;

private:
    DWORD Fail(DWORD error) {
        m_lastError = error;
        return 0;
    }

    std::wstring m_folder;
    CFileHandle m_file;
    DWORD m_lastError = ERROR_SUCCESS;
};

}  // namespace qlLib
