#pragma once
// The reporting functions every subsystem uses. Failure formats begin with the qualified
// operation, its line in parentheses and " : "; progress lines have no prefix.
//
// TraceError, TraceWarning and TraceInfo take a wide format (%s is a wide string) and its
// arguments. A literal format is stored narrow, which halves the bytes the stub's many texts
// take, and widened when its line is written; every such format must be ASCII, which the
// compiler checks. A format chosen at run time is used as it is.
#include <cstddef>
#include <type_traits>

namespace qlLib {

bool TraceErrorFormat(const char* format, ...);
bool TraceWarningFormat(const char* format, ...);
bool TraceInfoFormat(const char* format, ...);
bool TraceErrorFormat(const wchar_t* format, ...);
bool TraceWarningFormat(const wchar_t* format, ...);
bool TraceInfoFormat(const wchar_t* format, ...);

namespace trace_format {

template <size_t N>
struct CNarrow {
    char text[N];
};

template <size_t N>
constexpr bool IsAscii(const wchar_t (&format)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (format[i] > 0x7F) return false;
    return true;
}

template <size_t N>
constexpr CNarrow<N> Narrow(const wchar_t (&format)[N]) {
    CNarrow<N> narrow{};
    for (size_t i = 0; i < N; ++i) narrow.text[i] = static_cast<char>(format[i]);
    return narrow;
}

// formatOf answers the call's format expression. A literal (an array) becomes a narrow constant
// of the call site; anything else stays the wide pointer it is.
template <class FormatOf>
auto Of(FormatOf formatOf) {
    using Format = std::remove_reference_t<decltype(formatOf())>;
    if constexpr (std::is_array_v<Format>) {
        static_assert(IsAscii(formatOf()), "a trace format is stored narrow: it must be ASCII");
        static constexpr auto kNarrow = Narrow(formatOf());
        return static_cast<const char*>(kNarrow.text);
    } else {
        return static_cast<const wchar_t*>(formatOf());
    }
}

}  // namespace trace_format
}  // namespace qlLib

#define QL_TRACE_FORMAT(format) ::qlLib::trace_format::Of([&]() -> decltype(auto) { return (format); })
#define TraceError(format, ...) ::qlLib::TraceErrorFormat(QL_TRACE_FORMAT(format), ##__VA_ARGS__)
#define TraceWarning(format, ...) ::qlLib::TraceWarningFormat(QL_TRACE_FORMAT(format), ##__VA_ARGS__)
#define TraceInfo(format, ...) ::qlLib::TraceInfoFormat(QL_TRACE_FORMAT(format), ##__VA_ARGS__)
