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

bool ReadRegDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof(data)) return false;
    value = data;
    return true;
}

bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& value) {
    try {
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = 0;
            DWORD size = 0;
            if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
            if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
            if (size % sizeof(wchar_t) != 0) return false;
            std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
            DWORD got = size;
            const LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &got);
            if (rc == ERROR_MORE_DATA) continue;   // grew between the two calls
            if (rc != ERROR_SUCCESS) return false;
            if ((type != REG_SZ && type != REG_EXPAND_SZ) || got % sizeof(wchar_t) != 0) return false;
            buffer.resize(got / sizeof(wchar_t));
            const size_t end = buffer.find(L'\0');   // the text ends at its first terminator
            if (end != std::wstring::npos) buffer.resize(end);
            value.swap(buffer);
            return true;
        }
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
