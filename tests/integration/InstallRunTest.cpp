// Whole install runs of installers made by the builder, with the scripted engine unpacked into
// the cache: layout, engine results turned into exit codes, reboot decisions, the reboot tray,
// follow-up commands and the retry from the media. The stub is StubProbe: MiniStub whose restart
// leaves a marker file instead.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "BuildPaths.h"
#include "runtime/SingleInstanceLock.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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
    Make("[Engine]\r\nStartResult=0x80070BC2\r\n[Results]\r\n1=b:1\r\n");
    EXPECT_EQ(Run(L"/qb"), 0x80070669u);   // basic UI: normalised like a quiet run
    EXPECT_EQ(Run(L""), 0x80070BC2u);
    EXPECT_FALSE(RebootRequested());
    EXPECT_NE(product.RunLog().find(L"Information : Launching: " + product.cache + L"\\InstStub.exe /TRAYONLY"),
              std::wstring::npos);
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
