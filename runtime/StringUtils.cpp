#include "StringUtils.h"

#include <cstdio>
#include <cwchar>
#include <new>

namespace qlLib {

bool FormatStringV(std::wstring& out, const wchar_t* format, va_list args) noexcept {
    if (!format) return false;
    try {
        va_list probe;
        va_copy(probe, args);
        const int length = ::_vscwprintf(format, probe);
        va_end(probe);
        if (length < 0) return false;
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        va_list copy;
        va_copy(copy, args);
        const int written = ::_vsnwprintf(&text[0], text.size(), format, copy);
        va_end(copy);
        if (written < 0) return false;
        text.resize(static_cast<size_t>(written));
        out.swap(text);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FormatString(std::wstring& out, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const bool ok = FormatStringV(out, format, args);
    va_end(args);
    return ok;
}

bool FormatLocalTimeStamp(std::wstring& out) noexcept {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return FormatString(out, L"%04d-%02d-%02d-%02d-%02d-%02d-%03d", now.wYear, now.wMonth, now.wDay, now.wHour,
                        now.wMinute, now.wSecond, now.wMilliseconds);
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) noexcept {
    if (!a) a = L"";
    if (!b) b = L"";
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

long ParseDecimal(const wchar_t* text) {
    if (!text) return 0;
    return std::wcstol(text, nullptr, 10);
}

bool ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to, bool ignoreCase) noexcept {
    if (from.empty()) return true;
    const auto find = [&](size_t start) -> size_t {
        if (!ignoreCase) return text.find(from, start);
        for (size_t at = start; at + from.size() <= text.size(); ++at)
            if (::CompareStringOrdinal(text.c_str() + at, static_cast<int>(from.size()), from.c_str(),
                                       static_cast<int>(from.size()), TRUE) == CSTR_EQUAL)
                return at;
        return std::wstring::npos;
    };
    try {
        for (size_t at = find(0); at != std::wstring::npos; at = find(at + to.size())) text.replace(at, from.size(), to);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
