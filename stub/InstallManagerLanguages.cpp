// Language folders of the install cache kept in line with the installed product, the default
// language remembered on disk, and the stub's own message boxes in the user's language.
#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <vector>

#include "package/InstallUnpacker.h"
#include "package/ResourceUnpacker.h"
#include "runtime/FolderUtils.h"
#include "runtime/Isolation.h"
#include "runtime/LanguageInfo.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathExpansion.h"
#include "runtime/PathUtils.h"
#include "runtime/ResourceModuleLocator.h"
#include "runtime/StringUtils.h"
#include "runtime/TempFolder.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/OwnFolder.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const wchar_t kLanguageModuleName[] = L"InsMUI.loc";
// ShowMB's answers; its callers only log them.
const HRESULT kStringMissing = static_cast<HRESULT>(0x10000490);          // never an exit code
const HRESULT kIsolationRootMissing = static_cast<HRESULT>(0x80010202);   // never an exit code
const UINT kRightToLeft = MB_RTLREADING | MB_RIGHT;

// "/?" where no language module has the summary.
const wchar_t kUsageCaption[] = L"Setup switches";
const wchar_t kUsageText[] =
    L"setup.exe [switches]\n"
    L"\n"
    L"/qn or /q\tinstall without a window\n"
    L"/qb or /qr\tinstall with a basic window\n"
    L"/x\trun again over the install cache\n"
    L"/NOREBOOT\tnever restart the computer\n"
    L"/SHOWERRORS 1\tquiet, but show errors\n"
    L"/MEDIA file\ttake the package from that file\n"
    L"/DEFLANG PPSS\tdefault language, e.g. 0901\n"
    L"/PUBLISHRESULTS 1\trecord the result in the registry\n"
    L"/VALIDATE [/REPAIR]\tcheck (and repair) the installed product\n"
    L"/TEST folder /qn\tunpack the package into a new folder\n"
    L"/DEPLOYCODES\texit codes 3010, 1641 and 1618\n"
    L"\n"
    L"Exit code 0: success. Others: see the product's documentation.";

// A string of a language module; false when the module lacks it.
bool LoadModuleString(HMODULE module, UINT id, std::wstring& text) {
    const wchar_t* resource = nullptr;
    // Length 0 asks for the resource itself, which is not terminated.
    const int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource) return false;
    try {
        text.assign(resource, static_cast<size_t>(length));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The module of a message and the folder of its own it was extracted into.
void RemoveResourceDll(const std::wstring& path) {
    CUtils::DeleteFileW(path.c_str(), true);
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return;
    try {
        CUtils::DeleteFolder(path.substr(0, slash).c_str(), true, false);
    } catch (const std::bad_alloc&) {
    }
}

// Whether the process's window station is one a user sees: not the one of session 0's services,
// where a message box waits for a click that never comes.
bool HasInteractiveDesktop() {
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    HWINSTA station = ::GetProcessWindowStation();
    if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ShowMessage(UINT textId, const std::wstring& text, const std::wstring& caption, LANGID language, UINT icon) {
    if (!HasInteractiveDesktop()) {
        TraceWarning(L"CInstallManager::ShowMB : message %u not shown: no interactive desktop in this session", textId);
        return;
    }
    UINT flags = icon | MB_SETFOREGROUND;
    if (PRIMARYLANGID(language) == LANG_ARABIC || PRIMARYLANGID(language) == LANG_HEBREW) flags |= kRightToLeft;
    TraceInfo(L"message %u for language %04X, style 0x%08X", textId, static_cast<unsigned>(language), flags);
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), flags);
}

// The LANGID of a "PPSS" language string: primary from the first two digits, sublanguage from
// the last two.
LANGID LanguageFromString(const std::wstring& code) {
    if (code.size() != 4) return 0;
    const LANGID primary = qlLib::ParseLangId(code.substr(0, 2).c_str());
    const LANGID sub = qlLib::ParseLangId(code.substr(2).c_str());
    return MAKELANGID(primary, sub);
}

}  // namespace

HRESULT CInstallManager::RemoveLanguages() {
    try {
        bool addOns = false, upgrade = false, keep = false;
        m_embeddedData.GetData(eEmbedded_AddOnsMode, &addOns);
        m_embeddedData.GetData(eEmbedded_UpgradeLayout, &upgrade);
        std::wstring list;
        if (addOns || upgrade) {
            const HRESULT hr = CompareLanguages(list, addOns, keep);
            if (FAILED(hr)) return hr;
            if (!keep) {
                if (list.size() > 3) {
                    TraceInfo(L"Removing languages: %s", list.c_str());
                    if (!m_embeddedData.SetData(eEmbedded_LanguagesToRemove, list.c_str()))
                        TraceWarning(L"CInstallManager::RemoveLanguages(2815) : failed to set the languages to remove");
                } else if (upgrade) {
                    m_embeddedData.RemoveData(eEmbedded_LanguagesToRemove);
                }
            } else if (!m_embeddedData.GetData(eEmbedded_LanguagesToRemove, &list) || list.size() < 4) {
                return 1;
            }
        } else if (!m_embeddedData.GetData(eEmbedded_LanguagesToRemove, &list) || list.size() < 4) {
            return 1;
        }

        std::wstring defaultLanguage;
        if (!m_embeddedData.GetData(eEmbedded_DefaultLanguage, &defaultLanguage)) {
            TraceError(L"CInstallManager::RemoveLanguages(2849) : MISSING DEFAULT LANGUAGE");
            return E_FAIL;
        }
        bool removed = false;
        for (size_t start = 0; start < list.size();) {
            size_t end = list.find(L' ', start);
            if (end == std::wstring::npos) end = list.size();
            const std::wstring code = list.substr(start, std::min<size_t>(end - start, 4));
            start = end + 1;
            if (code.size() < 4 || qlLib::EqualsNoCase(code.c_str(), defaultLanguage.c_str())) continue;
            // The codes come from the settings block: each must name a language folder and
            // nothing else below the cache.
            const std::wstring primary = code.substr(0, 2), sub = code.substr(2, 2);
            if (primary.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos ||
                sub.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos) {
                TraceWarning(L"CInstallManager::RemoveLanguages(2860) : not a language: %s", code.c_str());
                continue;
            }
            std::wstring folder, primaryFolder;
            if (!qlLib::JoinPath(primaryFolder, m_installCache, primary) ||
                !qlLib::JoinPath(folder, primaryFolder, sub))
                return E_OUTOFMEMORY;
            if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) removed = true;
            TraceInfo(L"delete folder: %s", folder.c_str());
            CUtils::DeleteFolder(folder.c_str(), true, false);
            TraceInfo(L"delete empty folder: %s", primaryFolder.c_str());
            CUtils::DeleteEmptyFolders(primaryFolder.c_str());
        }
        // What the product removed on purpose is no reason to extract the cache again: the
        // extraction marker describes the cache without it.
        if (removed && !CInstallUnpacker::WriteMarker(m_installCache))
            TraceWarning(L"CInstallManager::RemoveLanguages : the extraction marker could not be written again");
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallManager::CompareLanguages(std::wstring& list, bool addOns, bool& keep) {
    keep = false;
    list.clear();
    std::vector<LANGID> offered, installed;
    if (!qlLib::CResourceModuleLocator::FindLanguages(m_installCache, offered)) return E_UNEXPECTED;
    std::wstring installedCache;
    if (!qlLib::ExpandPath(L"%INSTALLCACHEDIR%", installedCache)) {
        TraceError(L"CInstallManager::CompareLanguages(2920) : failed to expand INSTALLCACHEDIR");
        return 1;
    }
    if (!qlLib::CResourceModuleLocator::FindLanguages(installedCache, installed)) return E_UNEXPECTED;

    try {
        std::vector<bool> used(offered.size(), false);
        bool missing = false;
        for (LANGID language : installed) {
            bool found = false;
            for (size_t i = 0; i < offered.size(); ++i) {
                if (offered[i] == language) used[i] = found = true;
            }
            if (!found) {
                TraceError(L"CInstallManager::CompareLanguages(2971) : Setup missing language: %lu",
                           static_cast<unsigned long>(language));
                missing = true;
            }
        }
        if (missing) {
            bool mayGoOn = false;
            if (!addOns && m_embeddedData.GetData(eEmbedded_KeepWithoutLanguage, &mayGoOn) && mayGoOn) {
                keep = true;
            } else if (m_streams) {
                m_streams->SetBool(eStreamKey_MissingLanguage, true);
            }
            return S_OK;
        }
        std::vector<LANGID> unused;
        for (size_t i = 0; i < offered.size(); ++i) {
            if (!used[i]) unused.push_back(offered[i]);
        }
        std::sort(unused.begin(), unused.end());
        for (LANGID language : unused) {
            TraceInfo(L"remove language id: %lu", static_cast<unsigned long>(language));
            std::wstring code;
            if (qlLib::LangIDString(language, nullptr, code)) list += code + L" ";
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return UpdateDefaultLanguageFromDisk(installedCache);
}

HRESULT CInstallManager::UpdateDefaultLanguageFromDisk(const std::wstring& folder) {
    std::wstring path, text, code;
    if (!qlLib::JoinPath(path, folder, L"fallback.dat")) return E_OUTOFMEMORY;
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        TraceError(L"CInstallManager::UpdateDefaultLanguageFromDisk(3038) : failed to open: %s (%lu)", path.c_str(),
                   error);
        return CUtils::ErrorResult(error);
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart > qlLib::kMaxLanguageFileBytes) {
        TraceError(L"CInstallManager::UpdateDefaultLanguageFromDisk(3046) : fallback.dat is corrupt");
        return E_FAIL;
    }
    BYTE bytes[qlLib::kMaxLanguageFileBytes] = {};
    DWORD read = 0;
    if (!::ReadFile(file.Get(), bytes, sizeof(bytes), &read, nullptr)) {
        const DWORD error = ::GetLastError();
        TraceError(L"CInstallManager::UpdateDefaultLanguageFromDisk(3052) : failed to read: %s (%lu)", path.c_str(),
                   error);
        return CUtils::ErrorResult(error);
    }
    if (!qlLib::DecodeLanguageText(bytes, read, text)) return E_OUTOFMEMORY;
    wchar_t* end = nullptr;
    const unsigned int value = static_cast<unsigned int>(std::wcstoul(text.c_str(), &end, 16));
    if (end == text.c_str()) return S_OK;
    TraceInfo(L"fallback language id: %x", value);
    if (!qlLib::LangIDString(static_cast<LANGID>(value), nullptr, code) ||
        !m_embeddedData.SetData(eEmbedded_DefaultLanguage, code.c_str())) {
        TraceError(L"LocaleIDToLangString for language ID %x failed", value);
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT CInstallManager::ExtractResourceDll(std::wstring& path) {
    path.clear();
    std::wstring temp, guid, folder;
    try {
        if (!qlLib::GetTempFolder(temp)) {
            // Without it the module would land wherever this process stands.
            const DWORD error = ::GetLastError();
            if (error == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
            TraceError(L"CInstallManager::ExtractResourceDll(2676) : no temporary folder (%lu)", error);
            return E_UNEXPECTED;
        }
        if (!m_embeddedData.GetData(eEmbedded_CompileGuid, &guid) || guid.empty()) {
            if (!m_embeddedData.DataExists(eEmbedded_CompileGuid))
                TraceError(L"CInstallManager::ExtractResourceDll(2681) : failed to get compile guid");
            guid = L"temp";
        } else if (!qlLib::IsSafeRelativePath(guid) || guid.find_first_of(L"\\/") != std::wstring::npos) {
            // The name comes from the settings block: a plain file name or nothing.
            TraceWarning(L"CInstallManager::ExtractResourceDll(2684) : compile guid is no file name: %s", guid.c_str());
            guid = L"temp";
        }

        std::wstring languages[2];
        qlLib::LangIDString(::GetSystemDefaultLangID(), L"\\", languages[0]);
        std::wstring defaultLanguage;
        if (m_embeddedData.GetData(eEmbedded_DefaultLanguage, &defaultLanguage) &&
            (defaultLanguage.size() == 4 || defaultLanguage.size() == 5))
            languages[1] = defaultLanguage.substr(0, defaultLanguage.size() - 2) + L"\\" +
                           defaultLanguage.substr(defaultLanguage.size() - 2);
        else
            languages[1] = L"09\\01";

        // The module comes out of the installer's own file: read only as the file it runs from.
        const HRESULT readable = m_installerFile.Readable(m_ownPath.Path());
        if (FAILED(readable)) return readable;
        // The module is loaded from there: a folder of a new name, never one found in the temp
        // folder (other users may have made "VelmorInstall" there, and hold it open).
        const HRESULT made = COwnFolder().CreateFresh(temp, L"VelmorInstall-", COwnFolder::eReaders_None, folder);
        if (FAILED(made)) {
            TraceError(L"CInstallManager::ExtractResourceDll : no folder for the module in %s (0x%08x)", temp.c_str(),
                       made);
            return made;
        }
        if (!qlLib::JoinPath(path, folder, guid + L".loc")) {
            CUtils::DeleteFolder(folder.c_str(), true, false);
            return E_OUTOFMEMORY;
        }
        for (const std::wstring& language : languages) {
            CUtils::DeleteFileW(path.c_str(), true);
            std::wstring item;
            HRESULT hr = E_OUTOFMEMORY;
            CResourceUnpacker unpacker;
            if (qlLib::JoinPath(item, language, kLanguageModuleName) && unpacker.SetItemPath(item.c_str()))
                hr = m_installerFile.Hold(unpacker, m_ownPath.Path());
            if (SUCCEEDED(hr)) hr = unpacker.ExtractFile(m_ownPath.Path().c_str(), path.c_str());
            // Only a plain file where it was written is used: never one a link leads to.
            if (qlLib::IsPlainFileAt(path)) return S_OK;
            TraceInfo(L"ExtractResource returned 0x%08x", hr);
        }
    } catch (const std::bad_alloc&) {
        if (!folder.empty()) CUtils::DeleteFolder(folder.c_str(), true, false);
        return E_OUTOFMEMORY;
    }
    // Each call makes a folder of its own: one that serves nothing goes at once.
    CUtils::DeleteFolder(folder.c_str(), true, false);
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT CInstallManager::LoadMessage(UINT textId, UINT captionId, std::wstring& text, std::wstring& caption,
                                     LANGID& language) {
    CFileDataExtender settings;
    if (!settings.Initialize(m_ownPath.Path().c_str(), false)) {
        TraceError(L"CInstallManager::ShowMB(2505) : failed to initialize data extender");
        return E_UNEXPECTED;
    }
    std::wstring value;
    if (!settings.GetData(eEmbedded_IsolationGuid, &value)) {
        TraceWarning(L"CInstallManager::ShowMB(2512) : isolation guid not found. exit");
    } else if (!qlLib::CIsolation::SetSiloID(value.c_str())) {
        TraceError(L"CInstallManager::ShowMB(2518) : failed to set the isolation guid");
    }
    if (!settings.GetData(eEmbedded_IsolationRegistryRoot, &value)) {
        TraceError(L"CInstallManager::ShowMB(2525) : isolation guid not found");
        return kIsolationRootMissing;
    }
    if (!qlLib::CIsolation::SetSiloRegistryRoot(value.c_str()))
        TraceError(L"CInstallManager::ShowMB(2532) : failed to set the isolation reg key");

    std::wstring installedCache;
    if (qlLib::ExpandPath(L"%INSTALLCACHEDIR%", installedCache)) {
        HMODULE module = CUtils::LoadResourceModule(installedCache.c_str());
        if (!module) {
            TraceError(L"CInstallManager::ShowMB(2545) : resource DLL not found");
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        const bool haveText = CUtils::LoadResourceString(textId, text);
        const bool haveCaption = haveText && CUtils::LoadResourceString(captionId, caption);
        CUtils::UnloadResourceModule(module);
        if (!haveText) {
            TraceError(L"CInstallManager::ShowMB(2555) : failed to LoadString Message %d];", textId);
            return kStringMissing;
        }
        if (!haveCaption) {
            TraceError(L"CInstallManager::ShowMB(2560) : failed to LoadString Message %d];", captionId);
            return kStringMissing;
        }
    } else {
        std::wstring path;
        if (FAILED(ExtractResourceDll(path))) {
            TraceError(L"CInstallManager::ShowMB(2578) : failed to extract resource dll");
            return E_UNEXPECTED;
        }
        HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            TraceError(L"CInstallManager::ShowMB(2587) : failed to load resource dll");
            RemoveResourceDll(path);
            return E_UNEXPECTED;
        }
        const bool haveText = LoadModuleString(module, textId, text);
        const bool haveCaption = haveText && LoadModuleString(module, captionId, caption);
        ::FreeLibrary(module);
        RemoveResourceDll(path);
        if (!haveText) {
            TraceError(L"CInstallManager::ShowMB(2597) : failed to LoadString Message %d];", textId);
            return kStringMissing;
        }
        if (!haveCaption) {
            TraceError(L"CInstallManager::ShowMB(2602) : failed to LoadString Message %d];", captionId);
            return kStringMissing;
        }
    }

    // The reading direction follows the language the cache's modules are in.
    language = 0;
    std::wstring cache;
    if (!m_streams || !m_streams->GetWString(eStreamKey_InstallCache, &cache)) {
        TraceWarning(L"Failed to get Install cache path from stream array");
    } else {
        std::wstring ignored;
        qlLib::CResourceModuleLocator().FindResourceModule(cache, L"*.*", ignored, language);
    }
    if (!language) {
        language = ::GetUserDefaultLangID();
        std::wstring defaultLanguage;
        if (settings.GetData(eEmbedded_DefaultLanguage, &defaultLanguage) && defaultLanguage.size() == 4)
            language = LanguageFromString(defaultLanguage);
    }
    return S_OK;
}

HRESULT CInstallManager::ShowMB(UINT textId, UINT captionId) {
    std::wstring text, caption;
    LANGID language = 0;
    // A string the module lacks (0x10000490, a success code) means no box, never an empty one.
    const HRESULT hr = LoadMessage(textId, captionId, text, caption, language);
    if (hr != S_OK) return hr;
    ShowMessage(textId, text, caption, language, MB_ICONEXCLAMATION);
    return S_OK;
}

void CInstallManager::ShowUsage() {
    std::wstring text, caption;
    LANGID language = 0;
    // A stub without settings, language modules or the summary's strings still answers, in English.
    if (LoadMessage(eMessage_UsageText, eMessage_UsageCaption, text, caption, language) != S_OK) {
        try {
            text = kUsageText;
            caption = kUsageCaption;
        } catch (const std::bad_alloc&) {
            return;
        }
        language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    }
    ShowMessage(eMessage_UsageText, text, caption, language, MB_ICONINFORMATION);
}

void CInstallManager::TellUser(UINT textId, UINT captionId) {
    // A quiet run shows nothing unless it was asked to show its errors: nobody may be there to
    // close the box, and the run would wait for ever.
    if (m_quiet && !ShouldShowErrors()) {
        TraceInfo(L"message %u not shown in a quiet run", textId);
        return;
    }
    ShowMB(textId, captionId);
}

}  // namespace TARN
