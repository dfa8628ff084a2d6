// CUtils::IsProtectedFolder: the well-known folders an installer must never delete.
#include <shlobj.h>
#include <knownfolders.h>

#include <new>
#include <string>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/RegistryRead.h"
#include "runtime/Trace.h"
#include "system/Utils.h"

namespace TARN {

namespace {

struct CProtectedFolder {
    const KNOWNFOLDERID* knownFolder;
    int csidl;                 // -1: none
    const wchar_t* regValue;   // under HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion"; null: none
    std::wstring path;         // lower case, without leading and trailing backslashes; empty: unresolved
    std::wstring finalPath;    // the same for where the folder really is (links followed); may be empty
};

// Built once, on first use, and kept for the life of the process.
CProtectedFolder g_folders[] = {
    {&FOLDERID_System, CSIDL_SYSTEM, nullptr, {}, {}},
    {&FOLDERID_SystemX86, CSIDL_SYSTEMX86, nullptr, {}, {}},
    {&FOLDERID_ProgramFilesX64, CSIDL_PROGRAM_FILES, L"ProgramFilesDir", {}, {}},
    {&FOLDERID_ProgramFilesX86, CSIDL_PROGRAM_FILESX86, L"ProgramFilesDir (x86)", {}, {}},
    {&FOLDERID_ProgramFilesCommonX64, CSIDL_PROGRAM_FILES_COMMON, L"CommonFilesDir", {}, {}},
    {&FOLDERID_ProgramFilesCommonX86, CSIDL_PROGRAM_FILES_COMMONX86, L"CommonFilesDir (x86)", {}, {}},
    {&FOLDERID_Desktop, CSIDL_DESKTOPDIRECTORY, nullptr, {}, {}},
    {&FOLDERID_PublicDesktop, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, {}, {}},
    {&FOLDERID_Windows, CSIDL_WINDOWS, nullptr, {}, {}},
    {&FOLDERID_RoamingAppData, CSIDL_APPDATA, nullptr, {}, {}},
    {&FOLDERID_ProgramData, CSIDL_COMMON_APPDATA, nullptr, {}, {}},
    {&FOLDERID_Documents, CSIDL_PERSONAL, nullptr, {}, {}},
    {&FOLDERID_PublicDocuments, CSIDL_COMMON_DOCUMENTS, nullptr, {}, {}},
    {&FOLDERID_CommonPrograms, CSIDL_COMMON_PROGRAMS, nullptr, {}, {}},
    {&FOLDERID_Programs, CSIDL_PROGRAMS, nullptr, {}, {}},
    {&FOLDERID_UserProfiles, -1, nullptr, {}, {}},
};
bool g_resolved = false;

void ToLower(std::wstring& text) {
    if (text.empty()) return;
    std::wstring lower(text.size(), L'\0');
    if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, text.c_str(), static_cast<int>(text.size()), &lower[0],
                       static_cast<int>(lower.size())) == static_cast<int>(text.size())) {
        text.swap(lower);
    }
}

void Trim(std::wstring& text, const wchar_t* characters) {
    const size_t last = text.find_last_not_of(characters);
    if (last == std::wstring::npos) {
        text.clear();
        return;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(characters));
}

bool ReadKnownFolder(const KNOWNFOLDERID& id, std::wstring& path) {
    typedef HRESULT(WINAPI * GetKnownFolderPathFn)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    const auto getPath = shell ? reinterpret_cast<GetKnownFolderPathFn>(
                                     reinterpret_cast<void*>(::GetProcAddress(shell, "SHGetKnownFolderPath")))
                               : nullptr;
    if (!getPath) return false;
    PWSTR found = nullptr;
    const HRESULT hr = getPath(id, KF_FLAG_DONT_VERIFY | KF_FLAG_NO_ALIAS, nullptr, &found);
    bool ok = false;
    if (SUCCEEDED(hr) && found && *found) {
        try {
            path = found;
            ok = true;
        } catch (const std::bad_alloc&) {
        }
    }
    ::CoTaskMemFree(found);
    return ok;
}

bool ReadRegistryFolder(const wchar_t* value, std::wstring& path) {
    // A 32-bit process reads the 64-bit view, where the native folders are named.
    const REGSAM access = KEY_READ | (qlLib::IsWow64() ? KEY_WOW64_64KEY : 0);
    qlLib::CRegKeyHandle key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0, access,
                        key.Receive()) != ERROR_SUCCESS) {
        return false;
    }
    return qlLib::ReadRegString(key.Get(), value, path) && !path.empty();
}

bool ReadCsidlFolder(int csidl, std::wstring& path) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, 0, folder)) || !folder[0]) return false;
    path = folder;
    return true;
}

void ResolveFolders() {
    TraceInfo(L"Initializing Protected Folders");
    for (CProtectedFolder& folder : g_folders) {
        std::wstring path;
        const wchar_t* source = nullptr;
        if (ReadKnownFolder(*folder.knownFolder, path)) {
            source = L"KNF";
        } else if (folder.regValue && ReadRegistryFolder(folder.regValue, path)) {
            source = L"REG";
        } else if (folder.csidl >= 0 && ReadCsidlFolder(folder.csidl, path)) {
            source = L"CSIDL";
        }
        if (!source) continue;   // stays empty and matches nothing
        std::wstring finalPath;
        if (qlLib::FinalPathOf(path, finalPath)) {
            ToLower(finalPath);
            Trim(finalPath, L"\\");
            folder.finalPath.swap(finalPath);
        }
        ToLower(path);
        Trim(path, L"\\");
        folder.path.swap(path);
        TraceInfo(L"Protecting Folder (%s): %s", source, folder.path.c_str());
    }
    g_resolved = true;
}

}  // namespace

bool CUtils::CanonicalPath(const wchar_t* path, std::wstring& canonical) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(path, static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = ::GetFullPathNameW(path, static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
    }
    if (length == 0 || length >= buffer.size()) return false;
    buffer.resize(length);
    if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        buffer.replace(0, 8, L"\\\\");
    } else if (buffer.compare(0, 4, L"\\\\?\\") == 0) {
        buffer.erase(0, 4);
    }
    // Short names of existing folders become their long names.
    std::wstring longPath(buffer.size() + MAX_PATH, L'\0');
    const DWORD longLength = ::GetLongPathNameW(buffer.c_str(), &longPath[0], static_cast<DWORD>(longPath.size()));
    if (longLength > 0 && longLength < longPath.size()) {
        longPath.resize(longLength);
        buffer.swap(longPath);
    }
    canonical.swap(buffer);
    return true;
}

namespace {

bool MatchesFolder(const std::wstring& path, const wchar_t* shown) {
    for (const CProtectedFolder& folder : g_folders) {
        if ((!folder.path.empty() && folder.path == path) || (!folder.finalPath.empty() && folder.finalPath == path)) {
            TraceError(L"TARN::CUtils::IsProtectedFolder(154) : !!!!Found known folder do not DELETE!!!: %s", shown);
            return true;
        }
    }
    return false;
}

// A final path (absolute, long names, links resolved): a drive root or a known folder.
bool IsProtectedFinal(std::wstring finalPath, const wchar_t* shown) {
    ToLower(finalPath);
    Trim(finalPath, L"\\ ");
    return finalPath.size() <= 3 || MatchesFolder(finalPath, shown);
}

}  // namespace

bool CUtils::IsProtectedFolder(const wchar_t* path) {
    try {
        if (!g_resolved) ResolveFolders();
        if (!path || wcslen(path) <= 3) return true;

        std::wstring given(path);
        ToLower(given);
        Trim(given, L"\\ ");
        if (MatchesFolder(given, path)) return true;

        // The same folder may be named in other ways ("system32\.", "..\system32", "SYSTEM~1");
        // the check looks at what a deletion would reach.
        std::wstring canonical;
        if (!CanonicalPath(path, canonical)) {
            TraceError(L"TARN::CUtils::IsProtectedFolder(177) : Problem validating folder, not deleting");
            return true;
        }
        ToLower(canonical);
        Trim(canonical, L"\\ ");
        if (canonical.size() <= 3) return true;   // a drive root
        if (MatchesFolder(canonical, path)) return true;

        // And where it really is: a junction or link on the way must not smuggle a system folder
        // past the names above.
        std::wstring finalPath;
        if (!qlLib::FinalPathOf(canonical, finalPath)) return false;   // nothing there to delete
        return IsProtectedFinal(finalPath, path);
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CUtils::IsProtectedFolder(185) : Problem validating folder, not deleting");
        return true;
    }
}

bool CUtils::IsProtectedFinalPath(const std::wstring& finalPath) {
    try {
        if (!g_resolved) ResolveFolders();
        return IsProtectedFinal(finalPath, finalPath.c_str());
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CUtils::IsProtectedFolder(185) : Problem validating folder, not deleting");
        return true;
    }
}

}  // namespace TARN
