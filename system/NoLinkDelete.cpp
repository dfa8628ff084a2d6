#include "system/NoLinkDelete.h"

#include <shlwapi.h>

#include <new>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"
#include "system/Utils.h"

namespace TARN {

namespace {

// No delete sharing: while a handle is held, nobody renames, replaces or deletes what it names.
const DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kLook = FILE_READ_ATTRIBUTES | SYNCHRONIZE;

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What deleting needs; changing attributes only where read-only must go first.
DWORD RemoveAccess(DWORD attributes) {
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    return DELETE | kLook | (readOnly ? FILE_WRITE_ATTRIBUTES : 0);
}

}  // namespace

// An entry opened without following a link, and what its handle says about it.
struct CNoLinkDelete::CEntry {
    CEntry() = default;
    explicit CEntry(const std::wstring& entryPath) : path(entryPath) {}

    std::wstring path;
    std::wstring finalPath;
    qlLib::CFileHandle handle;
    DWORD access = 0;          // what the handle was opened with
    DWORD error = 0;           // why it could not be opened for deletion
    bool inPlace = false;      // its final path is its folder's final path and its name
    mutable bool known = false;
    mutable DWORD attributes = 0;
    mutable DWORD links = 0;

    // What the handle says the entry is, asked for once and only where it matters: a plain file
    // goes without it.
    void Look() const {
        if (known || !handle) return;
        known = true;
        FILE_ATTRIBUTE_TAG_INFO tag = {};
        FILE_STANDARD_INFO standard = {};
        if (::GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof(tag)))
            attributes = tag.FileAttributes;
        if (::GetFileInformationByHandleEx(handle.Get(), FileStandardInfo, &standard, sizeof(standard)))
            links = standard.NumberOfLinks;
    }
    bool IsFolder() const {
        Look();
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    bool IsLink() const {
        Look();
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    bool CanList() const { return handle && (access & FILE_LIST_DIRECTORY); }
    // Rights and attributes may be changed here without reaching anything else.
    bool IsOwn() const { return handle && inPlace && !IsLink() && (IsFolder() || links == 1); }

    // Opens with access, or with less (a folder to list without deleting it, or only to look at
    // it) when that is refused, and judges it against the final path it must have.
    void Open(DWORD wanted, DWORD flags, const std::wstring& expected) {
        const DWORD tries[] = {wanted, (wanted & FILE_LIST_DIRECTORY) ? (wanted & ~DELETE) : wanted, kLook};
        for (DWORD i = 0; i < 3 && !handle; ++i) {
            if (i > 0 && tries[i] == tries[i - 1]) continue;
            handle.Reset(::CreateFileW(path.c_str(), tries[i], kShare, nullptr, OPEN_EXISTING,
                                       flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (handle) access = tries[i];
            else if (i == 0) error = ::GetLastError();
            if (i == 0 && IsMissing(error)) return;
        }
        // Where the system opened what a link leads to instead of the link itself (Wine shows links
        // to files as files and follows them), the final path tells.
        inPlace = handle && qlLib::FinalPathOf(handle.Get(), finalPath) && qlLib::SamePath(finalPath, expected);
    }

    // Deletes it through its handle (read-only or not); false with the error when it stays.
    bool Remove(DWORD& failure) {
        if (!(access & DELETE) || !inPlace) {
            failure = error ? error : qlLib::kErrorLinkRefused;
            return false;
        }
        if ((access & FILE_WRITE_ATTRIBUTES) && IsOwn() && (attributes & FILE_ATTRIBUTE_READONLY)) {
            FILE_BASIC_INFO basic = {};
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(handle.Get(), FileBasicInfo, &basic, sizeof(basic));
        }
        FILE_DISPOSITION_INFO disposition = {};
        disposition.DeleteFile = TRUE;
        if (!::SetFileInformationByHandle(handle.Get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
            failure = ::GetLastError();
            return false;
        }
        handle.Reset();   // gone now, before its folder goes
        return true;
    }

    // Full access (CUtils::GrantFullAccess) on nothing but this entry: the handle held, without
    // delete sharing as are the folders above, keeps the name on it meanwhile.
    void Grant() const {
        if (IsOwn()) CUtils::GrantFullAccess(path.c_str());
    }
};

CNoLinkDelete::CNoLinkDelete(bool allowRestart, bool report)
    : m_allowRestart(allowRestart), m_report(report), m_scheduled(false) {}

// Opens the folder that holds path, held so that it keeps its place (links above it are the
// caller's and are followed), and names the entry: its path and the final path it must have.
// False when that folder cannot be opened (parent.error says why).
bool CNoLinkDelete::Locate(const wchar_t* path, CEntry& parent, CEntry& entry, std::wstring& expected) {
    std::wstring full;
    if (!CUtils::CanonicalPath(path, full)) return false;
    qlLib::RemoveTrailingBackslashes(full);
    std::vector<wchar_t> folder(full.begin(), full.end());
    folder.push_back(L'\0');
    const std::wstring name = ::PathFindFileNameW(folder.data());
    if (name.empty() || !::PathRemoveFileSpecW(folder.data())) return false;
    parent.path = folder.data();
    parent.handle.Reset(::CreateFileW(parent.path.c_str(), kLook, kShare, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent.handle) {
        parent.error = ::GetLastError();
        return false;
    }
    if (!qlLib::FinalPathOf(parent.handle.Get(), parent.finalPath)) return false;
    if (!qlLib::JoinPath(entry.path, parent.path, name) || !qlLib::JoinPath(expected, parent.finalPath, name))
        throw std::bad_alloc();
    return true;
}

void CNoLinkDelete::List(HANDLE folder, std::vector<CListed>& entries) {
    std::vector<LONGLONG> buffer(8 * 1024);   // 64 KiB, aligned for the records
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(folder, kind, buffer.data(), size)) {
        kind = FileIdBothDirectoryInfo;
        for (DWORD at = 0;;) {
            const auto* record =
                reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<const BYTE*>(buffer.data()) + at);
            std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.push_back({std::move(name), record->FileAttributes});
            if (!record->NextEntryOffset || record->NextEntryOffset >= size - at) break;
            at += record->NextEntryOffset;
        }
    }
}

// What a held folder holds, contents before their folders; false stops the walk. A listing cut
// short leaves the rest, and the folder's own removal reports it.
bool CNoLinkDelete::Empty(const CEntry& folder) {
    std::vector<CListed> entries;
    List(folder.handle.Get(), entries);
    Listed(folder.path);
    for (const CListed& listed : entries) {
        if (!DeleteEntry(folder, listed)) return false;
    }
    return true;
}

bool CNoLinkDelete::DeleteEntry(const CEntry& folder, const CListed& listed) {
    CEntry entry;
    std::wstring expected;
    if (!qlLib::JoinPath(entry.path, folder.path, listed.name) ||
        !qlLib::JoinPath(expected, folder.finalPath, listed.name))
        return false;
    const bool isFolder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isFolder) TraceInfo(L"DeleteFile: %s", entry.path.c_str());
    entry.Open(RemoveAccess(listed.attributes) | (isFolder ? FILE_LIST_DIRECTORY : 0), FILE_FLAG_BACKUP_SEMANTICS,
               expected);
    DWORD error = entry.error;
    if (entry.handle) {
        // Not where its name says: somebody else's, left as it is.
        if (!entry.inPlace) return Leave(entry);
        if (isFolder) {
            // No longer a folder, or a link: it goes as itself or stays, and is never entered.
            if (!entry.IsFolder() || entry.IsLink()) return entry.Remove(error) || Leave(entry);
            if (CUtils::IsProtectedFinalPath(entry.finalPath)) return !m_report;
            if (entry.CanList() && !Empty(entry)) return false;
        }
        if (entry.Remove(error)) return true;
        // A link that stays is never granted or scheduled.
        if (entry.IsLink()) return Leave(entry);
    } else if (IsMissing(error)) {
        return true;
    }
    return Stays(folder, entry, isFolder, error);
}

// An entry that cannot go now: scheduled for the restart (files only when that is allowed).
bool CNoLinkDelete::Stays(const CEntry& folder, const CEntry& entry, bool isFolder, DWORD error) {
    const wchar_t* path = entry.path.c_str();
    if (isFolder) {
        TraceInfo(L"delete on reboot: %s", path);
        entry.Grant();
        if (::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return true;
        error = ::GetLastError();
        if (m_report)
            TraceError(L"TARN::CUtils::DeleteHandler(185) : MoveFileEx failed to delete folder: %s (%lu)", path, error);
    } else if (!m_allowRestart) {
        TraceWarning(L"TARN::CUtils::DeleteHandler(195) : failed to delete file: %s (%lu)", path, error);
    } else {
        TraceInfo(L"delete on reboot: %s", path);
        entry.Grant();
        if (::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            m_scheduled = true;
            return true;
        }
        error = ::GetLastError();
        TraceWarning(L"TARN::CUtils::DeleteHandler(204) : MoveFileEx failed to delete file: %s (%lu)\r\n", path, error);
    }
    if (error == ERROR_ACCESS_DENIED) {
        CUtils::DumpSecurity(path);
        CUtils::DumpSecurity(folder.path.c_str());
    }
    return !m_report;
}

bool CNoLinkDelete::Leave(const CEntry& entry) {
    TraceWarning(L"TARN::CUtils::DeleteHandler(212) : not deleted, a link or not where its name says: %s",
                 entry.path.c_str());
    return !m_report;
}

HRESULT CNoLinkDelete::RemoveTree(const wchar_t* path) {
    try {
        CEntry parent, top;
        std::wstring expected;
        if (!Locate(path, parent, top, expected) && IsMissing(parent.error)) return S_OK;
        HRESULT walk = E_FAIL;   // until the folder has been listed
        DWORD error = parent.error;
        if (!top.path.empty()) {
            const DWORD access = RemoveAccess(::GetFileAttributesW(top.path.c_str())) | FILE_LIST_DIRECTORY;
            top.Open(access, FILE_FLAG_BACKUP_SEMANTICS, expected);
            if (!top.handle && IsMissing(top.error)) return S_OK;
            if (top.handle && !top.IsFolder()) return S_OK;   // a file: not this call's to delete
            if (!top.CanList() && top.error == ERROR_ACCESS_DENIED && top.IsOwn()) {
                // The folder is there but refuses to be listed: gain access and try once more.
                top.Grant();
                top = CEntry(top.path);
                top.Open(access, FILE_FLAG_BACKUP_SEMANTICS, expected);
            }
            error = top.error;
            if (top.handle && (!top.inPlace || top.IsLink())) {
                Leave(top);   // a link given as the folder: removed as itself below, never walked
                walk = S_OK;
            } else if (top.CanList()) {
                walk = Empty(top) ? S_OK : E_FAIL;
            }
        }
        if (!top.handle || !top.Remove(error)) {
            top.handle.Reset();
            if (m_allowRestart) {
                TraceInfo(L"delete on reboot: %s", path);
                if (::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
                    // A walk that stopped at a failure left entries that the restart cannot remove.
                    return (FAILED(walk) && m_report) ? E_FAIL : CUtils::kRebootRequired;
                }
                error = ::GetLastError();
                if (!m_report) return S_OK;
                TraceError(L"TARN::CUtils::DeleteFolder(246) : MoveFileEx failed to delete folder: %s (%lu)\r\n", path,
                           error);
                return E_FAIL;
            }
            if (m_report && error != ERROR_DIR_NOT_EMPTY) {
                TraceWarning(L"TARN::CUtils::DeleteFolder(250) : failed to delete folder: %s (%lu)\r\n", path, error);
            }
        }
        if (FAILED(walk)) return E_FAIL;
        return m_scheduled ? CUtils::kRebootRequired : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Deletes path as a file through its handle when it lies where its name says.
bool CNoLinkDelete::TryRemoveFile(CEntry& file, const std::wstring& expected, DWORD& error) {
    file.Open(RemoveAccess(::GetFileAttributesW(file.path.c_str())), 0, expected);
    error = file.error;
    if (!file.handle) return false;
    if (file.IsFolder()) {
        error = ERROR_ACCESS_DENIED;   // as the system answers for a folder deleted as a file
        return false;
    }
    return file.Remove(error);
}

HRESULT CNoLinkDelete::RemoveFile(const wchar_t* path) {
    try {
        CEntry parent, file;
        std::wstring expected;
        if (!Locate(path, parent, file, expected)) {
            if (IsMissing(parent.error)) return S_OK;
            file.path = path;   // judged against no folder: never taken for where its name says
        }
        DWORD error = 0;
        if (TryRemoveFile(file, expected, error) || IsMissing(error)) return S_OK;
        if (error == qlLib::kErrorLinkRefused) {
            // What the name leads to lies elsewhere: neither deleted nor left for the restart.
            TraceError(L"TARN::CUtils::DeleteFileW(156) : failed to delete file: %s (%lu)", path, error);
            return CUtils::ErrorResult(error);
        }

        if (m_allowRestart) {
            TraceInfo(L"delete on reboot: %s", path);
            if (error == ERROR_ACCESS_DENIED) file.Grant();
            if (::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return CUtils::kRebootRequired;
            const DWORD moveError = ::GetLastError();
            TraceError(L"TARN::CUtils::DeleteFileW(151) : MoveFileEx failed to delete file: %s (%lu)\r\n", path,
                       moveError);
            if (moveError == ERROR_ACCESS_DENIED) CUtils::DumpSecurityWithParent(path);
            return CUtils::ErrorResult(moveError);
        }

        TraceError(L"TARN::CUtils::DeleteFileW(156) : failed to delete file: %s (%lu)", path, error);
        if (error == ERROR_ACCESS_DENIED) file.Grant();
        CEntry again(file.path);
        file.handle.Reset();
        DWORD retryError = 0;
        if (TryRemoveFile(again, expected, retryError) || IsMissing(retryError)) return S_OK;
        if (error == ERROR_ACCESS_DENIED || retryError == ERROR_ACCESS_DENIED) CUtils::DumpSecurityWithParent(path);
        return CUtils::ErrorResult(error);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace TARN
