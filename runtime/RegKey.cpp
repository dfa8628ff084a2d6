#include "runtime/RegKey.h"

#include <shlwapi.h>

#include <new>

#include "runtime/OsVersion.h"
#include "runtime/RegistryRead.h"

namespace qlLib {

bool CRegKey::Open(HKEY root, const wchar_t* subkey, REGSAM access, bool create, DWORD options) {
    Close();
    if (Result(::RegOpenKeyExW(root, subkey, 0, access, m_key.Receive()))) return true;
    return create && Create(root, subkey, access, nullptr, options);
}

bool CRegKey::Create(HKEY root, const wchar_t* subkey, REGSAM access, SECURITY_ATTRIBUTES* security,
                     DWORD options) {
    Close();
    if (!subkey) return Result(ERROR_INVALID_PARAMETER);
    if ((options & REG_OPTION_VOLATILE) && IsWindowsVersionOrGreater(6, 0)) {
        CRegKeyHandle existing;
        if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | (access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)),
                            existing.Receive()) == ERROR_SUCCESS) {
            // Only a volatile key refuses a non-volatile child: that tells the two apart.
            CRegKeyHandle probe;
            LONG rc = ::RegCreateKeyExW(existing.Get(), L"__volatile_test", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_WRITE, nullptr, probe.Receive(), nullptr);
            if (rc == ERROR_SUCCESS) {
                probe.Close();
                existing.Close();
                rc = static_cast<LONG>(::SHDeleteKeyW(root, subkey));
                if (rc != ERROR_SUCCESS) return Result(rc);
            } else if (rc != ERROR_CHILD_MUST_BE_VOLATILE) {
                return Result(rc);
            }
        }
    }
    return Result(::RegCreateKeyExW(root, subkey, 0, nullptr, options, access, security, m_key.Receive(), nullptr));
}

bool CRegKey::QueryDWORD(const wchar_t* name, DWORD& out) {
    return Result(QueryRegDword(m_key.Get(), name, out));
}

bool CRegKey::QueryString(const wchar_t* name, std::wstring& out) {
    return Result(QueryRegString(m_key.Get(), name, out));
}

bool CRegKey::QueryMultiString(const wchar_t* name, std::vector<std::wstring>& out) {
    return Result(QueryRegMultiString(m_key.Get(), name, out));
}

bool CRegKey::SetDWORD(const wchar_t* name, DWORD value) {
    return Result(::RegSetValueExW(m_key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   sizeof(value)));
}

bool CRegKey::SetString(const wchar_t* name, const std::wstring& text, DWORD type) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return Result(ERROR_INVALID_PARAMETER);
    try {
        std::wstring data(text);
        data.push_back(L'\0');
        // A multi-string ends with an empty string: its last string's terminator and one more.
        if (type == REG_MULTI_SZ && (text.empty() || text.back() != L'\0')) data.push_back(L'\0');
        return Result(::RegSetValueExW(m_key.Get(), name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                       static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    } catch (const std::bad_alloc&) {
        return Result(ERROR_OUTOFMEMORY);
    }
}

namespace {

// Names by index: RegQueryInfoKeyW for the count and the longest name first.
template <class EnumFn>
LONG EnumNames(HKEY key, bool values, std::vector<std::wstring>& names, EnumFn enumerate) {
    DWORD subkeys = 0, longestSubkey = 0, valueCount = 0, longestValue = 0;
    LONG rc = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &valueCount,
                                 &longestValue, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    try {
        std::vector<std::wstring> out;
        DWORD count = values ? valueCount : subkeys;
        std::wstring buffer((values ? longestValue : longestSubkey) + 1, L'\0');
        for (DWORD i = 0; i < count; ++i) {
            DWORD length = static_cast<DWORD>(buffer.size());
            rc = enumerate(key, i, &buffer[0], &length);
            if (rc != ERROR_SUCCESS) return rc;
            out.emplace_back(buffer.c_str(), length);
        }
        names.swap(out);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

}  // namespace

bool CRegKey::EnumValueNames(std::vector<std::wstring>& names) {
    return Result(EnumNames(m_key.Get(), true, names, [](HKEY key, DWORD i, wchar_t* name, DWORD* length) {
        return ::RegEnumValueW(key, i, name, length, nullptr, nullptr, nullptr, nullptr);
    }));
}

bool CRegKey::EnumSubkeyNames(std::vector<std::wstring>& names) {
    return Result(EnumNames(m_key.Get(), false, names, [](HKEY key, DWORD i, wchar_t* name, DWORD* length) {
        return ::RegEnumKeyExW(key, i, name, length, nullptr, nullptr, nullptr, nullptr);
    }));
}

bool CRegKey::DeleteValue(const wchar_t* name) {
    return Result(::RegDeleteValueW(m_key.Get(), name));
}

bool CRegKey::DeleteEmptyKey(const wchar_t* subkey) {
    return Result(static_cast<LONG>(::SHDeleteEmptyKeyW(m_key.Get(), subkey)));
}

bool CRegKey::DeleteContents() {
    return Result(static_cast<LONG>(::SHDeleteKeyW(m_key.Get(), L"")));
}

}  // namespace qlLib
