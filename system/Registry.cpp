#include "system/Registry.h"

#include <aclapi.h>
#include <sddl.h>

#include <new>
#include <vector>

#include "runtime/Isolation.h"
#include "runtime/PathUtils.h"
#include "runtime/RegistryRead.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "system/EnsureAccess.h"
#include "system/SecurityDump.h"

namespace TARN {

namespace {

// The vendor's key: the failure count, the reboot marker, the statistics servers.
const wchar_t kVendorKey[] = L"SOFTWARE\\Velmor";

HRESULT FromError(DWORD error) {
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// One grant, reported in the checker's words when it fails; the next grant runs regardless.
void GrantKeyAccess(HKEY root, const wchar_t* subkey, PSID principal) {
    CRightsChecker::Exception error;
    RegistryEnsureAccess(root, subkey, CAccessSpec::Inheritable(KEY_ALL_ACCESS), principal, error);
    if (error.code != CRightsChecker::Exception::eNone) {
        TraceError(L"TARN::CRegistry::EnsureOpen(31) : RegistryEnsureAccess %s threw an exception: %d", subkey,
                   static_cast<int>(error.code));
    } else if (FAILED(error.hr)) {
        TraceError(L"TARN::CRegistry::EnsureOpen(34) : RegistryEnsureAccess %s threw an exception: (0x%08x)", subkey,
                   error.hr);
    }
}

// Opens root\path for deletion. A refusal on a key of the product's own is answered by grants
// of full access to the accounts the elevated work runs under (see CGrantPrincipals), never to
// the user alone, whose later unelevated processes must not keep the key open to them.
bool OpenForDeletion(HKEY root, const std::wstring& path, qlLib::CRegKey& key) {
    if (key.Open(root, path.c_str(), KEY_ALL_ACCESS)) return true;
    if (key.GetLastError() != ERROR_ACCESS_DENIED || !CRegistry::IsProductKey(root, path.c_str())) return false;
    CGrantPrincipals principals;
    for (size_t i = 0; i < principals.Count(); ++i) GrantKeyAccess(root, path.c_str(), principals.At(i));
    if (key.Open(root, path.c_str(), KEY_ALL_ACCESS)) return true;
    key.SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

}  // namespace

const wchar_t* CRegistry::RootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER) return L"CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE) return L"MACHINE";
    if (root == HKEY_USERS) return L"USERS";
    return nullptr;
}

bool CRegistry::Open(const wchar_t* subkey, HKEY root, REGSAM access, bool create, DWORD options) {
    try {
        m_path = subkey ? subkey : L"";
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    m_root = root;
    if (CRegKey::Open(root, subkey, access, create, options)) return true;
    // A missing key is not a permission problem, and only the product's own keys are forced.
    if (!create && GetLastError() == ERROR_FILE_NOT_FOUND) return false;
    if (!IsProductKey(root, subkey)) return false;
    ForceOpenKey(subkey, root, create);
    return CRegKey::Open(root, subkey, access, create, options);
}

HRESULT CRegistry::EnsureOpen(HKEY root, const wchar_t* subkey, bool create) {
    qlLib::CRegKey key;
    if (key.Open(root, subkey, KEY_ALL_ACCESS, create)) return S_OK;
    if (key.GetLastError() == ERROR_ACCESS_DENIED && IsProductKey(root, subkey)) {
        CGrantPrincipals principals;
        for (size_t i = 0; i < principals.Count(); ++i) GrantKeyAccess(root, subkey, principals.At(i));
        if (key.Open(root, subkey, KEY_ALL_ACCESS, create)) return S_OK;
    }
    return FromError(key.GetLastError());
}

bool CRegistry::IsProductKey(HKEY root, const wchar_t* subkey) {
    if (root != HKEY_LOCAL_MACHINE || !subkey) return false;
    auto below = [subkey](const std::wstring& owned) {
        const size_t n = owned.size();
        return n > 0 && wcslen(subkey) >= n && ::CompareStringOrdinal(subkey, static_cast<int>(n), owned.c_str(),
                                                                      static_cast<int>(n), TRUE) == CSTR_EQUAL &&
               (subkey[n] == L'\\' || subkey[n] == L'\0');
    };
    try {
        if (below(kVendorKey)) return true;
        std::wstring isolation;
        return qlLib::CIsolation::GetIsolationRoot(isolation) && below(isolation);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HRESULT CRegistry::ForceOpenKey(const wchar_t* subkey, HKEY root, bool create) {
    if (!IsProductKey(root, subkey)) {
        // Rights are granted and reset only on keys of the product's own, never on the system's.
        qlLib::CRegKey key;
        if (key.Open(root, subkey, KEY_ALL_ACCESS, create)) return S_OK;
        TraceError(L"TARN::CRegistry::ForceOpenKey : %s is no key of the product's: not forced (%lu)",
                   subkey ? subkey : L"", key.GetLastError());
        return FromError(key.GetLastError());
    }
    try {
        std::wstring path(subkey ? subkey : L"");
        std::vector<std::wstring> parts;
        for (size_t start = 0; start <= path.size();) {
            size_t end = path.find_first_of(L"\\/", start);
            if (end == std::wstring::npos) end = path.size();
            if (end > start) parts.push_back(path.substr(start, end - start));
            start = end + 1;
        }
        const bool wow64 = qlLib::IsWow64();
        std::wstring cumulative;
        for (const std::wstring& part : parts) {
            if (!qlLib::JoinPath(cumulative, cumulative, part)) return E_OUTOFMEMORY;
            // The levels above the product's keys (the hive path that the settings name, the
            // system's own keys) are opened as they are: their rights are never reset.
            if (!IsProductKey(root, cumulative.c_str())) continue;
            // Under WOW64 "Wow6432Node" is the redirection level itself: never reset it.
            const bool redirection = wow64 && qlLib::EqualsNoCase(part.c_str(), L"Wow6432Node");
            HRESULT hr = EnsureOpen(root, cumulative.c_str(), create);
            if (SUCCEEDED(hr)) continue;
            TraceError(L"TARN::CRegistry::ForceOpenKey(103) : failed to open key: %s at %s (0x%08x)", path.c_str(),
                       part.c_str(), hr);
            if (hr != E_ACCESSDENIED) return hr;
            const wchar_t* rootName = RootName(root);
            if (!rootName) return EnsureOpen(root, path.c_str(), create);
            std::wstring objectName = std::wstring(rootName) + L"\\" + cumulative;
            DumpSecurityDescriptor(objectName.c_str(), SE_REGISTRY_KEY);
            if (redirection) return EnsureOpen(root, path.c_str(), create);
            // Keep only what the level inherits from its parent.
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:AI", SDDL_REVISION_1, &descriptor,
                                                                        nullptr)) {
                return FromError(::GetLastError());
            }
            qlLib::CLocalMemory descriptorMemory(descriptor);
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = nullptr;
            ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
            DWORD rc = ::SetNamedSecurityInfoW(&objectName[0], SE_REGISTRY_KEY,
                                               DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, dacl, nullptr);
            if (rc == ERROR_SUCCESS) {
                hr = EnsureOpen(root, cumulative.c_str(), create);
                if (FAILED(hr)) return hr;
            }
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

bool CRegistry::OpenSubkey(const CRegistry& parent, const wchar_t* name) {
    std::wstring path;
    if (!qlLib::JoinPath(path, parent.m_path, name ? name : L"")) {
        SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return Open(path.c_str(), parent.m_root, KEY_READ, false);
}

bool CRegistry::CreateRebootSubkey(const CRegistry& parent) {
    std::wstring path;
    if (!qlLib::JoinPath(path, parent.m_path, L"Reboot")) {
        SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    // Created, not opened: an older non-volatile key of that name must give way.
    m_path.swap(path);
    m_root = parent.m_root;
    return Create(m_root, m_path.c_str(), KEY_WRITE, nullptr, REG_OPTION_VOLATILE);
}

bool CRegistry::DeleteTree() {
    if (DeleteContents()) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    // Something below refuses: depth first, each refusing level granted access on the way.
    qlLib::CRegKey self;
    if (!OpenForDeletion(m_root, m_path, self)) {
        if (self.GetLastError() == ERROR_FILE_NOT_FOUND) {
            SetLastError(ERROR_SUCCESS);   // gone already
            return true;
        }
        SetLastError(self.GetLastError());
        return false;
    }
    wchar_t name[261];
    for (;;) {
        DWORD length = 261;
        if (::RegEnumKeyExW(self.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        CRegistry child;
        if (!qlLib::JoinPath(child.m_path, m_path, name)) {
            SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
        child.m_root = m_root;
        if (!OpenForDeletion(m_root, child.m_path, child) || !child.DeleteTree()) {
            SetLastError(child.GetLastError());
            return false;
        }
        child.Close();
        // A subkey whose contents are gone may still be there itself; without removing it the
        // same name would come back at index 0 for ever.
        LONG rc = ::RegDeleteKeyW(self.Get(), name);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_KEY_DELETED) {
            SetLastError(static_cast<DWORD>(rc));
            return false;
        }
    }
    bool done = self.DeleteContents();
    SetLastError(self.GetLastError());
    return done;
}

}  // namespace TARN
