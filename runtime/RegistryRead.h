#pragma once
// Typed reads of single registry values for the shared library (the installer framework has its
// own registry classes). A value that is missing or of another type leaves the output alone.
#include <windows.h>
#include <string>
#include <vector>

namespace qlLib {

// Registry access mask for reading the shared component set's keys: KEY_READ, plus the 32-bit
// view when this process runs under WOW64.
REGSAM SharedKeyReadAccess();

// True when this process is a 32-bit process on 64-bit Windows (IsWow64Process looked up at run
// time; absent means no).
bool IsWow64();

// The same reads with their Win32 result: ERROR_INVALID_DATA (13) for a value of another type
// or a malformed size; value changes only on success.
LONG QueryRegDword(HKEY key, const wchar_t* name, DWORD& value);
LONG QueryRegString(HKEY key, const wchar_t* name, std::wstring& value);
// REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ whose data ends with its terminator; a multi-string
// yields its strings, the other two one string.
LONG QueryRegMultiString(HKEY key, const wchar_t* name, std::vector<std::wstring>& values);

bool ReadRegDword(HKEY key, const wchar_t* name, DWORD& value);
// REG_SZ or REG_EXPAND_SZ, taken as stored (no expansion). Odd byte lengths are rejected.
bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& value);

}  // namespace qlLib
