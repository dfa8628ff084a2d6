#include "Isolation.h"

#include <windows.h>

#include <new>

#include "AdminToken.h"
#include "CriticalSection.h"
#include "NoLinkFile.h"
#include "PathUtils.h"
#include "ProtectedFolder.h"
#include "SplitPath.h"
#include "Trace.h"

namespace qlLib {

const wchar_t* const CIsolation::DefaultRegistryHive = L"Software\\Korvanta\\Isolation";

namespace {

struct CIsolationState {
    CCriticalSection lock;
    std::wstring silo;
    std::wstring hive;
    std::wstring ignored;   // an isolation file not read for want of rights on its folder
};

CIsolationState& State() {
    static CIsolationState s_state;
    return s_state;
}

bool IsHex(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Parent folder of a folder without trailing backslash; false at a drive root or UNC share.
bool ParentFolder(const std::wstring& folder, std::wstring& parent) {
    const size_t slash = folder.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    if (folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\') {
        // "\\server\share" is the top of a UNC path.
        size_t server = folder.find(L'\\', 2);
        if (server == std::wstring::npos || slash <= server) return false;
    }
    parent = folder.substr(0, slash);
    return !parent.empty();
}

// The isolation file this process may read. With administrator rights only the one in the
// program's own folder, when that folder is protected and the file is no link; one found anywhere
// else on the way up is given back as ignored.
bool FindReadableIsolationFile(const std::wstring& programFolder, std::wstring& iniPath, std::wstring& ignored) {
    if (ProcessTokenKind() == eToken_User) return CIsolation::FindIsolationFile(programFolder, iniPath);
    std::wstring found, own;
    if (!CIsolation::FindIsolationFile(programFolder, found)) return false;
    if (JoinPath(own, programFolder, L"isolate.ini") && SamePath(found, own) && IsProtectedFolderAt(programFolder) &&
        IsPlainFileAt(own)) {
        iniPath.swap(found);
        return true;
    }
    ignored.swap(found);
    return false;
}

}  // namespace

bool CIsolation::IsValidSiloID(const wchar_t* text) {
    if (!text) return false;
    static const int groups[] = {8, 4, 4, 4, 12};
    if (text[0] != L'{') return false;
    const wchar_t* p = text + 1;
    for (int g = 0; g < 5; ++g) {
        for (int i = 0; i < groups[g]; ++i, ++p)
            if (!IsHex(*p)) return false;
        if (g < 4 && *p++ != L'-') return false;
    }
    return p[0] == L'}' && p[1] == L'\0';
}

bool CIsolation::FindIsolationFile(const std::wstring& startFolder, std::wstring& iniPath) {
    try {
        std::wstring folder = startFolder;
        RemoveTrailingBackslashes(folder);
        for (int depth = 0; depth < 256 && !folder.empty(); ++depth) {
            std::wstring candidate;
            if (!JoinPath(candidate, folder, L"isolate.ini")) return false;
            const DWORD attributes = ::GetFileAttributesW(candidate.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                iniPath.swap(candidate);
                return true;
            }
            std::wstring parent;
            if (!ParentFolder(folder, parent)) break;
            folder.swap(parent);
        }
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CIsolation::ReadIsolationFile(const std::wstring& iniPath, std::wstring& silo, std::wstring& hive) {
    wchar_t buffer[1024];
    ::GetPrivateProfileStringW(L"isolation", L"silo", L"", buffer, 1024, iniPath.c_str());
    if (!IsValidSiloID(buffer)) return false;
    try {
        silo = buffer;
        ::GetPrivateProfileStringW(L"isolation", L"reghive", DefaultRegistryHive, buffer, 1024, iniPath.c_str());
        hive = buffer[0] ? buffer : DefaultRegistryHive;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CIsolation::GetIsolationRoot(std::wstring& root) {
    CIsolationState& state = State();
    CCriticalSectionLock lock(state.lock);
    try {
        if (state.silo.empty()) {
            // Not resolved yet: look for isolate.ini (again: it may have appeared meanwhile).
            std::wstring exe, ini, silo, hive;
            CSplitPath split;
            if (!GetModulePath(nullptr, exe) || !split.Split(exe)) return false;
            if (!FindReadableIsolationFile(split.DriveAndFolder(), ini, state.ignored) ||
                !ReadIsolationFile(ini, silo, hive))
                return false;
            state.silo = silo;
            if (state.hive.empty()) state.hive = hive;
        }
        const std::wstring& hive = state.hive.empty() ? std::wstring(DefaultRegistryHive) : state.hive;
        return JoinPath(root, hive, state.silo);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void CIsolation::ReportIgnoredFile() {
    CIsolationState& state = State();
    std::wstring ignored;
    {
        CCriticalSectionLock lock(state.lock);
        ignored.swap(state.ignored);
    }
    if (!ignored.empty())
        TraceWarning(L"qlLib::CIsolation::ReportIgnoredFile : %s ignored: with administrator rights the isolation file "
                     L"is read from the program's own folder only, and only when only administrators may write there",
                     ignored.c_str());
}

bool CIsolation::GetSiloID(std::wstring& silo) {
    std::wstring root;
    if (!GetIsolationRoot(root)) return false;
    CIsolationState& state = State();
    CCriticalSectionLock lock(state.lock);
    try {
        silo = state.silo;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CIsolation::SetSiloID(const wchar_t* silo) {
    if (!IsValidSiloID(silo)) return false;
    CIsolationState& state = State();
    CCriticalSectionLock lock(state.lock);
    try {
        state.silo = silo;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CIsolation::SetSiloRegistryRoot(const wchar_t* hive) {
    if (!hive || !*hive) return false;
    CIsolationState& state = State();
    CCriticalSectionLock lock(state.lock);
    try {
        state.hive = hive;
        RemoveTrailingBackslashes(state.hive);
        return !state.hive.empty();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
