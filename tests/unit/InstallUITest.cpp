// The demo product's InstUI.dll: its window while the sample engine runs, its pages, its tray and
// the instance check. The window tests need a display (the suite runs under xvfb-run); the tray
// and the instance check work without one.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "BuildPaths.h"
#include "components/EngineWrapper.h"
#include "components/InstallUIWrapper.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/FolderUtils.h"
#include "runtime/MessageFilter.h"
#include "runtime/PathUtils.h"
#include "samples/installui/UIControlIds.h"
#include "stub/RebootTray.h"
#include "support/TestSupport.h"
#include "support/TestThread.h"

using qlLib::CComPtr;
using testing_support::CTempFolder;
using testing_support::CTestThread;
using testing_support::ToWinePath;
using namespace TARN;

namespace {

bool HasDisplay() {
    wchar_t display[64] = {};
    return ::GetEnvironmentVariableW(L"DISPLAY", display, 64) > 0;
}

// Records what the UI raises; the tray is told to end on a restart choice, as the stub does.
class CRecordingCallback final : public IInstallCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnEvent(DWORD event) override {
        events.push_back(event);
        if (event == eEvent_Restart && tray) tray->Notify();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPageClosed(DWORD page) override {
        closedPages.push_back(page);
        return S_OK;
    }
    LONG STDMETHODCALLTYPE CheckPatchReboot() override { return patchCheck; }

    std::vector<DWORD> events;
    std::vector<DWORD> closedPages;
    IInstallTray* tray = nullptr;
    LONG patchCheck = E_FAIL;   // keep the tray
};

class InstallUI : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, ui.Load(ToWinePath(SAMPLE_UI_UNIX_DIR)));
        ASSERT_EQ(S_OK, ui.GetFrame(frame.Receive()));
    }
    // Acts as the user on the frame's window once it is up: sets the media path (when given) and
    // clicks a control.
    CTestThread ClickWhenShown(int control, const wchar_t* mediaPath = nullptr) {
        return CTestThread([this, control, mediaPath] {
            HWND window = nullptr;
            for (int i = 0; i < 500 && !window; ++i, ::Sleep(10)) frame->GetWindow(&window);
            if (!window) return;
            if (mediaPath) ::SendMessageW(::GetDlgItem(window, eControl_MediaPath), WM_SETTEXT, 0,
                                          reinterpret_cast<LPARAM>(mediaPath));
            ::PostMessageW(window, WM_COMMAND, control, 0);
        });
    }

    // The frame's tray, marked with guid and answering to callback.
    CComPtr<IInstallTray> Tray(const std::wstring& guid, CRecordingCallback& callback) {
        CComPtr<IInstallTray> tray;
        EXPECT_EQ(S_OK, frame->GetInstallTray(tray.Receive()));
        if (!tray) return tray;
        tray->SetInstanceId(guid.c_str());
        callback.tray = tray.Get();
        tray->SetCallback(&callback);
        return tray;
    }

    CInstallUIWrapper ui;
    CComPtr<IInstallUIFrame> frame;
};

TEST_F(InstallUI, WindowShowsProgressWhileTheEngineRuns) {
    if (!HasDisplay()) GTEST_SKIP() << "needs a display (run under xvfb-run)";
    // A product of ten files, each followed by a pause, so the window can be watched mid-way.
    CTempFolder layout;
    const std::wstring product = L"MiniStub UI Test " + testing_support::NewGuid();
    std::string manifest = "[Product]\nName=" + std::string(product.begin(), product.end()) +
                           "\nTarget=%ProgramFiles%\\" + std::string(product.begin(), product.end()) +
                           "\n[Outcome]\nDelayMs=150\n[Files]\n";
    for (char c = '0'; c <= '9'; ++c) {
        const std::string name = std::string("part") + c + ".bin";
        ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(std::wstring(name.begin(), name.end())),
                                                   std::string(40 * 1024, c)));
        manifest += name + "\n";
    }
    ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(L"Install.mft"), manifest));
    CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    CComPtr<qlLib::IKeyValueCollection> results = qlLib::CKeyValueCollectionImpl::New();
    streams->SetWString(eStreamKey_Manifest, layout.Join(L"Install.mft").c_str());

    // As the stub's UI run: the install UI unattended, the engine on a worker thread that closes
    // the frame when it is done, the window on this thread.
    CComPtr<IInstallUI> installUI;
    ASSERT_EQ(S_OK, ui.GetInstallUI(TRUE, installUI.Receive()));
    installUI->SetInteractive(FALSE);
    CEngineWrapper engine;
    ASSERT_EQ(S_OK, engine.Load(ToWinePath(SAMPLE_ENGINE_UNIX_DIR)));
    ASSERT_EQ(S_OK, engine.Initialize(eEngineMode_Install, streams.Get(), frame.Get(), installUI.Get()));
    std::atomic<bool> done(false);
    HRESULT engineResult = E_FAIL;
    CTestThread worker([&] {
        engineResult = engine.Start(results.Get());
        ui.CloseFrame();
        done = true;
    });
    bool midway = false, layered = false;
    std::wstring midwayStatus;
    CTestThread watcher([&] {
        while (!done) {
            HWND window = nullptr;
            frame->GetWindow(&window);
            DWORD_PTR position = 0;
            if (window && ::SendMessageTimeoutW(::GetDlgItem(window, eControl_Progress), PBM_GETPOS, 0, 0,
                                                SMTO_ABORTIFHUNG, 200, &position) &&
                position > 0 && position < 1000) {
                wchar_t status[256] = {};
                ::GetDlgItemTextW(window, eControl_Status, status, 256);
                midway = true;
                midwayStatus = status;
                layered = (::GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYERED) != 0;
            }
            ::Sleep(20);
        }
    });
    const HRESULT shown = ui.DisplayFrame(TRUE);
    worker.join();
    watcher.join();
    wchar_t programFiles[MAX_PATH];
    ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    std::wstring target;
    qlLib::JoinPath(target, programFiles, product);
    DWORD error = 0;
    EXPECT_TRUE(qlLib::DeleteFolderTree(target, &error));

    EXPECT_EQ(S_OK, shown);
    EXPECT_EQ(S_OK, engineResult);
    EXPECT_TRUE(midway) << "no progress seen while the engine ran";
    EXPECT_NE(std::wstring::npos, midwayStatus.find(product));
    EXPECT_TRUE(layered) << "the UI option makes the window see-through";
}

TEST_F(InstallUI, MediaPageAnswersInKey5AndCancelRaisesEvent6) {
    if (!HasDisplay()) GTEST_SKIP() << "needs a display (run under xvfb-run)";
    CComPtr<IInstallUI> installUI;
    ASSERT_EQ(S_OK, ui.GetInstallUI(FALSE, installUI.Receive()));
    CRecordingCallback callback;
    EXPECT_TRUE(installUI->SetCallback(&callback));
    CComPtr<qlLib::IKeyValueCollection> data = qlLib::CKeyValueCollectionImpl::New();
    data->SetWString(ePageKey_MediaPath, L"D:\\setup.exe");

    ASSERT_EQ(S_OK, installUI->SetStartPage(ePage_Media, data.Get()));
    CTestThread user = ClickWhenShown(eControl_Primary, L"E:\\other\\setup.exe");
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
    user.join();
    std::wstring chosen;
    EXPECT_TRUE(data->GetWString(ePageKey_MediaPath, &chosen));
    EXPECT_EQ(L"E:\\other\\setup.exe", chosen);
    EXPECT_TRUE(callback.events.empty());

    ASSERT_EQ(S_OK, installUI->SetStartPage(ePage_Media, data.Get()));
    user = ClickWhenShown(eControl_Secondary);
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
    user.join();
    EXPECT_EQ(std::vector<DWORD>{eEvent_Cancel}, callback.events);
    EXPECT_EQ((std::vector<DWORD>{ePage_Media, ePage_Media}), callback.closedPages);
    installUI->SetCallback(nullptr);
}

TEST_F(InstallUI, RestartPageRaisesEvent1) {
    if (!HasDisplay()) GTEST_SKIP() << "needs a display (run under xvfb-run)";
    CComPtr<IInstallUI> installUI;
    ASSERT_EQ(S_OK, ui.GetInstallUI(FALSE, installUI.Receive()));
    CRecordingCallback callback;
    installUI->SetCallback(&callback);
    CComPtr<qlLib::IKeyValueCollection> data = qlLib::CKeyValueCollectionImpl::New();
    data->SetDword(ePageKey_RestartKind, ePageRestart_Continue);
    ASSERT_EQ(S_OK, installUI->SetStartPage(ePage_Restart, data.Get()));
    CTestThread user = ClickWhenShown(eControl_Primary);
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
    user.join();
    EXPECT_EQ(std::vector<DWORD>{eEvent_Restart}, callback.events);
    installUI->SetCallback(nullptr);
}

TEST_F(InstallUI, UnattendedEndAndTheHostsCloseEndOneDisplayEach) {
    if (!HasDisplay()) GTEST_SKIP() << "needs a display (run under xvfb-run)";
    CComPtr<IInstallUI> installUI;
    ASSERT_EQ(S_OK, ui.GetInstallUI(FALSE, installUI.Receive()));
    installUI->SetInteractive(FALSE);
    auto waitForWindow = [this](bool up) {
        HWND window = nullptr;
        for (int i = 0; i < 500; ++i, ::Sleep(10)) {
            frame->GetWindow(&window);
            if ((window != nullptr) == up) break;
        }
        return window;
    };
    // A display that shows until the user closes it.
    auto displayUntilUserCloses = [&] {
        std::atomic<bool> shown(false);
        CTestThread user([&] {
            HWND window = waitForWindow(true);
            shown = window != nullptr;
            if (window) ::PostMessageW(window, WM_COMMAND, eControl_Secondary, 0);
        });
        EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
        user.join();
        return shown.load();
    };
    // The engine ends while the window is up (it closes itself), then the worker closes the
    // frame as the stub does: nothing of it is left for the next display.
    CTestThread worker([&] {
        waitForWindow(true);
        installUI->OnEngineEnd(S_OK, nullptr);
        waitForWindow(false);
        ui.CloseFrame();
    });
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
    worker.join();
    EXPECT_TRUE(displayUntilUserCloses());
    // A fast engine ends before the window is shown: that display ends at once, and only that one.
    installUI->OnEngineEnd(S_OK, nullptr);
    ui.CloseFrame();
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
    EXPECT_TRUE(displayUntilUserCloses());
}

TEST(InstallUILanguage, FallbackMarkerChoosesTheModule) {
    // A cache with the German module only, for an English user.
    CTempFolder cache;
    std::wstring german = cache.Join(L"07\\01");
    DWORD error = 0;
    ASSERT_TRUE(qlLib::CreateFolderTree(german, &error));
    const std::wstring built = ToWinePath(SAMPLE_UI_UNIX_DIR);
    ASSERT_TRUE(::CopyFileW((built + L"\\InstUI.dll").c_str(), cache.Join(L"InstUI.dll").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((built + L"\\07\\01\\InsMUI.loc").c_str(), (german + L"\\InsMUI.loc").c_str(), FALSE));
    if (PRIMARYLANGID(::GetUserDefaultUILanguage()) == LANG_GERMAN) GTEST_SKIP() << "needs a non-German user";
    testing_support::CCaptureProcessTrace trace;
    CInstallUIWrapper ui;
    EXPECT_EQ(E_FAIL, ui.Load(cache.Path()));
    ASSERT_TRUE(testing_support::WriteTextFile(cache.Join(L"fallback.dat"), "0407"));
    EXPECT_EQ(S_OK, ui.Load(cache.Path()));
    EXPECT_TRUE(trace.Contains(L"InsMUI.loc (0407)"));
}

// The tray window, top-level under a display, message-only without one.
HWND FindTrayWindow(const std::wstring& guid) {
    HWND window = ::FindWindowW(kTrayWindowClass, guid.c_str());
    return window ? window : ::FindWindowExW(HWND_MESSAGE, nullptr, kTrayWindowClass, guid.c_str());
}

TEST_F(InstallUI, TrayRestartChoiceRaisesEvent1AndThePatchCheckEndsIt) {
    const std::wstring guid = testing_support::NewGuid();
    CRecordingCallback callback;
    CComPtr<IInstallTray> tray = Tray(guid, callback);
    ASSERT_TRUE(tray);
    CTestThread user([&] {
        HWND window = nullptr;
        for (int i = 0; i < 500 && !window; ++i, ::Sleep(10)) window = FindTrayWindow(guid);
        if (window) ::PostMessageW(window, WM_COMMAND, eTray_RestartNow, 0);
    });
    EXPECT_EQ(S_OK, tray->Run());   // ends through the callback's Notify
    user.join();
    EXPECT_EQ(std::vector<DWORD>{eEvent_Restart}, callback.events);

    // A restart marker that went away ends the tray on the next check.
    callback.patchCheck = 0;
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(S_OK, tray->Run());
    EXPECT_LT(::GetTickCount() - start, 10000u);
    tray->SetCallback(nullptr);
}

// How often the tray tried to add its icon: whether the shell took it (a display with a
// notification area) or not, each try leaves one line.
size_t IconAdds(testing_support::CCaptureProcessTrace& trace) {
    return trace.capture.Count(L"tray icon added") + trace.capture.Count(L"no notification icon");
}

TEST_F(InstallUI, TrayAddsItsIconAgainWhenTheShellsTaskbarComesBack) {
    const std::wstring guid = testing_support::NewGuid();
    testing_support::CCaptureProcessTrace trace;
    CRecordingCallback callback;
    CComPtr<IInstallTray> tray = Tray(guid, callback);
    ASSERT_TRUE(tray);
    size_t before = 0, after = 0;
    CTestThread shell([&] {
        HWND window = nullptr;
        for (int i = 0; i < 500 && !window; ++i, ::Sleep(10)) window = FindTrayWindow(guid);
        if (!window) return;
        // The first try ends before the tray pumps its messages (it may handle a sent one while
        // it waits for the shell inside that try, so that is no sign).
        for (int i = 0; i < 500 && !(before = IconAdds(trace)); ++i) ::Sleep(10);
        // A restarted shell has none of the icons it showed, and tells the top-level windows.
        ::SendMessageW(window, qlLib::TaskbarCreatedMessage(), 0, 0);
        after = IconAdds(trace);
        ::PostMessageW(window, WM_COMMAND, eTray_RestartNow, 0);
    });
    EXPECT_EQ(S_OK, tray->Run());
    shell.join();
    tray->SetCallback(nullptr);
    EXPECT_EQ(before, 1u);
    EXPECT_EQ(after, 2u);
}

// What the stub's tray host lets through for the process, in order.
std::vector<std::pair<UINT, DWORD>> g_letThrough;

BOOL WINAPI RecordLetThrough(UINT message, DWORD action) {
    g_letThrough.emplace_back(message, action);
    return TRUE;
}

TEST_F(InstallUI, TheStubsTrayLetsTheTaskbarsMessageThroughBeforeTheTrayRuns) {
    CComPtr<CRebootTray> host(CRebootTray::Create());
    ASSERT_TRUE(host);
    g_letThrough.clear();
    qlLib::ReplaceChangeWindowMessageFilter(&RecordLetThrough);
    const std::wstring guid = testing_support::NewGuid();
    std::vector<std::pair<UINT, DWORD>> whileRunning;
    CTestThread user([&] {
        HWND window = nullptr;
        for (int i = 0; i < 500 && !window; ++i, ::Sleep(10)) window = FindTrayWindow(guid);
        if (!window) return;
        whileRunning = g_letThrough;
        ::PostMessageW(window, WM_COMMAND, eTray_RestartNow, 0);
    });
    EXPECT_TRUE(host->Show(guid.c_str(), false, frame.Get()));   // the restart was chosen
    user.join();
    qlLib::ReplaceChangeWindowMessageFilter(nullptr);
    const std::vector<std::pair<UINT, DWORD>> expected{{qlLib::TaskbarCreatedMessage(), MSGFLT_ADD}};
    EXPECT_EQ(expected, whileRunning);
}

TEST_F(InstallUI, SecondStartFindsAndSignalsTheRunningInstance) {
    CComPtr<IInstallTray> tray;
    ASSERT_EQ(S_OK, frame->GetInstallTray(tray.Receive()));
    const std::wstring guid = testing_support::NewGuid();
    tray->SetInstanceId(guid.c_str());
    EXPECT_FALSE(tray->FindOtherInstance(TRUE));

    std::wstring command = L"\"" + ToWinePath(UIHOST_EXE_UNIX_PATH) + L"\" \"" + ToWinePath(SAMPLE_UI_UNIX_DIR) +
                           L"\" " + guid;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    bool found = false;
    for (int i = 0; i < 1000 && !found; ++i, ::Sleep(10)) found = tray->FindOtherInstance(FALSE);
    EXPECT_TRUE(found);
    EXPECT_TRUE(tray->FindOtherInstance(TRUE));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.hProcess, 20000));
    DWORD exitCode = 99;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode) << "the running instance was not asked to come forward";
}

}  // namespace
