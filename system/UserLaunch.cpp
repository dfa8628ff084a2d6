#include "system/UserLaunch.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "runtime/OsVersion.h"
#include "runtime/PathUtils.h"
#include "runtime/ProcessList.h"
#include "runtime/Trace.h"
#include "system/Registry.h"
#include "system/SessionApi.h"
#include "system/Utils.h"

// Failure lines begin with the operation and the line they come from.
#define UL_LINE_TEXT2(line) #line
#define UL_LINE_TEXT(line) UL_LINE_TEXT2(line)
#define UL_FAILURE(operation, text) L"TARN::CUserLaunch::" operation L"(" UL_LINE_TEXT(__LINE__) L") : " text

namespace TARN {

namespace {

const wchar_t kDesktop[] = L"winsta0\\default";
const DWORD kCreationFlags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kDefaultShell[] = L"explorer.exe";
const DWORD kNoTokenError = ERROR_NO_TOKEN;   // 1008

bool IsVistaOrLater() {
    return qlLib::IsWindowsVersionOrGreater(6, 0);
}

void ToLower(std::wstring& text) {
    if (!text.empty()) ::CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
}

// The session's user name; empty when there is none or it cannot be read.
std::wstring SessionUserName(DWORD sessionId) {
    const CSessionApi& api = CSessionApi::Get();
    if (!api.querySessionInformation) return std::wstring();
    CWtsMemory name;
    DWORD bytes = 0;
    if (!api.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSUserName,
                                     reinterpret_cast<wchar_t**>(&name.memory), &bytes) ||
        !name.memory)
        return std::wstring();
    try {
        return std::wstring(static_cast<const wchar_t*>(name.memory));
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

// High integrity for the token (Windows Vista and later).
bool SetHighIntegrity(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    qlLib::CAllocatedSid sid;
    if (!::AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_HIGH_RID, 0, 0, 0, 0, 0, 0, 0, sid.Receive()))
        return false;
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Sid = sid.Get();
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    return ::SetTokenInformation(token, TokenIntegrityLevel, &label,
                                 sizeof(label) + ::GetLengthSid(sid.Get())) != FALSE;
}

}  // namespace

CUserLaunch::CUserLaunch(HANDLE stopEvent)
    : m_fullToken(FALSE), m_sessionId(static_cast<DWORD>(-1)), m_elevationMode(eElevation_None), m_stopEvent(stopEvent) {}

BOOL CUserLaunch::QueryUserToken(DWORD sessionId, HANDLE* token) {
    const CSessionApi& api = CSessionApi::Get();
    if (!api.queryUserToken) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return api.queryUserToken(sessionId, token);
}

BOOL CUserLaunch::CreateProcessAsUser(HANDLE token, wchar_t* commandLine, DWORD creationFlags, void* environment,
                                      STARTUPINFOW* startup, PROCESS_INFORMATION* process) {
    return ::CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, FALSE, creationFlags, environment,
                                  nullptr, startup, process);
}

bool CUserLaunch::IsValidSession(DWORD sessionId) {
    const CSessionApi& api = CSessionApi::Get();
    CWtsMemory sessions;
    DWORD count = 0;
    if (!api.enumerateSessions) ::SetLastError(ERROR_PROC_NOT_FOUND);
    if (!api.enumerateSessions ||
        !api.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, reinterpret_cast<WTS_SESSION_INFOW**>(&sessions.memory),
                               &count)) {
        TraceError(UL_FAILURE(L"IsValidSession", L"WTSEnumerateSessions Failed : (%d)"),
                   static_cast<int>(::GetLastError()));
        return false;
    }
    const auto* info = static_cast<const WTS_SESSION_INFOW*>(sessions.memory);
    for (DWORD i = 0; info && i < count; ++i) {
        if (info[i].SessionId == sessionId && info[i].State == WTSActive) return true;
    }
    return false;
}

HRESULT CUserLaunch::FindProcess(const wchar_t* name, DWORD& processId, DWORD sessionId) {
    try {
        std::vector<qlLib::CProcessEntry> processes;
        if (!qlLib::GetProcessList(processes)) {
            TraceError(UL_FAILURE(L"FindProcess", L"GetProcessList failed"));
            return E_FAIL;
        }
        std::wstring wanted(name ? name : L"");
        ToLower(wanted);
        for (const qlLib::CProcessEntry& process : processes) {
            TraceInfo(L"%s - %s", name ? name : L"", process.imagePath.c_str());
            std::wstring image(process.imagePath);
            ToLower(image);
            if (image.find(wanted) == std::wstring::npos) continue;
            DWORD session = 0;
            if (!::ProcessIdToSessionId(process.processId, &session)) continue;
            TraceInfo(L"SessionId: %lu (looking for %lu)", session, sessionId);
            if (session != sessionId) continue;
            TraceInfo(L"ProcessId: %lu", process.processId);
            processId = process.processId;
            return S_OK;
        }
        return E_FAIL;
    } catch (const std::bad_alloc&) {
        TraceError(UL_FAILURE(L"FindProcess", L"Out of memory finding the process"));
        return E_OUTOFMEMORY;
    }
}

HRESULT CUserLaunch::FindShellProcessForSession(DWORD sessionId, DWORD& processId) {
    std::wstring shell;
    try {
        CRegistry winlogon;
        std::wstring value;
        if (winlogon.Open(kWinlogonKey, HKEY_LOCAL_MACHINE, KEY_READ) && winlogon.QueryString(L"Shell", value) &&
            !value.empty()) {
            const DWORD size = ::ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
            std::vector<wchar_t> expanded(size ? size : 1);
            if (size && ::ExpandEnvironmentStringsW(value.c_str(), expanded.data(), size) == size) {
                shell = expanded.data();
            } else {
                shell = value;
            }
        }
        if (shell.empty()) shell = kDefaultShell;
        // "program, other program": only the first is looked for.
        const size_t comma = shell.find(L',');
        if (comma != std::wstring::npos) shell.erase(comma);
    } catch (const std::bad_alloc&) {
        TraceError(UL_FAILURE(L"FindShellProcessForSession", L"Tokenizing shell failed (%s)"), shell.c_str());
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = FindProcess(shell.c_str(), processId, sessionId);
    if (SUCCEEDED(hr)) return hr;
    TraceError(UL_FAILURE(L"FindShellProcessForSession", L"FindShellProcess failed for %s 0x%08x"), shell.c_str(),
               static_cast<unsigned>(hr));
    return FindProcess(kDefaultShell, processId, sessionId);
}

bool CUserLaunch::GetUserToken(DWORD sessionId, qlLib::CKernelHandle& token, DWORD elevationMode) {
    TraceInfo(L"GetUserToken: Get user token by finding shell process running in user context");
    DWORD processId = 0;
    if (elevationMode == eElevation_WinLogon) {
        const HRESULT hr = FindProcess(L"winlogon.exe", processId, sessionId);
        if (FAILED(hr)) {
            TraceError(UL_FAILURE(L"GetUserToken", L"FindProcess for winlogon.exe failed: 0x%08x"),
                       static_cast<unsigned>(hr));
            return false;
        }
    } else {
        const HRESULT hr = FindShellProcessForSession(sessionId, processId);
        if (FAILED(hr)) {
            TraceError(UL_FAILURE(L"GetUserToken", L"FindShellProcessForSession failed: 0x%08x"),
                       static_cast<unsigned>(hr));
            return false;
        }
    }
    qlLib::CKernelHandle process(::OpenProcess(MAXIMUM_ALLOWED, FALSE, processId));
    if (!process) {
        TraceError(UL_FAILURE(L"GetUserToken", L"OpenProcess(%lu) failed: %lu"), processId, ::GetLastError());
        return false;
    }
    if (!::OpenProcessToken(process.Get(), MAXIMUM_ALLOWED, token.Receive())) {
        TraceError(UL_FAILURE(L"GetUserToken", L"OpenProcessToken failed: %lu"), ::GetLastError());
        return false;
    }
    return token.IsValid();
}

bool CUserLaunch::IsAdministratorsMember(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    qlLib::CAllocatedSid administrators;
    if (!::AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, administrators.Receive())) {
        TraceError(UL_FAILURE(L"IsAdministratorsMember", L"AllocateAndInitializeSid() failed: %lu, use default token"),
                   ::GetLastError());
        return false;
    }
    DWORD size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer;
    try {
        buffer.resize(size ? size : sizeof(TOKEN_GROUPS));
    } catch (const std::bad_alloc&) {
        TraceError(UL_FAILURE(L"IsAdministratorsMember", L"mem.NewAlloc() == NULL"));
        return false;
    }
    if (!::GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        TraceError(UL_FAILURE(L"IsAdministratorsMember", L"GetTokenInformation() == FALSE, 0x%08x"),
                   static_cast<unsigned>(CUtils::ErrorResult(::GetLastError())));
        return false;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, administrators.Get())) return true;
    }
    return false;
}

void CUserLaunch::ChooseElevatedToken(HANDLE original, qlLib::CKernelHandle& duplicate) {
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (::GetTokenInformation(duplicate.Get(), TokenLinkedToken, &linked, sizeof(linked), &size) &&
        linked.LinkedToken) {
        duplicate.Reset(linked.LinkedToken);
        m_fullToken = TRUE;
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_NO_SUCH_LOGON_SESSION || error == ERROR_PRIVILEGE_NOT_HELD) {
        TraceInfo(L"GetTokenInformation (TokenLinkedToken) failed because UAC is enabled");
    } else {
        TraceError(UL_FAILURE(L"Initialize", L"GetTokenInformation failed: %lu"), error);
    }
    if (IsAdministratorsMember(original)) {
        TraceError(UL_FAILURE(L"Initialize", L"admin SID found"));
        m_fullToken = TRUE;
    }
}

HRESULT CUserLaunch::Initialize(DWORD elevationMode, DWORD sessionId) {
    m_environment.Close();
    m_token.Close();
    m_fullToken = FALSE;
    TraceInfo(L"session id: %lu, elevated: %d", sessionId, static_cast<int>(elevationMode));
    m_sessionId = sessionId;
    m_elevationMode = elevationMode;

    qlLib::CKernelHandle token;
    DWORD queryError = ERROR_NO_SUCH_LOGON_SESSION;   // what the logon-process mode counts as
    const bool queried = elevationMode != eElevation_WinLogon && QueryUserToken(sessionId, token.Receive());
    if (!queried) {
        if (elevationMode != eElevation_WinLogon) queryError = ::GetLastError();
        if (!IsValidSession(sessionId)) {
            if (elevationMode != eElevation_WinLogon || sessionId != ::WTSGetActiveConsoleSessionId()) {
                TraceError(UL_FAILURE(L"Initialize", L"WTSQueryUserToken failed (Invalid Session) : %lu"), queryError);
                return CUtils::ErrorResult(queryError);
            }
            TraceInfo(L"Using console session for WinLogon resolution");
        }
        if (!GetUserToken(sessionId, token, elevationMode)) {
            const DWORD error = ::GetLastError();
            TraceError(UL_FAILURE(L"Initialize", L"GetUserToken failed"));
            const std::wstring user = SessionUserName(sessionId);
            if (!user.empty()) {
                TraceError(UL_FAILURE(L"Initialize", L"WTSQueryUserToken failed for User: %s error: %d"), user.c_str(),
                           static_cast<int>(kNoTokenError));
                return CUtils::ErrorResult(kNoTokenError);
            }
            TraceError(UL_FAILURE(L"Initialize", L"WTSQueryUserToken failed: %lu"), error);
            return CUtils::ErrorResult(error);
        }
    }

    qlLib::CKernelHandle primary;
    if (!::DuplicateTokenEx(token.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                            primary.Receive())) {
        const DWORD error = ::GetLastError();
        TraceError(UL_FAILURE(L"Initialize", L"DuplicateTokenEx failed: %lu"), error);
        return CUtils::ErrorResult(error);
    }
    const bool vista = IsVistaOrLater();
    if (elevationMode == eElevation_Linked && vista) {
        ChooseElevatedToken(token.Get(), primary);
    } else {
        m_fullToken = TRUE;
    }
    if (vista && !SetHighIntegrity(primary.Get())) {
        const DWORD error = ::GetLastError();
        TraceError(UL_FAILURE(L"Initialize", L"SetTokenInformation failed: %lu"), error);
        return CUtils::ErrorResult(error);
    }
    const CSessionApi& api = CSessionApi::Get();
    if (!api.createEnvironmentBlock) ::SetLastError(ERROR_PROC_NOT_FOUND);
    if (!api.createEnvironmentBlock || !api.createEnvironmentBlock(m_environment.Receive(), primary.Get(), TRUE)) {
        const DWORD error = ::GetLastError();
        TraceError(UL_FAILURE(L"Initialize", L"CreateEnvironmentBlock failed: %lu"), error);
        return CUtils::ErrorResult(error);
    }
    m_token = std::move(primary);
    TraceInfo(L"Initialized... session id: %lu, elevated: %d", sessionId, static_cast<int>(elevationMode));
    return S_OK;
}

HRESULT CUserLaunch::LaunchProcess(const wchar_t* commandLine) {
    // Without a token the process would be created with this process's own (LocalSystem) token
    // on the user's desktop: never launch then.
    if (!m_token) {
        TraceError(UL_FAILURE(L"LaunchProcess", L"no user token to launch with"));
        return CUtils::ErrorResult(kNoTokenError);
    }
    std::vector<wchar_t> line;
    try {
        const std::wstring text(commandLine ? commandLine : L"");
        line.assign(text.begin(), text.end());
        line.push_back(L'\0');
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    DWORD waitMs = kFirstWaitMs;
    DWORD error = ERROR_SUCCESS;
    for (DWORD attempt = 0; attempt < kMaxAttempts && (error == ERROR_SUCCESS || error == ERROR_PIPE_NOT_CONNECTED);
         ++attempt) {
        TraceInfo(L"Launching CreateProcessAsUser(%s), attempt %d (timeout: %lu)", line.data(),
                  static_cast<int>(attempt), waitMs);
        if (!m_token) {
            // A rebuild of the tokens failed: nothing left to launch with.
            error = kNoTokenError;
            break;
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        wchar_t desktop[ARRAYSIZE(kDesktop)];
        ::CopyMemory(desktop, kDesktop, sizeof(kDesktop));
        startup.lpDesktop = desktop;
        PROCESS_INFORMATION process = {};
        if (CreateProcessAsUser(m_token.Get(), line.data(), kCreationFlags, m_environment.Get(), &startup, &process)) {
            TraceInfo(L"CreateProcessAsUser succeeded");
            qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
            return S_OK;
        }
        error = ::GetLastError();
        TraceError(UL_FAILURE(L"LaunchProcess", L"CreateProcessAsUser failed: %lu"), error);
        if (error != ERROR_PIPE_NOT_CONNECTED) break;

        // The session's desktop is not ready yet: wait, unless told to stop.
        if (!m_stopEvent || ::WaitForSingleObject(m_stopEvent, waitMs) != WAIT_TIMEOUT) {
            TraceInfo(L"wait terminated");
            return CUtils::ErrorResult(ERROR_PIPE_NOT_CONNECTED);
        }
        if (attempt == kSlowWaitAttempt) waitMs = kSlowWaitMs;
        if (attempt == kSlowestWaitAttempt) waitMs = kSlowestWaitMs;
        if (attempt % kRebuildEvery == 0) {
            TraceInfo(L"Reinitialize user tokens");
            Initialize(m_elevationMode, m_sessionId);
        }
    }
    return CUtils::ErrorResult(error);
}

}  // namespace TARN
