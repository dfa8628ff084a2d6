#include "samples/installui/LanguageModule.h"

#include <cwchar>
#include <new>

#include "runtime/LanguageInfo.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"

namespace TARN {

namespace {

const wchar_t kModuleName[] = L"InsMUI.loc";

}  // namespace

bool CLanguageModule::Load(const std::wstring& folder) {
    const LANGID candidates[] = {::GetUserDefaultUILanguage(), ::GetSystemDefaultUILanguage(),
                                 qlLib::ReadFallbackLanguage(folder)};
    for (LANGID language : candidates) {
        if (language && TryLanguage(folder, language)) return true;
    }
    return false;
}

bool CLanguageModule::TryLanguage(const std::wstring& folder, LANGID language) {
    // The exact language, then its primary language's default variant, then the primary alone.
    const WORD primary = PRIMARYLANGID(language);
    const WORD sub = SUBLANGID(language);
    std::wstring exact, variant, alone;
    const wchar_t* primaryFormat = primary > 0xFF ? L"%03X" : L"%02X";
    if (!qlLib::FormatString(alone, primaryFormat, primary)) return false;
    if (!qlLib::FormatString(exact, L"%s\\%02X", alone.c_str(), sub) ||
        !qlLib::FormatString(variant, L"%s\\%02X", alone.c_str(), SUBLANG_DEFAULT))
        return false;
    return TryFolder(folder, exact, language) || TryFolder(folder, variant, MAKELANGID(primary, SUBLANG_DEFAULT)) ||
           TryFolder(folder, alone, MAKELANGID(primary, SUBLANG_NEUTRAL));
}

bool CLanguageModule::TryFolder(const std::wstring& folder, const std::wstring& languageFolder, LANGID language) {
    std::wstring path;
    if (!qlLib::JoinPath(path, folder, languageFolder) || !qlLib::JoinPath(path, path, kModuleName)) return false;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    // Only resources are read from it: never mapped as code.
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return false;
    m_module.Reset(module);
    m_language = language;
    m_path = path;
    return true;
}

std::wstring CLanguageModule::String(UINT id) const {
    if (!m_module) return std::wstring();
    const wchar_t* text = nullptr;
    // Length 0 asks for a pointer to the resource itself (not terminated).
    const int length = ::LoadStringW(m_module.Get(), id, reinterpret_cast<LPWSTR>(&text), 0);
    try {
        return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

}  // namespace TARN
