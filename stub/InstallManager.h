#pragma once
// The one object that drives an install run. Its start-up sequence is spread over files by
// concern: InstallManager.cpp (the sequence and the run modes), InstallManagerPaths.cpp (folders),
// InstallManagerEmbeddedData.cpp (the product settings and what is handed to the engine),
// InstallManagerModes.cpp (validation, test mode, the UI frame), InstallManagerInstances.cpp
// (concurrent runs), InstallManagerService.cpp (the product's services),
// InstallManagerLanguages.cpp (language folders and message boxes) and InstallManagerFailure.cpp
// (failure counting).
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "components/EngineWrapper.h"
#include "components/InstallUIWrapper.h"
#include "package/FileDataExtender.h"
#include "package/InstallerFile.h"
#include "package/MediaPackage.h"
#include "package/StreamKeys.h"
#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"
#include "runtime/CommandLine.h"
#include "runtime/Handles.h"
#include "runtime/SingleInstanceLock.h"
#include "runtime/SplitPath.h"
#include "runtime/WorkerThread.h"
#include "stub/InstallRun.h"
#include "stub/RunModes.h"

namespace TARN {

class CShutdownBlockWindow;

// Keys of the product settings (the embedded data block) used during start-up.
enum EEmbeddedKey : DWORD {
    eEmbedded_ProductId = 0,
    eEmbedded_Version1 = 1,   // 1 to 4: parts of the version folder
    eEmbedded_DefaultLanguage = 5,
    eEmbedded_IsolationGuid = 9,
    eEmbedded_AddOnsMode = 11,
    eEmbedded_CompileGuid = 14,
    eEmbedded_IsolationRegistryRoot = 18,
    eEmbedded_UpgradeLayout = 19,
    eEmbedded_KeepWithoutLanguage = 21,   // a setup that lacks an installed language may go on
    eEmbedded_LanguagesToRemove = 52,     // "PPSS " codes
    eEmbedded_ShowErrors = 53,
    eEmbedded_NoRebootTray = 57,
    eEmbedded_NotStaged = 59,
    eEmbedded_AddOnsOff1 = 76,
    eEmbedded_AddOnsOff2 = 78,
    eEmbedded_AddOnsOff3 = 79,
    eEmbedded_PublishReturnCode = 116,
    eEmbedded_NoReboot = 126,
    eEmbedded_FirstCommandLine = 20001,
    eEmbedded_CommandLine = 20002,
    eEmbedded_NormalPath = 20022,
    eEmbedded_OwnPath = 20027,
    eEmbedded_ManifestFolder = 20502,
    eEmbedded_CopyBaseFiles = 20513,
    eEmbedded_DeploymentExitCodes = 20520,   // boolean: as the switch "DEPLOYCODES"
    eEmbedded_UIOption = 51001,
};

// Strings of the install UI's language modules that the stub shows itself.
enum EMessageId : UINT {
    eMessage_ElevationCaption = 168,
    eMessage_ElevationTextXP = 169,
    eMessage_ElevationText = 170,
    eMessage_RunningText = 187,
    eMessage_RunningCaption = 188,
    eMessage_UsageText = 189,      // the switch summary of "/?"
    eMessage_UsageCaption = 190,
};

// Failure hints counted by ReportFailure.
enum EFailureHint : int {
    eHint_InitializePaths = 4,
    eHint_CreateDirectories = 5,
    eHint_InitializeEmbeddedData = 6,
    eHint_CreateUIFrame = 7,
    eHint_GetFrame = 8,
    eHint_MediaCheck = 9,
    eHint_WorkerThread = 10,
    eHint_ExtractLayout = 11,
    eHint_DirectRun = 12,
    eHint_GetInstallUI = 13,
    // Written by the engine run into the results (key 7) and reported from there.
    eHint_EngineLoad = 12,
    eHint_NoInstallUI = 13,
    eHint_EngineInitialize = 14,
};

class CInstallManager : public IInstallRun, public qlLib::CWorkerThread {
public:
    static constexpr HRESULT kEmbeddedDataUnreadable = static_cast<HRESULT>(0x80047D71);
    static constexpr HRESULT kNoProductId = static_cast<HRESULT>(0x80047D72);
    static constexpr HRESULT kIsolationMissing = static_cast<HRESULT>(0x80047C0D);
    static constexpr HRESULT kTestModeRefused = static_cast<HRESULT>(0x800704C7);
    // Never counted: the package's own signature is absent.
    static constexpr HRESULT kNoSignature = static_cast<HRESULT>(0x800B0100);
    // Engine results that allow one more extraction from the media.
    static constexpr HRESULT kRetryInitialize = static_cast<HRESULT>(0x80047C04);
    static constexpr HRESULT kRetryRun = static_cast<HRESULT>(0x80047C00);
    static const wchar_t kFailureCountKey[];   // "Software\Velmor\Install"
    static const wchar_t kPatchLockName[];
    static const wchar_t kRunningSemaphoreName[];

    CInstallManager();
    ~CInstallManager() override;
    CInstallManager(const CInstallManager&) = delete;
    CInstallManager& operator=(const CInstallManager&) = delete;

    HRESULT Initialize(bool& rebootRequested) override;
    // Not in a process that another stub process started and waits for: that one maps.
    bool ReportsDeploymentExitCodes() override;
    bool FoundAnotherInstall() const override { return m_anotherInstall; }

    // Reads the mode switches of the parsed command line into the members.
    HRESULT ReadRunModes();
    // Switches the process-wide trace log to the install run's file in logFolder, named
    // "VelmorInstall-<date>-<time>.log" ("DeleteMode-..." in delete mode).
    void InitializeLogging(const std::wstring& logFolder);
    // Points the trace log and the crash dumps at the log folder the run really uses.
    void PointLogsAt(const std::wstring& logFolder);
    // The log file's base name for a run started at the given local time.
    static bool FormatLogModuleName(std::wstring& name, bool deleteMode, const SYSTEMTIME& time);

    // Folders: installer root, log, temp and cache folders.
    HRESULT InitializePaths();
    HRESULT CreateDirectories();
    HRESULT EnsureCreateDirectory(const std::wstring& path);
    // Whether the log folder was named by the run that started this one (a delete-mode run).
    bool LogFolderGiven() const;
    bool GetCommonInstallFolder(std::wstring& path);

    // The product settings of the running executable, the cache folder they name, and the
    // numbered output manifest.
    HRESULT InitializeEmbeddedData();
    HRESULT InitializeOutputManifest();
    // False once the cache holds "finalzed.dat" or "complete.dat"; asked once per run.
    bool NeedsPackageExtraction();

    // "VALIDATE": the engine beside the stub checks the manifest beside it.
    HRESULT CheckValidationMode(bool& handled);
    // Whether code may be taken from folder (loaded, or copied to where it is loaded): with
    // administrator rights only when nobody but the administrators may write there, in the
    // folders below it too when the code may come from them.
    static bool IsCodeFolder(const std::wstring& folder, bool withSubfolders);
    // The same, with folder held open without delete sharing from before the judgement for as
    // long as hold lives: whoever may write the folder above it cannot move it (or a folder above
    // it) away and put another at its path after the judgement. Nothing is held when the answer
    // is no, or in a run without administrator rights.
    static bool HoldCodeFolder(const std::wstring& folder, bool withSubfolders, qlLib::CFileHandle& hold);
    // "TEST <folder>": dumps the package into a new folder (quiet runs only).
    HRESULT CheckTestMode(const std::wstring& targetFolder, bool& handled);
    // Loads the install UI from the cache.
    HRESULT CreateUIFrame();

    // Counts the run's first failure under HKLM "Software\Velmor\Install" "Count" and pings.
    void ReportFailure(int hint, HRESULT result);
    // Reports a failure to the statistics server (the test server first, then the production
    // one); count is the failure count before this run's. Every outcome is only logged.
    void SendPing(int hint, HRESULT result, DWORD count);

    // Removal of the install cache by a copy of the stub that outlives this process.
    bool SetupAndLaunchRemovalProcess(const std::wstring& folder);
    void HandleDeleteMode();
    static HANDLE OpenParentProcess();

    // Commands to the product's services over the IPC library.
    // The master service's answers: 0, or 1 when it cannot take the command now (E_INVALIDARG).
    HRESULT AcceptEULA();
    HRESULT ForceLoad();
    // "FORCECONFIG": the product's service started, the licence accepted ("silentcfgwiz"),
    // the product force-loaded.
    HRESULT RunSilentConfiguration();
    // Starts the service that the isolation root's "SERVICENAME" names when it is not running.
    HRESULT StartProductService();
    // Patch status for the rebootless patch controller, with the product's isolate.ini stepped
    // aside meanwhile. Fails only when its paths cannot be built; the rest is logged.
    HRESULT NotifyPatchController();
    // Language folders of the cache and the stub's own messages.
    // After an extraction: the language folders that the installed product does not use go
    // (key 52 names them); 1 when there is nothing to remove.
    HRESULT RemoveLanguages();
    // The cache's languages against the installed product's: list gets the unused ones as
    // "PPSS " codes; keep when a missing language may be tolerated and key 52 stands as it is.
    HRESULT CompareLanguages(std::wstring& list, bool addOns, bool& keep);
    // Key 5 from folder's "fallback.dat".
    HRESULT UpdateDefaultLanguageFromDisk(const std::wstring& folder);
    // The package's language module for the system or default language, in the temp folder.
    HRESULT ExtractResourceDll(std::wstring& path);
    // A message box with two strings of the language module (the installed product's, else the
    // package's); right-to-left for Arabic and Hebrew.
    HRESULT ShowMB(UINT textId, UINT captionId);
    // ShowMB where someone may be there to answer it: not in quiet runs, unless errors are shown.
    void TellUser(UINT textId, UINT captionId);
    // The switch summary of "/?": the language module's text, else the built-in English one.
    void ShowUsage();
    // The engine run: the worker thread's body in UI runs, called directly in quiet ones.
    DWORD Run() override;
    HRESULT ExtractLayout();
    bool LoadCurrentManifest();
    bool IsDepPatchWaiting(const std::wstring& productId);
    void LaunchEngine();
    // Moves the cache back to "package to be extracted", keeping the layout.
    bool DeleteCompleteAndExtract();
    bool LayoutExists();
    bool WriteLayoutMarker();

    // The install and its result, once the start-up is done.
    virtual HRESULT RunInstall(bool& rebootRequested);
    bool ShouldShowErrors();
    // Extracts the package once more from the media; true when the run should be repeated.
    bool RetryFromMedia();
    void CleanUpCache();

    // The reboot tray in this process: 0x80070669 when the user chose to restart, 0x80070BC2 when
    // the tray ended otherwise.
    HRESULT ShowRebootTray();
    // As LocalSystem: "program parameters" started in every interactive user session (the
    // console session once, never session 0 on Vista and later); true when one was started.
    bool LaunchTrayInActiveSessions(const std::wstring& program, const std::wstring& parameters);
    bool IsUserSession(DWORD session);
    bool LogUserName(DWORD session);
    // Whether the product's install UI shows a frame or tray in another process; with signal it
    // is asked to come forward.
    bool CheckAndSignalOtherInstance(bool signal);
    // While the package is missing from the MEDIA path: the media page, then the extraction
    // from the path the user chose. Fails only for the page (extraction keeps the extraction's).
    HRESULT AskForMedia(HRESULT& extraction);

    // Runs handed to another process: the RunOnce relaunch, its entry written back, elevation.
    HRESULT RunOnceRelaunch(bool& handled);
    bool RestoreRunOnceEntry();
    HRESULT AdminRelaunch(bool& handled);
    void ShowElevationMessage();
    static bool IsUacDisabled();

    const qlLib::CCommandLine& CommandLine() const { return m_commandLine; }
    const CRunModes& RunModes() const { return m_runModes; }
    const std::wstring& MediaPath() const { return m_mediaPath; }
    const std::wstring& BaseInstallFolder() const { return m_baseInstallFolder; }
    const std::wstring& InstallCache() const { return m_installCache; }
    const std::wstring& LogFolder() const { return m_logFolder; }
    HRESULT EngineResult() const { return m_engineResult; }
    const std::wstring& TempFolder() const { return m_tempFolder; }
    bool IsQuiet() const { return m_quiet; }
    bool IsBasicUI() const { return m_basicUI; }
    bool IsStage() const { return m_stage; }
    bool IsTrayOnly() const { return m_trayOnly; }
    DWORD PublishResults() const { return m_publishResults; }
    qlLib::IKeyValueCollection* Streams() const { return m_streams.Get(); }

protected:
    // The administrator token test and the elevated start, replaceable where the system
    // cannot show a limited token or a refused prompt.
    virtual bool IsElevatedAdministrator(bool& limited);
    virtual BOOL ShellExecuteElevated(SHELLEXECUTEINFOW& info);
    // The session layer, replaceable where the system has no user sessions to show: the console
    // session (0xFFFFFFFF: none), whether a session has a user's token (firstError: why the
    // terminal services gave none), and the start of a program in a session
    // (kSessionNotPrepared when the session's user cannot be prepared).
    static constexpr HRESULT kSessionNotPrepared = static_cast<HRESULT>(0x80070520);   // ERROR_NO_SUCH_LOGON_SESSION; never an exit code
    virtual DWORD ActiveConsoleSession();
    // The active sessions with a user (from the terminal services, else from the LSA's
    // interactive logons); false when there are none.
    virtual bool GetInteractiveSessions(qlLib::IIndexValueCollection* sessions);
    virtual bool SessionHasUserToken(DWORD session, DWORD& firstError);
    virtual HRESULT LaunchInSession(DWORD session, const std::wstring& command);

    // How long the failure ping may take, both servers together; after that the run goes on
    // without it.
    DWORD m_pingDeadlineMs = 30000;

private:
    // Starts the elevated copy ("runas") on a thread of its own and waits for it to end.
    class CRelaunchThread : public qlLib::CWorkerThread {
    public:
        explicit CRelaunchThread(CInstallManager& owner) : m_owner(owner) {}
        ~CRelaunchThread() override;
        bool SetFile(const std::wstring& file);
        BOOL Launch(const std::wstring& parameters);
        DWORD Run() override;
        DWORD LaunchError() const { return m_launchError; }
        DWORD ExitCode() const { return m_exitCode; }

    private:
        CInstallManager& m_owner;
        std::wstring m_file;
        std::wstring m_parameters;
        BOOL m_launched = FALSE;
        DWORD m_launchError = 0;
        DWORD m_exitCode = 0;
    };

    bool SplitOwnPath();
    // ShowMB's two strings and the language whose reading direction they take.
    HRESULT LoadMessage(UINT textId, UINT captionId, std::wstring& text, std::wstring& caption, LANGID& language);
    // Pieces of Initialize.
    HRESULT ReportAndReturn(int hint, HRESULT result);
    HRESULT RunDeleteModeLock();
    bool PatchInstanceRunning(HRESULT& result);
    HRESULT ReadPatchMode();
    bool OtherInstanceRunning();
    void CreateRunningSemaphore();
    HRESULT ExtractPackage();
    // The package of the media path into the install cache, once the media is accepted.
    HRESULT ExtractMediaPackage(CInstallUnpacker& unpacker);
    HRESULT PrepareEngineData();
    void MoveEmbeddedDataToCachedStub(const std::wstring& cachedStub, qlLib::IKeyValueCollection* engineData);
    // Whether the single-instance lock name is held by another process (false when this
    // process could take it: the test lock is given back at once).
    bool LockHeldElsewhere(const std::wstring& folder, const std::wstring& name);
    bool SetStreamString(DWORD key, const std::wstring& value);
    // The engine's initialisation and run behind the install UI or a silent document.
    void RunEngine(CShutdownBlockWindow& window);
    void PublishReturnCode();
    // The two run styles; true to go on with the result tail, false to return result.
    bool RunWithUI(HRESULT& result);
    bool RunDirect(HRESULT& result);
    void NormalizeReboot();
    HRESULT ResultTail(bool& rebootRequested);
    HRESULT RunFollowUpCommand(const std::wstring& command);
    // True when another process now shows the tray (and keeps the cache).
    bool LaunchRebootTray();
    void ResetFailureCount();

    qlLib::CCommandLine m_commandLine;
    qlLib::CSplitPath m_ownPath;
    // Held from the start: what the run reads of its own file is what it was started from.
    CInstallerFile m_installerFile;
    CRunModes m_runModes;
    std::wstring m_baseInstallFolder;
    std::wstring m_installCache;
    std::wstring m_logFolder;
    std::wstring m_tempFolder;
    // The common application data folder the log and temp folders lie below.
    std::wstring m_dataRoot;
    std::wstring m_productId;
    std::wstring m_mediaPath;
    CMediaPackage m_media;
    // The folder of a last-install relaunch's manifest, held while the engine may read it.
    qlLib::CFileHandle m_manifestFolder;
    std::wstring m_isolationGuid;
    CFileDataExtender m_embeddedData;
    bool m_embeddedDataOpen = false;
    bool m_quiet;
    bool m_basicUI;
    bool m_stage;
    bool m_trayOnly;
    DWORD m_patchFailureMode;
    bool m_patchMode;
    bool m_extractionNeeded;
    bool m_extractionAnswerCached;
    bool m_failureReported;
    bool m_anotherInstall = false;
    // Written by the main thread only while the worker thread is not running or about to be
    // waited for; read by the worker before it starts the engine.
    volatile bool m_aborting;
    bool m_retryAllowed;
    bool m_mediaRetryDone;
    bool m_rebootAfterCleanUp;
    HRESULT m_engineResult;
    qlLib::CComPtr<qlLib::IKeyValueCollection> m_engineResults;
    bool m_uiOption;
    DWORD m_publishResults;
    CInstallUIWrapper m_installUI;
    CEngineWrapper m_engine;
    qlLib::CComPtr<qlLib::IKeyValueCollection> m_streams;
    // The process-wide lock: the product's instance lock, or the delete-mode lock.
    qlLib::CSingleInstanceLock m_instanceLock;
    qlLib::CKernelHandle m_runningSemaphore;
};

}  // namespace TARN
