#pragma once
// One open registry key with typed value access that enforces the stored type. Every call keeps
// its Win32 result as the last error (0 = success) for the caller's message.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/Handles.h"

namespace qlLib {

class CRegKey {
public:
    CRegKey() = default;
    virtual ~CRegKey() = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // RegOpenKeyExW; when that fails and create is set, Create. True when a key is held.
    bool Open(HKEY root, const wchar_t* subkey, REGSAM access, bool create = false, DWORD options = 0);
    // RegCreateKeyExW. A key asked for as volatile is volatile afterwards: an existing
    // non-volatile key of that name is deleted (with its values and subkeys) first.
    bool Create(HKEY root, const wchar_t* subkey, REGSAM access, SECURITY_ATTRIBUTES* security = nullptr,
                DWORD options = 0);
    void Close() { m_key.Close(); }
    bool IsOpen() const { return m_key.IsValid(); }
    HKEY Get() const { return m_key.Get(); }

    // Reads fail with ERROR_INVALID_DATA (13) when the stored type differs; out changes only
    // on success.
    bool QueryDWORD(const wchar_t* name, DWORD& out);
    bool QueryString(const wchar_t* name, std::wstring& out);
    bool QueryMultiString(const wchar_t* name, std::vector<std::wstring>& out);
    bool SetDWORD(const wchar_t* name, DWORD value);
    // REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ (text then holds its strings separated by NULs).
    bool SetString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);

    bool EnumValueNames(std::vector<std::wstring>& names);
    bool EnumSubkeyNames(std::vector<std::wstring>& names);
    bool DeleteValue(const wchar_t* name);
    // Removes the subkey when it has neither values nor subkeys.
    bool DeleteEmptyKey(const wchar_t* subkey);
    // Removes every value and subkey of the open key.
    bool DeleteContents();

    DWORD GetLastError() const { return m_lastError; }
    void SetLastError(DWORD error) { m_lastError = error; }

protected:
    bool Result(LONG rc) {
        m_lastError = static_cast<DWORD>(rc);
        return rc == ERROR_SUCCESS;
    }

    CRegKeyHandle m_key;
    DWORD m_lastError = ERROR_SUCCESS;
};

}  // namespace qlLib
