#include "system/OwnFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <new>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/PrivilegeHolder.h"
#include "runtime/ProtectedFolder.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// Full control for SYSTEM and the administrators, inherited by everything inside; owner the
// administrators. The users may read logs.
const wchar_t kPrivateSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kReadableSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

class CSystemSecurity : public COwnFolder::ISecurity {
public:
    bool Read(HANDLE folder, std::wstring& sddl) override { return qlLib::ReadSecuritySddl(folder, sddl); }
    DWORD Write(HANDLE folder, const std::wstring& sddl) override {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            return ::GetLastError();
        qlLib::CLocalMemory memory(descriptor);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        // Taking a folder over from another owner needs these.
        qlLib::CPrivilegeHolder takeOwnership(SE_TAKE_OWNERSHIP_NAME);
        qlLib::CPrivilegeHolder restore(SE_RESTORE_NAME);
        return ::SetSecurityInfo(folder, SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                     PROTECTED_DACL_SECURITY_INFORMATION,
                                 owner, nullptr, dacl, nullptr);
    }
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

}  // namespace

COwnFolder::COwnFolder() : COwnFolder(qlLib::ProcessTokenKind(), nullptr) {}

COwnFolder::COwnFolder(qlLib::ETokenKind kind, ISecurity* security)
    : m_kind(kind), m_security(security ? security : &g_systemSecurity) {}

const wchar_t* COwnFolder::Sddl(EReaders readers) {
    return readers == eReaders_Users ? kReadableSddl : kPrivateSddl;
}

bool COwnFolder::IsProtected(const std::wstring& sddl) { return qlLib::IsProtectedSddl(sddl); }

HRESULT COwnFolder::EnsureOne(const std::wstring& path, const std::wstring& parentFinal, EReaders readers,
                              bool mustBeNew, std::wstring& finalPath) {
    const wchar_t* sddl = Sddl(readers);
    bool created = false;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = Privileged() ? m_security->Create(path, sddl)
                                         : (::CreateDirectoryW(path.c_str(), nullptr) ? 0 : ::GetLastError());
        if (error == ERROR_SUCCESS) {
            created = true;
        } else if (error != ERROR_ALREADY_EXISTS || mustBeNew) {
            return HRESULT_FROM_WIN32(error);
        }
        attributes = ::GetFileAttributesW(path.c_str());
    } else if (mustBeNew) {
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) return HRESULT_FROM_WIN32(::GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    if (!Privileged()) {
        finalPath = path;
        return S_OK;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refused(path);

    // The folder as it really is: a link swapped in since the look above shows up here.
    qlLib::CFileHandle folder(::CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    if (!folder) return HRESULT_FROM_WIN32(::GetLastError());
    BY_HANDLE_FILE_INFORMATION information = {};
    std::wstring expected;
    if (!::GetFileInformationByHandle(folder.Get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return Refused(path);
    const size_t slash = path.find_last_of(L'\\');
    if (!qlLib::FinalPathOf(folder.Get(), finalPath) ||
        !qlLib::JoinPath(expected, parentFinal, path.substr(slash + 1)) || !qlLib::SamePath(finalPath, expected))
        return Refused(path);
    if (created) return S_OK;

    std::wstring current;
    if (m_security->Read(folder.Get(), current) && IsProtected(current)) return S_OK;
    // Made or changed by somebody else before this run: it becomes the installer's own before
    // anything is written into it. Nothing that lies in it is ever loaded or run from it.
    TraceWarning(L"TARN::COwnFolder::Ensure : %s was not the installer's own (%s): owner and rights replaced",
                 path.c_str(), current.c_str());
    const DWORD error = m_security->Write(folder.Get(), sddl);
    if (error != ERROR_SUCCESS) {
        TraceError(L"TARN::COwnFolder::Ensure : securing %s failed (%lu)", path.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

HRESULT COwnFolder::Ensure(const std::wstring& base, const std::wstring& target, EReaders readers) {
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
        std::wstring parentFinal;
        if (Privileged() && !qlLib::FinalPathOf(root, parentFinal)) {
            const DWORD error = ::GetLastError();
            TraceError(L"TARN::COwnFolder::Ensure : %s cannot be opened (%lu)", root.c_str(), error);
            return HRESULT_FROM_WIN32(error ? error : ERROR_PATH_NOT_FOUND);
        }
        for (size_t end = path.find(L'\\', root.size() + 1);; end = path.find(L'\\', end + 1)) {
            const std::wstring part = path.substr(0, end == std::wstring::npos ? path.size() : end);
            std::wstring finalPath;
            const HRESULT hr = EnsureOne(part, parentFinal, readers, false, finalPath);
            if (FAILED(hr)) return hr;
            parentFinal.swap(finalPath);
            if (end == std::wstring::npos) return S_OK;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COwnFolder::CreateFresh(const std::wstring& base, const wchar_t* prefix, EReaders readers,
                                std::wstring& folder) {
    try {
        std::wstring root(base);
        qlLib::RemoveTrailingBackslashes(root);
        std::wstring parentFinal;
        if (Privileged() && !qlLib::FinalPathOf(root, parentFinal)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        LARGE_INTEGER counter = {};
        ::QueryPerformanceCounter(&counter);
        DWORD seed = ::GetCurrentProcessId() ^ counter.LowPart ^ ::GetTickCount();
        for (int attempt = 0; attempt < 32; ++attempt) {
            seed = seed * 1664525u + 1013904223u;
            std::wstring name, path, finalPath;
            if (!qlLib::FormatString(name, L"%s%08lX", prefix, static_cast<unsigned long>(seed)) ||
                !qlLib::JoinPath(path, root, name))
                return E_OUTOFMEMORY;
            const HRESULT hr = EnsureOne(path, parentFinal, readers, true, finalPath);
            if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) continue;
            if (SUCCEEDED(hr)) folder.swap(path);
            return hr;
        }
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace TARN
