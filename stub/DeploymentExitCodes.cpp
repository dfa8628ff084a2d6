#include "stub/DeploymentExitCodes.h"

#include "stub/RebootSystem.h"
#include "system/Utils.h"

namespace TARN {

namespace {

// Reboot required, and the setup that started this run keeps its cache.
constexpr HRESULT kRebootRequiredKeepCache = 0x00047C05;

bool IsRebootRequired(HRESULT result) {
    return result == CUtils::kRebootRequired || result == kRebootRequiredKeepCache;
}

}  // namespace

HRESULT ToDeploymentExitCode(HRESULT result, bool rebootDecided, bool rebootStarted, bool anotherInstall) {
    if (anotherInstall && result == S_OK) return kExitInstallRunning;
    // A failure keeps its code even when the run also asked for a restart.
    if (rebootDecided && (SUCCEEDED(result) || result == kResultRebootInitiated || IsRebootRequired(result)))
        return rebootStarted ? kExitRebootInitiated : kExitRebootRequired;
    if (IsRebootRequired(result)) return kExitRebootRequired;
    return result;
}

}  // namespace TARN
