#pragma once
// Entry points over CRightsChecker: check the rights, and write a corrected DACL when they are
// missing. Each returns the last step's result (CRightsChecker::EResult); when a fault ended the
// work instead, error says which and the result is 0.
#include <windows.h>
#include <aclapi.h>

#include "runtime/AdminToken.h"
#include "system/AccessSpec.h"
#include "system/RightsChecker.h"

namespace TARN {

// A well-known SID such as BUILTIN\Administrators or LocalSystem in its own memory; Get() is null
// when it could not be made.
class CWellKnownSid {
public:
    explicit CWellKnownSid(WELL_KNOWN_SID_TYPE type);
    PSID Get() { return m_valid ? m_sid : nullptr; }

private:
    BYTE m_sid[SECURITY_MAX_SID_SIZE];
    bool m_valid;
};

// Whom a fallback grant (access the process gives itself to a file it must delete or a key it
// must open) names: SYSTEM for a process running as LocalSystem, the Administrators group and
// SYSTEM for an elevated administrator, and otherwise the process user, who can only change
// what it owns anyway. Never the bare user account of an elevated process: its unelevated
// processes would share the grant.
class CGrantPrincipals {
public:
    CGrantPrincipals();
    explicit CGrantPrincipals(qlLib::ETokenKind kind);
    size_t Count() const { return m_count; }
    // Null means the process token (the user with its groups).
    PSID At(size_t index) { return m_sids[index]; }

private:
    CWellKnownSid m_administrators;
    CWellKnownSid m_system;
    PSID m_sids[2];
    size_t m_count;
};

// For one SID.
DWORD EnsureAccess(SE_OBJECT_TYPE type, const wchar_t* name, const CAccessSpec& spec, PSID principal,
                   CRightsChecker::Exception& error);
// For the process token's user with its groups; new ACEs name the user.
DWORD EnsureAccessForToken(const wchar_t* name, SE_OBJECT_TYPE type, const CAccessSpec& spec,
                           CRightsChecker::Exception& error);

// A file or folder; a null principal means the process token.
DWORD FileEnsureAccess(const wchar_t* path, const CAccessSpec& spec, PSID principal, CRightsChecker::Exception& error);

// A registry key below one of the roots HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE
// and HKEY_USERS (another root is refused with E_INVALIDARG); a null principal means the process
// token. A 32-bit process reaches the key in its own registry view.
DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, const CAccessSpec& spec, PSID principal,
                           CRightsChecker::Exception& error);

// A service, by its name: the repair that service control runs when a service refuses to open.
// A null principal means the process token.
DWORD ServiceEnsureAccess(const wchar_t* serviceName, const CAccessSpec& spec, PSID principal,
                          CRightsChecker::Exception& error);

}  // namespace TARN
