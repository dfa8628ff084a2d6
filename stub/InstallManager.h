#pragma once
// The one object that drives an install run.
#include <windows.h>

#include <string>

#include "runtime/CommandLine.h"
#include "runtime/SplitPath.h"
#include "stub/InstallRun.h"
#include "stub/RunModes.h"

namespace TARN {

class CInstallManager : public IInstallRun {
public:
    CInstallManager();
    ~CInstallManager() override;
    CInstallManager(const CInstallManager&) = delete;
    CInstallManager& operator=(const CInstallManager&) = delete;

    HRESULT Initialize(bool& rebootRequested) override;

    // Reads the mode switches of the parsed command line into the members.
    HRESULT ReadRunModes();
    // Switches the process-wide trace log to the install run's file in logFolder, named
    // "VelmorInstall-<date>-<time>.log" ("DeleteMode-..." in delete mode).
    void InitializeLogging(const std::wstring& logFolder);
    // The log file's base name for a run started at the given local time.
    static bool FormatLogModuleName(std::wstring& name, bool deleteMode, const SYSTEMTIME& time);

    const qlLib::CCommandLine& CommandLine() const { return m_commandLine; }
    const CRunModes& RunModes() const { return m_runModes; }
    const std::wstring& MediaPath() const { return m_mediaPath; }
    bool IsQuiet() const { return m_quiet; }
    bool IsBasicUI() const { return m_basicUI; }
    bool IsStage() const { return m_stage; }
    bool IsTrayOnly() const { return m_trayOnly; }
    DWORD PublishResults() const { return m_publishResults; }

private:
    bool SplitOwnPath();

    qlLib::CCommandLine m_commandLine;
    qlLib::CSplitPath m_ownPath;
    CRunModes m_runModes;
    std::wstring m_mediaPath;
    bool m_quiet;
    bool m_basicUI;
    bool m_stage;
    bool m_trayOnly;
    DWORD m_publishResults;
};

}  // namespace TARN
