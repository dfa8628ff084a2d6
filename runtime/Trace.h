#pragma once
// The reporting functions every subsystem uses. Failure formats begin with the qualified
// operation, its line in parentheses and " : "; progress lines have no prefix.
//
// TraceError, TraceWarning and TraceInfo take a wide format (%s is a wide string) and its
// arguments. A literal format is stored narrow and packed, which takes a quarter of the bytes of
// the stub's many texts as UTF-16, and is unpacked and widened when its line is written; every
// such format must be ASCII, and must unpack to itself, which the compiler checks. A format
// chosen at run time is used as it is.
#include <cstddef>
#include <type_traits>

#include "runtime/TraceDictionary.h"

namespace qlLib {

bool TraceErrorFormat(const char* format, ...) noexcept;
bool TraceWarningFormat(const char* format, ...) noexcept;
bool TraceInfoFormat(const char* format, ...) noexcept;
bool TraceErrorFormat(const wchar_t* format, ...) noexcept;
bool TraceWarningFormat(const wchar_t* format, ...) noexcept;
bool TraceInfoFormat(const wchar_t* format, ...) noexcept;

namespace trace_format {

// A literal format is packed: each of the dictionary's words (TraceDictionary.h) it holds, the
// longest that fits first, becomes the one byte 0x80 + its index, which ASCII leaves free.
template <size_t N>
struct CPacked {
    char text[N];
};

template <size_t N>
constexpr bool IsAscii(const wchar_t (&format)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (format[i] > 0x7F) return false;
    return true;
}

constexpr size_t WordLength(const char* word) {
    size_t length = 0;
    while (word[length]) ++length;
    return length;
}

// The longest word at format[at], as its index, or kWordCount.
template <size_t N>
constexpr size_t WordAt(const wchar_t (&format)[N], size_t at) {
    size_t best = kWordCount, bestLength = 0;
    for (size_t w = 0; w < kWordCount; ++w) {
        const size_t length = WordLength(kWords[w]);
        if (length <= bestLength || at + length > N - 1) continue;
        size_t i = 0;
        while (i < length && format[at + i] == static_cast<unsigned char>(kWords[w][i])) ++i;
        if (i == length) best = w, bestLength = length;
    }
    return best;
}

// Packs format into out (when given) and answers the packed size, terminator included.
template <size_t N>
constexpr size_t Pack(const wchar_t (&format)[N], char* out) {
    size_t size = 0;
    for (size_t at = 0; at < N - 1; ++size) {
        const size_t w = WordAt(format, at);
        if (out) out[size] = w < kWordCount ? static_cast<char>(0x80 + w) : static_cast<char>(format[at]);
        at += w < kWordCount ? WordLength(kWords[w]) : 1;
    }
    if (out) out[size] = '\0';
    return size + 1;
}

template <size_t M, size_t N>
constexpr CPacked<M> Packed(const wchar_t (&format)[N]) {
    CPacked<M> packed{};
    Pack(format, packed.text);
    return packed;
}

// Whether packed unpacks to format exactly, as the writer will unpack it.
template <size_t N>
constexpr bool UnpacksTo(const char* packed, const wchar_t (&format)[N]) {
    size_t at = 0;
    for (; *packed; ++packed) {
        const unsigned char c = static_cast<unsigned char>(*packed);
        const char* word = c < 0x80 ? packed : kWords[c - 0x80];
        const size_t length = c < 0x80 ? 1 : WordLength(word);
        for (size_t i = 0; i < length; ++i, ++at)
            if (at >= N - 1 || format[at] != static_cast<unsigned char>(word[i])) return false;
    }
    return at == N - 1;
}

// formatOf answers the call's format expression. A literal (an array) becomes a packed constant
// of the call site; anything else stays the wide pointer it is.
template <class FormatOf>
auto Of(FormatOf formatOf) {
    using Format = std::remove_reference_t<decltype(formatOf())>;
    if constexpr (std::is_array_v<Format>) {
        static_assert(IsAscii(formatOf()), "a trace format is stored packed: it must be ASCII");
        static constexpr auto kPacked = Packed<Pack(formatOf(), nullptr)>(formatOf());
        static_assert(UnpacksTo(kPacked.text, formatOf()), "a packed trace format must unpack to itself");
        return static_cast<const char*>(kPacked.text);
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
