#include "runtime/LanguageInfo.h"

#include <cwctype>
#include <new>

#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"
#include "runtime/Isolation.h"
#include "runtime/PathUtils.h"
#include "runtime/RegistryRead.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace qlLib {

namespace {

CCriticalSection g_uiLanguagesLock;
bool g_uiLanguagesRead = false;
std::vector<LANGID> g_uiLanguages;

}  // namespace

bool LangIDString(LANGID language, const wchar_t* separator, std::wstring& out) {
    out.clear();
    const WORD primary = language & 0x3FF;
    const WORD sub = static_cast<WORD>(language >> 10);
    if (primary == 0) {
        TraceInfo(L"wPrimLangID == 0");
        return false;
    }
    std::wstring prefix;
    if (!FormatString(prefix, primary < 0x100 ? L"%02X" : L"%03X", primary) ||
        !FormatString(out, L"%ls%ls%02X", prefix.c_str(), separator ? separator : L"", sub)) {
        TraceError(L"Out of memory attempting to build LangIDString");
        out.clear();
        return false;
    }
    return true;
}

bool DecodeLanguageText(const BYTE* bytes, DWORD size, std::wstring& text) {
    try {
        text.clear();
        if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
            for (DWORD i = 2; i + 1 < size; i += 2) {
                const wchar_t c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
                if (!c) break;
                text.push_back(c);
            }
        } else {
            for (DWORD i = 0; i < size && bytes[i]; ++i) text.push_back(static_cast<wchar_t>(bytes[i]));
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

LANGID ParseLangId(const wchar_t* text) {
    if (!text) return 0;
    while (*text == L' ' || *text == L'\t') ++text;
    unsigned value = 0;
    int digits = 0;
    for (; std::iswxdigit(*text); ++text, ++digits) {
        if (digits == 4) return 0;
        const wchar_t c = *text;
        value = value * 16 + (c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
    }
    return static_cast<LANGID>(value);
}

LANGID ReadFallbackLanguage(const std::wstring& folder) {
    std::wstring path, text;
    if (!JoinPath(path, folder, L"fallback.dat")) return 0;
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxLanguageFileBytes) return 0;
    BYTE bytes[kMaxLanguageFileBytes] = {};
    DWORD read = 0;
    if (!::ReadFile(file.Get(), bytes, sizeof(bytes), &read, nullptr) || !DecodeLanguageText(bytes, read, text))
        return 0;
    return ParseLangId(text.c_str());
}

LANGID CLanguageInfo::ReadLanguageValue(HKEY hive, const wchar_t* subkey, const wchar_t* value) {
    std::wstring root, text;
    if (!CIsolation::GetIsolationRoot(root) || !JoinPath(root, root, subkey)) return 0;
    CRegKeyHandle key;
    if (::RegOpenKeyExW(hive, root.c_str(), 0, SharedKeyReadAccess(), key.Receive()) != ERROR_SUCCESS) return 0;
    // The values are short: anything beyond a path's length is not a language.
    if (!ReadRegString(key.Get(), value, text) || text.size() >= MAX_PATH / sizeof(wchar_t)) return 0;
    return ParseLangId(text.c_str());
}

LANGID CLanguageInfo::GetCurrentUILanguage() {
    return ReadLanguageValue(HKEY_CURRENT_USER, L"ResourceConfig", L"Current UI Language");
}

LANGID CLanguageInfo::GetDefaultLanguage() {
    return ReadLanguageValue(HKEY_LOCAL_MACHINE, L"LanguageConfig", L"Default Language");
}

BOOL CALLBACK CLanguageInfo::AddUILanguage(LPWSTR name, LONG_PTR context) {
    auto* languages = reinterpret_cast<std::vector<LANGID>*>(context);
    const LANGID language = ParseLangId(name);
    try {
        if (language) languages->push_back(language);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    return TRUE;
}

bool CLanguageInfo::GetUILanguages(std::vector<LANGID>& languages) {
    CCriticalSectionLock lock(g_uiLanguagesLock);
    if (!g_uiLanguagesRead) {
        g_uiLanguages.clear();
        if (!::EnumUILanguagesW(&AddUILanguage, 0, reinterpret_cast<LONG_PTR>(&g_uiLanguages))) return false;
        g_uiLanguagesRead = true;
    }
    try {
        languages = g_uiLanguages;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
