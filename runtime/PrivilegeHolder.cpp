#include "PrivilegeHolder.h"

namespace qlLib {

CPrivilegeHolder::CPrivilegeHolder(const wchar_t* privilegeName)
    : m_previous(), m_previousSize(0), m_enabled(false), m_error(ERROR_SUCCESS) {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, m_token.Receive())) {
        m_error = ::GetLastError();
        return;
    }
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(nullptr, privilegeName, &wanted.Privileges[0].Luid)) {
        m_error = ::GetLastError();
        return;
    }
    DWORD size = sizeof(m_previous);
    if (!::AdjustTokenPrivileges(m_token.Get(), FALSE, &wanted, size, &m_previous, &size)) {
        m_error = ::GetLastError();
        return;
    }
    // Success with ERROR_NOT_ALL_ASSIGNED means the token does not hold the privilege.
    m_error = ::GetLastError();
    if (m_error == ERROR_NOT_ALL_ASSIGNED) return;
    m_previousSize = size;
    m_enabled = true;
}

CPrivilegeHolder::~CPrivilegeHolder() {
    if (m_enabled) ::AdjustTokenPrivileges(m_token.Get(), FALSE, &m_previous, m_previousSize, nullptr, nullptr);
}

}  // namespace qlLib
