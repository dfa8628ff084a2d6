#include "RegistryRead.h"

#include <new>

namespace qlLib {

bool IsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

REGSAM SharedKeyReadAccess() {
    return KEY_READ | (IsWow64() ? KEY_WOW64_32KEY : 0);
}

LONG QueryRegDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;   // larger than a DWORD: another type
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || size != sizeof(data)) return ERROR_INVALID_DATA;
    value = data;
    return ERROR_SUCCESS;
}

namespace {

// The raw data of a string-typed value, in whole characters.
LONG QueryRegText(HKEY key, const wchar_t* name, bool multi, DWORD& type, std::wstring& data) {
    try {
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD size = 0;
            LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
            if (rc != ERROR_SUCCESS) return rc;
            bool typeOk = type == REG_SZ || type == REG_EXPAND_SZ || (multi && type == REG_MULTI_SZ);
            if (!typeOk || size % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
            std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
            DWORD got = size;
            rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &got);
            if (rc == ERROR_MORE_DATA) continue;   // grew between the two calls
            if (rc != ERROR_SUCCESS) return rc;
            typeOk = type == REG_SZ || type == REG_EXPAND_SZ || (multi && type == REG_MULTI_SZ);
            if (!typeOk || got % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
            buffer.resize(got / sizeof(wchar_t));
            data.swap(buffer);
            return ERROR_SUCCESS;
        }
        return ERROR_MORE_DATA;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

}  // namespace

LONG QueryRegString(HKEY key, const wchar_t* name, std::wstring& value) {
    DWORD type = 0;
    std::wstring data;
    LONG rc = QueryRegText(key, name, false, type, data);
    if (rc != ERROR_SUCCESS) return rc;
    const size_t end = data.find(L'\0');   // the text ends at its first terminator
    if (end != std::wstring::npos) data.resize(end);
    value.swap(data);
    return ERROR_SUCCESS;
}

LONG QueryRegMultiString(HKEY key, const wchar_t* name, std::vector<std::wstring>& values) {
    DWORD type = 0;
    std::wstring data;
    LONG rc = QueryRegText(key, name, true, type, data);
    if (rc != ERROR_SUCCESS) return rc;
    if (data.empty() || data.back() != L'\0') return ERROR_INVALID_DATA;
    try {
        std::vector<std::wstring> out;
        if (type != REG_MULTI_SZ) {
            out.push_back(data.substr(0, data.find(L'\0')));
        } else {
            for (size_t start = 0; start < data.size();) {
                size_t end = data.find(L'\0', start);
                if (end == start) break;   // the empty string that ends the list
                out.push_back(data.substr(start, end - start));
                start = end + 1;
            }
        }
        values.swap(out);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

bool ReadRegDword(HKEY key, const wchar_t* name, DWORD& value) {
    return QueryRegDword(key, name, value) == ERROR_SUCCESS;
}

bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& value) {
    return QueryRegString(key, name, value) == ERROR_SUCCESS;
}

}  // namespace qlLib
