#include "system/ServiceSecurityProcessor.h"

#include <sddl.h>

#include <new>

#include "runtime/Handles.h"
#include "runtime/Trace.h"

namespace TARN {

CServiceSecurityProcessor::CServiceSecurityProcessor(const wchar_t* serviceName) {
    try {
        m_service = serviceName ? serviceName : L"";
    } catch (const std::bad_alloc&) {
        m_service.clear();   // reading the DACL of no service then fails
    }
}

bool CServiceSecurityProcessor::ApplyAccessRights(const wchar_t* account, DWORD rights, ACCESS_MODE mode, bool merge) {
    if (!account || !*account) return false;

    PACL oldDacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = ::GetNamedSecurityInfoW(m_service.c_str(), SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &oldDacl, nullptr, &descriptor);
    qlLib::CLocalMemory descriptorMemory(descriptor);
    if (status != ERROR_SUCCESS) {
        TraceError(L"TARN::CServiceSecurityProcessor::ApplyAccessRights(29) : GetSecurityInfo() for service: %ls failed with return value: %d",
                   m_service.c_str(), static_cast<int>(status));
        return false;
    }

    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = mode;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    qlLib::CLocalMemory sidMemory;
    if ((account[0] == L'S' || account[0] == L's') && account[1] == L'-') {
        PSID sid = nullptr;
        if (!::ConvertStringSidToSidW(account, &sid)) {
            TraceError(L"TARN::CServiceSecurityProcessor::ApplyAccessRights(42) : ConvertStringSidToSid() for user SID: %ls failed. GetLastError() reports: %d",
                       account, static_cast<int>(::GetLastError()));
            return false;
        }
        sidMemory.Reset(sid);
        ::BuildTrusteeWithSidW(&access.Trustee, sid);
    } else {
        ::BuildTrusteeWithNameW(&access.Trustee, const_cast<wchar_t*>(account));
    }
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;

    PACL newDacl = nullptr;
    status = ::SetEntriesInAclW(1, &access, merge ? oldDacl : nullptr, &newDacl);
    qlLib::CLocalMemory newDaclMemory(newDacl);
    if (status != ERROR_SUCCESS) {
        TraceError(L"TARN::CServiceSecurityProcessor::ApplyAccessRights(57) : SetEntriesInAcl() for service: %ls failed with return value: %d",
                   m_service.c_str(), static_cast<int>(status));
        return false;
    }
    status = ::SetNamedSecurityInfoW(&m_service[0], SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, newDacl,
                                     nullptr);
    if (status != ERROR_SUCCESS) {
        TraceError(L"TARN::CServiceSecurityProcessor::ApplyAccessRights(64) : SetSecurityInfo() for service: %ls failed with return value: %d",
                   m_service.c_str(), static_cast<int>(status));
        return false;
    }
    return true;
}

}  // namespace TARN
