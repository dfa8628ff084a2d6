#include "system/OwnFolder.h"

#include <sddl.h>

#include <new>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/ProtectedFolder.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// Full control for SYSTEM and the administrators, inherited by everything inside; owner the
// administrators. The users may read logs.
const wchar_t kPrivateSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kReadableSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Attempts at a free name before giving up: each name is new, so only a flood of guesses fails.
const int kNameAttempts = 32;

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class CSystemSecurity : public COwnFolder::ISecurity {
public:
    bool Read(HANDLE folder, std::wstring& sddl) override { return qlLib::ReadSecuritySddl(folder, sddl); }
    DWORD Create(const std::wstring& path, const std::wstring& sddl) override {
        DWORD error = CreateWith(path, sddl);
        // A token that may not name the administrators as owner gets its default owner, which
        // for an elevated administrator is that group anyway.
        if (error == ERROR_INVALID_OWNER && sddl.compare(0, 4, L"O:BA") == 0) error = CreateWith(path, sddl.substr(4));
        return error;
    }

private:
    static DWORD CreateWith(const std::wstring& path, const std::wstring& sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            return ::GetLastError();
        qlLib::CLocalMemory memory(descriptor);
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        return ::CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : ::GetLastError();
    }
};

CSystemSecurity g_systemSecurity;

HRESULT Refused(const std::wstring& path) {
    TraceError(L"TARN::COwnFolder::Ensure : %s is a link or is reached through one: refused", path.c_str());
    return HRESULT_FROM_WIN32(qlLib::kErrorLinkRefused);
}

// Opens a folder (or what stands in its place) itself, links not followed.
HANDLE OpenInPlace(const std::wstring& path, DWORD access) {
    return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsLink(const std::wstring& path, DWORD handleAttributes) {
    // Wine opens what a link leads to even when asked for the link: only the name tells there.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return (handleAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
           (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

// Whether the open folder is a folder and lies at parentFinal joined with name: no link in its
// place and none on the way since the parent was looked at. finalPath receives where it lies.
bool LiesInParent(HANDLE folder, const std::wstring& parentFinal, const std::wstring& name, std::wstring& finalPath) {
    DWORD attributes = 0;
    std::wstring expected;
    return qlLib::QueryOpenFile(folder, attributes) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) && qlLib::FinalPathOf(folder, finalPath) &&
           qlLib::JoinPath(expected, parentFinal, name) && qlLib::SamePath(finalPath, expected);
}

std::wstring NameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

COwnFolder::COwnFolder() : COwnFolder(qlLib::ProcessTokenKind(), nullptr) {}

COwnFolder::COwnFolder(qlLib::ETokenKind kind, ISecurity* security)
    : m_kind(kind), m_security(security ? security : &g_systemSecurity) {
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    m_seed = ::GetCurrentProcessId() ^ counter.LowPart ^ ::GetTickCount();
}

const wchar_t* COwnFolder::Sddl(EReaders readers) {
    return readers == eReaders_Users ? kReadableSddl : kPrivateSddl;
}

bool COwnFolder::IsProtected(const std::wstring& sddl) { return qlLib::IsProtectedSddl(sddl); }

bool COwnFolder::NextName(const std::wstring& prefix, std::wstring& name) {
    m_seed = m_seed * 1664525u + 1013904223u;
    return qlLib::FormatString(name, L"%s%08lX", prefix.c_str(), static_cast<unsigned long>(m_seed));
}

bool COwnFolder::IsProtectedAt(const std::wstring& folder) {
    qlLib::CFileHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring sddl;
    return handle && m_security->Read(handle.Get(), sddl) && IsProtected(sddl);
}

HRESULT COwnFolder::CreateNew(const std::wstring& path, const std::wstring& parentFinal, EReaders readers,
                              std::wstring& finalPath) {
    const DWORD error = m_security->Create(path, Sddl(readers));
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    qlLib::CFileHandle folder(OpenInPlace(path, FILE_READ_ATTRIBUTES));
    if (!folder || !LiesInParent(folder.Get(), parentFinal, NameOf(path), finalPath)) return Refused(path);
    return S_OK;
}

HRESULT COwnFolder::CreateFreshIn(const std::wstring& parent, const std::wstring& parentFinal,
                                  const std::wstring& prefix, EReaders readers, std::wstring& folder,
                                  std::wstring& finalPath) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::wstring name, path;
        if (!NextName(prefix, name) || !qlLib::JoinPath(path, parent, name)) return E_OUTOFMEMORY;
        HRESULT hr = S_OK;
        if (Privileged()) {
            hr = CreateNew(path, parentFinal, readers, finalPath);
        } else if (!::CreateDirectoryW(path.c_str(), nullptr)) {
            hr = HRESULT_FROM_WIN32(::GetLastError());
        }
        if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) continue;
        if (SUCCEEDED(hr)) folder.swap(path);
        return hr;
    }
    return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
}

bool COwnFolder::MoveAside(HANDLE folder, const std::wstring& parent, const std::wstring& prefix,
                           std::wstring& movedTo) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::wstring name, path;
        if (!NextName(prefix, name) || !qlLib::JoinPath(path, parent, name)) return false;
        // Renamed through the handle that was judged: whatever took its name since stays put.
        const size_t bytes = path.size() * sizeof(wchar_t);
        std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + bytes);
        FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(bytes);
        ::CopyMemory(rename->FileName, path.c_str(), bytes);
        if (::SetFileInformationByHandle(folder, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
            movedTo.swap(path);
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

HRESULT COwnFolder::UseLink(const std::wstring& path, HANDLE link, const std::wstring& parent, bool parentIsBase,
                            std::wstring& usedFinal) {
    // An administrator may have put the folder elsewhere: a link that only the trusted could
    // have made or changed, in a folder only they may change, leading to a folder of that kind.
    std::wstring sddl;
    if ((parentIsBase && !IsProtectedAt(parent)) || !m_security->Read(link, sddl) || !IsProtected(sddl))
        return Refused(path);
    qlLib::CFileHandle target(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD attributes = 0;
    if (!target || !qlLib::QueryOpenFile(target.Get(), attributes) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) || !qlLib::FinalPathOf(target.Get(), usedFinal) ||
        !m_security->Read(target.Get(), sddl) || !IsProtected(sddl))
        return Refused(path);
    TraceInfo(L"TARN::COwnFolder::Ensure : %s leads to %s", path.c_str(), usedFinal.c_str());
    return S_OK;
}

HRESULT COwnFolder::EnsurePlainLevel(const std::wstring& path) {
    if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return HRESULT_FROM_WIN32(::GetLastError());
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return HRESULT_FROM_WIN32(::GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    return S_OK;
}

HRESULT COwnFolder::EnsureLevel(const std::wstring& parent, const std::wstring& parentFinal, bool parentIsBase,
                                const std::wstring& name, EReaders readers, std::wstring& used,
                                std::wstring& usedFinal) {
    std::wstring path;
    if (!qlLib::JoinPath(path, parent, name)) return E_OUTOFMEMORY;
    if (!Privileged()) {
        const HRESULT hr = EnsurePlainLevel(path);
        if (SUCCEEDED(hr)) used.swap(path);
        return hr;
    }
    // Made here and now, with its rights from the start: nobody else can hold it open.
    HRESULT hr = CreateNew(path, parentFinal, readers, usedFinal);
    if (hr != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) {
        if (SUCCEEDED(hr)) used.swap(path);
        return hr;
    }

    // Something is there. Opened so that it can be judged, and moved, as the very object it is.
    qlLib::CFileHandle folder(OpenInPlace(path, READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE));
    // Held open by somebody without leave to move it (its maker, or a run deleting inside it): it
    // can still be judged, and a protected folder is used whoever holds it.
    const bool movable = folder.IsValid();
    if (!folder) folder.Reset(OpenInPlace(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
    std::wstring current(L"cannot be opened");
    if (folder) {
        DWORD attributes = 0;
        if (!qlLib::QueryOpenFile(folder.Get(), attributes)) return Refused(path);
        if (IsLink(path, attributes)) {
            hr = UseLink(path, folder.Get(), parent, parentIsBase, usedFinal);
            if (SUCCEEDED(hr)) used.swap(path);
            return hr;
        }
        std::wstring finalPath;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !LiesInParent(folder.Get(), parentFinal, name, finalPath))
            return Refused(path);
        if (!m_security->Read(folder.Get(), current)) current = L"rights unreadable";
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && IsProtected(current)) {
            used.swap(path);
            usedFinal.swap(finalPath);
            return S_OK;
        }

        // Somebody else's (or a file in the way): never taken over, whatever it holds stays as
        // it is. Moved aside, a new folder takes its name.
        std::wstring movedTo;
        if (movable && MoveAside(folder.Get(), parent, name + L".moved-", movedTo)) {
            folder.Reset();
            TraceWarning(L"TARN::COwnFolder::Ensure : %s was not the installer's own (%s): moved aside to %s",
                         path.c_str(), current.c_str(), movedTo.c_str());
            hr = CreateNew(path, parentFinal, readers, usedFinal);
            if (hr != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) {
                if (SUCCEEDED(hr)) used.swap(path);
                return hr;
            }
            current = L"made again meanwhile";
        }
    }
    // It stays where it is; a folder of a new name serves instead.
    hr = CreateFreshIn(parent, parentFinal, name + L"-", readers, used, usedFinal);
    if (FAILED(hr)) {
        TraceError(L"TARN::COwnFolder::Ensure : %s is not the installer's own and no folder can replace it (0x%08x)",
                   path.c_str(), hr);
        return hr;
    }
    TraceWarning(L"TARN::COwnFolder::Ensure : %s is not the installer's own (%s): %s is used instead", path.c_str(),
                 current.c_str(), used.c_str());
    return S_OK;
}

HRESULT COwnFolder::Ensure(const std::wstring& base, const std::wstring& target, EReaders readers,
                           std::wstring& used) {
    try {
        std::wstring root(base), path(target);
        qlLib::RemoveTrailingBackslashes(root);
        qlLib::RemoveTrailingBackslashes(path);
        if (root.empty() || path.size() <= root.size() + 1 || path[root.size()] != L'\\' ||
            ::CompareStringOrdinal(path.c_str(), static_cast<int>(root.size()), root.c_str(),
                                   static_cast<int>(root.size()), TRUE) != CSTR_EQUAL ||
            !qlLib::IsSafeRelativePath(path.substr(root.size() + 1))) {
            TraceError(L"TARN::COwnFolder::Ensure : %s is no folder below %s", target.c_str(), base.c_str());
            return E_INVALIDARG;
        }
        std::wstring parent(root), parentFinal;
        if (Privileged() && !qlLib::FinalPathOf(root, parentFinal)) {
            const DWORD error = ::GetLastError();
            TraceError(L"TARN::COwnFolder::Ensure : %s cannot be opened (%lu)", root.c_str(), error);
            return HRESULT_FROM_WIN32(error ? error : ERROR_PATH_NOT_FOUND);
        }
        // Each level goes below the folder that really serves for the one above it.
        for (size_t start = root.size() + 1;;) {
            const size_t end = path.find_first_of(L"\\/", start);
            const std::wstring name = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
            std::wstring levelUsed, levelFinal;
            const HRESULT hr = EnsureLevel(parent, parentFinal, start == root.size() + 1, name, readers, levelUsed,
                                           levelFinal);
            if (FAILED(hr)) return hr;
            parent.swap(levelUsed);
            parentFinal.swap(levelFinal);
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        used.swap(parent);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COwnFolder::CreateFresh(const std::wstring& base, const wchar_t* prefix, EReaders readers,
                                std::wstring& folder) {
    try {
        std::wstring root(base);
        qlLib::RemoveTrailingBackslashes(root);
        std::wstring parentFinal, finalPath;
        if (Privileged() && !qlLib::FinalPathOf(root, parentFinal)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        return CreateFreshIn(root, parentFinal, prefix, readers, folder, finalPath);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace TARN
