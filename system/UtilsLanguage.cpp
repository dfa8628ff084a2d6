// Language modules of the install UI as the installer itself uses them, and the default
// language remembered in an install cache.
#include <cwchar>
#include <cstdlib>
#include <new>
#include <vector>

#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/ResourceModuleLocator.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "system/Utils.h"

namespace TARN {

namespace {

// The language modules loaded for this process, searched newest first by string loads.
qlLib::CCriticalSection g_resourceLock;
std::vector<HMODULE> g_resourceModules;

}  // namespace

HMODULE CUtils::LoadResourceModule(const wchar_t* folder) {
    std::wstring path;
    LANGID language = 0;
    if (!qlLib::CResourceModuleLocator().FindResourceModule(folder ? folder : L"", L"InsMUI.loc", path, language)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        TraceInfo(L"LoadResourceModule(): %s, %04X", path.c_str(), language);
    }
    HMODULE module =
        path.empty() ? nullptr
                     : ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        TraceError(L"TARN::CUtils::LoadResourceModule(1101) : Error: %d, Unable to load resource module: %s",
                   static_cast<int>(::GetLastError()), path.c_str());
        return nullptr;
    }
    qlLib::CCriticalSectionLock lock(g_resourceLock);
    try {
        g_resourceModules.push_back(module);
    } catch (const std::bad_alloc&) {
        ::FreeLibrary(module);
        return nullptr;
    }
    return module;
}

void CUtils::UnloadResourceModule(HMODULE module) {
    if (!module) return;
    {
        qlLib::CCriticalSectionLock lock(g_resourceLock);
        for (auto it = g_resourceModules.begin(); it != g_resourceModules.end(); ++it) {
            if (*it == module) {
                g_resourceModules.erase(it);
                break;
            }
        }
    }
    ::FreeLibrary(module);
}

bool CUtils::LoadResourceString(UINT id, std::wstring& text) {
    qlLib::CCriticalSectionLock lock(g_resourceLock);
    for (auto it = g_resourceModules.rbegin(); it != g_resourceModules.rend(); ++it) {
        const wchar_t* resource = nullptr;
        // Length 0 asks for the resource itself, which is not terminated.
        const int length = ::LoadStringW(*it, id, reinterpret_cast<LPWSTR>(&resource), 0);
        if (length <= 0 || !resource) continue;
        try {
            text.assign(resource, static_cast<size_t>(length));
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return false;
}

HRESULT CUtils::WriteLanguageFallback(const wchar_t* defaultLanguage, const wchar_t* cache) {
    const std::wstring language(defaultLanguage ? defaultLanguage : L"");
    if (language.size() != 4 && language.size() != 5) return S_OK;
    std::wstring path, text;
    if (!qlLib::JoinPath(path, cache ? cache : L"", L"fallback.dat")) return E_OUTOFMEMORY;
    const DWORD folder = ::GetFileAttributesW(cache ? cache : L"");
    if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY) ||
        ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return S_OK;

    // "PPSS" (primary, then sublanguage, both hexadecimal) becomes the LANGID it stands for.
    const unsigned int code = static_cast<unsigned int>(std::wcstoul(language.c_str(), nullptr, 16));
    const unsigned int primary = (code >> 8) & 0xFFF;
    const unsigned int sub = code & 0xFF;
    const unsigned int value = primary | (sub << 10);
    bool formatted = true;
    if (primary < 0x100)
        formatted = qlLib::FormatString(text, L"%04X", value);
    else if (primary < 0x400)
        formatted = qlLib::FormatString(text, L"%05X", value);
    else
        text = language;
    if (!formatted) return E_OUTOFMEMORY;

    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_READONLY, nullptr));
    if (!file) {
        TraceError(L"TARN::CUtils::WriteLanguageFallback(1163) : failed to create %s (%lu)", path.c_str(),
                   ::GetLastError());
        return S_OK;
    }
    char bytes[16] = {};
    const int length = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes,
                                             sizeof(bytes), nullptr, nullptr);
    DWORD written = 0;
    if (length <= 0 || !::WriteFile(file.Get(), bytes, static_cast<DWORD>(length), &written, nullptr)) {
        TraceError(L"TARN::CUtils::WriteLanguageFallback(1171) : failed to write %s (%lu)", path.c_str(),
                   ::GetLastError());
        // A read-only stump would stand for this cache's fallback language from now on.
        file.Reset();
        DeleteFileW(path.c_str(), false);
        return S_OK;
    }
    TraceInfo(L"%s created for %s", path.c_str(), text.c_str());
    return S_OK;
}

}  // namespace TARN
