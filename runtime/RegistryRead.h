#pragma once
// Typed reads of single registry values for the shared library (the installer framework has its
// own registry classes). A value that is missing or of another type leaves the output alone.
#include <windows.h>
#include <string>

namespace qlLib {

// Registry access mask for reading the shared component set's keys: KEY_READ, plus the 32-bit
// view when this process runs under WOW64.
REGSAM SharedKeyReadAccess();

// True when this process is a 32-bit process on 64-bit Windows (IsWow64Process looked up at run
// time; absent means no).
bool IsWow64();

bool ReadRegDword(HKEY key, const wchar_t* name, DWORD& value);
// REG_SZ or REG_EXPAND_SZ, taken as stored (no expansion). Odd byte lengths are rejected.
bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& value);

}  // namespace qlLib
