#pragma once
// The exit codes that deployment tools watch for. A product or a command line that asks for them
// gets them instead of the stub's own reboot results, and instead of the quiet 0 of a run that
// gave way to another install of the product.
#include <windows.h>

namespace TARN {

constexpr HRESULT kExitRebootRequired = 3010;    // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr HRESULT kExitRebootInitiated = 1641;   // ERROR_SUCCESS_REBOOT_INITIATED
constexpr HRESULT kExitInstallRunning = 1618;    // ERROR_INSTALL_ALREADY_RUNNING

// The code the process returns for a run's result. rebootDecided: the entry point decided to
// restart the machine; rebootStarted: the restart was started (without the shutdown privilege it
// is not, and the machine still needs one); anotherInstall: the run ended because another install
// of the product was at work. Every other result stays as it is.
HRESULT ToDeploymentExitCode(HRESULT result, bool rebootDecided, bool rebootStarted, bool anotherInstall);

}  // namespace TARN
