#include "Trace.h"

#include <cstdarg>

#include "DebugOutput.h"

namespace qlLib {

bool TraceError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = GetDebugOutput().WriteV(eSeverity_Error, format, args);
    va_end(args);
    return written;
}

bool TraceWarning(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = GetDebugOutput().WriteV(eSeverity_Warning, format, args);
    va_end(args);
    return written;
}

bool TraceInfo(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = GetDebugOutput().WriteV(eSeverity_Information, format, args);
    va_end(args);
    return written;
}

}  // namespace qlLib
