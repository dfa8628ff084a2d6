#include "stub/StubProcess.h"

#include <objbase.h>

#include <new>

#include "runtime/CrashHandler.h"
#include "runtime/DebugOptions.h"
#include "runtime/DebugOutput.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"
#include "stub/DeploymentExitCodes.h"
#include "stub/InstallManager.h"
#include "stub/RebootSystem.h"
#include "system/ProcessStartupPriorityMgr.h"

namespace TARN {

namespace {

// A stub started with lowered priorities (e.g. by a background updater) gets its normal I/O,
// page and CPU priorities back. Failures are logged and the run goes on.
void StartPriorityManager(CProcessStartupPriorityMgr& priorityMgr) {
    const CProcessPrioritySetterMgr::eType setters[] = {CProcessPrioritySetterMgr::eIO,
                                                        CProcessPrioritySetterMgr::ePage,
                                                        CProcessPrioritySetterMgr::eCPU};
    for (CProcessPrioritySetterMgr::eType type : setters) {
        if (!priorityMgr.AddPrioritySetter(type)) {
            TraceError(L"wWinMain(95) : Unable to populate priority setters.");
            return;
        }
    }
    if (priorityMgr.Start())
        TraceInfo(L"Started priority manager!");
    else
        TraceError(L"wWinMain(90) : Unable to manage process startup priority levels.");
}

}  // namespace

std::unique_ptr<IInstallRun> CStubProcess::CreateInstallRun() {
    return std::unique_ptr<IInstallRun>(new (std::nothrow) CInstallManager());
}

bool CStubProcess::RequestReboot() {
    return RebootSystem();
}

HRESULT CStubProcess::Run() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    qlLib::HardenDllSearchPath();
    // Dumps carry the stub's version in their names.
    qlLib::g_CrashHandler.SetVersionText(MINISTUB_VERSION_TEXT);
    const DWORD startTick = ::GetTickCount();

    {
        // Without options (no isolation root yet) the trace log stays off until the install
        // run switches on its own file.
        qlLib::CDebugOptions options;
        if (options.Load()) {
            if (!qlLib::g_CrashHandler.SetOptions(options)) {
                TraceError(L"wWinMain(65) : g_CrashHandler.SetOptions() == FALSE\n");
            }
            qlLib::GetDebugOutput().ApplyLoadedOptions(options);
        }
    }

    HRESULT result = E_OUTOFMEMORY;
    {
        // Its worker runs until the install manager is gone; leaving this block stops it.
        CProcessStartupPriorityMgr priorityMgr;
        StartPriorityManager(priorityMgr);

        HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) {
            TraceError(L"wWinMain(104) : failed to coinitialize (0x%08x)", hr);
            return hr;
        }
        hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (hr != S_OK) TraceError(L"wWinMain(113) : CoInitializeSecurity() != S_OK, 0x%08X", hr);

        std::unique_ptr<IInstallRun> installManager = CreateInstallRun();
        if (installManager) {
            bool rebootRequested = false;
            result = installManager->Initialize(rebootRequested);
            const bool deploymentCodes = installManager->ReportsDeploymentExitCodes();
            // Requested before the manager goes: the shutdown only starts here, teardown goes on.
            const bool rebootDecided = ShouldReboot(result, rebootRequested);
            const bool rebootStarted = rebootDecided && RequestReboot();
            // Mapped once, by the process whose code nobody of ours reads any more.
            if (deploymentCodes) {
                const HRESULT mapped = ToDeploymentExitCode(result, rebootDecided, rebootStarted,
                                                            installManager->FoundAnotherInstall());
                if (mapped != result) TraceInfo(L"exit code for deployment tools: %ld for 0x%08x", mapped, result);
                result = mapped;
            }
        }
    }

    const DWORD endTick = ::GetTickCount();
    TraceInfo(L"Start: %lu, End: %lu, Total: %lu", startTick, endTick, endTick - startTick);
    TraceInfo(L"MiniStub: Returned (0x%08x)", result);
    return result;
}

}  // namespace TARN
