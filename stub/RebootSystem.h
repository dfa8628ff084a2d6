#pragma once
#include <windows.h>

namespace TARN {

// Results by which a run asks for a reboot of the machine.
constexpr HRESULT kResultRebootInitiated = static_cast<HRESULT>(0x80070669);   // ERROR_SUCCESS_REBOOT_INITIATED
constexpr HRESULT kResultSuccessRebootKeepCache = static_cast<HRESULT>(0x00047C04);
// SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION
constexpr DWORD kRebootReason = 0x00030002;

// Whether the entry point restarts the machine after a run with this result.
bool ShouldReboot(HRESULT result, bool rebootRequested);

// EWX_REBOOT | EWX_FORCE, with EWX_RESTARTAPPS on Windows 6.0 and later.
UINT GetRebootFlags();

using ExitWindowsFn = BOOL(WINAPI*)(UINT flags, DWORD reason);

// Enables the shutdown privilege and asks the system to restart; true when the restart was
// started. Without the privilege nothing happens. The call that starts the shutdown can be
// replaced for tests.
bool RebootSystem(ExitWindowsFn exitWindows = &::ExitWindowsEx);

}  // namespace TARN
