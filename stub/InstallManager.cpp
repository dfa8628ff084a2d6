#include "stub/InstallManager.h"

#include <new>

#include "runtime/CrashHandler.h"
#include "runtime/DebugOptions.h"
#include "runtime/DebugOutput.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

CInstallManager::CInstallManager()
    : m_quiet(false), m_basicUI(false), m_stage(false), m_trayOnly(false), m_publishResults(0) {}

CInstallManager::~CInstallManager() = default;

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

    const HRESULT hr = ReadRunModes();
    if (FAILED(hr)) return hr;
    return S_OK;
}

bool CInstallManager::SplitOwnPath() {
    std::wstring path;
    if (!qlLib::GetModulePath(nullptr, path)) return false;
    try {
        const DWORD needed = ::GetLongPathNameW(path.c_str(), nullptr, 0);
        if (needed > 0) {
            std::wstring longPath(needed, L'\0');
            const DWORD n = ::GetLongPathNameW(path.c_str(), &longPath[0], needed);
            if (n > 0 && n < needed) {
                longPath.resize(n);
                path.swap(longPath);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return m_ownPath.Split(path);
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
    qlLib::CDebugOutput& log = qlLib::GetDebugOutput();
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

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring name;
    if (FormatLogModuleName(name, m_commandLine.Has(L"DELETEMODE"), now)) log.SetModuleNameDirect(name.c_str());

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
