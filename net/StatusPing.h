#pragma once
// Helpers of the failure status ping.
#include <windows.h>

#include <string>

namespace TARN {

// The request token for a query: "0", then the eight hexadecimal digits of the query's CRC-32 (in
// the thread's ANSI code page) and of the time in seconds since 1970 interleaved as
// C0 C1 C2 T0 T1 T2 C3 C4 T3 T4 C5 C6 T5 T6 T7 C7 (17 characters).
bool BuildRequestToken(const std::wstring& text, std::wstring& token);
// The same at a given time (seconds since 1970, low 32 bits).
bool BuildRequestToken(const std::wstring& text, DWORD seconds, std::wstring& token);

}  // namespace TARN
