// Concurrent runs: a patch in progress, another install of the product, its cache removal, and
// the mark of a run in progress.
#include "runtime/Isolation.h"
#include "runtime/OsVersion.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"

namespace TARN {

bool CInstallManager::LockHeldElsewhere(const std::wstring& folder, const std::wstring& name) {
    qlLib::CSingleInstanceLock probe;
    // Only a test: the lock goes again with the probe.
    return !probe.SetFolder(folder) || probe.Create(name.c_str(), true) == 0;
}

HRESULT CInstallManager::RunDeleteModeLock() {
    std::wstring name;
    if (!qlLib::FormatString(name, L"%s_CleanUp", m_isolationGuid.c_str())) return E_OUTOFMEMORY;
    // Held for the whole run, so that no install starts while the cache goes.
    if (!m_instanceLock.SetFolder(m_baseInstallFolder) || m_instanceLock.Create(name.c_str(), true) != 1)
        TraceError(L"CInstallManager::Initialize(326) : failed to create global delete mode instance");
    return S_OK;
}

bool CInstallManager::PatchInstanceRunning(HRESULT& result) {
    result = S_OK;
    std::wstring installerRoot;
    if (!m_streams->GetWString(eStreamKey_BaseInstallFolder, &installerRoot)) {
        result = E_OUTOFMEMORY;
        return true;
    }
    if (!LockHeldElsewhere(installerRoot, kPatchLockName)) return false;
    TraceInfo(L"Another Patch instance is running");
    TellUser(eMessage_RunningText, eMessage_RunningCaption);
    return true;
}

HRESULT CInstallManager::ReadPatchMode() {
    m_patchMode = false;
    std::wstring root, rebootKey;
    if (!qlLib::CIsolation::GetIsolationRoot(root) || !qlLib::FormatString(rebootKey, L"%s\\Uninstall\\Reboot", root.c_str()))
        return S_OK;
    qlLib::CRegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, rebootKey.c_str(), KEY_READ)) return S_OK;
    TraceInfo(L"Uninstall Key found");
    m_patchFailureMode = 0;
    DWORD patchMode = 0;
    if (!key.QueryDWORD(L"PatchMode", patchMode)) return S_OK;
    TraceInfo(L"Patch failure mode: %lu", patchMode);
    m_patchMode = true;
    if (m_runModes.service) {
        m_patchFailureMode = patchMode;
        // The rebootless patch controller exists from Windows 7 on.
        if (qlLib::IsWindowsVersionOrGreater(6, 1)) {
            const HRESULT hr = NotifyPatchController();
            if (FAILED(hr)) return hr;
        }
    }
    // A patch that did not fail leaves a cache to be brought up to date by a new extraction.
    if (m_patchFailureMode == 0 && !m_runModes.overExistingCache) DeleteCompleteAndExtract();
    return S_OK;
}

bool CInstallManager::OtherInstanceRunning() {
    // A running install of the product with its window or tray comes forward; this run ends.
    if (CheckAndSignalOtherInstance(!m_runModes.overExistingCache)) return true;
    if (!m_instanceLock.SetFolder(m_baseInstallFolder)) return false;
    if (m_instanceLock.Create(m_isolationGuid.c_str(), true) == 0 && m_patchFailureMode == 0) {
        // A logon's run gives way to the install at work and comes back at the next logon.
        if (m_runModes.runOnceDone && RestoreRunOnceEntry()) return true;
        TraceError(L"CInstallManager::Initialize(458) : Another instance is already running");
        TellUser(eMessage_RunningText, eMessage_RunningCaption);
        return true;
    }
    std::wstring cleanUp;
    if (!qlLib::FormatString(cleanUp, L"%s_CleanUp", m_isolationGuid.c_str())) return false;
    if (LockHeldElsewhere(m_baseInstallFolder, cleanUp)) {
        TraceError(L"CInstallManager::Initialize(479) : A DeleteMode instance is already running");
        TellUser(eMessage_RunningText, eMessage_RunningCaption);
        return true;
    }
    return false;
}

void CInstallManager::CreateRunningSemaphore() {
    m_runningSemaphore.Reset(::CreateSemaphoreW(nullptr, 1, 100, kRunningSemaphoreName));
    if (!m_runningSemaphore.IsValid()) TraceError(L"Unable to create %s semaphore", kRunningSemaphoreName);
}

}  // namespace TARN
