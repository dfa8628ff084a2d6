#pragma once
#include <windows.h>

#include "Handles.h"

namespace qlLib {

// Enables one privilege in the process token for its lifetime and restores the token's previous
// state for that privilege afterwards.
class CPrivilegeHolder {
public:
    explicit CPrivilegeHolder(const wchar_t* privilegeName);
    ~CPrivilegeHolder();
    CPrivilegeHolder(const CPrivilegeHolder&) = delete;
    CPrivilegeHolder& operator=(const CPrivilegeHolder&) = delete;

    // True when the privilege is now enabled (AdjustTokenPrivileges succeeded and assigned it).
    bool IsEnabled() const { return m_enabled; }
    DWORD LastError() const { return m_error; }

private:
    CKernelHandle m_token;
    TOKEN_PRIVILEGES m_previous;
    DWORD m_previousSize;
    bool m_enabled;
    DWORD m_error;
};

}  // namespace qlLib
