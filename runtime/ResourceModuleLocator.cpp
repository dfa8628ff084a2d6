#include "runtime/ResourceModuleLocator.h"

#include <algorithm>
#include <new>

#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"
#include "runtime/LanguageInfo.h"
#include "runtime/PathExpansion.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace qlLib {

namespace {

const wchar_t kLanguageMapName[] = L"Langver.map";
const wchar_t kSubstituteMapName[] = L"maplngid.dat";
const DWORD kMaxLanguageMapChars = 4000;

struct CLanguageMapEntry {
    std::wstring folder;
    LANGID language;
    std::wstring subpath;
};

// Langver.map entries of every folder read so far, and the folders read.
CCriticalSection g_languageMapLock;
std::vector<CLanguageMapEntry> g_languageMap;
std::vector<std::wstring> g_languageMapFolders;

// The substitute map: read once per process.
CCriticalSection g_substituteLock;
bool g_substitutesRead = false;
std::vector<std::pair<LANGID, LANGID>> g_substitutes;

LANGID g_currentUILanguage = 0;

std::wstring FolderKey(const std::wstring& folder) {
    std::wstring key(folder);
    RemoveTrailingBackslashes(key);
    return key;
}

// Reads a small text file: UTF-16LE after a byte order mark (at most maxChars characters),
// else text in the thread's ANSI code page (at most maxChars bytes). False when it is missing,
// unreadable, not larger than minBytes, or (unless truncate) larger than the limit.
bool ReadSmallTextFile(const std::wstring& path, DWORD minBytes, DWORD maxChars, bool truncate, std::wstring& text) {
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart <= minBytes) return false;
    if (size.QuadPart > maxChars && !truncate) return false;
    try {
        std::vector<BYTE> bytes(2 * static_cast<size_t>(maxChars) + 2);
        DWORD read = 0;
        if (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) return false;
        text.clear();
        if (read >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
            for (DWORD i = 2; i + 1 < read && text.size() < maxChars; i += 2)
                text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
            return true;
        }
        read = std::min(read, maxChars);
        if (read == 0) return true;
        const int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<int>(read), nullptr, 0);
        if (length <= 0) return false;
        text.resize(static_cast<size_t>(length));
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(read),
                              &text[0], length);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::wstring Trim(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Reads folder's Langver.map once. Caller holds g_languageMapLock.
void ReadLanguageMap(const std::wstring& folder) {
    const std::wstring key = FolderKey(folder);
    for (const std::wstring& read : g_languageMapFolders) {
        if (EqualsNoCase(read.c_str(), key.c_str())) return;
    }
    g_languageMapFolders.push_back(key);
    std::wstring path, text;
    if (!JoinPath(path, key, kLanguageMapName) || !ReadSmallTextFile(path, 0, kMaxLanguageMapChars, true, text)) return;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        const std::wstring left = Trim(line.substr(0, equals));
        const std::wstring subpath = Trim(line.substr(equals + 1));
        const LANGID language = ParseLangId(left.c_str());
        if (!language || subpath.empty()) continue;
        // The map only moves language folders within the base folder.
        if (!IsSafeRelativePath(subpath)) {
            TraceWarning(L"qlLib::CResourceModuleLocator::ReadLanguageMap(96) : ignoring %s: %s leaves the folder",
                         path.c_str(), subpath.c_str());
            continue;
        }
        g_languageMap.push_back(CLanguageMapEntry{key, language, subpath});
    }
}

void ReadSubstitutes(const std::wstring& firstFolder) {
    std::wstring folder, path, text;
    bool found = false;
    if (ExpandPath(L"%COMMON_SILO_DATA%", folder) && JoinPath(path, folder, kSubstituteMapName))
        found = ReadSmallTextFile(path, 8, CResourceModuleLocator::kMaxSubstituteMapBytes, false, text);
    if (!found && JoinPath(path, firstFolder, kSubstituteMapName))
        found = ReadSmallTextFile(path, 8, CResourceModuleLocator::kMaxSubstituteMapBytes, false, text);
    if (!found) return;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L',', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring entry = Trim(text.substr(start, end - start));
        start = end + 1;
        const size_t space = entry.find(L' ');
        if (space == std::wstring::npos) continue;
        const LANGID from = ParseLangId(entry.substr(0, space).c_str());
        const LANGID to = ParseLangId(Trim(entry.substr(space + 1)).c_str());
        if (from && to) g_substitutes.emplace_back(from, to);
    }
}

bool HasEntry(const std::wstring& folder, bool filesOnly) {
    std::wstring pattern;
    if (!JoinPath(pattern, folder, L"*.*")) return false;
    WIN32_FIND_DATAW entry;
    CFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) return false;
    do {
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (filesOnly ? !isFolder : (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L".."))) return true;
    } while (::FindNextFileW(find.Get(), &entry));
    return false;
}

// Subfolders of folder whose names have at most maxLength hexadecimal digits.
void HexSubfolders(const std::wstring& folder, size_t maxLength, std::vector<std::pair<std::wstring, WORD>>& found) {
    std::wstring pattern;
    if (!JoinPath(pattern, folder, L"*.*")) return;
    WIN32_FIND_DATAW entry;
    CFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) return;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !wcscmp(entry.cFileName, L".") ||
            !wcscmp(entry.cFileName, L".."))
            continue;
        const size_t length = wcslen(entry.cFileName);
        if (length == 0 || length > maxLength ||
            std::wstring(entry.cFileName).find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
            continue;
        found.emplace_back(entry.cFileName, ParseLangId(entry.cFileName));
    } while (::FindNextFileW(find.Get(), &entry));
}

}  // namespace

LANGID CLanguageSources::CurrentUILanguage() const {
    // The user's choice is read until it is found, then kept for the process.
    if (!g_currentUILanguage) g_currentUILanguage = CLanguageInfo::GetCurrentUILanguage();
    return g_currentUILanguage;
}

LANGID CLanguageSources::UserUILanguage() const { return ::GetUserDefaultUILanguage(); }
LANGID CLanguageSources::SystemUILanguage() const { return ::GetSystemDefaultUILanguage(); }
LANGID CLanguageSources::DefaultLanguage() const { return CLanguageInfo::GetDefaultLanguage(); }

const CLanguageSources& CResourceModuleLocator::SystemSources() {
    static const CLanguageSources sources;
    return sources;
}

CResourceModuleLocator::CResourceModuleLocator(const CLanguageSources& sources) : m_sources(sources) {}

bool CResourceModuleLocator::FindModuleForLanguage(const std::wstring& folder, const wchar_t* module, LANGID language,
                                                   std::wstring& path) {
    path.clear();
    try {
        std::wstring base = FolderKey(folder);
        {
            CCriticalSectionLock lock(g_languageMapLock);
            ReadLanguageMap(folder);
            for (const CLanguageMapEntry& entry : g_languageMap) {
                if (entry.language == language && EqualsNoCase(entry.folder.c_str(), base.c_str())) {
                    if (!JoinPath(base, base, entry.subpath)) return false;
                    break;
                }
            }
        }
        const WORD primary = language & 0x3FF;
        const WORD sub = static_cast<WORD>(language >> 10);
        std::wstring languageFolder, search, pattern(module ? module : L"");
        if (!FormatString(languageFolder, primary > 0xFF ? L"%03x" : L"%02x", primary)) return false;
        if (sub && !FormatString(languageFolder, L"%s\\%02x", languageFolder.c_str(), sub)) return false;
        if (!JoinPath(languageFolder, base, languageFolder)) return false;
        // A name without an extension matches any extension.
        const size_t lastPart = pattern.find_last_of(L"\\/");
        if (pattern.find(L'.', lastPart == std::wstring::npos ? 0 : lastPart) == std::wstring::npos) pattern += L".*";
        if (!JoinPath(search, languageFolder, pattern)) return false;
        const bool anyEntry = pattern == L"*.*";
        WIN32_FIND_DATAW entry;
        CFindHandle find(::FindFirstFileW(search.c_str(), &entry));
        if (!find) return false;
        do {
            // A folder only answers the question which language folder exists.
            if (anyEntry) return JoinPath(path, languageFolder, pattern);
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                // The file found, in the folder the name led to.
                return JoinPath(path, search.substr(0, search.find_last_of(L"\\/")), entry.cFileName);
            }
        } while (::FindNextFileW(find.Get(), &entry));
        return false;
    } catch (const std::bad_alloc&) {
        path.clear();
        return false;
    }
}

LANGID CResourceModuleLocator::SubstituteLanguage(LANGID language, const std::wstring& firstFolder) {
    CCriticalSectionLock lock(g_substituteLock);
    try {
        if (!g_substitutesRead) {
            g_substitutesRead = true;
            ReadSubstitutes(firstFolder);
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (const auto& substitute : g_substitutes) {
        if (substitute.first == language) return substitute.second;
    }
    return 0;
}

bool CResourceModuleLocator::TryLanguage(const std::wstring& folder, const wchar_t* module, LANGID language,
                                         std::wstring& path) const {
    return language != 0 && FindModuleForLanguage(folder, module, language, path);
}

bool CResourceModuleLocator::FindResourceModule(const std::wstring& folder, const wchar_t* module, std::wstring& path,
                                                LANGID& language) const {
    path.clear();
    language = 0;
    LANGID candidate = m_sources.CurrentUILanguage();
    if (TryLanguage(folder, module, candidate, path)) {
        language = candidate;
        return true;
    }
    const LANGID preferred[] = {m_sources.UserUILanguage(), m_sources.SystemUILanguage(), m_sources.DefaultLanguage()};
    for (LANGID choice : preferred) {
        if (!choice) continue;
        if (TryLanguage(folder, module, choice, path)) {
            language = choice;
            return true;
        }
        candidate = SubstituteLanguage(choice, folder);
        if (TryLanguage(folder, module, candidate, path)) {
            language = candidate;
            return true;
        }
    }
    candidate = ReadFallbackLanguage(folder);
    if (TryLanguage(folder, module, candidate, path)) {
        language = candidate;
        return true;
    }
    return false;
}

bool CResourceModuleLocator::FindLanguages(const std::wstring& folder, std::vector<LANGID>& languages) {
    languages.clear();
    try {
        const std::wstring base = FolderKey(folder);
        {
            CCriticalSectionLock lock(g_languageMapLock);
            ReadLanguageMap(folder);
            for (const CLanguageMapEntry& entry : g_languageMap) {
                if (EqualsNoCase(entry.folder.c_str(), base.c_str())) languages.push_back(entry.language);
            }
        }
        if (!languages.empty()) return true;

        // A base folder named like a language folder is not one of its own languages.
        const size_t slash = base.find_last_of(L'\\');
        const std::wstring ownName = slash == std::wstring::npos ? base : base.substr(slash + 1);
        std::vector<std::pair<std::wstring, WORD>> primaries;
        HexSubfolders(base, 3, primaries);
        for (const auto& primary : primaries) {
            if (EqualsNoCase(primary.first.c_str(), ownName.c_str())) continue;
            std::wstring primaryFolder, subFolder;
            if (!JoinPath(primaryFolder, base, primary.first)) break;
            std::vector<std::pair<std::wstring, WORD>> subs;
            HexSubfolders(primaryFolder, 2, subs);
            for (const auto& sub : subs) {
                if (!JoinPath(subFolder, primaryFolder, sub.first)) break;
                if (HasEntry(subFolder, false))
                    languages.push_back(static_cast<LANGID>((sub.second << 10) | (primary.second & 0x3FF)));
            }
            if (HasEntry(primaryFolder, true)) languages.push_back(static_cast<LANGID>(primary.second & 0x3FF));
        }
    } catch (const std::bad_alloc&) {
        // What was found so far stands.
    }
    return !languages.empty();
}

}  // namespace qlLib
