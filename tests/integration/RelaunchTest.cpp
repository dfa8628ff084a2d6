// Runs handed to another process: the RunOnce relaunch, the RunOnce entry written back when
// another install is at work, and the elevated relaunch. The stub is StubProbe, whose token test
// and elevation prompt the environment can stand in for (Wine runs everything elevated).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "runtime/RegKey.h"
#include "support/ProcessWindows.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"
#include "support/TestThread.h"

using namespace testing_support;

namespace {

const wchar_t kRunOnce[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The demo UI's English elevation message (Windows Vista and later).
const wchar_t kElevationCaption[] = L"Administrator rights required";
const wchar_t kElevationText[] = L"Setup needs administrator rights.";

// Runs started from a logon or by a service wait for the user's taskbar; a hidden window of
// its class stands in for it (Wine's desktop has none).
class CTaskbarStandIn {
public:
    // On a thread of its own that answers every message, as a shell does: a window on the test's
    // thread, which waits for runs without pumping, would hold any program that sends it one.
    CTaskbarStandIn() : m_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_thread([this] { Pump(); }) {
        ::WaitForSingleObject(m_ready.Get(), INFINITE);
    }
    ~CTaskbarStandIn() {
        if (m_window) ::PostMessageW(m_window, WM_CLOSE, 0, 0);
        m_thread.join();
    }
    bool Ok() const { return m_window != nullptr; }

private:
    void Pump() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Proc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"Shell_TrayWnd";
        ::RegisterClassW(&windowClass);
        HWND window = ::CreateWindowExW(0, L"Shell_TrayWnd", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                        windowClass.hInstance, nullptr);
        m_window = window;
        ::SetEvent(m_ready.Get());
        MSG message;
        while (window && ::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
        ::UnregisterClassW(L"Shell_TrayWnd", windowClass.hInstance);
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DESTROY) ::PostQuitMessage(0);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    qlLib::CKernelHandle m_ready;
    HWND m_window = nullptr;
    CTestThread m_thread;
};

class Relaunch : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        entry = L"MiniStubTest" + product.silo.substr(1, 8);
    }
    void TearDown() override {
        // An entry left in RunOnce would start at the prefix's next restart.
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunOnce, entry.c_str());
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kRunOnce) + L"\\" + entry).c_str());
        for (const wchar_t* name : {L"MINISTUB_TEST_TOKEN", L"MINISTUB_TEST_ELEVATION"})
            ::SetEnvironmentVariableW(name, nullptr);
        CInstallerTest::TearDown();
    }
    std::wstring Probe() { return MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH)); }
    // Waits for n runs of this product to have ended.
    bool WaitForRuns(size_t n) {
        for (int i = 0; i < 600; ++i, ::Sleep(100))
            if (product.CountInLog(L"MiniStub: Returned") >= n) return true;
        return false;
    }
    std::wstring entry;
};

}  // namespace

TEST_F(Relaunch, ARunOnceStartRelaunchesAsRodoneWithTheEntrysPath) {
    CTaskbarStandIn taskbar;
    ASSERT_TRUE(taskbar.Ok());
    ScriptEngine("[Engine]\r\n");
    const std::wstring setup = Probe();
    const std::wstring path = temp.Join(L"from the entry");
    qlLib::CRegKey key;
    ASSERT_TRUE(key.Open(HKEY_LOCAL_MACHINE, (std::wstring(kRunOnce) + L"\\" + entry).c_str(), KEY_WRITE, true));
    ASSERT_TRUE(key.SetString(L"PATH", path));
    key.Close();

    // Any case and either switch character select the relaunch and are replaced as well: left in
    // place the switch would make every copy relaunch once more.
    for (const wchar_t* selector : {L"/RUNONCE", L"/runonce", L"-RunOnce"}) {
        const size_t runs = product.CountInLog(L"MiniStub: Returned");
        EXPECT_EQ(Run(setup, std::wstring(selector) + L" /PRODID " + entry + L" /qn"), 0u) << selector;
        ASSERT_TRUE(WaitForRuns(runs + 1)) << selector;
        const std::wstring log = product.RunLog();
        const size_t line = log.rfind(L"Information : command line: ");
        ASSERT_NE(line, std::wstring::npos);
        const std::wstring commandLine = log.substr(line, log.find(L'\n', line) - line);
        EXPECT_NE(commandLine.find(L"/RODONE /PRODID " + entry + L" /qn /PATH \"" + path + L"\""), std::wstring::npos)
            << testing::PrintToString(commandLine);
        EXPECT_EQ(commandLine.find(selector), std::wstring::npos) << testing::PrintToString(commandLine);
    }
}

TEST_F(Relaunch, ARodoneRunThatFindsAnInstallAtWorkWritesItsEntryBack) {
    CTaskbarStandIn taskbar;
    ASSERT_TRUE(taskbar.Ok());
    ScriptEngine("[Engine]\r\n");
    const std::wstring setup = Probe();
    const std::wstring event = L"Local\\MiniStubTestLock" + NewGuid();
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    PROCESS_INFORMATION holder = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring command = L"\"" + ToWinePath(HOLDLOCK_EXE_UNIX_PATH) + L"\" \"" + product.siloFolder + L"\" \"" +
                           product.silo + L"\" " + event;
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &holder));
    ASSERT_EQ(::WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);

    EXPECT_EQ(Run(setup, L"/RODONE /PRODID " + entry + L" /ADMIN /MEDIA \"C:\\media\" /qn"), 0u);
    ::TerminateProcess(holder.hProcess, 0);
    ::WaitForSingleObject(holder.hProcess, 30000);
    ::CloseHandle(holder.hProcess);
    ::CloseHandle(holder.hThread);
    ::CloseHandle(ready);

    qlLib::CRegKey key;
    std::wstring line;
    ASSERT_TRUE(key.Open(HKEY_LOCAL_MACHINE, kRunOnce, KEY_READ));
    ASSERT_TRUE(key.QueryString(entry.c_str(), line));
    // The program once, quoted, at the front; back to RUNONCE; without ADMIN and the media.
    EXPECT_EQ(line.rfind(L"\"" + setup + L"\"", 0), 0u) << testing::PrintToString(line);
    EXPECT_EQ(line.find(setup, 1 + setup.size()), std::wstring::npos) << testing::PrintToString(line);
    EXPECT_NE(line.find(L" /RUNONCE /PRODID " + entry), std::wstring::npos) << testing::PrintToString(line);
    EXPECT_EQ(line.find(L"/ADMIN"), std::wstring::npos);
    EXPECT_EQ(line.find(L"MEDIA"), std::wstring::npos);
    EXPECT_NE(product.RunLog().find(L"writing new commandline " + line + L" to run key"), std::wstring::npos);
}

// Sets the machine's UAC switch for the life of the object (Wine's prefix has it off).
class CEnableLua {
public:
    explicit CEnableLua(DWORD value) {
        m_open = m_key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                            KEY_READ | KEY_WRITE, true);
        m_hadValue = m_open && m_key.QueryDWORD(L"EnableLUA", m_previous);
        m_set = m_open && m_key.SetDWORD(L"EnableLUA", value);
    }
    ~CEnableLua() {
        if (!m_open) return;
        if (m_hadValue) {
            m_key.SetDWORD(L"EnableLUA", m_previous);
        } else {
            m_key.DeleteValue(L"EnableLUA");
        }
    }
    bool Ok() const { return m_set; }

private:
    qlLib::CRegKey m_key;
    bool m_open = false, m_hadValue = false, m_set = false;
    DWORD m_previous = 0;
};

TEST_F(Relaunch, WithoutAnElevatedTokenTheRunRelaunchesElevatedOrGivesUp) {
    product.realUI = true;   // the elevated copy shows its window
    ScriptEngine("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n6=b:1\r\n");
    const std::wstring setup = Probe();
    ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_TOKEN", L"limited"));
    {
        CEnableLua uac(1);
        ASSERT_TRUE(uac.Ok());
        // Nobody can answer a prompt in a quiet run.
        EXPECT_EQ(Run(setup, L"/qn"), 0x8000FFFFu);
        // The elevated copy runs the install; its result, a failure too, is this run's result.
        ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_ELEVATION", L"accept"));
        EXPECT_EQ(Run(setup, L""), 0x80047C02u);
        EXPECT_NE(product.RunLog().find(L" /ADMIN"), std::wstring::npos);   // the copy's command line
        // Refused twice, also by a user who is no administrator at all: the run gives up.
        ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_ELEVATION", L"cancel"));
        ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_TOKEN", L"standard"));
        DWORD exitCode = 0;
        std::vector<CShownMessageBox> boxes;
        ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"", 120000, exitCode, boxes));
        EXPECT_EQ(exitCode, 0x80047C10u);
        // Each refusal is explained.
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].caption, kElevationCaption);
        EXPECT_EQ(boxes[1].text.rfind(kElevationText, 0), 0u) << boxes[1].text;
    }
    // With the prompt switched off by policy there is nothing to ask, not even a second time.
    ::SetEnvironmentVariableW(L"MINISTUB_TEST_ELEVATION", nullptr);
    CEnableLua noUac(0);
    ASSERT_TRUE(noUac.Ok());
    DWORD exitCode = 0;
    std::vector<CShownMessageBox> boxes;
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0x80047C10u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kElevationCaption);
}

TEST_F(Relaunch, TheElevatedCopysResultIsMappedOnceByTheRunThatStartedIt) {
    product.realUI = true;   // the elevated copy shows its window
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n");
    const std::wstring setup = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH), [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20520, true);   // deployment tools' exit codes
    });
    ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_TOKEN", L"standard"));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_TEST_ELEVATION", L"accept"));
    CEnableLua uac(1);
    ASSERT_TRUE(uac.Ok());
    EXPECT_EQ(Run(setup, L""), 3010u);
    // The elevated copy (whose log names the product) answered in the stub's own code.
    EXPECT_NE(product.RunLog().find(L"MiniStub: Returned (0x80070bc2)"), std::wstring::npos);
}
