#pragma once
// Starts programs inside a user's interactive session from a LocalSystem process: a primary token
// for the session (the user's own, the user's linked full token, or the session's logon process
// token), the user's environment, and the session's interactive desktop, retried while that
// desktop is not ready yet.
#include <windows.h>

#include "runtime/Handles.h"

namespace TARN {

class CUserLaunch {
public:
    enum EElevation : DWORD {
        eElevation_None = 0,       // the session user's token as it is
        eElevation_Linked = 1,     // the user's linked (full) token when one exists
        eElevation_WinLogon = 2,   // the token of the session's "winlogon.exe"
    };

    // A signalled stop event (or none) ends the wait for a session's desktop.
    explicit CUserLaunch(HANDLE stopEvent = nullptr);
    virtual ~CUserLaunch() = default;
    CUserLaunch(const CUserLaunch&) = delete;
    CUserLaunch& operator=(const CUserLaunch&) = delete;

    // May be called again: the token and environment are replaced.
    HRESULT Initialize(DWORD elevationMode, DWORD sessionId);
    // S_OK once the process is created; it is not waited for.
    HRESULT LaunchProcess(const wchar_t* commandLine);

    bool HasFullToken() const { return m_fullToken != FALSE; }

    // Listed and active.
    static bool IsValidSession(DWORD sessionId);
    // A token of the session's shell (or with eElevation_WinLogon, its "winlogon.exe").
    static bool GetUserToken(DWORD sessionId, qlLib::CKernelHandle& token, DWORD elevationMode);
    // The first program of the Winlogon "Shell" value running in the session, else "explorer.exe".
    static HRESULT FindShellProcessForSession(DWORD sessionId, DWORD& processId);
    // A process of the session whose image path contains name (any case).
    static HRESULT FindProcess(const wchar_t* name, DWORD& processId, DWORD sessionId);

    static constexpr DWORD kMaxAttempts = 200;
    static constexpr DWORD kFirstWaitMs = 100;
    static constexpr DWORD kSlowWaitAttempt = 10, kSlowWaitMs = 1000;
    static constexpr DWORD kSlowestWaitAttempt = 60, kSlowestWaitMs = 30000;
    static constexpr DWORD kRebuildEvery = 10;   // tokens are rebuilt after attempts 0, 10, 20, ...

protected:
    // The session's token, and the process creation: the platform's, replaceable by tests.
    virtual BOOL QueryUserToken(DWORD sessionId, HANDLE* token);
    virtual BOOL CreateProcessAsUser(HANDLE token, wchar_t* commandLine, DWORD creationFlags, void* environment,
                                     STARTUPINFOW* startup, PROCESS_INFORMATION* process);

private:
    // The duplicate's linked token, or the duplicate itself with the full-rights flag from the
    // user's group membership.
    void ChooseElevatedToken(HANDLE original, qlLib::CKernelHandle& duplicate);
    static bool IsAdministratorsMember(HANDLE token);

    qlLib::CKernelHandle m_token;
    qlLib::CEnvironmentBlock m_environment;
    BOOL m_fullToken;
    DWORD m_sessionId;
    DWORD m_elevationMode;
    HANDLE m_stopEvent;
};

}  // namespace TARN
