#include "runtime/FolderUtils.h"

#include "runtime/Handles.h"
#include "runtime/PathUtils.h"

namespace qlLib {

namespace {

// Length of the part of a path that is never created: "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\". 0 for a relative path.
size_t RootLength(const std::wstring& path) {
    size_t start = 0;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        start = 4;
        if (path.size() >= start + 2 && path[start + 1] == L':') {
            return (path.size() > start + 2 && path[start + 2] == L'\\') ? start + 3 : start + 2;
        }
        return start;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        start = 2;
    } else {
        if (path.size() >= 2 && path[1] == L':') {
            return (path.size() > 2 && path[2] == L'\\') ? 3 : 2;
        }
        return (!path.empty() && path[0] == L'\\') ? 1 : 0;
    }
    // Server and share names of a UNC path.
    size_t server = path.find(L'\\', start);
    if (server == std::wstring::npos) return path.size();
    size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

bool EnsureFolder(const std::wstring& folder, DWORD* error) {
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        *error = ERROR_DIRECTORY;   // a file stands where a folder is needed
        return false;
    }
    DWORD lookup = ::GetLastError();
    if (lookup == ERROR_ACCESS_DENIED) return true;
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return true;
    DWORD created = ::GetLastError();
    if (created == ERROR_ALREADY_EXISTS) {
        // Somebody else made it meanwhile, or a file of that name appeared.
        attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    }
    *error = created ? created : ERROR_ACCESS_DENIED;
    return false;
}

}  // namespace

bool CreateFolderTree(const std::wstring& path, DWORD* error) {
    DWORD ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    std::wstring folder(path);
    while (folder.size() > 1 && folder.back() == L'\\') folder.pop_back();
    if (folder.empty()) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    size_t root = RootLength(folder);
    if (root >= folder.size()) return true;   // a bare root exists or cannot be made
    for (size_t end = folder.find(L'\\', root); ; end = folder.find(L'\\', end + 1)) {
        std::wstring part = folder.substr(0, end == std::wstring::npos ? folder.size() : end);
        // Doubled separators leave nothing to create between them.
        if (!part.empty() && part.back() != L'\\' && !EnsureFolder(part, error)) return false;
        if (end == std::wstring::npos) break;
    }
    return true;
}

namespace {

bool RemoveEntry(const std::wstring& path, DWORD attributes, DWORD* error);

bool EmptyFolder(const std::wstring& folder, DWORD* error) {
    std::wstring pattern;
    if (!JoinPath(pattern, folder, L"*")) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    WIN32_FIND_DATAW data;
    CFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) {
        DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
        *error = e;
        return false;
    }
    bool ok = true;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        std::wstring child;
        if (!JoinPath(child, folder, data.cFileName)) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        // Go on after a failure: delete as much as possible, report the first error.
        DWORD childError = 0;
        if (!RemoveEntry(child, data.dwFileAttributes, &childError) && ok) {
            ok = false;
            *error = childError;
        }
    } while (::FindNextFileW(find.Get(), &data));
    return ok;
}

bool RemoveEntry(const std::wstring& path, DWORD attributes, DWORD* error) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        bool emptied = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || EmptyFolder(path, error);
        if (::RemoveDirectoryW(path.c_str())) return emptied;
    } else if (::DeleteFileW(path.c_str())) {
        return true;
    }
    DWORD e = ::GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
    if (!*error) *error = e ? e : ERROR_ACCESS_DENIED;
    return false;
}

}  // namespace

bool DeleteFolderTree(const std::wstring& path, DWORD* error) {
    DWORD ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    std::wstring folder(path);
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    // A drive root or an empty path is never a folder to delete.
    if (folder.size() <= 3) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD e = ::GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
        *error = e;
        return false;
    }
    return RemoveEntry(folder, attributes, error);
}

}  // namespace qlLib
