#include "tools/ministub-build/PackEntries.h"

#include <algorithm>

#include "package/FilePacker.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::wstring FullPath(const std::wstring& path) {
    DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (!n) return path;
    std::wstring full(n, L'\0');
    n = ::GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    full.resize(n);
    return full;
}

bool ParseEntry(const std::wstring& value, DWORD type, CPackEntry& entry, std::string& error) {
    size_t equals = std::wstring::npos;
    if (!IsFile(FullPath(value))) {
        for (size_t at = value.find(L'='); at != std::wstring::npos; at = value.find(L'=', at + 1)) {
            if (IsFile(FullPath(value.substr(0, at)))) {
                equals = at;
                break;
            }
        }
        if (equals == std::wstring::npos) {
            error = "no such file: " + WideToUtf8(value);
            return false;
        }
    }
    entry.source = FullPath(value.substr(0, equals));
    if (equals != std::wstring::npos) {
        entry.name = value.substr(equals + 1);
    } else {
        const size_t slash = entry.source.find_last_of(L"\\/");
        entry.name = slash == std::wstring::npos ? entry.source : entry.source.substr(slash + 1);
    }
    entry.type = type;
    return true;
}

bool RelativeName(const std::wstring& root, const std::wstring& path, std::wstring& name) {
    std::wstring base = root;
    qlLib::RemoveTrailingBackslashes(base);
    if (path.size() <= base.size() + 1 || !qlLib::EqualsNoCase(path.substr(0, base.size()).c_str(), base.c_str()) ||
        (path[base.size()] != L'\\' && path[base.size()] != L'/'))
        return false;
    name = path.substr(base.size() + 1);
    return true;
}

namespace {

// Walks the tree below folder in a stable order (names sorted, a folder before its contents).
// visit decides for each entry; returning false ends the walk. A link is never descended into.
template <class Visit>
bool WalkFolder(const std::wstring& folder, Visit visit, std::string& error) {
    std::wstring pattern;
    qlLib::JoinPath(pattern, folder, L"*");
    WIN32_FIND_DATAW data;
    qlLib::CFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) {
        error = "cannot list " + WideToUtf8(folder);
        return false;
    }
    std::vector<WIN32_FIND_DATAW> children;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        children.push_back(data);
    } while (::FindNextFileW(find.Get(), &data));
    std::sort(children.begin(), children.end(), [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
        return wcscmp(a.cFileName, b.cFileName) < 0;
    });
    for (const WIN32_FIND_DATAW& child : children) {
        std::wstring path;
        qlLib::JoinPath(path, folder, child.cFileName);
        if (!visit(path, child)) return false;
        if ((child.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(child.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            !WalkFolder(path, visit, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool AddFolder(const std::wstring& root, const std::wstring& folder, std::vector<CPackEntry>& entries,
               std::vector<std::wstring>& skipped, std::string& error) {
    return WalkFolder(
        folder,
        [&](const std::wstring& path, const WIN32_FIND_DATAW& data) {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                skipped.push_back(path);
                return true;
            }
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
            CPackEntry entry;
            entry.source = path;
            if (!RelativeName(root, path, entry.name)) {
                error = WideToUtf8(path) + " does not lie below " + WideToUtf8(root);
                return false;
            }
            entry.type = TARN::eFileType_Extract;
            entries.push_back(entry);
            return true;
        },
        error);
}

bool ListArchiveItems(const std::wstring& root, std::vector<CArchiveItem>& items, std::string& error) {
    const DWORD attributes = ::GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "no such folder: " + WideToUtf8(root);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = WideToUtf8(root) + " is a link; links are not followed";
        return false;
    }
    return WalkFolder(
        root,
        [&](const std::wstring& path, const WIN32_FIND_DATAW& data) {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                error = WideToUtf8(path) + " is a link; links are not followed";
                return false;
            }
            CArchiveItem item;
            item.source = path;
            if (!RelativeName(root, path, item.name) || !qlLib::IsSafeRelativePath(item.name)) {
                error = "\"" + WideToUtf8(path) + "\" is not a name the stub accepts (device, stream or reserved name)";
                return false;
            }
            item.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            item.size = item.folder ? 0 : (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            item.attributes = data.dwFileAttributes;
            item.modified = data.ftLastWriteTime;
            items.push_back(item);
            return true;
        },
        error);
}

}  // namespace builder
