#include "runtime/AdminToken.h"

#include <vector>

#include "runtime/Handles.h"

namespace qlLib {

bool IsAdministratorToken(bool& limited) {
    limited = false;
    OSVERSIONINFOEXW nt = {};
    nt.dwOSVersionInfoSize = sizeof(nt);
    nt.dwPlatformId = VER_PLATFORM_WIN32_NT;
    if (!::VerifyVersionInfoW(&nt, VER_PLATFORMID, ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL))) return true;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID raw = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                    0, 0, 0, &raw))
        return false;
    CAllocatedSid administrators(raw);

    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) {
        if (::GetLastError() != ERROR_NO_TOKEN || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
    }
    CKernelHandle tokenHandle(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<BYTE> buffer;
    try {
        buffer.resize(size);
    } catch (...) {
        return false;
    }
    if (!::GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, administrators.Get())) {
            limited = (groups->Groups[i].Attributes & SE_GROUP_ENABLED) == 0;
            return true;
        }
    }
    return false;
}

bool IsLocalSystemProcess() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    CKernelHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
    return ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
}

namespace {

// The process's token does not change while it runs, and each look at it is several calls.
INIT_ONCE g_tokenKindOnce = INIT_ONCE_STATIC_INIT;
ETokenKind g_tokenKind = eToken_User;

BOOL CALLBACK FindProcessTokenKind(PINIT_ONCE, PVOID, PVOID*) {
    bool limited = false;
    if (IsLocalSystemProcess()) {
        g_tokenKind = eToken_LocalSystem;
    } else if (IsAdministratorToken(limited) && !limited) {
        g_tokenKind = eToken_ElevatedAdministrator;
    }
    return TRUE;
}

}  // namespace

ETokenKind ProcessTokenKind() {
    ::InitOnceExecuteOnce(&g_tokenKindOnce, FindProcessTokenKind, nullptr, nullptr);
    return g_tokenKind;
}

}  // namespace qlLib
