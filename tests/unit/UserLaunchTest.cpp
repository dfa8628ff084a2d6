// CUserLaunch under Wine. Wine has one session and no real logon sessions: WTSQueryUserToken
// hands out the caller's own token, WTSEnumerateSessionsW does not list this session as active
// (so the valid-session check and the logon-process mode's console exception cannot be shown), there are no linked (split UAC) tokens, no separate
// "winlogon.exe" per session and CreateProcessAsUserW does not switch users or desktops. So
// these tests show the token, environment and launch plumbing with this process's own token,
// the process and shell lookup, and the retry loop through a scripted CreateProcessAsUserW;
// which user a launched process really runs as is not shown here.
#include <gtest/gtest.h>

#include <algorithm>

#include "BuildPaths.h"
#include "runtime/RegKey.h"
#include "support/TestSupport.h"
#include "system/UserLaunch.h"

using namespace testing_support;

namespace {

const HRESULT kPipeNotConnected = static_cast<HRESULT>(0x800700E9);
const HRESULT kNoToken = static_cast<HRESULT>(0x800703F0);

DWORD OwnSession() {
    DWORD session = 0;
    EXPECT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    return session;
}

// WTSQueryUserToken answers with this process's token (or a scripted error); CreateProcessAsUserW
// is scripted when failWith is set.
class CScriptedLaunch : public TARN::CUserLaunch {
public:
    using CUserLaunch::CUserLaunch;
    DWORD queryError = 0;
    DWORD failWith = 0;
    HANDLE signalOnAttempt = nullptr;   // set during attempt number stopAttempt
    int stopAttempt = -1;
    int attempts = 0;

protected:
    BOOL QueryUserToken(DWORD, HANDLE* token) override {
        if (queryError) {
            ::SetLastError(queryError);
            return FALSE;
        }
        return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    }
    BOOL CreateProcessAsUser(HANDLE token, wchar_t* commandLine, DWORD flags, void* environment, STARTUPINFOW* startup,
                             PROCESS_INFORMATION* process) override {
        if (!failWith) return CUserLaunch::CreateProcessAsUser(token, commandLine, flags, environment, startup, process);
        if (attempts++ == stopAttempt) ::SetEvent(signalOnAttempt);
        ::SetLastError(failWith);
        return FALSE;
    }
};

size_t CountLines(const CCaptureProcessTrace& trace, const std::wstring& text) {
    return std::count_if(trace.capture.lines.begin(), trace.capture.lines.end(),
                         [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
}

bool WaitForFile(const std::wstring& path, std::wstring& text) {
    for (int i = 0; i < 100; ++i) {
        if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return ReadUtf16File(path, text);
        ::Sleep(100);
    }
    return false;
}

}  // namespace

// Only a desktop that is not ready yet (233) is retried, and only while a stop event keeps the
// loop waiting; the tokens are rebuilt after attempt 0.
TEST(UserLaunchRetry, OnlyPipeNotConnectedIsRetriedAndOnlyWithAStopEvent) {
    CScriptedLaunch noEvent;
    ASSERT_EQ(noEvent.Initialize(TARN::CUserLaunch::eElevation_None, OwnSession()), S_OK);
    noEvent.failWith = ERROR_PIPE_NOT_CONNECTED;
    EXPECT_EQ(noEvent.LaunchProcess(L"x.exe"), kPipeNotConnected);
    EXPECT_EQ(noEvent.attempts, 1);

    qlLib::CKernelHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CScriptedLaunch withEvent(stop.Get());
    ASSERT_EQ(withEvent.Initialize(TARN::CUserLaunch::eElevation_None, OwnSession()), S_OK);
    withEvent.failWith = ERROR_ACCESS_DENIED;
    EXPECT_EQ(withEvent.LaunchProcess(L"x.exe"), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(withEvent.attempts, 1);

    withEvent.attempts = 0;
    withEvent.failWith = ERROR_PIPE_NOT_CONNECTED;
    withEvent.signalOnAttempt = stop.Get();
    withEvent.stopAttempt = 3;
    CCaptureProcessTrace trace;
    EXPECT_EQ(withEvent.LaunchProcess(L"x.exe"), kPipeNotConnected);
    EXPECT_EQ(withEvent.attempts, 4);
    EXPECT_EQ(CountLines(trace, L"Reinitialize user tokens"), 1u);
    EXPECT_EQ(CountLines(trace, L"wait terminated"), 1u);
    EXPECT_TRUE(trace.Contains(L"Launching CreateProcessAsUser(x.exe), attempt 3 (timeout: 100)"));
}

// Without a token the process would run with the caller's own: nothing is launched. A session
// that is not active fails with the token query's error.
TEST(UserLaunchRetry, NoTokenNoLaunch) {
    CScriptedLaunch launch;
    launch.failWith = ERROR_PIPE_NOT_CONNECTED;
    EXPECT_EQ(launch.LaunchProcess(L"x.exe"), kNoToken);
    EXPECT_EQ(launch.attempts, 0);

    launch.queryError = ERROR_NO_TOKEN;
    CCaptureProcessTrace trace;
    EXPECT_FALSE(TARN::CUserLaunch::IsValidSession(0xFFFF));
    EXPECT_EQ(launch.Initialize(TARN::CUserLaunch::eElevation_None, 0xFFFF), kNoToken);
    EXPECT_TRUE(trace.Contains(L"WTSQueryUserToken failed (Invalid Session) : 1008"));
    EXPECT_EQ(launch.LaunchProcess(L"x.exe"), kNoToken);
    EXPECT_EQ(launch.attempts, 0);
}

// The real path in this session: the platform's token query, the high-integrity primary token,
// the environment block (inherited variables included) and CreateProcessAsUserW on the session's
// desktop, for each elevation mode as far as Wine has them.
TEST(UserLaunchSession, LaunchesInTheOwnSessionWithTheInheritedEnvironment) {
    CTempFolder temp;
    const std::wstring program = ToWinePath(ECHOARGS_EXE_UNIX_PATH);
    for (const DWORD mode : {TARN::CUserLaunch::eElevation_None, TARN::CUserLaunch::eElevation_Linked}) {
        SCOPED_TRACE(mode);
        const std::wstring log = temp.Join(L"launch" + std::to_wstring(mode) + L".txt");
        ASSERT_TRUE(::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", log.c_str()));
        TARN::CUserLaunch launch;
        ASSERT_EQ(launch.Initialize(mode, OwnSession()), S_OK);
        EXPECT_TRUE(launch.HasFullToken());
        ::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", nullptr);   // from the block, not from this process
        const std::wstring commandLine = L"\"" + program + L"\" 5";
        ASSERT_EQ(launch.LaunchProcess(commandLine.c_str()), S_OK);
        std::wstring logged;
        ASSERT_TRUE(WaitForFile(log, logged));
        EXPECT_EQ(logged, commandLine);
    }
}

// A process matches when its image path contains the name in any case, in the wanted session
// only; the Winlogon "Shell" value names the shell, of which only the first program counts, and
// a shell that is not running falls back to "explorer.exe".
TEST(UserLaunchSession, FindsProcessesAndTheSessionShell) {
    CTempFolder temp;
    const std::wstring probeName = L"UlProbe" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring probe = temp.Join(probeName + L".exe");
    ASSERT_TRUE(::CopyFileW(ToWinePath(ECHOARGS_EXE_UNIX_PATH).c_str(), probe.c_str(), FALSE));
    std::wstring commandLine = L"\"" + probe + L"\" /sleep 30000 0";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    qlLib::CKernelHandle process(info.hProcess), thread(info.hThread);
    struct CKill {
        HANDLE process;
        ~CKill() {
            ::TerminateProcess(process, 0);
            ::WaitForSingleObject(process, 5000);
        }
    } kill{process.Get()};

    DWORD found = 0;
    std::wstring upper = probeName;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    ASSERT_EQ(TARN::CUserLaunch::FindProcess(upper.c_str(), found, OwnSession()), S_OK);
    EXPECT_EQ(found, info.dwProcessId);
    EXPECT_EQ(TARN::CUserLaunch::FindProcess(upper.c_str(), found, OwnSession() + 1), E_FAIL);

    qlLib::CRegKey winlogon;
    ASSERT_TRUE(winlogon.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                              KEY_READ | KEY_WRITE, true));
    std::wstring saved;
    const bool hadShell = winlogon.QueryString(L"Shell", saved);
    struct CRestore {
        qlLib::CRegKey& key;
        bool had;
        const std::wstring& value;
        ~CRestore() { had ? key.SetString(L"Shell", value) : key.DeleteValue(L"Shell"); }
    } restore{winlogon, hadShell, saved};

    ASSERT_TRUE(winlogon.SetString(L"Shell", probeName + L".exe,UlOther.exe"));
    found = 0;
    EXPECT_EQ(TARN::CUserLaunch::FindShellProcessForSession(OwnSession(), found), S_OK);
    EXPECT_EQ(found, info.dwProcessId);
    qlLib::CKernelHandle token;   // the shell's token is what a session without a query answer gets
    EXPECT_TRUE(TARN::CUserLaunch::GetUserToken(OwnSession(), token, TARN::CUserLaunch::eElevation_None));
    EXPECT_TRUE(token.IsValid());

    // Wine runs its desktop as "explorer.exe" in the same session.
    ASSERT_TRUE(winlogon.SetString(L"Shell", L"UlNotRunning.exe"));
    DWORD explorer = 0;
    const HRESULT expected = TARN::CUserLaunch::FindProcess(L"explorer.exe", explorer, OwnSession());
    CCaptureProcessTrace trace;
    found = 0;
    EXPECT_EQ(TARN::CUserLaunch::FindShellProcessForSession(OwnSession(), found), expected);
    EXPECT_EQ(found, explorer);
    EXPECT_TRUE(trace.Contains(L"FindShellProcess failed for UlNotRunning.exe 0x80004005"));
}
