#include "system/Utils.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <new>
#include <vector>

#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "system/EnsureAccess.h"
#include "system/NoLinkDelete.h"
#include "system/SecurityDump.h"

namespace TARN {

namespace {

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

const wchar_t* Printable(const wchar_t* text) { return text ? text : L"(null)"; }

HRESULT Walk(const wchar_t* folder, const wchar_t* pattern, const wchar_t* top, bool recurse,
             CUtils::EnumCallback callback, void* context, bool list) {
    WIN32_FIND_DATAW announcement = {};
    if (!callback(folder, top, announcement, context)) return CUtils::kCancelled;
    if (!list) return S_OK;

    std::wstring query;
    if (!qlLib::JoinPath(query, folder, pattern)) return E_OUTOFMEMORY;
    WIN32_FIND_DATAW entry;
    qlLib::CFindHandle find(::FindFirstFileW(query.c_str(), &entry));
    if (!find) return CUtils::kNotFound;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
            if (recurse) {
                std::wstring subfolder;
                if (!qlLib::JoinPath(subfolder, folder, entry.cFileName)) return E_OUTOFMEMORY;
                // A junction or folder symlink leads out of the tree: it is never listed.
                const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                if (Walk(subfolder.c_str(), pattern, top ? top : folder, recurse, callback, context, !link) ==
                    CUtils::kCancelled) {
                    return CUtils::kCancelled;
                }
            }
            if (!callback(folder, top, entry, context)) return CUtils::kCancelled;
        } else if (!callback(folder, top ? top : folder, entry, context)) {
            return CUtils::kCancelled;
        }
    } while (::FindNextFileW(find.Get(), &entry));
    return S_OK;
}

}  // namespace

HRESULT CUtils::EnumFolder(const wchar_t* folder, const wchar_t* pattern, const wchar_t* top, bool recurse,
                           EnumCallback callback, void* context) {
    if (!callback || !folder || !pattern) {
        TraceError(L"TARN::CUtils::EnumFolder(72) : invalid parameter");
        return E_INVALIDARG;
    }
    return Walk(folder, pattern, top, recurse, callback, context, true);
}

void CUtils::GrantFullAccess(const wchar_t* path) {
    const CAccessSpec spec = CAccessSpec::Inheritable(FILE_ALL_ACCESS);
    CGrantPrincipals principals;
    for (size_t i = 0; i < principals.Count(); ++i) {
        CRightsChecker::Exception error;
        FileEnsureAccess(path, spec, principals.At(i), error);
        if (error.code) {
            TraceError(L"TARN::CUtils::GrantFullAccess(95) : FileEnsureAccess %s threw an exception: %d", path,
                       static_cast<int>(error.code));
        } else if (FAILED(error.hr)) {
            TraceError(L"TARN::CUtils::GrantFullAccess(98) : FileEnsureAccess %s threw an exception: (0x%08x)", path,
                       error.hr);
        }
    }
}

void CUtils::DumpSecurity(const wchar_t* path) {
    DumpSecurityDescriptor(path, SE_FILE_OBJECT);
}

void CUtils::DumpSecurityWithParent(const wchar_t* path) {
    DumpSecurity(path);
    try {
        std::vector<wchar_t> parent(path, path + wcslen(path) + 1);
        if (::PathRemoveFileSpecW(parent.data())) DumpSecurity(parent.data());
    } catch (const std::bad_alloc&) {
        TraceWarning(L"TARN::CUtils::DumpSecurityWithParent(130) : out of memory");
    }
}

HRESULT CUtils::DeleteFileW(const wchar_t* path, bool allowRestart) {
    if (!path || !*path) {
        TraceError(L"TARN::CUtils::DeleteFileW(136) : invalid path: %s", Printable(path));
        return E_INVALIDARG;
    }
    return CNoLinkDelete(allowRestart, false).RemoveFile(path);
}

HRESULT CUtils::DeleteFolder(const wchar_t* path, bool allowRestart, bool report) {
    if (!path || IsProtectedFolder(path)) {
        TraceError(L"TARN::CUtils::DeleteFolder(217) : invalid path: %s", Printable(path));
        return E_INVALIDARG;
    }
    return CNoLinkDelete(allowRestart, report).RemoveTree(path);
}

bool CUtils::DeleteEmptyFolderHandler(const wchar_t* folder, const wchar_t* /*top*/, const WIN32_FIND_DATAW& entry,
                                      void* /*context*/) {
    if (!entry.cFileName[0] || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    std::wstring path;
    if (!qlLib::JoinPath(path, folder, entry.cFileName)) return false;
    if (::RemoveDirectoryW(path.c_str())) return true;
    TraceInfo(L"delete on reboot: %s", path.c_str());
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        TraceError(L"TARN::CUtils::DeleteEmptyFolderHandler(265) : MoveFileEx failed to delete folder: %s (%lu)\r\n",
                   path.c_str(), ::GetLastError());
    }
    return true;
}

HRESULT CUtils::DeleteEmptyFolders(const wchar_t* path) {
    if (!path || wcslen(path) <= 3) {
        TraceError(L"TARN::CUtils::DeleteEmptyFolders(273) : invalid path: %s", Printable(path));
        return E_INVALIDARG;
    }
    const DWORD attributes = ::GetFileAttributesW(path);
    if (!IsLink(attributes)) {
        const HRESULT walk = EnumFolder(path, L"*.*", nullptr, true, DeleteEmptyFolderHandler, nullptr);
        // Only a folder that is not there counts as done; one that cannot be listed is scheduled.
        if (walk == kNotFound && (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            return S_OK;
        }
    }
    if (::RemoveDirectoryW(path)) return S_OK;
    TraceInfo(L"delete on reboot: %s", path);
    if (!::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        TraceError(L"TARN::CUtils::DeleteEmptyFolders(287) : MoveFileEx failed to delete folder: %s (%lu)\r\n", path,
                   ::GetLastError());
    }
    return kRebootRequired;
}

bool CUtils::EnsureFolder(const std::wstring& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    DWORD error = 0;
    if (qlLib::CreateFolderTree(folder, &error)) return true;
    GrantFullAccess(folder.c_str());
    if (qlLib::CreateFolderTree(folder, &error)) return true;
    TraceError(L"TARN::CUtils::EnsureFolder(300) : CreateDirectory failed: %s (%lu)\r\n", folder.c_str(), error);
    return false;
}

HRESULT CUtils::CopyFiles(const wchar_t* source, const wchar_t* destination) {
    if (!source || wcslen(source) <= 3) {
        TraceError(L"TARN::CUtils::CopyFiles(306) : invalid path: %s", Printable(source));
        return E_INVALIDARG;
    }
    if (!destination || !*destination) {
        TraceError(L"TARN::CUtils::CopyFiles(310) : invalid path: %s", Printable(destination));
        return E_INVALIDARG;
    }
    try {
        CCopyContext context = {L".DLL", destination, 0, 1, 0};
        if (!EnsureFolder(context.destination)) return E_ACCESSDENIED;
        const HRESULT walk = EnumFolder(source, L"*.*", nullptr, true, CopyFilesHandler, &context);
        return (walk == S_OK || walk == kNotFound) ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CUtils::CopyFiles(319) : out of memory");
        return E_OUTOFMEMORY;
    }
}

bool CUtils::CopyFilesHandler(const wchar_t* folder, const wchar_t* /*top*/, const WIN32_FIND_DATAW& entry,
                              void* context) {
    if (!context) {
        TraceError(L"TARN::CUtils::CopyFilesHandler(327) : invalid parameter");
        return false;
    }
    CCopyContext& copy = *static_cast<CCopyContext*>(context);

    if (!entry.cFileName[0]) {
        // A folder is announced: the destination follows it, except for the top folder.
        if (!copy.mirrorSubfolders || copy.depth++ == 0) return true;
        const wchar_t* slash = wcsrchr(folder, L'\\');
        if (!qlLib::JoinPath(copy.destination, copy.destination, slash ? slash + 1 : folder)) return false;
        const size_t first = copy.destination.find_first_not_of(L'\\');
        copy.destination.erase(0, first == std::wstring::npos ? copy.destination.size() : first);
        return true;
    }
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // The folder's contents are done: back to its parent's destination.
        if (!copy.mirrorSubfolders || copy.depth-- == 1) return true;
        const size_t cut = copy.destination.rfind(L'\\');
        copy.destination.erase(cut == std::wstring::npos ? 0 : cut);
        return true;
    }

    std::wstring source, target;
    if (!qlLib::JoinPath(source, folder, entry.cFileName) ||
        !qlLib::JoinPath(target, copy.destination, entry.cFileName)) {
        return false;
    }
    if (!copy.overwrite && ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    if (copy.extension) {
        const wchar_t* dot = wcsrchr(entry.cFileName, L'.');
        if (!qlLib::EqualsNoCase(dot ? dot : L"", copy.extension)) return true;
    }
    if (!copy.destination.empty() && !EnsureFolder(copy.destination)) return false;
    if (!::CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        TraceError(L"TARN::CUtils::CopyFilesHandler(361) : CopyFile failed: %s -> %s (%lu)", source.c_str(),
                   target.c_str(), ::GetLastError());
        return false;
    }
    TraceInfo(L"Copy: %s -> %s", source.c_str(), target.c_str());
    return true;
}

bool CUtils::GetInstallerRoot(std::wstring& path) {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE)) {
        TraceError(L"TARN::CUtils::GetInstallerRoot(372) :  SHGetSpecialFolderPath() == FALSE");
        return false;
    }
    if (!folder[0]) return false;
    return qlLib::JoinPath(path, folder, L"VelmorInstaller");
}

}  // namespace TARN
