#include "runtime/SingleInstanceLock.h"

#include <aclapi.h>

#include <new>

#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"

namespace qlLib {

namespace {

const DWORD kLockAttributes = FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN;

// Everyone may use the lock file, nobody may change who may: deny WRITE_DAC | WRITE_OWNER
// before allowing GENERIC_ALL.
class CLockSecurity {
public:
    CLockSecurity() {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return;
        EXPLICIT_ACCESSW entries[2] = {};
        entries[0].grfAccessPermissions = WRITE_DAC | WRITE_OWNER;
        entries[0].grfAccessMode = DENY_ACCESS;
        entries[1].grfAccessPermissions = GENERIC_ALL;
        entries[1].grfAccessMode = GRANT_ACCESS;
        for (EXPLICIT_ACCESSW& e : entries) {
            e.grfInheritance = NO_INHERITANCE;
            e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
            e.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
            e.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
        }
        PACL acl = nullptr;
        if (::SetEntriesInAclW(2, entries, nullptr, &acl) == ERROR_SUCCESS) {
            m_acl.Reset(acl);
            if (::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                ::SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE)) {
                m_attributes.nLength = sizeof(m_attributes);
                m_attributes.lpSecurityDescriptor = &m_descriptor;
                m_attributes.bInheritHandle = FALSE;
                m_valid = true;
            }
        }
        ::FreeSid(everyone);
    }
    // Null when the descriptor could not be built: the file then gets default security.
    SECURITY_ATTRIBUTES* Get() { return m_valid ? &m_attributes : nullptr; }

private:
    CLocalMemory m_acl;
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
    bool m_valid = false;
};

}  // namespace

CSingleInstanceLock::CSingleInstanceLock(const std::wstring& folder) {
    SetFolder(folder);
}

bool CSingleInstanceLock::SetFolder(const std::wstring& folder) {
    try {
        m_folder = folder;
        return true;
    } catch (const std::bad_alloc&) {
        m_lastError = ERROR_OUTOFMEMORY;
        return false;
    }
}

bool CSingleInstanceLock::BuildLockPath(const wchar_t* name, bool global, std::wstring& path, DWORD& error) const {
    try {
        std::wstring copy(name ? name : L"");
        for (wchar_t& c : copy) {
            if (c == L'\\') c = L'_';
        }
        if (copy.empty() || copy.find_first_of(L"<>:\"/\\|?*") != std::wstring::npos) {
            error = ERROR_INVALID_PARAMETER;
            return false;
        }
        std::wstring suffix = L"G";
        if (!global) {
            DWORD session = 0;
            if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
                error = ::GetLastError();
                return false;
            }
            if (!FormatString(suffix, L"%d", static_cast<int>(session))) {
                error = ERROR_OUTOFMEMORY;
                return false;
            }
        }
        if (m_folder.empty()) {
            error = ERROR_INTERNAL_ERROR;
            return false;
        }
        std::wstring lockFolder;
        if (!JoinPath(lockFolder, m_folder, L"_lck") || !JoinPath(path, lockFolder, L"_" + copy + suffix)) {
            error = ERROR_OUTOFMEMORY;
            return false;
        }
        DWORD created = 0;
        if (!CreateFolderTree(lockFolder, &created)) {
            error = ERROR_PATH_NOT_FOUND;
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        error = ERROR_OUTOFMEMORY;
        return false;
    }
}

DWORD CSingleInstanceLock::Create(const wchar_t* name, bool global) {
    if (m_file.IsValid()) return 0;
    std::wstring path;
    DWORD error = 0;
    if (!BuildLockPath(name, global, path, error)) return Fail(error);
    CLockSecurity security;
    m_file.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.Get(), OPEN_ALWAYS, kLockAttributes, nullptr));
    if (m_file.IsValid()) return 1;
    error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        // A lock file left without write access for us: an exclusive read open holds it as well.
        m_file.Reset(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (m_file.IsValid()) return 1;
        error = ::GetLastError();
    }
    return Fail(error ? error : ERROR_ACCESS_DENIED);
}

}  // namespace qlLib
