// The install behind the install UI (engine on the worker thread, UI loop on the main thread) or
// directly on the main thread, the one retry from the media, and the result tail: failure count,
// follow-up command, reboot tray, cache removal and the exit code.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/AdminToken.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "stub/RebootSystem.h"
#include "system/EnsureAccess.h"
#include "system/Registry.h"
#include "system/Utils.h"

namespace TARN {

namespace {

constexpr HRESULT kFollowUp = 0x00047C01;
constexpr HRESULT kFollowUpThenRemoveCache = 0x00047C02;
constexpr HRESULT kSuccessWithReboot = 0x00047C03;
constexpr HRESULT kKeepParentCacheReboot = 0x00047C04;
constexpr HRESULT kKeepParentCacheRebootRequired = 0x00047C05;
constexpr HRESULT kSkipCacheRemoval = static_cast<HRESULT>(0x80047C13);

// Results after which the cache is not extracted again from the media.
bool IsFinalFailure(HRESULT hr) {
    switch (static_cast<DWORD>(hr)) {
    case 0x80047C02: case 0x80047C05: case 0x80047C09: case 0x80047C14: case 0x800B0100: return true;
    default: return false;
    }
}

bool IsRebootResult(HRESULT hr) {
    return hr == CUtils::kRebootRequired || hr == kResultRebootInitiated;
}

}  // namespace

bool CInstallManager::ShouldShowErrors() {
    if (m_runModes.showErrorsValue.present) return m_runModes.ShowErrorsSwitch();
    bool show = false;
    return m_embeddedData.GetData(eEmbedded_ShowErrors, &show) && show;
}

bool CInstallManager::RetryFromMedia() {
    m_engine.Unload();
    m_installUI.Unload();
    TraceInfo(L"Start: Contains Package");
    CInstallUnpacker unpacker;
    if (!unpacker.ContainsPackage(m_mediaPath.c_str())) return false;
    TraceInfo(L"Finished: Contains Package");
    // The cache is touched only for a media that may be used.
    if (FAILED(m_media.Accept(m_mediaPath, m_ownPath.Path(), m_installerFile))) return false;
    TraceInfo(L"Start: Extract Package");
    std::wstring marker;
    if (qlLib::JoinPath(marker, m_installCache, CInstallUnpacker::kMarkerName) &&
        ::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ::SetFileAttributesW(marker.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(marker.c_str());
    }
    CInstallUnpacker extraction;
    const HRESULT hr = ExtractMediaPackage(extraction);
    TraceInfo(L"Finished: Extract Package: 0x%08x", hr);
    const bool retry = SUCCEEDED(hr) && !m_mediaRetryDone;
    m_mediaRetryDone = true;
    return retry;
}

void CInstallManager::NormalizeReboot() {
    bool noReboot = false;
    m_embeddedData.GetData(eEmbedded_NoReboot, &noReboot);
    if (m_runModes.noReboot || noReboot) {
        if (m_engineResult == kResultRebootInitiated) {
            m_engineResult = CUtils::kRebootRequired;
            TraceInfo(L"no reboot flag found, do not force reboot");
        }
    } else if (m_engineResult == CUtils::kRebootRequired) {
        m_engineResult = kResultRebootInitiated;
        TraceInfo(L"no reboot flag NOT found, force reboot");
    }
}

bool CInstallManager::RunWithUI(HRESULT& result) {
    const bool extended = m_quiet || m_patchFailureMode != 0 || m_stage;
    for (;;) {
        HRESULT hr = CreateUIFrame();
        if (FAILED(hr)) {
            TraceError(L"CInstallManager::Initialize(710) : CreateUIFrame failed (0x%08x)", hr);
            m_aborting = true;
            WaitForThread(INFINITE);
            m_aborting = false;
            if (RetryFromMedia()) continue;
            result = ReportAndReturn(eHint_CreateUIFrame, hr);
            return false;
        }
        qlLib::CComPtr<IInstallUI> ui;
        HRESULT uiResult = S_OK;
        if (extended) {
            qlLib::CComPtr<IInstallUIFrame> frame;
            hr = m_installUI.GetFrame(frame.Receive());
            if (FAILED(hr)) {
                TraceError(L"CInstallManager::Initialize(738) : GetFrame failed (0x%08x)", hr);
                m_aborting = true;
                result = ReportAndReturn(eHint_GetFrame, hr);
                return false;
            }
            uiResult = m_installUI.GetInstallUI(m_uiOption, ui.Receive());
        }
        if (!StartThread()) {
            ReportFailure(eHint_WorkerThread, E_UNEXPECTED);
            TraceError(L"CInstallManager::Initialize(762) : Create thread failed");
            result = E_UNEXPECTED;
            return false;
        }
        if (extended) {
            if (FAILED(uiResult) || !ui) {
                TraceError(L"CInstallManager::Initialize(771) : GetInstallUI failed (0x%08x)", uiResult);
                m_aborting = true;
                WaitForThread(INFINITE);
                // No install UI is a failure even when the call itself claimed success.
                result = ReportAndReturn(eHint_GetInstallUI, FAILED(uiResult) ? uiResult : E_UNEXPECTED);
                return false;
            }
            // Nobody watches: the frame must close by itself when the engine ends.
            ui->SetInteractive(FALSE);
        }
        m_installUI.DisplayFrame(m_uiOption);
        WaitForThread(INFINITE);
        if (FAILED(m_engineResult) && !IsRebootResult(m_engineResult) && m_retryAllowed && RetryFromMedia()) continue;
        if (m_quiet || m_basicUI) NormalizeReboot();
        return true;
    }
}

bool CInstallManager::RunDirect(HRESULT& result) {
    for (;;) {
        Run();
        if (SUCCEEDED(m_engineResult) || IsRebootResult(m_engineResult) || IsFinalFailure(m_engineResult)) {
            NormalizeReboot();
            return true;
        }
        if (RetryFromMedia()) continue;
        result = ReportAndReturn(eHint_DirectRun, m_engineResult);
        return false;
    }
}

HRESULT CInstallManager::RunInstall(bool& rebootRequested) {
    HRESULT result = S_OK;
    const bool toTail = (!m_quiet || ShouldShowErrors()) ? RunWithUI(result) : RunDirect(result);
    return toTail ? ResultTail(rebootRequested) : result;
}

void CInstallManager::ResetFailureCount() {
    CRegistry key;
    if (!key.Open(kFailureCountKey, HKEY_LOCAL_MACHINE, KEY_READ | KEY_WRITE)) return;
    // Values and subkeys both go: the count restarts after a success.
    key.DeleteTree();
}

HRESULT CInstallManager::ResultTail(bool& rebootRequested) {
    const bool haveResults = static_cast<bool>(m_engineResults);
    if (FAILED(m_engineResult)) {
        bool reported = false;
        if (haveResults && !(m_engineResults->GetBool(eResult_FailureReported, &reported) && reported)) {
            DWORD hint = 0;
            m_engineResults->GetDword(eResult_FailureHint, &hint);
            ReportAndReturn(static_cast<int>(hint), m_engineResult);
        }
    } else {
        ResetFailureCount();
    }

    std::wstring command;
    if (haveResults && (m_engineResult == kFollowUp || m_engineResult == kFollowUpThenRemoveCache) &&
        m_engineResults->GetWString(eResult_FollowUpCommand, &command) && !command.empty())
        return RunFollowUpCommand(command);

    bool cleanUp = false;
    if (haveResults) m_engineResults->GetBool(eResult_RemoveCache, &cleanUp);

    bool suppressTray = false;
    bool launchTray = false;
    if (haveResults && m_engineResult == CUtils::kRebootRequired &&
        !(m_embeddedData.GetData(eEmbedded_NoRebootTray, &suppressTray) && suppressTray))
        m_engineResults->GetBool(eResult_LaunchRebootTray, &launchTray);
    if (launchTray && LaunchRebootTray()) cleanUp = false;

    m_streams = nullptr;
    m_engine.Unload();
    m_installUI.Unload();
    if (cleanUp) CleanUpCache();
    if (!haveResults) return m_engineResult;

    rebootRequested = m_engineResult == kResultRebootInitiated || m_engineResult == kSuccessWithReboot;
    TraceInfo(L"engine returned: 0x%08x (reboot: %d)", m_engineResult, rebootRequested ? 1 : 0);
    bool keepParentCache = false;
    if (!cleanUp && m_runModes.lastInstallRelaunch &&
        m_engineResults->GetBool(eResult_KeepParentCache, &keepParentCache) && keepParentCache) {
        if (rebootRequested) {
            m_engineResult = kKeepParentCacheReboot;
        } else if (m_engineResult == CUtils::kRebootRequired) {
            m_engineResult = kKeepParentCacheRebootRequired;
        }
        TraceInfo(L"change return code so initial setup doesn't delete its cache: 0x%08x", m_engineResult);
    }
    DWORD returnCode = 0;
    if (m_engineResults->GetDword(eResult_ReturnCode, &returnCode)) return static_cast<HRESULT>(returnCode);
    return m_engineResult;
}

HRESULT CInstallManager::RunFollowUpCommand(const std::wstring& command) {
    // The command may run a stub of this product itself.
    m_instanceLock.Release();
    std::wstring program, arguments;
    if (!CUtils::SplitCommand(command.c_str(), program, arguments)) {
        // The engine's results are no place for the system to search a program in.
        TraceError(L"CInstallManager::Initialize(870) : Unable to execute %s (it does not start with the full "
                   L"path of a program)",
                   command.c_str());
        return CUtils::ErrorResult(ERROR_FILE_NOT_FOUND);
    }
    DWORD exitCode = 0;
    const HRESULT started = CUtils::ExecuteProgramEx(&exitCode, program.c_str(), arguments.c_str());
    if (FAILED(started)) {
        TraceError(L"CInstallManager::Initialize(870) : Unable to execute %s", command.c_str());
        // A command that never ran has no exit code to pass on; its failure is the result.
        return started;
    }
    HRESULT mapped = static_cast<HRESULT>(exitCode);
    if (mapped == kKeepParentCacheReboot) {
        mapped = kResultRebootInitiated;
    } else if (mapped == kKeepParentCacheRebootRequired) {
        mapped = CUtils::kRebootRequired;
    }
    if (static_cast<HRESULT>(exitCode) != kSkipCacheRemoval) {
        bool removeCache = false;
        m_engineResults->GetBool(eResult_RemoveCache, &removeCache);
        if (removeCache || m_engineResult == kFollowUpThenRemoveCache) {
            if (mapped == kResultRebootInitiated) m_rebootAfterCleanUp = true;
            CleanUpCache();
        }
    }
    return mapped;
}

bool CInstallManager::LaunchRebootTray() {
    std::wstring program, parameters;
    if (!qlLib::JoinPath(program, m_installCache, CInstallUnpacker::kStubName) ||
        !qlLib::FormatString(parameters, L"/%s", L"TRAYONLY"))
        return false;
    // The tray reads the product's settings from its own file, and the cached stub of a cache
    // this run extracted has none yet: without them the tray would end before it showed.
    qlLib::CComPtr<qlLib::IKeyValueCollection> settings = qlLib::CKeyValueCollectionImpl::New();
    if (!m_runModes.overExistingCache && settings && m_embeddedData.GetCollection(settings.Get()))
        MoveEmbeddedDataToCachedStub(program, settings.Get());
    if (qlLib::IsLocalSystemProcess()) {
        // The tray belongs in the users' sessions. The trays run the cached stub: a cache that
        // went now would take their program and language modules away.
        TraceInfo(L"Running as SYSTEM");
        return LaunchTrayInActiveSessions(program, parameters);
    }
    TraceInfo(L"Launching: %s %s", program.c_str(), parameters.c_str());
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.lpVerb = L"open";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (::ShellExecuteExW(&info)) return true;
    TraceError(L"CInstallManager::Initialize(968) : failed to launch \"%s\" in tray mode (%lu), use this process for tray mode",
               program.c_str(), ::GetLastError());
    m_engineResult = ShowRebootTray();
    return false;
}

void CInstallManager::CleanUpCache() {
    std::wstring folder = m_installCache;
    const bool quietAndComplete = m_quiet && !NeedsPackageExtraction();
    if (quietAndComplete && m_runModes.ignoreAddOns) {
        qlLib::RemoveTrailingBackslashes(folder);
        std::vector<wchar_t> parent(folder.begin(), folder.end());
        parent.push_back(L'\0');
        if (::PathRemoveFileSpecW(parent.data())) folder = parent.data();
    }
    const bool finalResult = m_engineResult == kFollowUp || m_engineResult == kFollowUpThenRemoveCache ||
                             m_engineResult == kSuccessWithReboot || IsFinalFailure(m_engineResult);
    const bool rebooting =
        m_engineResult == kResultRebootInitiated || m_engineResult == kSuccessWithReboot || m_rebootAfterCleanUp;
    if (quietAndComplete || finalResult) {
        bool atReboot = false;
        if (!SetupAndLaunchRemovalProcess(folder)) {
            CUtils::SetRebootFlag();
            TraceInfo(L"set reboot flag");
            atReboot = true;
        }
        if (rebooting || quietAndComplete) atReboot = true;
        TraceInfo(L"deleting folder: %s (reboot: %d)", folder.c_str(), atReboot ? 1 : 0);
        CUtils::DeleteFolder(folder.c_str(), atReboot, false);
    } else {
        SetupAndLaunchRemovalProcess(m_baseInstallFolder);
        if (rebooting) {
            TraceInfo(L"deleting folder (reboot): %s", m_baseInstallFolder.c_str());
            CUtils::DeleteFolder(m_baseInstallFolder.c_str(), true, false);
        }
    }
    if (CUtils::GetInstallerRoot(m_baseInstallFolder)) {
        TraceInfo(L"deleting empty folders: %s", m_baseInstallFolder.c_str());
        CUtils::DeleteEmptyFolders(m_baseInstallFolder.c_str());
    }
}

}  // namespace TARN
