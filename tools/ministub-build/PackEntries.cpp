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

bool AddFolder(const std::wstring& root, const std::wstring& folder, std::vector<CPackEntry>& entries,
               std::vector<std::wstring>& skipped, std::string& error) {
    std::wstring pattern;
    qlLib::JoinPath(pattern, folder, L"*");
    WIN32_FIND_DATAW data;
    qlLib::CFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) {
        error = "cannot list " + WideToUtf8(folder);
        return false;
    }
    struct CChild {
        std::wstring name;
        DWORD attributes;
        bool operator<(const CChild& other) const { return name < other.name; }
    };
    std::vector<CChild> children;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        children.push_back({data.cFileName, data.dwFileAttributes});
    } while (::FindNextFileW(find.Get(), &data));
    std::sort(children.begin(), children.end());
    for (const CChild& child : children) {
        std::wstring path;
        qlLib::JoinPath(path, folder, child.name);
        if (child.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            skipped.push_back(path);
            continue;
        }
        if (child.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!AddFolder(root, path, entries, skipped, error)) return false;
            continue;
        }
        CPackEntry entry;
        entry.source = path;
        if (!RelativeName(root, path, entry.name)) {
            error = WideToUtf8(path) + " does not lie below " + WideToUtf8(root);
            return false;
        }
        entry.type = TARN::eFileType_Extract;
        entries.push_back(entry);
    }
    return true;
}

}  // namespace builder
