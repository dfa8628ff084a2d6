#include "runtime/NoLinkFile.h"

#include <new>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/PathUtils.h"

namespace qlLib {

namespace {

// The folder part of a path and its last component; false for a path without a folder.
bool SplitLast(const std::wstring& path, std::wstring& folder, std::wstring& name) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 >= path.size()) return false;
    folder = path.substr(0, slash);
    name = path.substr(slash + 1);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';   // "C:" alone is the current folder
    return true;
}

// Whether a path's last component is no link: its final path is its parent's final path and its
// name. A path without a parent (a drive root) passes.
bool IsNoLink(const std::wstring& path, const std::wstring& pathFinal) {
    std::wstring parent, name, parentFinal, expected;
    if (!SplitLast(path, parent, name)) return true;
    return FinalPathOf(parent, parentFinal) && JoinPath(expected, parentFinal, name) && SamePath(pathFinal, expected);
}

// The file, and the folder it lies in, are what their names say: neither is a link. Links higher
// up are the business of whoever made those folders (see the installer's own folders).
bool LiesInItsFolder(HANDLE file, const std::wstring& path) {
    std::wstring folder, name, fileFinal, folderFinal, expected;
    // The folder's final path serves both judgements: asked once, it is one view of the folder.
    return SplitLast(path, folder, name) && FinalPathOf(file, fileFinal) && FinalPathOf(folder, folderFinal) &&
           JoinPath(expected, folderFinal, name) && SamePath(fileFinal, expected) && IsNoLink(folder, folderFinal);
}

void RemoveOpenFile(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

bool FinalPathOf(HANDLE handle, std::wstring& path) {
    try {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (length >= buffer.size()) {
            buffer.resize(static_cast<size_t>(length) + 1);
            length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        }
        if (length == 0 || length >= buffer.size()) return false;
        std::wstring result(buffer.data(), length);
        if (result.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
            result.replace(0, 8, L"\\\\");
        } else if (result.compare(0, 4, L"\\\\?\\") == 0) {
            result.erase(0, 4);
        }
        path.swap(result);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FinalPathOf(const std::wstring& path, std::wstring& finalPath) {
    CFileHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle && FinalPathOf(handle.Get(), finalPath);
}

bool QueryOpenFile(HANDLE handle, DWORD& attributes, DWORD* links) {
    FILE_BASIC_INFO basic = {};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return false;
    attributes = basic.FileAttributes;
    if (!links) return true;
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard))) return false;
    *links = standard.NumberOfLinks;
    return true;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    size_t na = a.size(), nb = b.size();
    while (na > 3 && a[na - 1] == L'\\') --na;
    while (nb > 3 && b[nb - 1] == L'\\') --nb;
    return na == nb && (na == 0 || ::CompareStringOrdinal(a.c_str(), static_cast<int>(na), b.c_str(),
                                                          static_cast<int>(nb), TRUE) == CSTR_EQUAL);
}

HANDLE CreateFileNoLink(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                        SECURITY_ATTRIBUTES* security) {
    // Opening the link itself, never what it points to, so a link is seen for what it is.
    HANDLE raw = ::CreateFileW(path.c_str(), access, share, security, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr);
    if (raw == INVALID_HANDLE_VALUE) return raw;
    const DWORD openError = ::GetLastError();
    CFileHandle file(raw);
    const bool created = disposition == CREATE_NEW ||
                         ((disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) && openError != ERROR_ALREADY_EXISTS);
    DWORD attributes = 0, links = 0;
    const bool known = QueryOpenFile(file.Get(), attributes, &links);
    const bool link = !known || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || (!created && links > 1);
    if (link || !LiesInItsFolder(file.Get(), path)) {
        // A file made where a link led is removed through its handle, never by its name: by now
        // the name may lead somewhere else again. Without delete access it stays, empty.
        if (created && (access & (DELETE | GENERIC_ALL))) RemoveOpenFile(file.Get());
        file.Reset();
        ::SetLastError(kErrorLinkRefused);
        return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(openError);
    return file.Detach();
}

bool IsPlainFileAt(const std::wstring& path) {
    CFileHandle file(CreateFileNoLink(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      OPEN_EXISTING, 0));
    return file.IsValid();
}

}  // namespace qlLib
