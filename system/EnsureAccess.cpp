#include "system/EnsureAccess.h"

#include <new>
#include <string>

#include "runtime/PathUtils.h"

namespace TARN {

namespace {

DWORD Ensure(SE_OBJECT_TYPE type, const wchar_t* name, const CAccessSpec& spec,
             const CRightsChecker::CPrincipal& principal, CRightsChecker::Exception& error) {
    CAclBuffer dacl;
    DWORD result = CRightsChecker::CheckAccess(name, type, spec, principal, dacl, error);
    if (result == CRightsChecker::eResult_Missing && !error.IsSet()) {
        result = CRightsChecker::ChangeAccess(dacl.Get(), name, type, error);
    }
    return result;
}

DWORD EnsureFor(SE_OBJECT_TYPE type, const wchar_t* name, const CAccessSpec& spec, PSID principal,
                CRightsChecker::Exception& error) {
    return principal ? EnsureAccess(type, name, spec, principal, error)
                     : EnsureAccessForToken(name, type, spec, error);
}

}  // namespace

CWellKnownSid::CWellKnownSid(WELL_KNOWN_SID_TYPE type) : m_sid(), m_valid(false) {
    DWORD size = sizeof(m_sid);
    m_valid = ::CreateWellKnownSid(type, nullptr, m_sid, &size) != FALSE;
}

CGrantPrincipals::CGrantPrincipals() : CGrantPrincipals(qlLib::ProcessTokenKind()) {}

CGrantPrincipals::CGrantPrincipals(qlLib::ETokenKind kind)
    : m_administrators(WinBuiltinAdministratorsSid), m_system(WinLocalSystemSid), m_sids(), m_count(0) {
    switch (kind) {
    case qlLib::eToken_LocalSystem:
        m_sids[m_count++] = m_system.Get();
        break;
    case qlLib::eToken_ElevatedAdministrator:
        m_sids[m_count++] = m_administrators.Get();
        m_sids[m_count++] = m_system.Get();
        break;
    default:
        m_sids[m_count++] = nullptr;
        break;
    }
}

DWORD EnsureAccess(SE_OBJECT_TYPE type, const wchar_t* name, const CAccessSpec& spec, PSID principal,
                   CRightsChecker::Exception& error) {
    error = CRightsChecker::Exception();
    CRightsChecker::CPrincipal who;
    if (!who.SetSid(principal)) {
        error.hr = E_INVALIDARG;
        return CRightsChecker::eResult_NoPrivilege;
    }
    return Ensure(type, name, spec, who, error);
}

DWORD EnsureAccessForToken(const wchar_t* name, SE_OBJECT_TYPE type, const CAccessSpec& spec,
                           CRightsChecker::Exception& error) {
    error = CRightsChecker::Exception();
    CRightsChecker::CPrincipal who;
    if (!who.SetProcessToken()) {
        error.code = CRightsChecker::Exception::eNoTokenUser;
        return CRightsChecker::eResult_NoPrivilege;
    }
    return Ensure(type, name, spec, who, error);
}

DWORD FileEnsureAccess(const wchar_t* path, const CAccessSpec& spec, PSID principal, CRightsChecker::Exception& error) {
    return EnsureFor(SE_FILE_OBJECT, path, spec, principal, error);
}

DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, const CAccessSpec& spec, PSID principal,
                           CRightsChecker::Exception& error) {
    error = CRightsChecker::Exception();
    const wchar_t* rootName = nullptr;
    if (root == HKEY_CLASSES_ROOT) {
        rootName = L"CLASSES_ROOT";
    } else if (root == HKEY_CURRENT_USER) {
        rootName = L"CURRENT_USER";
    } else if (root == HKEY_LOCAL_MACHINE) {
        rootName = L"MACHINE";
    } else if (root == HKEY_USERS) {
        rootName = L"USERS";
    }
    std::wstring name;
    if (!rootName || !subkey) {
        error.hr = E_INVALIDARG;
        return CRightsChecker::eResult_NoPrivilege;
    }
    if (!qlLib::JoinPath(name, rootName, subkey)) {
        error.hr = E_OUTOFMEMORY;
        return CRightsChecker::eResult_NoPrivilege;
    }
    return EnsureFor(SE_REGISTRY_KEY, name.c_str(), spec, principal, error);
}

DWORD ServiceEnsureAccess(const wchar_t* serviceName, const CAccessSpec& spec, PSID principal,
                          CRightsChecker::Exception& error) {
    return EnsureFor(SE_SERVICE, serviceName, spec, principal, error);
}

}  // namespace TARN
