#include "stub/RebootSystem.h"

#include "runtime/OsVersion.h"
#include "runtime/PrivilegeHolder.h"

namespace TARN {

bool ShouldReboot(HRESULT result, bool rebootRequested) {
    return rebootRequested || result == kResultRebootInitiated || result == kResultSuccessRebootKeepCache;
}

UINT GetRebootFlags() {
    const UINT restartApps = 0x00000040;   // EWX_RESTARTAPPS, not known before Windows 6.0
    return qlLib::IsWindowsVersionOrGreater(6, 0) ? (EWX_REBOOT | EWX_FORCE | restartApps)
                                                  : (EWX_REBOOT | EWX_FORCE);
}

void RebootSystem(ExitWindowsFn exitWindows) {
    qlLib::CPrivilegeHolder privilege(SE_SHUTDOWN_NAME);
    if (!privilege.IsEnabled() || !exitWindows) return;
    exitWindows(GetRebootFlags(), kRebootReason);   // only starts the shutdown; the result is of no use
}

}  // namespace TARN
