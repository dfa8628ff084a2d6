#include "runtime/ProtectedFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <new>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/TempFolder.h"

namespace qlLib {

namespace {

// Rights that let a holder put something into the folder, take something out, or change who may.
const DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                           MAXIMUM_ALLOWED;

const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const wchar_t kProbeSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The owner the system records for a folder this process creates as the administrators'. Found
// once, on a folder of a new name in the temp folder that is removed again at once.
struct COwnCreations {
    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    bool known = false;
};
COwnCreations g_ownCreations;

DWORD CreateProbe(const std::wstring& path) {
    for (const wchar_t* sddl : {kProbeSddl, kProbeSddl + 4}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            return ::GetLastError();
        CLocalMemory memory(descriptor);
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        if (::CreateDirectoryW(path.c_str(), &attributes)) return ERROR_SUCCESS;
        // A token that may not name the administrators as owner gets its default owner.
        if (::GetLastError() != ERROR_INVALID_OWNER) return ::GetLastError();
    }
    return ERROR_INVALID_OWNER;
}

BOOL CALLBACK FindOwnCreationsOwner(PINIT_ONCE, PVOID, PVOID*) {
    std::wstring temp;
    if (!GetTempFolder(temp)) return TRUE;
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    DWORD seed = ::GetCurrentProcessId() ^ counter.LowPart;
    for (int attempt = 0; attempt < 8; ++attempt) {
        seed = seed * 1664525u + 1013904223u;
        std::wstring name, path;
        if (!FormatString(name, L"~VelmorOwner-%08lX", static_cast<unsigned long>(seed)) || !JoinPath(path, temp, name))
            return TRUE;
        const DWORD error = CreateProbe(path);
        if (error == ERROR_ALREADY_EXISTS) continue;
        if (error != ERROR_SUCCESS) return TRUE;
        // Only the folder just made is judged, and it goes again through the same handle.
        CFileHandle folder(::CreateFileW(path.c_str(), READ_CONTROL | DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
        if (!folder) {
            ::RemoveDirectoryW(path.c_str());
            return TRUE;
        }
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::GetSecurityInfo(folder.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) == ERROR_SUCCESS) {
            CLocalMemory memory(descriptor);
            if (owner && ::IsValidSid(owner) && ::CopySid(sizeof(g_ownCreations.sid), g_ownCreations.sid, owner))
                g_ownCreations.known = true;
        }
        FILE_DISPOSITION_INFO disposition = {};
        disposition.DeleteFile = TRUE;
        if (!::SetFileInformationByHandle(folder.Get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
            folder.Reset();
            ::RemoveDirectoryW(path.c_str());
        }
        return TRUE;
    }
    return TRUE;
}

bool IsWellKnownTrusted(PSID sid) {
    if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
    PSID installer = nullptr;
    if (!::ConvertStringSidToSidW(kTrustedInstaller, &installer)) return false;
    CLocalMemory memory(installer);
    return ::EqualSid(sid, installer) != FALSE;
}

bool IsTrustedSid(PSID sid) {
    if (IsWellKnownTrusted(sid)) return true;
    ::InitOnceExecuteOnce(&g_ownCreations.once, FindOwnCreationsOwner, nullptr, nullptr);
    return g_ownCreations.known && !IsWellKnownTrusted(g_ownCreations.sid) &&
           ::EqualSid(sid, g_ownCreations.sid) != FALSE;
}

}  // namespace

bool IsProtectedSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    CLocalMemory memory(descriptor);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner || !IsTrustedSid(owner)) return false;
    // No DACL at all lets everybody do everything.
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;   // nothing else is expected here
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!(ace->Mask & kWriteRights) || IsTrustedSid(sid)) continue;
        // What the creator of a child may do to it: only the trusted can create children here.
        if (::IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
        return false;
    }
    return true;
}

bool ReadSecuritySddl(HANDLE handle, std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    CLocalMemory memory(descriptor);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        return false;
    CLocalMemory textMemory(text);
    try {
        sddl = text;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool IsProtectedFolderAt(const std::wstring& folder) {
    CFileHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return false;
    DWORD attributes = 0;
    if (!QueryOpenFile(handle.Get(), attributes) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    std::wstring finalPath, sddl;
    return FinalPathOf(handle.Get(), finalPath) && SamePath(finalPath, folder) && ReadSecuritySddl(handle.Get(), sddl) &&
           IsProtectedSddl(sddl);
}

}  // namespace qlLib
