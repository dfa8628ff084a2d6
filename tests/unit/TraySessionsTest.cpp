// Which user sessions a LocalSystem run starts the reboot tray in. The session layer is scripted
// where Wine has none to show (it runs every program in one session and has no logon sessions
// of other users); session 0's rule and the bookkeeping are the real ones.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "package/IndexValueCollectionImpl.h"
#include "stub/InstallManager.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

class CScriptedSessions : public TARN::CInstallManager {
public:
    DWORD console = 0xFFFFFFFF;
    std::vector<DWORD> interactive;
    std::vector<DWORD> withoutUser;
    bool unprepared = false;
    std::vector<DWORD> launched;
    std::wstring command;

protected:
    DWORD ActiveConsoleSession() override { return console; }
    bool GetInteractiveSessions(qlLib::IIndexValueCollection* sessions) override {
        for (DWORD session : interactive) sessions->AddDword(session);
        return !interactive.empty();
    }
    bool SessionHasUserToken(DWORD session, DWORD& firstError) override {
        firstError = ERROR_NO_TOKEN;
        for (DWORD none : withoutUser) {
            if (none == session) return false;
        }
        return true;
    }
    HRESULT LaunchInSession(DWORD session, const std::wstring& line) override {
        if (unprepared) return kSessionNotPrepared;
        launched.push_back(session);
        command = line;
        return S_OK;
    }
};

class CSystemSessions : public TARN::CInstallManager {
public:
    using TARN::CInstallManager::GetInteractiveSessions;
};

}  // namespace

TEST(TraySessions, EverySessionWithAUserOnceNeverSessionZero) {
    CCaptureProcessTrace trace;
    {
        // Nobody logged on and no console session: nothing is started.
        CScriptedSessions run;
        EXPECT_FALSE(run.LaunchTrayInActiveSessions(L"C:\\cache\\InstStub.exe", L"/TRAYONLY"));
        EXPECT_TRUE(run.launched.empty());
        EXPECT_TRUE(trace.Contains(L"No interactive sessions exiting session init thread"));
    }
    {
        // The console session is listed too: it is started once.
        CScriptedSessions run;
        run.console = 1;
        run.interactive = {1, 3};
        EXPECT_TRUE(run.LaunchTrayInActiveSessions(L"C:\\Program Files (x86)\\cache\\InstStub.exe", L"/TRAYONLY"));
        EXPECT_EQ(run.launched, (std::vector<DWORD>{1, 3}));
        // Quoted, or "C:\Program.exe" would be started in the user's session.
        EXPECT_EQ(run.command, L"\"C:\\Program Files (x86)\\cache\\InstStub.exe\" /TRAYONLY");
    }
    {
        // Services' session 0 is never used; a session without a user is skipped.
        CScriptedSessions run;
        run.console = 0;
        run.interactive = {0, 2, 4};
        run.withoutUser = {4};
        EXPECT_TRUE(run.LaunchTrayInActiveSessions(L"C:\\cache\\InstStub.exe", L"/TRAYONLY"));
        EXPECT_EQ(run.launched, std::vector<DWORD>{2});
        EXPECT_TRUE(trace.Contains(L"skipping Session 0 on Vista and later"));
    }
    {
        // The console alone, when nothing else is found.
        CScriptedSessions run;
        run.console = 5;
        EXPECT_TRUE(run.LaunchTrayInActiveSessions(L"C:\\cache\\InstStub.exe", L"/TRAYONLY"));
        EXPECT_EQ(run.launched, std::vector<DWORD>{5});
    }
    {
        // A session whose user cannot be prepared does not count as started: the cache may go.
        CScriptedSessions run;
        run.console = 1;
        run.unprepared = true;
        EXPECT_FALSE(run.LaunchTrayInActiveSessions(L"C:\\cache\\InstStub.exe", L"/TRAYONLY"));
    }
}

TEST(TraySessions, TheSystemsSessionListReplacesWhatTheCollectionHeld) {
    // Wine shows no logged-on session to either enumeration: what the caller's collection held
    // before must not survive as sessions to start trays in, read once or twice.
    CSystemSessions run;
    qlLib::CComPtr<qlLib::IIndexValueCollection> sessions = qlLib::CIndexValueCollectionImpl::New();
    ASSERT_TRUE(sessions);
    sessions->AddDword(77);
    sessions->AddDword(78);
    DWORD first = 0;
    for (int read = 0; read < 2; ++read) {
        const bool found = run.GetInteractiveSessions(sessions.Get());
        EXPECT_EQ(found, sessions->GetCount() > 0);
        if (read == 0) first = sessions->GetCount();
        EXPECT_EQ(sessions->GetCount(), first);
        for (DWORD i = 0; i < sessions->GetCount(); ++i) {
            DWORD session = 0;
            ASSERT_TRUE(sessions->GetDword(i, &session));
            EXPECT_TRUE(session != 77 && session != 78) << session;
        }
    }
}
