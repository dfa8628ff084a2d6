#include "runtime/PathExpansion.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <new>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/Isolation.h"
#include "runtime/RegistryRead.h"
#include "runtime/Trace.h"

namespace qlLib {

namespace {

// Table values that are no CSIDL.
const DWORD kCommonSiloData = 0xF0000000;
const DWORD kLocalSiloData = 0xF0000001;
const DWORD kProgramFilesX64 = 0xF0000002;
const DWORD kProgramFilesCommonX64 = 0xF0000003;

struct CFolderName {
    const wchar_t* name;
    DWORD value;
};

// Sorted by name compared without regard to case (upper-cased, so '_' sorts after letters).
const CFolderName kFolders[] = {
    {L"COMMON_SILO_DATA", kCommonSiloData},
    {L"CSIDL_ADMINTOOLS", CSIDL_ADMINTOOLS},
    {L"CSIDL_ALTSTARTUP", CSIDL_ALTSTARTUP},
    {L"CSIDL_APPDATA", CSIDL_APPDATA},
    {L"CSIDL_BITBUCKET", CSIDL_BITBUCKET},
    {L"CSIDL_CDBURN_AREA", CSIDL_CDBURN_AREA},
    {L"CSIDL_COMMON_ADMINTOOLS", CSIDL_COMMON_ADMINTOOLS},
    {L"CSIDL_COMMON_ALTSTARTUP", CSIDL_COMMON_ALTSTARTUP},
    {L"CSIDL_COMMON_APPDATA", CSIDL_COMMON_APPDATA},
    {L"CSIDL_COMMON_DESKTOPDIRECTORY", CSIDL_COMMON_DESKTOPDIRECTORY},
    {L"CSIDL_COMMON_DOCUMENTS", CSIDL_COMMON_DOCUMENTS},
    {L"CSIDL_COMMON_FAVORITES", CSIDL_COMMON_FAVORITES},
    {L"CSIDL_COMMON_MUSIC", CSIDL_COMMON_MUSIC},
    {L"CSIDL_COMMON_OEM_LINKS", CSIDL_COMMON_OEM_LINKS},
    {L"CSIDL_COMMON_PICTURES", CSIDL_COMMON_PICTURES},
    {L"CSIDL_COMMON_PROGRAMS", CSIDL_COMMON_PROGRAMS},
    {L"CSIDL_COMMON_STARTMENU", CSIDL_COMMON_STARTMENU},
    {L"CSIDL_COMMON_STARTUP", CSIDL_COMMON_STARTUP},
    {L"CSIDL_COMMON_TEMPLATES", CSIDL_COMMON_TEMPLATES},
    {L"CSIDL_COMMON_VIDEO", CSIDL_COMMON_VIDEO},
    {L"CSIDL_COMPUTERSNEARME", CSIDL_COMPUTERSNEARME},
    {L"CSIDL_CONNECTIONS", CSIDL_CONNECTIONS},
    {L"CSIDL_CONTROLS", CSIDL_CONTROLS},
    {L"CSIDL_COOKIES", CSIDL_COOKIES},
    {L"CSIDL_DESKTOP", CSIDL_DESKTOP},
    {L"CSIDL_DESKTOPDIRECTORY", CSIDL_DESKTOPDIRECTORY},
    {L"CSIDL_DRIVES", CSIDL_DRIVES},
    {L"CSIDL_FAVORITES", CSIDL_FAVORITES},
    {L"CSIDL_FONTS", CSIDL_FONTS},
    {L"CSIDL_HISTORY", CSIDL_HISTORY},
    {L"CSIDL_INTERNET", CSIDL_INTERNET},
    {L"CSIDL_INTERNET_CACHE", CSIDL_INTERNET_CACHE},
    {L"CSIDL_LOCAL_APPDATA", CSIDL_LOCAL_APPDATA},
    {L"CSIDL_MYMUSIC", CSIDL_MYMUSIC},
    {L"CSIDL_MYPICTURES", CSIDL_MYPICTURES},
    {L"CSIDL_MYVIDEO", CSIDL_MYVIDEO},
    {L"CSIDL_NETHOOD", CSIDL_NETHOOD},
    {L"CSIDL_NETWORK", CSIDL_NETWORK},
    {L"CSIDL_PERSONAL", CSIDL_PERSONAL},
    {L"CSIDL_PRINTERS", CSIDL_PRINTERS},
    {L"CSIDL_PRINTHOOD", CSIDL_PRINTHOOD},
    {L"CSIDL_PROFILE", CSIDL_PROFILE},
    {L"CSIDL_PROGRAMS", CSIDL_PROGRAMS},
    {L"CSIDL_PROGRAM_FILES", CSIDL_PROGRAM_FILES},
    {L"CSIDL_PROGRAM_FILESX64", kProgramFilesX64},
    {L"CSIDL_PROGRAM_FILESX86", CSIDL_PROGRAM_FILESX86},
    {L"CSIDL_PROGRAM_FILES_COMMON", CSIDL_PROGRAM_FILES_COMMON},
    {L"CSIDL_PROGRAM_FILES_COMMONX64", kProgramFilesCommonX64},
    {L"CSIDL_PROGRAM_FILES_COMMONX86", CSIDL_PROGRAM_FILES_COMMONX86},
    {L"CSIDL_RECENT", CSIDL_RECENT},
    {L"CSIDL_RESOURCES", CSIDL_RESOURCES},
    {L"CSIDL_RESOURCES_LOCALIZED", CSIDL_RESOURCES_LOCALIZED},
    {L"CSIDL_SENDTO", CSIDL_SENDTO},
    {L"CSIDL_STARTMENU", CSIDL_STARTMENU},
    {L"CSIDL_STARTUP", CSIDL_STARTUP},
    {L"CSIDL_SYSTEM", CSIDL_SYSTEM},
    {L"CSIDL_SYSTEMX86", CSIDL_SYSTEMX86},
    {L"CSIDL_TEMPLATES", CSIDL_TEMPLATES},
    {L"CSIDL_WINDOWS", CSIDL_WINDOWS},
    {L"LOCAL_SILO_DATA", kLocalSiloData},
};
static_assert(sizeof(kFolders) / sizeof(kFolders[0]) == 60, "the built-in table has 60 names");

wchar_t Upper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

int CompareNoCase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = Upper(*a), y = Upper(*b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

const CFolderName* FindFolder(const wchar_t* name) {
    size_t low = 0, high = sizeof(kFolders) / sizeof(kFolders[0]);
    while (low < high) {
        size_t mid = (low + high) / 2;
        int c = CompareNoCase(name, kFolders[mid].name);
        if (c == 0) return &kFolders[mid];
        if (c < 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return nullptr;
}

// The 64-bit Program Files folders, from the 64-bit view of the registry under WOW64.
bool ReadProgramFiles64(const wchar_t* valueName, std::wstring& path) {
    REGSAM access = KEY_READ | (IsWow64() ? KEY_WOW64_64KEY : 0);
    CRegKeyHandle key;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0, access,
                              key.Receive());
    if (rc != ERROR_SUCCESS) {
        TraceError(L"qlLib::ExpandPath(138) : failed to open the CurrentVersion key (%ld)", rc);
        return false;
    }
    if (!ReadRegString(key.Get(), valueName, path)) {
        TraceError(L"qlLib::ExpandPath(142) : failed to read %s", valueName);
        return false;
    }
    return true;
}

bool ExpandFolder(const CFolderName& folder, std::wstring& value) {
    switch (folder.value) {
    case kCommonSiloData: return GetSiloDataFolder(CSIDL_COMMON_APPDATA, value);
    case kLocalSiloData: return GetSiloDataFolder(CSIDL_LOCAL_APPDATA, value);
    case kProgramFilesX64: return ReadProgramFiles64(L"ProgramFilesDir", value);
    case kProgramFilesCommonX64: return ReadProgramFiles64(L"CommonFilesDir", value);
    default: {
        wchar_t path[MAX_PATH] = {};
        HRESULT hr = ::SHGetFolderPathW(nullptr, static_cast<int>(folder.value), nullptr, SHGFP_TYPE_DEFAULT, path);
        if (FAILED(hr) || !path[0]) {
            TraceError(L"qlLib::ExpandPath(158) : SHGetFolderPath(%s) failed: 0x%08x", folder.name, hr);
            return false;
        }
        value = path;
        return true;
    }
    }
}

bool OpenPathMap(CRegKeyHandle& key) {
    std::wstring root;
    if (!CIsolation::GetIsolationRoot(root)) {
        TraceWarning(L"qlLib::ExpandPath(170) : no isolation root: the path expansion map is not read");
        return false;
    }
    root += L"\\Quillon\\PathExpansionMap";
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, SharedKeyReadAccess(), key.Receive());
    if (rc != ERROR_SUCCESS) {
        TraceWarning(L"qlLib::ExpandPath(176) : failed to open %s (%ld)", root.c_str(), rc);
        return false;
    }
    return true;
}

bool ExpandWith(HKEY pathMap, const wchar_t* text, std::wstring& out) {
    out = text ? text : L"";
    if (out.size() < 3) return true;
    std::vector<std::wstring> expanded;   // names met in this call: a name met twice loops
    for (;;) {
        size_t first = out.find(L'%');
        if (first == std::wstring::npos) return true;
        size_t second = out.find(L'%', first + 1);
        if (second == std::wstring::npos) {
            TraceError(L"qlLib::ExpandPath(191) : unterminated token in %s", out.c_str());
            return false;
        }
        std::wstring token = out.substr(first, second - first + 1);
        std::wstring name = token.substr(1, token.size() - 2);
        if (name.empty()) {
            TraceError(L"qlLib::ExpandPath(197) : empty token in %s", out.c_str());
            return false;
        }
        for (wchar_t& c : name) c = static_cast<wchar_t>(::towlower(c));
        for (const std::wstring& seen : expanded) {
            if (seen == name) {
                TraceError(L"qlLib::ExpandPath(203) : %s refers to itself", token.c_str());
                return false;
            }
        }
        expanded.push_back(name);
        std::wstring value;
        if (!pathMap || !ReadRegString(pathMap, name.c_str(), value)) {
            const CFolderName* folder = FindFolder(name.c_str());
            if (!folder) {
                TraceError(L"qlLib::ExpandPath(212) : unknown token %s", token.c_str());
                return false;
            }
            if (!ExpandFolder(*folder, value)) return false;
        }
        for (size_t at = out.find(token); at != std::wstring::npos; at = out.find(token, at + value.size())) {
            out.replace(at, token.size(), value);
        }
    }
}

}  // namespace

bool GetSiloDataFolder(int csidl, std::wstring& path) {
    try {
        wchar_t folder[MAX_PATH] = {};
        if (!::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE)) {
            TraceError(L"qlLib::GetSiloDataFolder(229) : SHGetSpecialFolderPath(%d) failed", csidl);
            return false;
        }
        // The product may name its own data folder in its path map; at most 49 characters of it
        // are used. A name that leads back here (through a silo data token) is not followed.
        static thread_local bool inside = false;
        if (inside) {
            TraceError(L"qlLib::GetSiloDataFolder(233) : the data extension refers to a silo data folder");
            return false;
        }
        std::wstring extension, raw;
        CRegKeyHandle map;
        inside = true;
        bool named = OpenPathMap(map) && ReadRegString(map.Get(), L"appdataextension", raw) &&
                     ExpandWith(map.Get(), raw.c_str(), extension) && !extension.empty();
        inside = false;
        if (!named) extension = L"Korvanta";
        if (extension.size() > 49) extension.resize(49);
        std::wstring silo;
        if (!CIsolation::GetSiloID(silo)) {
            TraceError(L"qlLib::GetSiloDataFolder(238) : no silo identity");
            return false;
        }
        if (!::PathAppendW(folder, extension.c_str()) || !::PathAppendW(folder, silo.c_str())) {
            TraceError(L"qlLib::GetSiloDataFolder(242) : path too long");
            return false;
        }
        path = folder;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ExpandPath(const wchar_t* text, std::wstring& out, HKEY pathMap) {
    try {
        CRegKeyHandle own;
        if (!pathMap && OpenPathMap(own)) pathMap = own.Get();
        return ExpandWith(pathMap, text, out);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
