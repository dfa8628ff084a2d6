// The module binding and the engine and install UI wrappers, against the built components.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "BuildPaths.h"
#include "components/ComponentModule.h"
#include "components/EngineWrapper.h"
#include "components/InstallUIWrapper.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/PathUtils.h"
#include "support/TestSupport.h"

using qlLib::CComPtr;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;
using testing_support::ToWinePath;
using namespace TARN;

namespace {

std::wstring Join(const std::wstring& folder, const wchar_t* name) {
    std::wstring path;
    qlLib::JoinPath(path, folder, name);
    return path;
}

std::wstring EnglishModule() {
    return Join(ToWinePath(SAMPLE_UI_UNIX_DIR), L"09\\01\\InsMUI.loc");
}

// A folder holding a copy of the scripted engine and its script.
std::wstring ScriptedEngineFolder(const CTempFolder& temp, const std::string& script) {
    EXPECT_TRUE(::CopyFileW(Join(ToWinePath(SCRIPTED_ENGINE_UNIX_DIR), L"engine.dll").c_str(),
                            temp.Join(L"engine.dll").c_str(), FALSE));
    EXPECT_TRUE(testing_support::WriteTextFile(temp.Join(L"engine.ini"), script));
    return temp.Path();
}

TEST(ComponentModule, RefusesWhatCannotBind) {
    CTempFolder temp;
    CComponentModule module;
    EXPECT_EQ(E_COMPONENT_LOAD_FAILED, module.Load(L"engine.dll"));   // never found by search
    EXPECT_EQ(E_COMPONENT_LOAD_FAILED, module.Load(temp.Join(L"absent.dll")));
    EXPECT_EQ(E_COMPONENT_PATH_TOO_LONG, module.Load(temp.Join(std::wstring(300, L'a').c_str())));
    // A valid DLL without the two exports is freed again.
    ASSERT_TRUE(::CopyFileW(EnglishModule().c_str(), temp.Join(L"plain.dll").c_str(), FALSE));
    EXPECT_EQ(E_COMPONENT_NO_EXPORTS, module.Load(temp.Join(L"plain.dll")));
    EXPECT_FALSE(module.IsLoaded());
}

TEST(InstallUIWrapper, LoadFailuresAnswerTheirCodes) {
    CTempFolder temp;
    CCaptureProcessTrace trace;
    trace.capture.SetPrependType(TRUE);
    CInstallUIWrapper ui;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ui.Load(temp.Path()));
    EXPECT_TRUE(trace.Contains(L"Information : Finish: Load InstallUI (ERROR_FILE_NOT_FOUND)"));

    ASSERT_TRUE(::CopyFileW(EnglishModule().c_str(), temp.Join(L"InstUI.dll").c_str(), FALSE));
    EXPECT_EQ(E_UNEXPECTED, ui.Load(temp.Path()));
    EXPECT_TRUE(trace.Contains(L"CInstallUIWrapper::Load(58) : failed to initialize InstallUI: " +
                               temp.Join(L"InstUI.dll") + L" (0x80010302)"));

    // The real UI without any language module: its frame refuses to initialise.
    CTempFolder bare;
    ASSERT_TRUE(::CopyFileW(Join(ToWinePath(SAMPLE_UI_UNIX_DIR), L"InstUI.dll").c_str(),
                            bare.Join(L"InstUI.dll").c_str(), FALSE));
    EXPECT_EQ(E_FAIL, ui.Load(bare.Path()));
    EXPECT_TRUE(trace.Contains(L"CInstallUIWrapper::Load(88) : engine IInstallUIFrame::Initialize failed (0x80004005)"));
    EXPECT_FALSE(ui.IsLoaded());
}

TEST(Wrappers, CallsBeforeLoadAnswerPointerErrors) {
    CCaptureProcessTrace trace;
    trace.capture.SetPrependType(TRUE);
    CEngineWrapper engine;
    CInstallUIWrapper ui;
    CComPtr<IInstallUIFrame> frame;
    CComPtr<IInstallUI> installUI;
    EXPECT_EQ(E_POINTER, engine.Initialize(eEngineMode_Install, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, engine.Start(nullptr));
    EXPECT_EQ(E_POINTER, ui.GetFrame(frame.Receive()));
    EXPECT_EQ(E_POINTER, ui.CloseFrame());
    EXPECT_EQ(E_POINTER, ui.DisplayFrame(FALSE));
    EXPECT_EQ(E_POINTER, ui.GetInstallUI(FALSE, installUI.Receive()));
    EXPECT_TRUE(trace.Contains(L"Error : CEngineWrapper::Start(140) : must call Load first"));
    EXPECT_TRUE(trace.Contains(L"Error : CInstallUIWrapper::GetFrame(156) : must call Load first"));
    size_t count = 0;
    for (const std::wstring& line : trace.capture.lines)
        count += line.find(L" : must call Load first") != std::wstring::npos;
    EXPECT_EQ(6u, count);
}

TEST(EngineWrapper, LoadFailuresAnswerUnexpected) {
    CTempFolder temp;
    CCaptureProcessTrace trace;
    CEngineWrapper engine;
    EXPECT_EQ(E_UNEXPECTED, engine.Load(temp.Path()));
    EXPECT_TRUE(trace.Contains(L"CEngineWrapper::Load(68) : failed to initialize Engine: " + temp.Join(L"engine.dll") +
                               L" (0x80010300)"));
    ScriptedEngineFolder(temp, "[Engine]\nFactoryResult=0x80004005\n");
    EXPECT_EQ(E_UNEXPECTED, engine.Load(temp.Path()));
    EXPECT_TRUE(trace.Contains(L"CEngineWrapper::Load(87) : failed to create EngineManager object (0x80004005)"));
    EXPECT_FALSE(engine.IsLoaded());
}

TEST(EngineWrapper, LoadsOnceForwardsCallsAndLinksItsTrace) {
    CTempFolder temp;
    const std::wstring folder = ScriptedEngineFolder(
        temp, "[Engine]\nStartResult=0x80070BC2\n[Results]\n1=b:1\n4=d:0x00047C05\n0=s:follow.exe /x\n");
    CCaptureProcessTrace trace;
    CEngineWrapper engine;
    EXPECT_EQ(S_OK, engine.Load(folder));
    EXPECT_EQ(S_FALSE, engine.Load(folder));   // the object exists: answered 1, nothing reloaded
    EXPECT_TRUE(trace.Contains(L"Start: Load EngineManager"));
    EXPECT_TRUE(trace.Contains(L"Finish: Load EngineManager"));

    CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    CComPtr<qlLib::IKeyValueCollection> results = qlLib::CKeyValueCollectionImpl::New();
    streams->SetWString(eStreamKey_Manifest, L"C:\\cache\\Install.mft");
    EXPECT_EQ(S_OK, engine.Initialize(eEngineMode_PatchFailure2, streams.Get(), nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(0x80070BC2), engine.Start(results.Get()));
    // The engine's own trace lines arrive in this process's log through GetDebugOutput2.
    EXPECT_TRUE(trace.Contains(L"ScriptedEngine: Initialize (mode 7)"));
    bool tray = false;
    DWORD code = 0;
    std::wstring command;
    EXPECT_TRUE(results->GetBool(eResult_LaunchRebootTray, &tray) && tray);
    EXPECT_TRUE(results->GetDword(eResult_ReturnCode, &code));
    EXPECT_EQ(0x00047C05u, code);
    EXPECT_TRUE(results->GetWString(eResult_FollowUpCommand, &command));
    EXPECT_EQ(L"follow.exe /x", command);
    std::vector<unsigned char> calls;
    ASSERT_TRUE(testing_support::ReadFileBytes(temp.Join(L"engine.calls"), calls));
    EXPECT_EQ("Initialize mode=7 frame=0 ui=0 manifest=C:\\cache\\Install.mft\r\nStart\r\n",
              std::string(calls.begin(), calls.end()));

    // Validation runs load without the link: the engine's lines stay its own.
    engine.Unload();
    trace.capture.lines.clear();
    EXPECT_EQ(S_OK, engine.Load(folder, false));
    EXPECT_EQ(S_OK, engine.Initialize(eEngineMode_Validate, streams.Get(), nullptr, nullptr));
    EXPECT_FALSE(trace.Contains(L"ScriptedEngine: Initialize"));
    // Loading again makes the link.
    EXPECT_EQ(S_FALSE, engine.Load(folder));
    EXPECT_EQ(S_OK, engine.Initialize(eEngineMode_Validate, streams.Get(), nullptr, nullptr));
    EXPECT_TRUE(trace.Contains(L"ScriptedEngine: Initialize (mode 6)"));
}

TEST(InstallUIWrapper, LoadsOnceAndLinksItsTrace) {
    CCaptureProcessTrace trace;
    CInstallUIWrapper ui;
    EXPECT_EQ(S_OK, ui.Load(ToWinePath(SAMPLE_UI_UNIX_DIR)));
    EXPECT_EQ(S_FALSE, ui.Load(ToWinePath(SAMPLE_UI_UNIX_DIR)));
    EXPECT_TRUE(trace.Contains(L"Start: Load InstallUI"));
    EXPECT_TRUE(trace.Contains(L"Finish: Load InstallUI"));
    EXPECT_TRUE(trace.Contains(L"InstallUI: language module "));
    CComPtr<IInstallUIFrame> frame;
    EXPECT_EQ(S_OK, ui.GetFrame(frame.Receive()));
    EXPECT_TRUE(frame.As<IInstallUIFrame2>(IID_IInstallUIFrame2));
    // A close before the frame is displayed ends that display at once.
    EXPECT_EQ(S_OK, ui.CloseFrame());
    EXPECT_EQ(S_OK, ui.DisplayFrame(FALSE));
}

TEST(LanguageModules, CarryTheStubsMessages) {
    const UINT ids[] = {168, 169, 170, 187, 188};
    std::wstring english[5];
    for (const wchar_t* folder : {L"09\\01\\InsMUI.loc", L"07\\01\\InsMUI.loc"}) {
        qlLib::CModuleHandle module(::LoadLibraryExW(Join(ToWinePath(SAMPLE_UI_UNIX_DIR), folder).c_str(), nullptr,
                                                     LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module) << folder;
        for (size_t i = 0; i < 5; ++i) {
            wchar_t text[512] = {};
            EXPECT_GT(::LoadStringW(module.Get(), ids[i], text, 512), 0) << folder << " " << ids[i];
            if (english[i].empty()) {
                english[i] = text;
            } else {
                EXPECT_NE(english[i], text) << "untranslated " << ids[i];
            }
        }
    }
}

}  // namespace
