// Runs handed to another process: the RunOnce relaunch (and its entry written back when another
// install is running), and the elevated relaunch of a stub without administrator rights.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "runtime/AdminToken.h"
#include "runtime/OsVersion.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/Registry.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr HRESULT kElevationRefused = static_cast<HRESULT>(0x80047C10);

// Windows XP has no RunOnce for this: the entry lives in Run.
const wchar_t* RunKeyPath() {
    return qlLib::IsWindowsXP() ? kRunKey : kRunOnceKey;
}

// " /NAME "value"" as the relaunch writes a switch with its value.
bool SwitchText(std::wstring& out, const wchar_t* name, const wchar_t* value) {
    return qlLib::FormatString(out, L" /%s \"%s\"", name, value ? value : L"");
}

}  // namespace

HRESULT CInstallManager::RunOnceRelaunch(bool& handled) {
    handled = false;
    if (!m_commandLine.Has(L"RUNONCE")) return S_OK;
    handled = true;

    std::wstring parameters;
    try {
        parameters = ::GetCommandLineW();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // Matched as the switch itself is, in any case and after either switch character: a
    // "/runonce" or "-RUNONCE" left in place would make the copy relaunch itself again, and its
    // copy, without end.
    if (!qlLib::CCommandLine::ReplaceSwitch(parameters, L"RUNONCE", L"/RODONE")) return E_OUTOFMEMORY;

    qlLib::CCommandLine commandLine;
    commandLine.Parse();
    if (commandLine.Has(L"PRODID")) {
        // The entry's own subkey keeps the switches that did not fit into the entry.
        qlLib::CRegKey run;
        const bool runOpen = run.Open(HKEY_LOCAL_MACHINE, RunKeyPath(), KEY_ALL_ACCESS);
        if (!runOpen) TraceError(L"CInstallManager::RunOnceRelaunch(1188) : failed to open RunOnce: %lu", run.GetLastError());
        if (const wchar_t* productId = commandLine.GetValue(L"PRODID")) {
            qlLib::CRegKey entry;
            if (!entry.Open(run.Get(), productId, KEY_READ)) {
                TraceError(L"CInstallManager::RunOnceRelaunch(1197) : failed to open RunOnce subkey (%s): %lu", productId,
                           entry.GetLastError());
            } else if (runOpen) {
                for (const wchar_t* name : {L"PATH", L"MEDIA"}) {
                    std::wstring value, text;
                    if (!entry.QueryString(name, value)) continue;
                    if (!SwitchText(text, name, value.c_str())) return E_OUTOFMEMORY;
                    try {
                        parameters += text;
                    } catch (const std::bad_alloc&) {
                        return E_OUTOFMEMORY;
                    }
                }
            }
        }
    }

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.lpVerb = L"open";
    info.lpFile = m_ownPath.Path().c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) {
        TraceWarning(L"CInstallManager::RunOnceRelaunch(1242) : ShellExecuteEx failed (%lu), continue installing",
                     ::GetLastError());
        handled = false;
    }
    return S_OK;
}

bool CInstallManager::RestoreRunOnceEntry() {
    std::wstring line;
    try {
        line = ::GetCommandLineW();
    } catch (const std::bad_alloc&) {
        return false;
    }
    TraceInfo(L"readding run once. Old Commandline: %s", line.c_str());
    qlLib::CCommandLine commandLine;
    commandLine.Parse();

    if (!qlLib::ReplaceAll(line, L"/RODONE", L"/RUNONCE")) return false;
    if (commandLine.Has(L"ADMIN")) {
        TraceInfo(L"removing ADMIN switch");
        if (!qlLib::ReplaceAll(line, L"/ADMIN", L"")) return false;
    }
    // The switches the entry's subkey adds again at the next relaunch.
    const struct {
        const wchar_t* name;
        const wchar_t* message;
    } carried[] = {{L"PATH", L"removing PATH switch"}, {L"MEDIA", L"removing MEDIA switch"}};
    for (const auto& item : carried) {
        if (!commandLine.Has(item.name)) continue;
        std::wstring text;
        if (!SwitchText(text, item.name, commandLine.GetValue(item.name))) return false;
        TraceInfo(item.message);
        if (!qlLib::ReplaceAll(line, text, L"")) return false;
    }
    // A relaunched copy has its own path twice at the front: once is enough.
    std::wstring quoted;
    if (!qlLib::FormatString(quoted, L"\"%s\"", m_ownPath.Path().c_str())) return false;
    TraceInfo(L"removing extra commands at the beginning.");
    if (!qlLib::ReplaceAll(line, quoted, L"")) return false;
    try {
        line.insert(0, quoted);
    } catch (const std::bad_alloc&) {
        return false;
    }

    // Opened by force: an entry that cannot be written back is a run lost for good.
    CRegistry run;
    HRESULT hr = run.ForceOpenKey(RunKeyPath(), HKEY_LOCAL_MACHINE, true);
    if (SUCCEEDED(hr) && !run.Open(RunKeyPath(), HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true))
        hr = CUtils::ErrorResult(run.GetLastError());
    if (FAILED(hr)) {
        TraceError(L"Failed to open runonce (0x%08x", hr);
        return false;
    }
    const wchar_t* productId = commandLine.GetValue(L"PRODID");
    if (!productId || !*productId || !run.SetString(productId, line)) return false;
    TraceInfo(L"writing new commandline %s to run key", line.c_str());
    return true;
}

bool CInstallManager::IsUacDisabled() {
    qlLib::CRegKey policies;
    DWORD enabled = 1;
    return policies.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                         KEY_READ) &&
           policies.QueryDWORD(L"EnableLUA", enabled) && enabled == 0;
}

bool CInstallManager::IsElevatedAdministrator(bool& limited) {
    return qlLib::IsAdministratorToken(limited);
}

BOOL CInstallManager::ShellExecuteElevated(SHELLEXECUTEINFOW& info) {
    return ::ShellExecuteExW(&info);
}

HRESULT CInstallManager::AdminRelaunch(bool& handled) {
    handled = false;
    bool limited = false;
    if (IsElevatedAdministrator(limited) && !limited) return S_OK;
    // The elevated copy itself never relaunches.
    if (m_commandLine.Has(L"ADMIN")) return S_OK;
    handled = true;
    if (m_quiet || m_stage) {
        // Nobody is there to answer a prompt.
        TraceError(L"CInstallManager::AdminRelaunch(1098) : admin priveledges are required to run setup");
        return E_UNEXPECTED;
    }
    if (qlLib::IsWindowsXP() || IsUacDisabled()) {
        TraceError(L"CInstallManager::AdminRelaunch(1104) : admin priveledges are required to run setup");
        ShowElevationMessage();
        return kElevationRefused;
    }
    std::wstring parameters;
    if (!qlLib::FormatString(parameters, L"%s /%s", ::GetCommandLineW(), L"ADMIN")) return E_OUTOFMEMORY;
    for (int attempt = 0; attempt < 2; ++attempt) {
        CRelaunchThread thread(*this);
        if (thread.SetFile(m_ownPath.Path()) && thread.Launch(parameters)) return static_cast<HRESULT>(thread.ExitCode());
        if (thread.LaunchError() == ERROR_CANCELLED) {
            TraceError(L"CInstallManager::AdminRelaunch(1135) : admin priveledges are required to run setup (UAC canceled)");
            ShowElevationMessage();
        }
    }
    return kElevationRefused;
}

void CInstallManager::ShowElevationMessage() {
    TellUser(qlLib::IsVistaOrLater() ? eMessage_ElevationText : eMessage_ElevationTextXP,
             eMessage_ElevationCaption);
}

CInstallManager::CRelaunchThread::~CRelaunchThread() {
    WaitForThread(INFINITE);
}

bool CInstallManager::CRelaunchThread::SetFile(const std::wstring& file) {
    try {
        m_file = file;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

BOOL CInstallManager::CRelaunchThread::Launch(const std::wstring& parameters) {
    try {
        m_parameters = parameters;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    if (!StartThread()) {
        TraceError(L"CInstallManager::CRelaunchThread::Launch(3514) : failed to create thread");
        return FALSE;
    }
    // The prompt is a window of the system's: this thread keeps its own messages moving.
    WaitPumping(INFINITE);
    return m_launched;
}

DWORD CInstallManager::CRelaunchThread::Run() {
    // The shell hands an elevated start to COM objects: this thread needs COM of its own.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    struct CComScope {
        bool initialized;
        ~CComScope() {
            if (initialized) ::CoUninitialize();
        }
    } comScope{SUCCEEDED(com)};
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = m_file.c_str();
    info.lpParameters = m_parameters.c_str();
    info.nShow = SW_SHOW;
    m_launched = m_owner.ShellExecuteElevated(info);
    if (!m_launched) {
        m_launchError = ::GetLastError();
        TraceError(L"CInstallManager::CRelaunchThread::Run(3566) : ShellExecuteEx failed: %lu", m_launchError);
        return 0;
    }
    m_launchError = 0;
    qlLib::CKernelHandle process(info.hProcess);
    DWORD exitCode = 0;
    if (process.IsValid() && ::WaitForSingleObject(process.Get(), INFINITE) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(process.Get(), &exitCode)) {
        m_exitCode = exitCode;
        TraceError(L"CInstallManager::CRelaunchThread::Run(3556) : Admin launch return code: %lu", exitCode);
    }
    return 0;
}

}  // namespace TARN
