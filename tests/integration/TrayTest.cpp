// The people in front of the machine: the reboot tray of a tray-only run, a second start that
// brings the running one forward, and the media page. The install UI is the demo product's; the
// test clicks it by sending the messages a user's clicks send. The stub is StubProbe, whose
// restart only leaves "reboot.requested" beside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "support/ProcessWindows.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

// The demo UI's window classes and commands.
const wchar_t kTrayClass[] = L"InstUI_Tray";
const wchar_t kFrameClass[] = L"InstUI_Frame";
const WPARAM kTrayOpen = 2001, kTrayRestartNow = 2002;
const int kMediaPathControl = 1004, kPrimaryButton = 1006;
const DWORD kRestartChosen = 0x80070669, kTrayEnded = 0x80070BC2, kUserExit = 0x80070642;

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Tray : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        product.UseSilo(isolation.Silo());
        product.realUI = true;
        ScriptEngine("[Engine]\r\n");
        setup = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH), [this](TARN::CFileDataExtender& s) {
            product.DefaultSettings(s);
            s.SetData(14, product.silo.c_str());   // the compile GUID names the running instance
        });
        // An install that leaves its cache (the install UI among it) for the runs of the test.
        ASSERT_EQ(Run(setup, L"/qn"), 0u);
    }
    bool RebootRequested() const { return Exists(app + L"\\reboot.requested"); }
    static void Click(HWND window, WPARAM command) { ::PostMessageW(window, WM_COMMAND, command, 0); }

    CTestIsolationRoot isolation;
    std::wstring setup;
};

}  // namespace

TEST_F(Tray, TheUsersRestartChoiceEndsATrayOnlyRunWithARestart) {
    CRunningProgram tray;
    ASSERT_TRUE(tray.Start(setup, L"/TRAYONLY"));
    HWND window = WaitForProcessWindow(tray.Id(), kTrayClass, 60000, false);
    ASSERT_NE(window, nullptr);
    Click(window, kTrayRestartNow);
    DWORD exitCode = 0;
    ASSERT_TRUE(tray.Wait(60000, exitCode));
    EXPECT_EQ(exitCode, kRestartChosen);
    EXPECT_TRUE(RebootRequested());
}

TEST_F(Tray, AClickShowsTheRestartPageAndASecondStartBringsItForward) {
    CRunningProgram tray;
    ASSERT_TRUE(tray.Start(setup, L"/TRAYONLY"));
    HWND window = WaitForProcessWindow(tray.Id(), kTrayClass, 60000, false);
    ASSERT_NE(window, nullptr);

    // A second start of the product finds the tray, asks it to come forward and ends.
    EXPECT_EQ(Run(setup, L""), 0u);
    HWND page = WaitForProcessWindow(tray.Id(), kFrameClass, 60000);
    ASSERT_NE(page, nullptr);
    // The page's "Restart now".
    Click(page, kPrimaryButton);
    DWORD exitCode = 0;
    ASSERT_TRUE(tray.Wait(60000, exitCode));
    EXPECT_EQ(exitCode, kRestartChosen);

    // The same page from the tray's own menu; "Later" leaves the tray running.
    ::DeleteFileW((app + L"\\reboot.requested").c_str());
    CRunningProgram again;
    ASSERT_TRUE(again.Start(setup, L"/TRAYONLY"));
    window = WaitForProcessWindow(again.Id(), kTrayClass, 60000, false);
    ASSERT_NE(window, nullptr);
    Click(window, kTrayOpen);
    page = WaitForProcessWindow(again.Id(), kFrameClass, 60000);
    ASSERT_NE(page, nullptr);
    Click(page, IDCANCEL);
    EXPECT_FALSE(again.Wait(1500, exitCode));
    Click(window, kTrayRestartNow);
    ASSERT_TRUE(again.Wait(60000, exitCode));
    EXPECT_EQ(exitCode, kRestartChosen);
}

TEST_F(Tray, APatchRebootMarkerThatGoesAwayEndsTheTray) {
    ASSERT_TRUE(isolation.SetDword(L"TARN\\Patch\\Reboot", L"Pending", 1));
    CRunningProgram tray;
    ASSERT_TRUE(tray.Start(setup, L"/TRAYONLY"));
    ASSERT_NE(WaitForProcessWindow(tray.Id(), kTrayClass, 60000, false), nullptr);
    // The tray looks when it starts and every second: it must have seen the marker before it goes.
    DWORD exitCode = 0;
    EXPECT_FALSE(tray.Wait(2500, exitCode));
    ASSERT_EQ(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (isolation.Root() + L"\\TARN").c_str()), ERROR_SUCCESS);
    ASSERT_TRUE(tray.Wait(60000, exitCode));
    EXPECT_EQ(exitCode, kTrayEnded);
    EXPECT_FALSE(RebootRequested());
}

TEST_F(Tray, AMissingPackageBringsUpTheMediaPage) {
    const std::wstring missing = app + L"\\media\\setup.exe";
    for (bool cancel : {true, false}) {
        CRunningProgram run;
        ASSERT_TRUE(run.Start(setup, L"/qn /MEDIA \"" + missing + L"\""));
        HWND page = WaitForProcessWindow(run.Id(), kFrameClass, 60000);
        ASSERT_NE(page, nullptr) << cancel;
        wchar_t shown[MAX_PATH] = {};
        ::GetDlgItemTextW(page, kMediaPathControl, shown, MAX_PATH);
        EXPECT_EQ(shown, missing);
        DWORD exitCode = 0;
        if (cancel) {
            Click(page, IDCANCEL);
            ASSERT_TRUE(run.Wait(60000, exitCode));
            // A user's cancel is no failure to count.
            EXPECT_EQ(exitCode, kUserExit);
            EXPECT_NE(product.RunLog().find(L"media page canceled"), std::wstring::npos);
            EXPECT_EQ(product.RunLog().find(L"FAILURE: Hint: 9"), std::wstring::npos);
        } else {
            // The user points at the package: it is extracted from there and the install goes on.
            ::SendMessageW(::GetDlgItem(page, kMediaPathControl), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(setup.c_str()));
            Click(page, kPrimaryButton);
            ASSERT_TRUE(run.Wait(60000, exitCode));
            EXPECT_EQ(exitCode, 0u);
            EXPECT_NE(product.RunLog().find(L"Finished: Extract Package (media retry): 0x00000000"), std::wstring::npos);
        }
    }
}
