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

bool RebootSystem(ExitWindowsFn exitWindows) {
    qlLib::CPrivilegeHolder privilege(SE_SHUTDOWN_NAME);
    if (!privilege.IsEnabled() || !exitWindows) return false;
    // Only starts the shutdown; the answer matters only to the deployment tools' exit codes.
    return exitWindows(GetRebootFlags(), kRebootReason) != FALSE;
}

}  // namespace TARN
