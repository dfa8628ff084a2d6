// The people in front of the machine: the reboot tray (in this process, or in every user's
// session when the stub runs as LocalSystem), a running install of the same product brought
// forward, and the media page when the package cannot be found.
#include <windows.h>
#include <ntsecapi.h>

#include <new>

#include "package/IndexValueCollectionImpl.h"
#include "package/InstallUnpacker.h"
#include "runtime/OsVersion.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "stub/MediaCheck.h"
#include "stub/RebootSystem.h"
#include "stub/RebootTray.h"
#include "system/SessionApi.h"
#include "system/UserLaunch.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const DWORD kNoSession = 0xFFFFFFFF;
const ULONG kInteractiveLogon = 2;   // SECURITY_LOGON_TYPE Interactive

// The LSA's logon-session functions; secur32 is no KnownDLL: loaded from the system folder.
struct CLsaApi {
    typedef NTSTATUS(NTAPI* EnumerateFn)(PULONG, PLUID*);
    typedef NTSTATUS(NTAPI* GetDataFn)(PLUID, PSECURITY_LOGON_SESSION_DATA*);
    typedef NTSTATUS(NTAPI* FreeFn)(PVOID);
    EnumerateFn enumerate = nullptr;
    GetDataFn getData = nullptr;
    FreeFn free = nullptr;

    CLsaApi() {
        if (HMODULE module = qlLib::LoadSystemLibrary(L"secur32.dll")) {
            enumerate = reinterpret_cast<EnumerateFn>(
                reinterpret_cast<void*>(::GetProcAddress(module, "LsaEnumerateLogonSessions")));
            getData = reinterpret_cast<GetDataFn>(
                reinterpret_cast<void*>(::GetProcAddress(module, "LsaGetLogonSessionData")));
            free = reinterpret_cast<FreeFn>(reinterpret_cast<void*>(::GetProcAddress(module, "LsaFreeReturnBuffer")));
        }
    }
    static const CLsaApi& Get() {
        static const CLsaApi api;
        return api;
    }
};

// Adds a session number once.
bool AddSession(qlLib::IIndexValueCollection* sessions, DWORD session) {
    for (DWORD i = 0; i < sessions->GetCount(); ++i) {
        DWORD known = 0;
        if (sessions->GetDword(i, &known) && known == session) return true;
    }
    return sessions->AddDword(session);
}

}  // namespace

HRESULT CInstallManager::ShowRebootTray() {
    HRESULT hr = CreateUIFrame();
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::ShowRebootTray(3451) : CreateUIFrame failed (0x%08x)", hr);
        return hr;
    }
    qlLib::CComPtr<IInstallUIFrame> frame;
    hr = m_installUI.GetFrame(frame.Receive());
    if (FAILED(hr) || !frame) {
        TraceError(L"CInstallManager::ShowRebootTray(3459) : failed to get ui frame: 0x%08x", hr);
        return m_engineResult;
    }
    qlLib::CComPtr<CRebootTray> tray(CRebootTray::Create());
    if (!tray) {
        TraceError(L"CInstallManager::ShowRebootTray(3466) : out of memory");
        return E_OUTOFMEMORY;
    }
    std::wstring compileGuid;
    if (!m_embeddedData.GetData(eEmbedded_CompileGuid, &compileGuid)) {
        TraceError(L"CInstallManager::ShowRebootTray(3474) : failed to get compile guid");
        return m_engineResult;
    }
    const bool restart = tray->Show(compileGuid.c_str(), NeedsPackageExtraction(), frame.Get());
    return restart ? kResultRebootInitiated : CUtils::kRebootRequired;
}

bool CInstallManager::LaunchTrayInActiveSessions(const std::wstring& program, const std::wstring& parameters) {
    std::wstring command;
    // Quoted: an unquoted "C:\Program Files (x86)\..." would be tried as "C:\Program.exe" first.
    if (!qlLib::FormatString(command, L"\"%s\" %s", program.c_str(), parameters.c_str())) {
        TraceError(L"Unable to create command line");
        return false;
    }
    TraceInfo(L"CInstallManager::LaunchTrayInActiveSessions(4376) : Running as SYSTEM - Attempting to launch multiple instances of: %s",
              command.c_str());
    qlLib::CComPtr<qlLib::IIndexValueCollection> sessions = qlLib::CIndexValueCollectionImpl::New();
    if (!sessions) {
        TraceError(L"failed to create index value collection");
        return false;
    }
    const DWORD console = ActiveConsoleSession();
    if (!GetInteractiveSessions(sessions.Get())) {
        TraceInfo(L"No interactive sessions exiting session init thread");
        if (console == kNoSession) return false;
    }
    if (console != kNoSession) AddSession(sessions.Get(), console);

    bool launched = false;
    const DWORD count = sessions->GetCount();
    for (DWORD i = 0; i < count; ++i) {
        DWORD session = 0;
        if (!sessions->GetDword(i, &session)) {
            TraceError(L"failed to get value from collection: %Iu/%Iu", static_cast<size_t>(i), static_cast<size_t>(count));
            continue;
        }
        if (!IsUserSession(session)) continue;
        const HRESULT hr = LaunchInSession(session, command);
        if (hr == kSessionNotPrepared) continue;
        TraceInfo(L"CInstallManager::LaunchTrayInActiveSessions(4426) : Launching for session %lu: 0x%08x", session, hr);
        if (SUCCEEDED(hr)) launched = true;
    }
    return launched;
}

DWORD CInstallManager::ActiveConsoleSession() {
    return ::WTSGetActiveConsoleSessionId();
}

HRESULT CInstallManager::LaunchInSession(DWORD session, const std::wstring& command) {
    CUserLaunch launch;
    HRESULT hr = launch.Initialize(CUserLaunch::eElevation_None, session);
    if (FAILED(hr)) {
        TraceWarning(L"CInstallManager::LaunchTrayInActiveSessions(4421) : Unable to launch for session %lu: 0x%08x",
                     session, hr);
        return kSessionNotPrepared;
    }
    return launch.LaunchProcess(command.c_str());
}

bool CInstallManager::GetInteractiveSessions(qlLib::IIndexValueCollection* sessions) {
    while (sessions->GetCount() > 0) sessions->Remove(0);
    const CSessionApi& api = CSessionApi::Get();
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    if (!api.enumerateSessions || !api.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
        TraceWarning(L"CInstallManager::GetInteractiveSessions(4255) : WTSEnumerateSessions failed: %lu",
                     api.enumerateSessions ? ::GetLastError() : static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    } else if (count > 0) {
        CWtsMemory memory;
        memory.memory = list;
        TraceInfo(L"CInstallManager::GetInteractiveSessions(4265) : Console Session: %lu", ::WTSGetActiveConsoleSessionId());
        for (DWORD i = 0; i < count; ++i) {
            const bool active = LogUserName(list[i].SessionId) && list[i].State == WTSActive;
            if (active)
                TraceInfo(L"CInstallManager::GetInteractiveSessions(4275) : Active User Session: %lu", list[i].SessionId);
            TraceInfo(L"CInstallManager::GetInteractiveSessions(4280) : Session: %lu, \"%s\", %lu - %s", list[i].SessionId,
                      list[i].pWinStationName ? list[i].pWinStationName : L"", static_cast<DWORD>(list[i].State),
                      active ? L"Active" : L"inactive");
            if (active) AddSession(sessions, list[i].SessionId);
        }
        return true;
    } else {
        CWtsMemory memory;
        memory.memory = list;
    }

    TraceInfo(L"falling back to LSA to get active sessions");
    while (sessions->GetCount() > 0) sessions->Remove(0);
    const CLsaApi& lsa = CLsaApi::Get();
    ULONG logonCount = 0;
    PLUID logons = nullptr;
    const NTSTATUS status = lsa.enumerate ? lsa.enumerate(&logonCount, &logons) : static_cast<NTSTATUS>(0xC000007A);
    if (status != 0) {
        TraceError(L"CInstallManager::GetInteractiveSessions(4309) : LsaEnumerateLogonSessions failed: %lu",
                   ::LsaNtStatusToWinError(status));
        return false;
    }
    for (ULONG i = 0; i < logonCount; ++i) {
        PSECURITY_LOGON_SESSION_DATA data = nullptr;
        const NTSTATUS got = lsa.getData ? lsa.getData(&logons[i], &data) : static_cast<NTSTATUS>(0xC000007A);
        if (got != 0 || !data) {
            TraceError(L"CInstallManager::GetInteractiveSessions(4324) : LsaEnumerateLogonSessions(%Iu) failed: %lu",
                       static_cast<size_t>(i), ::LsaNtStatusToWinError(got));
            continue;
        }
        if (data->LogonType == kInteractiveLogon && data->UserName.Buffer && data->UserName.Length > 0) {
            try {
                const std::wstring user(data->UserName.Buffer, data->UserName.Length / sizeof(wchar_t));
                TraceInfo(L"CInstallManager::GetInteractiveSessions(4342) : UserName(%lu): %s", data->Session,
                          user.c_str());
                AddSession(sessions, data->Session);
            } catch (const std::bad_alloc&) {
                TraceError(L"Couldn't alloc memory for username");
            }
        }
        if (lsa.free) lsa.free(data);
    }
    if (lsa.free) lsa.free(logons);
    return sessions->GetCount() > 0;
}

bool CInstallManager::LogUserName(DWORD session) {
    const CSessionApi& api = CSessionApi::Get();
    CWtsMemory memory;
    DWORD bytes = 0;
    if (!api.querySessionInformation ||
        !api.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName,
                                     reinterpret_cast<LPWSTR*>(&memory.memory), &bytes) ||
        !memory.memory)
        return false;
    const wchar_t* name = static_cast<const wchar_t*>(memory.memory);
    if (name[0]) TraceInfo(L"CInstallManager::LogUserName(4202) : Session(%d) UserName: %s", static_cast<int>(session), name);
    return true;
}

bool CInstallManager::IsUserSession(DWORD session) {
    if (session == 0 && qlLib::IsVistaOrLater()) {
        TraceInfo(L"skipping Session 0 on Vista and later");
        return false;
    }
    TraceInfo(L"CInstallManager::IsUserSession(4174) : Session: %lu", session);
    DWORD firstError = 0;
    if (SessionHasUserToken(session, firstError)) return true;
    if (firstError != ERROR_NO_TOKEN)
        TraceError(L"CInstallManager::IsUserSession(4186) : \tfailed to get UserToken(%lu): %lu", session, firstError);
    return false;
}

bool CInstallManager::SessionHasUserToken(DWORD session, DWORD& firstError) {
    const CSessionApi& api = CSessionApi::Get();
    HANDLE token = nullptr;
    if (api.queryUserToken && api.queryUserToken(session, &token)) {
        ::CloseHandle(token);
        return true;
    }
    firstError = api.queryUserToken ? ::GetLastError() : static_cast<DWORD>(ERROR_PROC_NOT_FOUND);
    qlLib::CKernelHandle userToken;
    return CUserLaunch::GetUserToken(session, userToken, CUserLaunch::eElevation_None);
}

bool CInstallManager::CheckAndSignalOtherInstance(bool signal) {
    if (FAILED(CreateUIFrame())) {
        m_installUI.Unload();
        return false;
    }
    bool found = false;
    {
        qlLib::CComPtr<IInstallUIFrame> frame;
        qlLib::CComPtr<IInstallTray> tray;
        HRESULT hr = m_installUI.GetFrame(frame.Receive());
        if (FAILED(hr) || !frame) {
            TraceError(L"CInstallManager::CheckAndSignalOtherInstance(3374) : GetFrame failed (0x%08x)", hr);
        } else if (FAILED(hr = frame->GetInstallTray(tray.Receive())) || !tray) {
            TraceError(L"CInstallManager::CheckAndSignalOtherInstance(3386) : GetInstallTray failed (0x%08x)", hr);
        } else {
            std::wstring compileGuid;
            if (m_embeddedData.GetData(eEmbedded_CompileGuid, &compileGuid)) tray->SetInstanceId(compileGuid.c_str());
            found = tray->FindOtherInstance(signal ? TRUE : FALSE);
        }
    }
    m_installUI.Unload();
    return found;
}

HRESULT CInstallManager::AskForMedia(HRESULT& extraction) {
    while (extraction == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && m_runModes.media.hasValue) {
        HRESULT hr = CreateUIFrame();
        if (FAILED(hr)) {
            ReportFailure(eHint_CreateUIFrame, hr);
            TraceError(L"CInstallManager::Initialize(515) : CreateUIFrame failed (0x%08x)", hr);
            return hr;
        }
        qlLib::CComPtr<IInstallUIFrame> frame;
        hr = m_installUI.GetFrame(frame.Receive());
        if (FAILED(hr) || !frame) {
            if (SUCCEEDED(hr)) hr = E_POINTER;
            ReportFailure(eHint_GetFrame, hr);
            TraceError(L"CInstallManager::Initialize(526) : GetFrame failed (0x%08x)", hr);
            return hr;
        }
        qlLib::CComPtr<CMediaCheck> check(CMediaCheck::Create(frame.Get(), m_uiOption));
        if (!check) {
            TraceError(L"CInstallManager::Initialize(533) : out of memory");
            return E_OUTOFMEMORY;
        }
        hr = check->Show(m_runModes.media.value);
        if (FAILED(hr)) {
            ReportFailure(eHint_MediaCheck, hr);
            return hr;
        }
        try {
            m_mediaPath = check->MediaPath();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        TraceInfo(L"Start: Extract Package (media retry)");
        CInstallUnpacker unpacker;
        extraction = ExtractMediaPackage(unpacker);
        TraceInfo(L"Finished: Extract Package (media retry): 0x%08x", extraction);
    }
    return S_OK;
}

}  // namespace TARN
