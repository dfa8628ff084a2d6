#pragma once
// The life of the stub's process: process-wide settings, COM, one install run, the reboot
// decision, teardown and the timing lines. wWinMain runs one of these.
#include <windows.h>

#include <memory>

#include "stub/InstallRun.h"

namespace TARN {

class CStubProcess {
public:
    virtual ~CStubProcess() = default;
    // The entry sequence; returns the process exit code.
    HRESULT Run();

protected:
    // The run to drive: a CInstallManager. Null when it cannot be allocated.
    virtual std::unique_ptr<IInstallRun> CreateInstallRun();
    // Restarts the machine; true when the restart was started. The shipped stub calls the
    // system; tests observe the request.
    virtual bool RequestReboot();
};

}  // namespace TARN
