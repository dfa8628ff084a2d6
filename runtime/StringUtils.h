#pragma once
// Wide-string helpers shared by every subsystem. None throws (memory running out is a false):
// their callers need no clean-ups for them.
#include <windows.h>
#include <cstdarg>
#include <string>

namespace qlLib {

// printf-style formatting with the Microsoft C runtime's rules (%s wide, %hs narrow, %I64d, %Iu),
// without a length limit. False when the format is invalid or memory runs out.
bool FormatStringV(std::wstring& out, const wchar_t* format, va_list args) noexcept;
bool FormatString(std::wstring& out, const wchar_t* format, ...) noexcept;

// The local time as "YYYY-MM-DD-HH-MM-SS-mmm", the stamp of log lines and dump file names.
bool FormatLocalTimeStamp(std::wstring& out) noexcept;

// Case-insensitive comparison (ordinal, upper-cased as the system does for file names and
// registry names). Null compares like an empty string.
bool EqualsNoCase(const wchar_t* a, const wchar_t* b) noexcept;

// Replaces every occurrence of from in text (exact, or ignoring case); false when memory runs out.
bool ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to, bool ignoreCase = false) noexcept;

// Decimal number at the start of text, as the C runtime's wcstol reads it; 0 for null or text
// that does not start with a number.
long ParseDecimal(const wchar_t* text);

}  // namespace qlLib
