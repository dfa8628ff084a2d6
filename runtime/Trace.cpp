#include "Trace.h"

#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

#include "DebugOutput.h"

namespace qlLib {

namespace {

bool WriteWide(LONG severity, const wchar_t* format, va_list args) {
    return GetDebugOutput().WriteV(severity, format, args);
}

// The narrow copy of a wide ASCII format becomes that format again: the line is formatted by
// the wide rules, exactly as from the literal.
bool WriteNarrow(LONG severity, const char* format, va_list args) {
    CRegistryDebugOutput& output = GetDebugOutput();
    if (!format || !output.IsEnabled(severity)) return false;
    try {
        const std::wstring wide(format, format + std::strlen(format));
        return output.WriteV(severity, wide.c_str(), args);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

#define QL_TRACE_FUNCTION(name, Char, write, severity) \
    bool name(const Char* format, ...) {                 \
        va_list args;                                    \
        va_start(args, format);                          \
        const bool written = write(severity, format, args); \
        va_end(args);                                    \
        return written;                                  \
    }

QL_TRACE_FUNCTION(TraceErrorFormat, char, WriteNarrow, eSeverity_Error)
QL_TRACE_FUNCTION(TraceWarningFormat, char, WriteNarrow, eSeverity_Warning)
QL_TRACE_FUNCTION(TraceInfoFormat, char, WriteNarrow, eSeverity_Information)
QL_TRACE_FUNCTION(TraceErrorFormat, wchar_t, WriteWide, eSeverity_Error)
QL_TRACE_FUNCTION(TraceWarningFormat, wchar_t, WriteWide, eSeverity_Warning)
QL_TRACE_FUNCTION(TraceInfoFormat, wchar_t, WriteWide, eSeverity_Information)

#undef QL_TRACE_FUNCTION

}  // namespace qlLib
