#pragma once
#include <windows.h>

namespace qlLib {

// Whether the thread's (else the process's) token holds BUILTIN\Administrators. limited is set
// when the group is there but not enabled (an administrator's filtered token under UAC). Before
// NT there are no tokens: true, not limited. Any failure answers false.
bool IsAdministratorToken(bool& limited);

}  // namespace qlLib
