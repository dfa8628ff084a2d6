#pragma once
// Merges access entries (from CSecurityDescriptorParser) into the DACL of one service.
#include <windows.h>
#include <aclapi.h>

#include <string>

#include "system/SecurityDescriptorParser.h"

namespace TARN {

class CServiceSecurityProcessor : public IAccessApplier {
public:
    explicit CServiceSecurityProcessor(const wchar_t* serviceName);

    // account: a SID string beginning "S-", or an account name; mode: GRANT_ACCESS or
    // DENY_ACCESS; merge: keep the entries the DACL has (else the new entry replaces them).
    bool ApplyAccessRights(const wchar_t* account, DWORD rights, ACCESS_MODE mode, bool merge);

    bool Apply(const wchar_t* account, DWORD rights, ACCESS_MODE mode, bool merge) override {
        return ApplyAccessRights(account, rights, mode, merge);
    }

private:
    std::wstring m_service;
};

}  // namespace TARN
