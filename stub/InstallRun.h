#pragma once
#include <windows.h>

namespace TARN {

// What the entry point drives: one install run from start-up to its result.
class IInstallRun {
public:
    virtual ~IInstallRun() = default;
    // The whole start-up sequence and install; sets rebootRequested when the run asks for a
    // reboot. Returns the run's result, which becomes the process exit code.
    virtual HRESULT Initialize(bool& rebootRequested) = 0;
    // Asked once Initialize has returned: whether this process reports its end in the exit codes
    // of deployment tools (DeploymentExitCodes.h).
    virtual bool ReportsDeploymentExitCodes() { return false; }
    // Initialize ended because another install of the product was at work.
    virtual bool FoundAnotherInstall() const { return false; }
};

}  // namespace TARN
