#pragma once
// The reporting functions every subsystem uses. Failure formats begin with the qualified
// operation, its line in parentheses and " : "; progress lines have no prefix.
namespace qlLib {

bool TraceError(const wchar_t* format, ...);
bool TraceWarning(const wchar_t* format, ...);
bool TraceInfo(const wchar_t* format, ...);

}  // namespace qlLib

using qlLib::TraceError;
using qlLib::TraceInfo;
using qlLib::TraceWarning;
