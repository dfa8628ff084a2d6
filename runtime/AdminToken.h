#pragma once
#include <windows.h>

namespace qlLib {

// Whether the thread's (else the process's) token holds BUILTIN\Administrators. limited is set
// when the group is there but not enabled (an administrator's filtered token under UAC). Before
// NT there are no tokens: true, not limited. Any failure answers false.
bool IsAdministratorToken(bool& limited);

// Whether the process runs as LocalSystem (its token's user is SYSTEM).
bool IsLocalSystemProcess();

// What the process may do beyond its own user's objects: nothing (an ordinary or a limited
// token), an elevated administrator's rights, or the system's. Found once per process.
enum ETokenKind { eToken_User, eToken_ElevatedAdministrator, eToken_LocalSystem };
ETokenKind ProcessTokenKind();

}  // namespace qlLib
