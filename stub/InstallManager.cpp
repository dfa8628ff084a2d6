#include "stub/InstallManager.h"

#include <new>

#include "package/KeyValueCollectionImpl.h"
#include "runtime/CrashHandler.h"
#include "runtime/DebugOptions.h"
#include "runtime/DebugOutput.h"
#include "runtime/Isolation.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/RebootSystem.h"
#include "system/OwnFolder.h"
#include "system/Utils.h"

namespace TARN {

const wchar_t CInstallManager::kFailureCountKey[] = L"Software\\Velmor\\Install";
const wchar_t CInstallManager::kPatchLockName[] = L"TARN_{66F78E3E-B9A1-4723-A090-E48BBECF7802}";
const wchar_t CInstallManager::kRunningSemaphoreName[] = L"Global\\TARN_Install_Running";

CInstallManager::CInstallManager()
    : m_quiet(false),
      m_basicUI(false),
      m_stage(false),
      m_trayOnly(false),
      m_patchFailureMode(0),
      m_patchMode(false),
      m_extractionNeeded(true),
      m_extractionAnswerCached(false),
      m_failureReported(false),
      m_aborting(false),
      m_retryAllowed(false),
      m_mediaRetryDone(false),
      m_rebootAfterCleanUp(false),
      m_engineResult(S_OK),
      m_uiOption(false),
      m_publishResults(0) {}

CInstallManager::~CInstallManager() {
    m_runningSemaphore.Close();
    WaitForThread(INFINITE);
    m_streams = nullptr;
    m_engine.Unload();
    m_installUI.Unload();
}

HRESULT CInstallManager::ReportAndReturn(int hint, HRESULT result) {
    if (result != kNoSignature) ReportFailure(hint, result);
    return result;
}

HRESULT CInstallManager::Initialize(bool& rebootRequested) {
    rebootRequested = false;

    // A command line that does not parse is no reason to stop: the switches read before the
    // fault still count (none at all after an unclosed quote).
    if (!m_commandLine.Parse())
        TraceError(L"CInstallManager::Initialize(118) : failed to parse the command line [%s]\n",
                   ::GetCommandLineW());
    if (!SplitOwnPath())
        TraceError(L"CInstallManager::Initialize(121) : failed to get the path of the running module (%lu)\n",
                   ::GetLastError());

    if (CRunModes::IsHelpOnly(m_commandLine)) {
        ShowUsage();
        return S_OK;
    }

    bool handled = false;
    HRESULT hr = RunOnceRelaunch(handled);
    if (handled) return hr;
    hr = CheckValidationMode(handled);
    if (handled) return hr;

    hr = ReadRunModes();
    if (FAILED(hr)) return hr;

    if (m_runModes.test.hasValue) return CheckTestMode(m_runModes.test.value, handled);

    m_streams = qlLib::CKeyValueCollectionImpl::New();
    if (!m_streams) {
        TraceError(L"CInstallManager::Initialize(144) : failed to create CKeyValueCollectionImpl");
        return E_OUTOFMEMORY;
    }

    hr = InitializePaths();
    if (FAILED(hr)) return ReportAndReturn(eHint_InitializePaths, hr);

    if (m_trayOnly) {
        hr = InitializeEmbeddedData();
        if (FAILED(hr)) {
            TraceError(L"CInstallManager::Initialize(175) : InitializeEmbeddedData failed (0x%08x)", hr);
            return hr;
        }
        hr = ShowRebootTray();
        rebootRequested = hr == kResultRebootInitiated;
        return hr;
    }

    InitializeLogging(m_logFolder);

    if (m_runModes.service || m_runModes.runOnceDone) {
        // Started by a service or at logon: the user's shell must be up before any window.
        while (!::GetDesktopWindow() || !::FindWindowW(L"Shell_TrayWnd", nullptr)) {
            TraceInfo(L"(NULL == GetDesktopWindow()): %lu", ::GetLastError());
            ::Sleep(1000);
        }
    }

    if (m_runModes.forceConfig) return RunSilentConfiguration();

    hr = AdminRelaunch(handled);
    if (handled) return hr;

    hr = CreateDirectories();
    if (FAILED(hr)) return ReportAndReturn(eHint_CreateDirectories, hr);
    // Decided at the start, before the log had a folder to say so in.
    qlLib::CIsolation::ReportIgnoredFile();

    hr = InitializeEmbeddedData();
    if (FAILED(hr)) {
        ReportAndReturn(eHint_InitializeEmbeddedData, hr);
        TraceError(L"CInstallManager::Initialize(306) : InitializeEmbeddedData failed (0x%08x)", hr);
        return hr;
    }
    m_embeddedData.SetData(eEmbedded_NormalPath, true);

    if (m_runModes.deleteMode) {
        hr = RunDeleteModeLock();
        if (FAILED(hr)) return hr;
        HandleDeleteMode();
        return S_OK;
    }

    if (!m_runModes.service && PatchInstanceRunning(hr)) {
        m_anotherInstall = hr == S_OK;
        return hr;
    }

    hr = ReadPatchMode();
    if (FAILED(hr)) return hr;

    if (!m_runModes.SkipInstanceChecks() && OtherInstanceRunning()) {
        m_anotherInstall = true;
        return S_OK;
    }

    CreateRunningSemaphore();

    if (NeedsPackageExtraction()) {
        hr = ExtractPackage();
        const HRESULT asked = AskForMedia(hr);
        if (FAILED(asked)) return asked;
        if (FAILED(hr)) return hr;
        RemoveLanguages();
    }

    hr = PrepareEngineData();
    if (FAILED(hr)) return hr;

    std::wstring defaultLanguage;
    if (m_embeddedData.GetData(eEmbedded_DefaultLanguage, &defaultLanguage)) {
        hr = CUtils::WriteLanguageFallback(defaultLanguage.c_str(), m_installCache.c_str());
        if (FAILED(hr)) return hr;
    }

    hr = InitializeOutputManifest();
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::Initialize(631) : InitializeOutputManifest failed (0x%08x)", hr);
        return hr;
    }
    if (m_stage) TraceInfo(L"Stage cmd set");
    return RunInstall(rebootRequested);
}

bool CInstallManager::ReportsDeploymentExitCodes() {
    static const wchar_t* const kStartedByStub[] = {L"ADMIN", L"RODONE", L"LIRELAUNCH", L"DELETEMODE", L"TRAYONLY"};
    if (m_commandLine.HasAny(kStartedByStub, sizeof(kStartedByStub) / sizeof(kStartedByStub[0]))) return false;
    if (m_commandLine.Has(CRunModes::kDeploymentCodesSwitch)) return true;
    bool wanted = false;
    if (m_embeddedDataOpen) return m_embeddedData.GetData(eEmbedded_DeploymentExitCodes, &wanted) && wanted;
    // Runs that ended before the settings were read (the elevated relaunch's parent, say).
    CFileDataExtender settings;
    return settings.Initialize(m_ownPath.Path().c_str(), false) &&
           settings.GetData(eEmbedded_DeploymentExitCodes, &wanted) && wanted;
}

bool CInstallManager::SplitOwnPath() {
    std::wstring path;
    if (!qlLib::GetModulePath(nullptr, path)) return false;
    try {
        // Only a path with a generated short name ("NAME~1") has a longer form; asking costs a
        // lookup of every folder on the way.
        if (path.find(L'~') != std::wstring::npos) {
            std::wstring longPath(path.size() + MAX_PATH, L'\0');
            DWORD n = ::GetLongPathNameW(path.c_str(), &longPath[0], static_cast<DWORD>(longPath.size()));
            if (n >= longPath.size()) {
                longPath.resize(n);
                n = ::GetLongPathNameW(path.c_str(), &longPath[0], static_cast<DWORD>(longPath.size()));
            }
            if (n > 0 && n < longPath.size()) {
                longPath.resize(n);
                path.swap(longPath);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!m_ownPath.Split(path)) return false;
    m_installerFile.Open(path);
    return true;
}

HRESULT CInstallManager::ReadRunModes() {
    if (!m_runModes.Read(m_commandLine)) return E_OUTOFMEMORY;
    m_stage = m_runModes.stage;
    m_quiet = m_runModes.quiet;
    m_basicUI = m_runModes.basicUI;
    m_trayOnly = m_runModes.trayOnly;
    try {
        m_mediaPath = m_runModes.media.value.empty() ? m_ownPath.Path() : m_runModes.media.value;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_publishResults = m_runModes.PublishResults();
    return S_OK;
}

bool CInstallManager::FormatLogModuleName(std::wstring& name, bool deleteMode, const SYSTEMTIME& t) {
    return qlLib::FormatString(name, L"%s-%04d-%02d-%02d-%02dh%02dm%02ds",
                               deleteMode ? L"DeleteMode" : L"VelmorInstall", t.wYear, t.wMonth, t.wDay,
                               t.wHour, t.wMinute, t.wSecond);
}

void CInstallManager::InitializeLogging(const std::wstring& logFolder) {
    {
        qlLib::CDebugOutput& log = qlLib::GetDebugOutput();
        // Worker threads (the start-up priority manager's, say) keep tracing meanwhile.
        qlLib::CDebugOutput::CChangeGroup group(log);
        // The new name first: it closes the debug options' file without opening another, so the
        // setters below reopen nothing and the next line opens the run's log with all of them.
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        std::wstring name;
        if (FormatLogModuleName(name, m_commandLine.Has(L"DELETEMODE"), now)) log.SetModuleNameDirect(name.c_str());
        // Debugger output and the module filter keep what the debug options gave them.
        log.SetLevel(qlLib::eSeverity_Information);
        log.SetAppendNewLine(TRUE);
        log.SetPrependType(TRUE);
        log.SetPrependThreadId(TRUE);
        log.SetPrependProcessId(FALSE);
        log.SetPrependDateTime(TRUE);
        log.SetPrependModuleName(FALSE);
        log.SetOutputToFile(TRUE);
        log.SetAppendProcessIdToFile(FALSE);
        log.SetDirectory(logFolder.c_str());
        // Nothing is written into the log folder before CreateDirectories has made it the run's
        // own: another user may have made a folder of that name first.
        if (COwnFolder().Privileged()) log.HoldFileLines(true);
    }
    // Nor is a dump: a privileged run points its dumps there once the folder is its own.
    if (!COwnFolder().Privileged()) PointLogsAt(logFolder);
}

void CInstallManager::PointLogsAt(const std::wstring& logFolder) {
    qlLib::GetDebugOutput().SetDirectory(logFolder.c_str());
    // An install run keeps a dump of every kind of crash beside its log.
    qlLib::CDebugOptions crash;
    crash.CrashDirectory = logFolder;
    crash.DumpOnNew = crash.DumpOnException = crash.DumpOnPurecall = crash.DumpOnSecurity =
        crash.DumpOnInvalidParameter = 1;
    if (!qlLib::g_CrashHandler.SetOptions(crash)) {
        TraceError(L"TARN::CInstallManager::InitializeLogging(101) : g_CrashHandler.SetOptions() == FALSE");
    }
}

}  // namespace TARN
