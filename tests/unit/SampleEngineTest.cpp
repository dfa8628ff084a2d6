// The demo product's engine.dll driven through CEngineWrapper: install from a layout folder into
// Program Files, validation and repair, scripted outcomes, hostile manifests and cancel.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "components/EngineWrapper.h"
#include "components/SilentDocument.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/MemoryStreamImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "support/TestSupport.h"

using qlLib::CComPtr;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;
using testing_support::ReadFileBytes;
using testing_support::ToWinePath;
using namespace TARN;

namespace {

std::string ReadText(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    ReadFileBytes(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());   // test names are ASCII
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A layout folder (the install cache) holding the demo product under a name of this test's own,
// so that its Program Files folder and registry key are the test's alone.
class SampleEngine : public ::testing::Test {
protected:
    SampleEngine() : product(L"MiniStub Test " + testing_support::NewGuid()) {
        const std::wstring source = ToWinePath(SAMPLE_PRODUCT_UNIX_DIR);
        for (const wchar_t* file : {L"files\\ReadMe.txt", L"files\\Sample.ini", L"files\\Tools\\Notes.txt"}) {
            std::wstring from, to;
            qlLib::JoinPath(from, source, file);
            qlLib::JoinPath(to, layout.Path(), file);
            DWORD error = 0;
            qlLib::CreateFolderTree(to.substr(0, to.find_last_of(L'\\')), &error);
            EXPECT_TRUE(::CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from);
        }
        manifest = ReadText(source + L"\\Install.mft");
        ReplaceAll(manifest, "Velmor Sample Product", Narrow(product));
        wchar_t programFiles[MAX_PATH];
        ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
        qlLib::JoinPath(target, programFiles, product);
        streams->SetWString(eStreamKey_Manifest, layout.Join(L"Install.mft").c_str());
        streams->SetWString(eStreamKey_InstallCache, layout.Path().c_str());
    }
    ~SampleEngine() override {
        engine.Unload();
        DWORD error = 0;
        qlLib::DeleteFolderTree(target, &error);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\" + product).c_str());
    }

    void WriteManifest(const std::string& extra = std::string()) {
        ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(L"Install.mft"), manifest + extra));
    }
    HRESULT Install(IInstallUI* ui) {
        EXPECT_EQ(S_OK, engine.Load(ToWinePath(SAMPLE_ENGINE_UNIX_DIR)));
        const HRESULT hr = engine.Initialize(eEngineMode_Install, streams.Get(), nullptr, ui);
        return FAILED(hr) ? hr : engine.Start(results.Get());
    }
    // A validation run as the stub makes it: a collection with the manifest alone, no UI.
    HRESULT Validate(DWORD mode) {
        CComPtr<qlLib::IKeyValueCollection> only = qlLib::CKeyValueCollectionImpl::New();
        only->SetWString(eStreamKey_Manifest, layout.Join(L"Install.mft").c_str());
        return engine.Initialize(mode, only.Get(), nullptr, nullptr);
    }
    std::wstring Target(const wchar_t* name) const { return target + L"\\" + name; }

    CTempFolder layout;
    std::wstring product;
    std::wstring target;
    std::string manifest;
    CEngineWrapper engine;
    CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    CComPtr<qlLib::IKeyValueCollection> results = qlLib::CKeyValueCollectionImpl::New();
};

TEST_F(SampleEngine, InstallsIntoProgramFilesThenValidatesAndRepairs) {
    WriteManifest();
    CCaptureProcessTrace trace;
    CComPtr<qlLib::IDataStream> record = CComPtr<qlLib::IDataStream>::Adopt(qlLib::CreateMemoryStreamImpl());
    streams->SetObj(eStreamKey_OutputManifest, record.Get());
    CComPtr<IInstallUI> silent = CComPtr<IInstallUI>::Adopt(CSilentDocument::Create());
    ASSERT_EQ(S_OK, Install(silent.Get()));

    EXPECT_EQ(ReadText(layout.Join(L"files\\Sample.ini")), ReadText(Target(L"Config\\Sample.ini")));
    EXPECT_TRUE(Exists(Target(L"ReadMe.txt")));
    EXPECT_TRUE(Exists(Target(L"Tools\\Notes.txt")));
    EXPECT_TRUE(Exists(Target(L"Read me.lnk")));
    EXPECT_TRUE(Exists(layout.Join(L"complete.dat")));
    DWORD installed = 0, size = sizeof(installed);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, (L"Software\\" + product).c_str(), L"Installed",
                                            RRF_RT_REG_DWORD, nullptr, &installed, &size));
    EXPECT_EQ(1u, installed);
    bool tray = true, removeCache = true;
    EXPECT_TRUE(results->GetBool(eResult_LaunchRebootTray, &tray) && !tray);
    EXPECT_TRUE(results->GetBool(eResult_RemoveCache, &removeCache) && !removeCache);
    EXPECT_FALSE(results->Exists(eResult_FailureHint));
    ULONGLONG recorded = 0;
    EXPECT_TRUE(record->GetSize(&recorded) && recorded > 0);
    // The engine's own lines reached this process's log.
    EXPECT_TRUE(trace.Contains(L"Start: Install " + product));

    // Validation names what is gone, repair brings it back from the layout.
    ASSERT_TRUE(::DeleteFileW(Target(L"ReadMe.txt").c_str()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Validate(eEngineMode_Validate));
    EXPECT_TRUE(trace.Contains(L"CProductInstaller::Check(") && trace.Contains(L"missing: " + Target(L"ReadMe.txt")));
    EXPECT_FALSE(Exists(Target(L"ReadMe.txt")));
    EXPECT_EQ(S_OK, Validate(eEngineMode_Repair));
    EXPECT_EQ(ReadText(layout.Join(L"files\\ReadMe.txt")), ReadText(Target(L"ReadMe.txt")));
    EXPECT_EQ(S_OK, Validate(eEngineMode_Validate));

    // A changed file of the same size is found too; shortcuts are repaired by their own mode.
    ASSERT_TRUE(testing_support::WriteTextFile(Target(L"Tools\\Notes.txt"),
                                               std::string(ReadText(Target(L"Tools\\Notes.txt")).size(), 'x')));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT), Validate(eEngineMode_Validate));
    EXPECT_EQ(S_OK, Validate(eEngineMode_Repair));
    ASSERT_TRUE(::DeleteFileW(Target(L"Read me.lnk").c_str()));
    EXPECT_EQ(S_OK, Validate(eEngineMode_RepairShortcuts));
    EXPECT_TRUE(Exists(Target(L"Read me.lnk")));
    EXPECT_EQ(S_OK, Validate(eEngineMode_Validate));
}

TEST_F(SampleEngine, ScriptedOutcomeFillsTheResults) {
    WriteManifest("[Outcome]\nResult=0x80070BC2\nRebootTray=1\nRemoveCache=1\nFollowUp=next.exe /q\nReturnCode=0x00047C05\n");
    EXPECT_EQ(static_cast<HRESULT>(0x80070BC2), Install(nullptr));
    bool tray = false, removeCache = false;
    DWORD code = 0;
    std::wstring command;
    EXPECT_TRUE(results->GetBool(eResult_LaunchRebootTray, &tray) && tray);
    EXPECT_TRUE(results->GetBool(eResult_RemoveCache, &removeCache) && removeCache);
    EXPECT_TRUE(results->GetWString(eResult_FollowUpCommand, &command));
    EXPECT_EQ(L"next.exe /q", command);
    EXPECT_TRUE(results->GetDword(eResult_ReturnCode, &code));
    EXPECT_EQ(0x00047C05u, code);
    EXPECT_TRUE(Exists(layout.Join(L"complete.dat")));
}

TEST_F(SampleEngine, RefusesManifestsThatLeaveTheirFolders) {
    const std::string product = "[Product]\nName=x\nTarget=%InstallCache%\\out\n";
    const char* hostile[] = {
        "[Files]\n..\\..\\secret.txt\n",
        "[Files]\nfiles\\ReadMe.txt|..\\..\\escaped.txt\n",
        "[Files]\nfiles\\ReadMe.txt|C:\\Windows\\evil.txt\n",
        "[Files]\nfiles\\ReadMe.txt:stream\n",
        "[Registry]\nHKLM\\Software\\..\\..\\x|v|REG_SZ|1\n",
        "[Registry]\nHKCR\\x|v|REG_SZ|1\n",
        "[Shortcuts]\nC:\\x.lnk|..\\..\\cmd.exe\n",
        "[Outcome]\nDelayMs=4000000000\n",
    };
    ASSERT_EQ(S_OK, engine.Load(ToWinePath(SAMPLE_ENGINE_UNIX_DIR)));
    for (const char* part : hostile) {
        ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(L"Install.mft"), product + part));
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_FORMAT), engine.Initialize(eEngineMode_Install, streams.Get(), nullptr, nullptr))
            << part;
    }
    for (const char* relativeTarget : {"Target=out\n", "Target=%Nowhere%\\out\n", "Target=%ProgramFiles%\\..\\out\n"}) {
        ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(L"Install.mft"), std::string("[Product]\nName=x\n") + relativeTarget));
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_FORMAT), engine.Initialize(eEngineMode_Install, streams.Get(), nullptr, nullptr))
            << relativeTarget;
    }
    EXPECT_FALSE(Exists(layout.Join(L"out")));
}

TEST_F(SampleEngine, MissingLayoutFileFailsWithItsHint) {
    WriteManifest("[Files]\nfiles\\NotThere.txt|NotThere.txt\n");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Install(nullptr));
    DWORD hint = 0;
    EXPECT_TRUE(results->GetDword(eResult_FailureHint, &hint));
    EXPECT_EQ(20u, hint);
    EXPECT_FALSE(Exists(layout.Join(L"complete.dat")));
}

// An install UI whose user cancels as soon as the first file is under way.
class CCancelingUI final : public IInstallUI {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Notify() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgress(ULONG done, ULONG) override {
        return done > 0 ? E_INSTALL_USEREXIT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(DWORD, const wchar_t*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetStartPage(DWORD, qlLib::IKeyValueCollection*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShowMessage(DWORD, const wchar_t*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEngineEnd(HRESULT result, qlLib::IKeyValueCollection*) override {
        ended = result;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetInteractive(BOOL) override { return S_OK; }
    bool STDMETHODCALLTYPE SetCallback(IInstallCallback*) override { return false; }
    HRESULT ended = S_OK;
};

TEST_F(SampleEngine, CancelStopsWithoutHalfCopiedFiles) {
    // Big enough for several chunks.
    ASSERT_TRUE(testing_support::WriteTextFile(layout.Join(L"files\\Big.bin"), std::string(300 * 1024, 'b')));
    ReplaceAll(manifest, "[Files]\n", "[Files]\nfiles\\Big.bin|Big.bin\n");
    WriteManifest();
    CCancelingUI ui;
    EXPECT_EQ(E_INSTALL_USEREXIT, Install(&ui));
    EXPECT_EQ(E_INSTALL_USEREXIT, ui.ended);
    EXPECT_FALSE(Exists(Target(L"Big.bin")));
    EXPECT_FALSE(Exists(layout.Join(L"complete.dat")));
}

}  // namespace
