// Whole install runs of installers made by the builder, with the scripted engine unpacked into
// the cache: layout, engine results turned into exit codes, reboot decisions, the reboot tray,
// follow-up commands and the retry from the media. The stub is StubProbe: MiniStub whose restart
// leaves a marker file instead.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "BuildPaths.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/RegKey.h"
#include "runtime/SingleInstanceLock.h"
#include "support/ProcessWindows.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Replaces a key's DACL for the life of the object and puts the old one back.
class CKeyDacl {
public:
    CKeyDacl(const std::wstring& path, const wchar_t* sddl) : m_path(path) {
        qlLib::CRegKeyHandle key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | WRITE_DAC, key.Receive()) != ERROR_SUCCESS)
            return;
        DWORD size = 0;
        ::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
        m_old.resize(size);
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!size || ::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, m_old.data(), &size) != ERROR_SUCCESS ||
            !::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
            return;
        qlLib::CLocalMemory memory(sd);
        applied = ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS;
    }
    ~CKeyDacl() {
        qlLib::CRegKeyHandle key;
        if (applied && ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, WRITE_DAC, key.Receive()) == ERROR_SUCCESS)
            ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, m_old.data());
    }
    bool applied = false;

private:
    std::wstring m_path;
    std::vector<BYTE> m_old;
};

// The published return code, or -1 when there is none.
long long PublishedReturnCode(const CTestIsolationRoot& isolation) {
    qlLib::CRegKey key;
    DWORD value = 0;
    if (!key.Open(HKEY_LOCAL_MACHINE, (isolation.Root() + L"\\TARN\\ReturnCode").c_str(), KEY_READ) ||
        !key.QueryDWORD(L"ReturnCode", value))
        return -1;
    return value;
}

class InstallRun : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        setup = app + L"\\setup.exe";
    }
    void TearDown() override {
        CInstallerTest::TearDown();
        ::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", nullptr);
    }

    void Make(const std::string& engineScript) {
        ScriptEngine(engineScript);
        ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup));
    }
    DWORD Run(const std::wstring& arguments) {
        ::DeleteFileW(RebootMarker().c_str());
        return CInstallerTest::Run(setup, arguments);
    }
    std::wstring RebootMarker() const { return app + L"\\reboot.requested"; }
    bool RebootRequested() const { return Exists(RebootMarker()); }
    std::string EngineCalls() {
        std::vector<unsigned char> bytes;
        ReadFileBytes(product.cache + L"\\engine.calls", bytes);
        return std::string(bytes.begin(), bytes.end());
    }

    std::wstring setup;
};

}  // namespace

TEST_F(InstallRun, QuietFirstInstallThenAnXRerunOverTheCompleteCache) {
    Make("[Engine]\r\nWriteComplete=1\r\n");
    EXPECT_EQ(Run(L"/qn"), 0u);
    EXPECT_FALSE(RebootRequested());
    for (const wchar_t* file : {L"engine.dll", L"layout.dat", L"complete.dat", L"extract.dat", L"InstStub.exe"})
        EXPECT_TRUE(Exists(product.cache + L"\\" + file)) << file;
    EXPECT_NE(EngineCalls().find("Initialize mode=0 frame=0 ui=1"), std::string::npos) << EngineCalls();
    const std::wstring log = product.RunLog();
    EXPECT_NE(log.find(L"Information : Silent UI object created."), std::wstring::npos);
    EXPECT_NE(log.find(L"Information : Finished: Extracting Layout (" + product.cache), std::wstring::npos);
    EXPECT_NE(log.find(L"Information : engine returned: 0x00000000 (reboot: 0)"), std::wstring::npos);

    // Over the complete cache neither the package nor the layout is unpacked again.
    ASSERT_TRUE(::DeleteFileW((product.cache + L"\\engine.calls").c_str()));
    const size_t extractions = product.CountInLog(L"Start: Extract Package");
    const size_t layouts = product.CountInLog(L"Start: Extracting Layout");
    EXPECT_EQ(Run(L"/x /qn"), 0u);
    EXPECT_EQ(product.CountInLog(L"Start: Extract Package"), extractions);
    EXPECT_EQ(product.CountInLog(L"Start: Extracting Layout"), layouts);
    EXPECT_NE(EngineCalls().find("Start"), std::string::npos);
}

TEST_F(InstallRun, RebootRequiredBecomesARebootInQuietRunsUnlessNoReboot) {
    Make("[Engine]\r\nStartResult=0x80070BC2\r\n");
    EXPECT_EQ(Run(L"/qn"), 0x80070669u);
    EXPECT_TRUE(RebootRequested());
    EXPECT_NE(product.RunLog().find(L"no reboot flag NOT found, force reboot"), std::wstring::npos);
    EXPECT_EQ(Run(L"/qn /NOREBOOT"), 0x80070BC2u);
    EXPECT_FALSE(RebootRequested());
}

TEST_F(InstallRun, ResultsKeyFourIsTheExitCodeEvenOverAFailure) {
    // A failure after which no retry is made, so the result tail runs.
    Make("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n4=d:0x00001234\r\n6=b:1\r\n");
    EXPECT_EQ(Run(L"/qn"), 0x1234u);
}

TEST_F(InstallRun, AFollowUpCommandsExitCodeIsMapped) {
    const std::wstring echoLog = temp.Join(L"echo.txt");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", echoLog.c_str()));
    std::string command;
    for (wchar_t c : ToWinePath(ECHOARGS_EXE_UNIX_PATH)) command.push_back(static_cast<char>(c));
    Make("[Engine]\r\nStartResult=0x00047C01\r\n[Results]\r\n0=s:\"" + command + "\" 0x00047C04\r\n");
    EXPECT_EQ(Run(L"/qn"), 0x80070669u);
    EXPECT_TRUE(Exists(echoLog));
    // The command's reboot is the stub's exit code; restarting is the entry point's decision.
    EXPECT_TRUE(RebootRequested());

    // Unquoted, a program path with a space would start "...\with.exe" first: not run at all.
    ASSERT_TRUE(::DeleteFileW(echoLog.c_str()));
    const std::wstring spaced = temp.Join(L"with space");
    ASSERT_TRUE(::CreateDirectoryW(spaced.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(ToWinePath(ECHOARGS_EXE_UNIX_PATH).c_str(), (spaced + L"\\EchoArgs.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(ToWinePath(ECHOARGS_EXE_UNIX_PATH).c_str(), temp.Join(L"with.exe").c_str(), FALSE));
    command.clear();
    for (wchar_t c : spaced) command.push_back(static_cast<char>(c));
    Make("[Engine]\r\nStartResult=0x00047C01\r\n[Results]\r\n0=s:" + command + "\\EchoArgs.exe 7\r\n");
    EXPECT_EQ(Run(L"/qn"), 0x80070002u);
    EXPECT_FALSE(Exists(echoLog));
    EXPECT_EQ(product.CountInLog(L"(it does not start with the full path of a program)"), 1u);
}

TEST_F(InstallRun, ALastInstallRelaunchThatRebootsKeepsTheStartingSetupsCache) {
    Make("[Engine]\r\nStartResult=0x80070BC2\r\n[Results]\r\n5=b:1\r\n");
    EXPECT_EQ(Run(L"/qn /LIRELAUNCH"), 0x80070002u);   // no manifest folder in the settings
    product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup, [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20502, product.cache.c_str());
    });
    EXPECT_EQ(Run(L"/qn /LIRELAUNCH"), 0x00047C04u);
    EXPECT_NE(product.RunLog().find(L"change return code so initial setup doesn't delete its cache: 0x00047c04"),
              std::wstring::npos);
}

TEST_F(InstallRun, AnEngineFailureThatAllowsARetryExtractsOnceMoreFromTheMedia) {
    Make("[Engine]\r\nStartResult=0x80047C00\r\n");
    EXPECT_EQ(Run(L"/qn /MEDIA \"" + setup + L"\""), 0x80047C00u);
    const std::wstring log = product.RunLog();
    size_t starts = 0;
    for (size_t at = log.find(L"Start: Contains Package"); at != std::wstring::npos;
         at = log.find(L"Start: Contains Package", at + 1))
        ++starts;
    EXPECT_EQ(starts, 2u);   // the retry, and the one refused because it was used
    // The engine ran twice (the second extraction emptied the cache first, its call record too).
    size_t runs = 0;
    for (size_t at = log.find(L"Silent UI object created."); at != std::wstring::npos;
         at = log.find(L"Silent UI object created.", at + 1))
        ++runs;
    EXPECT_EQ(runs, 2u);
    EXPECT_NE(log.find(L"FAILURE: Hint: 12, HR: 0x80047c00"), std::wstring::npos);
}

TEST_F(InstallRun, AFullUIRunKeepsRebootRequiredAndStartsTheTrayFromTheCache) {
    product.realUI = true;
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n[Results]\r\n1=b:1\r\n");
    // With a compile GUID the tray stays up until a user answers; without one it would end at
    // once, and whether the look below caught it alive would be a matter of timing.
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup, [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(14, product.silo.c_str());
    }));
    EXPECT_EQ(Run(L"/qb"), 0x80070669u);   // basic UI: normalised like a quiet run
    // The tray runs from the cache: a removal asked for must leave it.
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n[Results]\r\n1=b:1\r\n3=b:1\r\n");
    EXPECT_EQ(Run(L""), 0x80070BC2u);
    EXPECT_FALSE(RebootRequested());
    const std::wstring tray = product.cache + L"\\InstStub.exe";
    EXPECT_NE(product.RunLog().find(L"Information : Launching: " + tray + L" /TRAYONLY"), std::wstring::npos);
    FinishDeleteModeCopies(product);
    EXPECT_TRUE(Exists(product.cache + L"\\engine.dll"));
    EXPECT_FALSE(IsPendingDeletion(product.cache));
    // The tray waits for a user: it ends with the test. A process that is still starting may not
    // answer for its image yet on a busy machine: looked for again for a while. Found, it must
    // come as far as its tray window (a tray that cannot read its settings ends before).
    DWORD trayId = 0;
    for (int attempt = 0; attempt < 50 && !trayId; ++attempt) {
        if (attempt) ::Sleep(200);
        qlLib::CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = snapshot && ::Process32FirstW(snapshot.Get(), &entry); more && !trayId;
             more = ::Process32NextW(snapshot.Get(), &entry)) {
            qlLib::CKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
            wchar_t image[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            if (process && ::QueryFullProcessImageNameW(process.Get(), 0, image, &size) && !_wcsicmp(image, tray.c_str()))
                trayId = entry.th32ProcessID;
        }
    }
    ASSERT_NE(trayId, 0u);
    EXPECT_NE(WaitForProcessWindow(trayId, L"InstUI_Tray", 30000, false), nullptr);
    qlLib::CKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, trayId));
    if (process) {
        ::TerminateProcess(process.Get(), 1);
        ::WaitForSingleObject(process.Get(), 10000);
    }
}

TEST_F(InstallRun, APatchLeftInTheRegistryMakesTheCacheExtractAgain) {
    CTestIsolationRoot isolation;
    product.UseSilo(isolation.Silo());
    Make("[Engine]\r\nWriteComplete=1\r\n");
    ASSERT_EQ(Run(L"/qn"), 0u);
    ASSERT_TRUE(Exists(product.cache + L"\\complete.dat"));
    ASSERT_TRUE(isolation.SetDword(L"Uninstall\\Reboot", L"PatchMode", 1));
    const wchar_t* const lines[] = {L"Information : Uninstall Key found", L"Information : Patch failure mode: 1",
                                    L"Information : DeleteCompleteAndExtract", L"Information : Start: Extract Package"};
    std::vector<size_t> before;
    for (const wchar_t* line : lines) before.push_back(product.CountInLog(line));
    EXPECT_EQ(Run(L"/qn"), 0u);
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(product.CountInLog(lines[i]), before[i] + 1) << testing::PrintToString(std::wstring(lines[i]));
    // Outside a service run the mode does not reach the engine.
    EXPECT_NE(EngineCalls().rfind("Initialize mode=0"), std::string::npos);
}

TEST_F(InstallRun, QuietRunsShowTheUIOnlyWhenErrorsAreToBeShown) {
    product.realUI = true;
    Make("[Engine]\r\n");
    struct Case {
        const wchar_t* arguments;
        const wchar_t* line;
    };
    for (const Case& c : {Case{L"/qn /SHOWERRORS 1", L"Information : Full UI object created."},
                          Case{L"/qn /SHOWERRORS", L"Information : Silent UI object created."},
                          Case{L"/qn /SHOWERRORS 0", L"Information : Silent UI object created."}}) {
        const size_t before = product.CountInLog(c.line);
        EXPECT_EQ(Run(c.arguments), 0u) << c.arguments;
        EXPECT_EQ(product.CountInLog(c.line), before + 1) << c.arguments;
    }
}

TEST_F(InstallRun, DeploymentToolsGetTheirExitCodesOnlyWhenAskedFor) {
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n");
    // Asked for by the switch: a restart that is only needed.
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup));
    EXPECT_EQ(Run(L"/qn /NOREBOOT /DEPLOYCODES"), 3010u);
    // Asked for by the product's setting: a restart that was started, and a run that gives way.
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup, [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20520, true);
    }));
    EXPECT_EQ(Run(L"/qn"), 1641u);
    EXPECT_TRUE(RebootRequested());
    EXPECT_NE(product.RunLog().find(L"MiniStub: Returned (0x00000669)"), std::wstring::npos);
    {
        qlLib::CSingleInstanceLock running(product.siloFolder);
        ASSERT_NE(running.Create(product.silo.c_str(), true), 0u);
        EXPECT_EQ(Run(L"/qn"), 1618u);
    }
    // A process another stub started answers that stub in the stub's own codes.
    EXPECT_EQ(Run(L"/qn /NOREBOOT /ADMIN"), 0x80070BC2u);

    // Not asked for: nothing changes.
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup));
    qlLib::CSingleInstanceLock running(product.siloFolder);
    ASSERT_NE(running.Create(product.silo.c_str(), true), 0u);
    EXPECT_EQ(Run(L"/qn"), 0u);
}

TEST_F(InstallRun, TheReturnCodeIsClearedAtTheEnginesEndAndPublishedOnRequest) {
    CTestIsolationRoot isolation;
    product.UseSilo(isolation.Silo());
    Make("[Engine]\r\nStartResult=0x80070BC2\r\n");
    // An earlier run's value never stands for this one.
    ASSERT_TRUE(isolation.SetDword(L"TARN\\ReturnCode", L"ReturnCode", 0x1234));
    EXPECT_EQ(Run(L"/qn /NOREBOOT"), 0x80070BC2u);
    EXPECT_EQ(PublishedReturnCode(isolation), -1);
    for (const wchar_t* publish : {L"/PUBLISHRESULTS 1", L"/publishresults 2"}) {
        ASSERT_TRUE(isolation.SetDword(L"TARN\\ReturnCode", L"ReturnCode", 0x1234));
        EXPECT_EQ(Run(std::wstring(L"/qn /NOREBOOT ") + publish), 0x80070BC2u) << publish;
        // The engine's own result, before the run made a restart of it.
        EXPECT_EQ(PublishedReturnCode(isolation), 0x80070BC2) << publish;
    }
    EXPECT_EQ(Run(L"/qn /NOREBOOT /PUBLISHRESULTS 3"), 0x80070BC2u);
    EXPECT_EQ(PublishedReturnCode(isolation), -1);

    // Always published by the product's settings.
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup, [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(116, true);
    }));
    EXPECT_EQ(Run(L"/qn /NOREBOOT"), 0x80070BC2u);
    EXPECT_EQ(PublishedReturnCode(isolation), 0x80070BC2);

    // An isolation key this run may not write: an over-install still publishes through the key
    // of the value itself, and any other run still clears an earlier value.
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n[Results]\r\n5=b:1\r\n");
    CKeyDacl readOnly(isolation.Root(), L"D:(D;;0x6;;;WD)(A;;KA;;;WD)");
    ASSERT_TRUE(readOnly.applied);
    ASSERT_TRUE(isolation.SetDword(L"TARN\\ReturnCode", L"ReturnCode", 0x1234));
    EXPECT_EQ(Run(L"/qn /NOREBOOT"), 0x80070BC2u);
    EXPECT_EQ(PublishedReturnCode(isolation), 0x80070BC2);
    const std::wstring log = product.RunLog();
    EXPECT_NE(log.find(L"Information : Unable to open SILO key"), std::wstring::npos);
    EXPECT_NE(log.find(L"Information : over install happened with publish results"), std::wstring::npos);
    ScriptEngine("[Engine]\r\nStartResult=0x80070BC2\r\n");
    EXPECT_EQ(Run(L"/qn /NOREBOOT"), 0x80070BC2u);
    EXPECT_EQ(PublishedReturnCode(isolation), -1);
}

TEST_F(InstallRun, StartUpSwitchesAndTheSettingsBesideTheCacheReachTheEngine) {
    Make("[Engine]\r\nStartResult=0x80070BC2\r\nRecordKeys=5,59,126\r\n");
    const std::wstring calls = product.cache + L"\\engine.calls";
    // "stage": no restart, and the engine is told not to stage.
    EXPECT_EQ(Run(L"/qn /stage"), 0x80070BC2u);
    EXPECT_NE(EngineCalls().find("data 59=b:0\r\ndata 126=b:1"), std::string::npos) << EngineCalls();
    EXPECT_NE(product.RunLog().find(L"Information : Stage cmd set"), std::wstring::npos);

    ::DeleteFileW(calls.c_str());
    EXPECT_EQ(Run(L"/qn /DEFLANG 0C01"), 0x80070669u);
    EXPECT_NE(EngineCalls().find("data 5=s:0C01\r\ndata 59=none\r\ndata 126=none"), std::string::npos)
        << EngineCalls();
    EXPECT_TRUE(Exists(product.cache + L"\\fallback.dat"));

    // Settings kept beside the cache win over the installer's own.
    {
        TARN::CFileDataExtender settings;
        ASSERT_TRUE(settings.Initialize(setup.c_str(), false));
        ASSERT_TRUE(settings.SetData(126, true));
        ASSERT_TRUE(settings.Export((product.cache + L"\\install.dat").c_str()));
    }
    ::DeleteFileW(calls.c_str());
    EXPECT_EQ(Run(L"/qn"), 0x80070BC2u);
    EXPECT_NE(EngineCalls().find("data 126=b:1"), std::string::npos) << EngineCalls();
}

TEST_F(InstallRun, ADependentPatchWaitingEmptiesItsKeyAndUnpacksTheLayoutAgain) {
    CTestIsolationRoot isolation;
    product.UseSilo(isolation.Silo());
    Make("[Engine]\r\n");
    ASSERT_EQ(Run(L"/qn"), 0u);
    ASSERT_TRUE(Exists(product.cache + L"\\layout.dat"));
    const std::wstring patch = L"TARN\\Patch\\" + product.product;
    const wchar_t kUnpacked[] = L"Information : Start: Extracting Layout";

    ASSERT_TRUE(isolation.SetDword(patch, L"Stage", 4));
    size_t unpacked = product.CountInLog(kUnpacked);
    EXPECT_EQ(Run(L"/qn"), 0u);
    EXPECT_EQ(product.CountInLog(kUnpacked), unpacked);

    // A waiting patch, with a subkey that refuses to be deleted.
    ASSERT_TRUE(isolation.SetDword(patch, L"Stage", 5));
    ASSERT_TRUE(isolation.SetDword(patch + L"\\Parts\\Sealed", L"Part", 1));
    CKeyDacl sealed(isolation.Root() + L"\\" + patch + L"\\Parts\\Sealed", L"D:P(A;;KA;;;SY)");
    ASSERT_TRUE(sealed.applied);
    EXPECT_EQ(Run(L"/qn"), 0u);
    EXPECT_EQ(product.CountInLog(kUnpacked), unpacked + 1);
    EXPECT_EQ(product.CountInLog(L"Information : Dependent patch waiting - delete patch key"), 1u);
    qlLib::CRegKeyHandle key;
    DWORD subkeys = 1, values = 1;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (isolation.Root() + L"\\" + patch).c_str(), 0, KEY_READ,
                              key.Receive()),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
}

TEST_F(InstallRun, BaseFilesAreCopiedIntoTheCacheOnlyWhenTheProductAllowsIt) {
    const std::wstring base = temp.Join(L"base");
    for (const std::wstring& folder : {base, base + L"\\sub"})
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    for (const std::wstring& file : {base + L"\\a.dll", base + L"\\sub\\b.DLL", base + L"\\c.txt"})
        ASSERT_TRUE(WriteTextFile(file, "x"));
    Make("[Engine]\r\n");
    EXPECT_EQ(Run(L"/qn /COPYBASECACHE \"" + base + L"\""), 0u);
    EXPECT_FALSE(Exists(product.cache + L"\\a.dll"));

    ASSERT_TRUE(qlLib::DeleteFolderTree(product.siloFolder, nullptr));
    ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup, [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20513, true);
    }));
    EXPECT_EQ(Run(L"/qn /COPYBASECACHE \"" + base + L"\""), 0u);
    EXPECT_TRUE(Exists(product.cache + L"\\a.dll"));
    EXPECT_TRUE(Exists(product.cache + L"\\sub\\b.DLL"));
    EXPECT_FALSE(Exists(product.cache + L"\\c.txt"));
}

TEST_F(InstallRun, ValidationAndRepairInitialiseTheEngineBesideTheStubWithTheirModes) {
    // The installed product's folder: its stub, engine and manifest.
    const std::wstring folder = temp.Join(L"installed"), stub = folder + L"\\InstStub.exe";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(ToWinePath(STUBPROBE_EXE_UNIX_PATH).c_str(), stub.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((ToWinePath(SCRIPTED_ENGINE_UNIX_DIR) + L"\\engine.dll").c_str(),
                            (folder + L"\\engine.dll").c_str(), FALSE));
    ASSERT_TRUE(WriteTextFile(folder + L"\\engine.ini", "[Engine]\r\nInitializeResult=0x00000001\r\n"));
    ::SetEnvironmentVariableW(L"MINISTUB_ENGINE_SCRIPT", nullptr);
    struct Case {
        const wchar_t* arguments;
        int mode;
    };
    for (const Case& c : {Case{L"/VALIDATE", 6}, Case{L"/VALIDATE /REPAIR", 8}, Case{L"/VALIDATE /REPAIRSHORTCUTS", 9},
                          Case{L"/VALIDATE /REPAIR /REPAIRSHORTCUTS", 9}}) {
        ::DeleteFileW((folder + L"\\engine.calls").c_str());
        EXPECT_EQ(CInstallerTest::Run(stub, c.arguments), 1u) << c.arguments;
        std::vector<unsigned char> bytes;
        ReadFileBytes(folder + L"\\engine.calls", bytes);
        std::string manifest;
        for (wchar_t ch : folder + L"\\Install.mft") manifest.push_back(static_cast<char>(ch));
        // Initialised without a frame or UI, and never started.
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
                  "Initialize mode=" + std::to_string(c.mode) + " frame=0 ui=0 manifest=" + manifest + "\r\n")
            << c.arguments;
    }
}
