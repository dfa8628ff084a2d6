#include "Trace.h"

#include <cstdarg>
#include <new>
#include <string>

#include "DebugOutput.h"

namespace qlLib {

namespace {

bool WriteWide(LONG severity, const wchar_t* format, va_list args) {
    return GetDebugOutput().WriteV(severity, format, args);
}

// A packed format becomes the wide literal it was made from again: the line is formatted by the
// wide rules, exactly as from the literal.
bool WritePacked(LONG severity, const char* format, va_list args) {
    CRegistryDebugOutput& output = GetDebugOutput();
    if (!format || !output.IsEnabled(severity)) return false;
    try {
        std::wstring wide;
        for (; *format; ++format) {
            const unsigned char c = static_cast<unsigned char>(*format);
            if (c < 0x80) {
                wide += static_cast<wchar_t>(c);
                continue;
            }
            for (const char* word = trace_format::kWords[c - 0x80]; *word; ++word)
                wide += static_cast<wchar_t>(*word);
        }
        return output.WriteV(severity, wide.c_str(), args);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

// Tracing never throws: a line that cannot be written is lost, and the callers, all over the
// stub, need no clean-up code for their trace calls.
#define QL_TRACE_FUNCTION(name, Char, write, severity)      \
    bool name(const Char* format, ...) noexcept {           \
        va_list args;                                       \
        va_start(args, format);                             \
        bool written = false;                               \
        try {                                               \
            written = write(severity, format, args);        \
        } catch (...) {                                     \
        }                                                   \
        va_end(args);                                       \
        return written;                                     \
    }

QL_TRACE_FUNCTION(TraceErrorFormat, char, WritePacked, eSeverity_Error)
QL_TRACE_FUNCTION(TraceWarningFormat, char, WritePacked, eSeverity_Warning)
QL_TRACE_FUNCTION(TraceInfoFormat, char, WritePacked, eSeverity_Information)
QL_TRACE_FUNCTION(TraceErrorFormat, wchar_t, WriteWide, eSeverity_Error)
QL_TRACE_FUNCTION(TraceWarningFormat, wchar_t, WriteWide, eSeverity_Warning)
QL_TRACE_FUNCTION(TraceInfoFormat, wchar_t, WriteWide, eSeverity_Information)

#undef QL_TRACE_FUNCTION

}  // namespace qlLib
