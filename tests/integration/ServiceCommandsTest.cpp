// Runs that talk to the installed product's services over its IPC library: the silent
// configuration ("FORCECONFIG", with the product's service started first) and the patch status
// that a service-started patch run sends to the rebootless patch controller. The library is the
// scripted stand-in, placed where the product's path map puts it; it records what it was sent.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/Handles.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const wchar_t kMasterChannel[] = L"TARN_{4467AB8F-68C8-4ab5-9B48-B3E6EB65F6A1}";
const wchar_t kPatchChannel[] = L"TARN_{737118AA-7857-4554-A6FD-B2F2718AD7E9}";
const wchar_t kAcceptEula[] = L"{65AF19B8-5DA8-440A-8EE3-AFE0BEB61D9D}";
const wchar_t kForceLoad[] = L"{D9D38F19-0703-4A72-B7EF-4578C3375D64}";
const wchar_t kPatchStatus[] = L"{8C51FC14-EFDD-401F-B4DD-44C2548A2DCB}";

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// A stopped service of the test's own, stopped and removed at the end.
class CTestServiceInstall {
public:
    explicit CTestServiceInstall(const std::wstring& arguments) : name(L"MiniStubCfg" + NewGuid()) {
        qlLib::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const std::wstring command = L"\"" + ToWinePath(TESTSERVICE_EXE_UNIX_PATH) + L"\" " + name + L" " + arguments;
        service.Reset(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    ~CTestServiceInstall() {
        SERVICE_STATUS status;
        ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 50 && ::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            ::Sleep(100);
        ::DeleteService(service.Get());
    }
    DWORD State() {
        SERVICE_STATUS status = {};
        return ::QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
    }
    std::wstring name;
    qlLib::CServiceHandle service;
};

class ServiceCommands : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        product.UseSilo(isolation.Silo());
        // The product's own library folder, named by its path map.
        qlRoot = temp.Join(L"ql");
        ASSERT_TRUE(::CreateDirectoryW(qlRoot.c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW((ToWinePath(IPCLIBRARY_UNIX_DIR) + L"\\qlIPC.dll").c_str(),
                                (qlRoot + L"\\qlIPC.dll").c_str(), FALSE));
        ASSERT_TRUE(isolation.SetString(L"Quillon\\PathExpansionMap", L"qlroot", qlRoot));
        ipcLog = temp.Join(L"ipc.log");
        ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_IPC_LOG", ipcLog.c_str()));
        ScriptEngine("[Engine]\r\n");
        setup = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH));
        ASSERT_TRUE(Exists(setup));
    }
    void TearDown() override {
        for (const wchar_t* name : {L"MINISTUB_IPC_LOG", L"MINISTUB_IPC_SCRIPT", L"MINISTUB_IPC_WATCH"})
            ::SetEnvironmentVariableW(name, nullptr);
        // The service name is read from the 64-bit view, which the isolation root's clean-up may
        // not reach from a 32-bit test.
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, isolation.Root().c_str(), KEY_WOW64_64KEY, 0);
        CInstallerTest::TearDown();
    }

    void ScriptIPC(const std::string& text) {
        const std::wstring script = temp.Join(L"ipc.ini");
        ASSERT_TRUE(WriteTextFile(script, text));
        ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_IPC_SCRIPT", script.c_str()));
    }
    void SetServiceName(const std::wstring& name) {
        qlLib::CRegKeyHandle key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, isolation.Root().c_str(), 0, nullptr, 0,
                                    KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.Receive(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.Get(), L"SERVICENAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                   static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    // What the engine was asked since the last call.
    std::string EngineCalls() {
        std::vector<unsigned char> bytes;
        ReadFileBytes(product.cache + L"\\engine.calls", bytes);
        ::DeleteFileW((product.cache + L"\\engine.calls").c_str());
        return std::string(bytes.begin(), bytes.end());
    }
    // What the library was asked since the last call.
    std::string TakeIPCLog() {
        std::vector<unsigned char> bytes;
        ReadFileBytes(ipcLog, bytes);
        ::DeleteFileW(ipcLog.c_str());
        return std::string(bytes.begin(), bytes.end());
    }
    // How often each line was added to the run logs by one run.
    DWORD RunCounting(const std::wstring& arguments, const std::vector<std::wstring>& lines, std::vector<size_t>& added) {
        std::vector<size_t> before;
        for (const auto& line : lines) before.push_back(product.CountInLog(line));
        const DWORD code = Run(setup, arguments);
        added.clear();
        for (size_t i = 0; i < lines.size(); ++i) added.push_back(product.CountInLog(lines[i]) - before[i]);
        return code;
    }

    CTestIsolationRoot isolation;
    std::wstring qlRoot, ipcLog, setup;
};

std::string Client(const wchar_t* channel) {
    return "client " + Narrow(channel) + "\n";
}

std::string Send(const wchar_t* command, const char* rest = " key1=none watched=none") {
    return "send " + Narrow(command) + rest + "\n";
}

TEST_F(ServiceCommands, ALicenceTheServiceCannotTakeStillLeadsToTheForceLoad) {
    ScriptIPC("[Commands]\r\n" + Narrow(kAcceptEula) + "=0x80070057\r\n");
    const std::vector<std::wstring> lines = {
        L"Error : SendCommand(CMDID_MASTERSERVICE_COMMAND_ACCEPTEULA) failed: E_INVALIDARG (not available, service "
        L"is already started or BTP enabled)",
        L"Information : silent config completed"};
    std::vector<size_t> added;
    EXPECT_EQ(RunCounting(L"/FORCECONFIG /silentcfgwiz", lines, added), 0u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(TakeIPCLog(), Client(kMasterChannel) + Send(kAcceptEula) + Client(kMasterChannel) + Send(kForceLoad));
    // Nothing is installed by a configuration run.
    EXPECT_FALSE(Exists(product.cache + L"\\engine.dll"));

    // Without the wizard switch only the force load goes out; its E_INVALIDARG is a success too.
    ScriptIPC("[Commands]\r\n" + Narrow(kForceLoad) + "=0x80070057\r\n");
    EXPECT_EQ(Run(setup, L"/FORCECONFIG"), 0u);
    EXPECT_EQ(TakeIPCLog(), Client(kMasterChannel) + Send(kForceLoad));
}

TEST_F(ServiceCommands, UnreadableProductSettingsStillConfigure) {
    // The isolation comes from an isolate.ini beside the installer instead.
    ASSERT_TRUE(WriteTextFile(app + L"\\isolate.ini", "[isolation]\r\nsilo=" + Narrow(isolation.Silo()) + "\r\n"));
    DWORD position = 0;
    {
        TARN::CFileDataExtender block;
        ASSERT_TRUE(block.Initialize(setup.c_str(), true));
        position = block.GetStreamPos();
        ASSERT_NE(position, TARN::CFileDataExtender::kNoStream);
    }
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(setup, bytes));
    bytes[position + 8] = 7;   // a block version nobody reads
    ASSERT_TRUE(WriteFileBytes(setup, bytes.data(), bytes.size()));
    // Without settings the base install folder stays the installer root (no silo below it).
    const std::vector<std::wstring> lines = {L"Information : base install folder: " + product.installerRoot + L"\r\n",
                                             L"Information : silent config completed"};
    std::vector<size_t> added;
    EXPECT_EQ(RunCounting(L"/FORCECONFIG /PRODID " + isolation.Silo(), lines, added), 0u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(TakeIPCLog(), Client(kMasterChannel) + Send(kForceLoad));
}

TEST_F(ServiceCommands, EachFailureEndsTheConfigurationWithItsResult) {
    struct Case {
        std::string script;
        const wchar_t* arguments;
        DWORD exitCode;
        std::wstring line;
        std::string sent;
    };
    const Case cases[] = {
        {"[Commands]\r\n" + Narrow(kForceLoad) + "=0x80004005\r\n", L"/FORCECONFIG", 0x80004005u,
         L"Error : SendCommand(CMDID_MASTERSERVICE_COMMAND_FORCELOAD) failed: 0x80004005",
         Client(kMasterChannel) + Send(kForceLoad)},
        {"[Commands]\r\n" + Narrow(kAcceptEula) + "=0x80070005\r\n", L"/FORCECONFIG /silentcfgwiz", 0x80070005u,
         L"Error : AcceptEULA failed: 0x80070005", Client(kMasterChannel) + Send(kAcceptEula)},
        {"[Clients]\r\n" + Narrow(kMasterChannel) + "=0x800706BA\r\n", L"/FORCECONFIG", 0x800706BAu,
         L"Error : CreateClient(MASTERSERVICE_CHANNEL) failed: 0x800706ba", Client(kMasterChannel)},
        {"[Library]\r\nFactoryResult=0x80040111\r\n", L"/FORCECONFIG", 0x80004005u,
         L"Error : qlIPC::qlIPCMgd_IComLib::CreateObject failed: 0x80040111", ""},
    };
    for (const Case& c : cases) {
        ScriptIPC(c.script);
        std::vector<size_t> added;
        EXPECT_EQ(RunCounting(c.arguments, {c.line, L"Information : silent config completed"}, added), c.exitCode)
            << c.script;
        EXPECT_EQ(added, (std::vector<size_t>{1, 0})) << c.script;
        EXPECT_EQ(TakeIPCLog(), c.sent) << c.script;
    }
    // A product whose path map does not name the library's folder.
    ASSERT_EQ(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (isolation.Root() + L"\\Quillon\\PathExpansionMap").c_str()),
              ERROR_SUCCESS);
    std::vector<size_t> added;
    EXPECT_EQ(RunCounting(L"/FORCECONFIG", {L"Error : qlIPC::qlIPCMgd_IComLib::CreateObject failed: 0x80010300",
                                            L"Error : ForceLoad failed: 0x80004005"},
                          added),
              0x80004005u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 1}));
}

TEST_F(ServiceCommands, TheProductsStoppedServiceIsStartedFirst) {
    CTestServiceInstall service(L"--pending 400 --hint 1000");
    ASSERT_TRUE(service.service);
    ASSERT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    SetServiceName(service.name);
    EXPECT_EQ(Run(setup, L"/FORCECONFIG"), 0u);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(TakeIPCLog(), Client(kMasterChannel) + Send(kForceLoad));

    // Already running: nothing to start, the configuration goes on.
    EXPECT_EQ(Run(setup, L"/FORCECONFIG"), 0u);
    EXPECT_EQ(TakeIPCLog(), Client(kMasterChannel) + Send(kForceLoad));
}

TEST_F(ServiceCommands, AServiceThatCannotRunEndsTheConfiguration) {
    // Missing: the Win32 error as a result.
    const std::wstring missing = L"MiniStubCfgMissing" + NewGuid();
    SetServiceName(missing);
    std::vector<size_t> added;
    EXPECT_EQ(RunCounting(L"/FORCECONFIG", {L"Error : Service " + missing + L" failed to open: 1060"}, added),
              0x80070424u);
    EXPECT_EQ(added, std::vector<size_t>{1});

    // Stops instead of running.
    CTestServiceInstall failing(L"--pending 200 --fail");
    ASSERT_TRUE(failing.service);
    SetServiceName(failing.name);
    EXPECT_EQ(RunCounting(L"/FORCECONFIG", {L"Error : " + failing.name + L" failed to start"}, added), 0x80004005u);
    EXPECT_EQ(added, std::vector<size_t>{1});
    EXPECT_EQ(TakeIPCLog(), "");
}

// Patch runs started by the service wait for the user's shell (Shell_TrayWnd), which Wine's
// explorer provides under an X display.
TEST_F(ServiceCommands, APatchRunTellsThePatchControllerWithIsolateIniSteppedAside) {
    // The desktop process that brings the shell window may still be starting.
    bool shell = false;
    for (int i = 0; i < 50 && !(shell = ::GetDesktopWindow() && ::FindWindowW(L"Shell_TrayWnd", nullptr)); ++i)
        ::Sleep(100);
    if (!shell) GTEST_SKIP() << "no shell window: run under an X display";
    const std::wstring installDir = temp.Join(L"product");
    ASSERT_TRUE(::CreateDirectoryW(installDir.c_str(), nullptr));
    const std::wstring ini = installDir + L"\\isolate.ini";
    ASSERT_TRUE(WriteTextFile(ini, "[isolation]\r\nsilo=" + Narrow(isolation.Silo()) + "\r\n"));
    ASSERT_TRUE(isolation.SetString(L"Quillon\\PathExpansionMap", L"installdir", installDir));
    ASSERT_TRUE(isolation.SetDword(L"Uninstall\\Reboot", L"PatchMode", 1));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_IPC_WATCH", ini.c_str()));
    ScriptIPC("[Commands]\r\n" + Narrow(kPatchStatus) + "=0x80004005\r\n");

    const std::vector<std::wstring> lines = {
        L"Error : Setup path to Isolate.ini", L"Error : Unable to disable " + ini, L"Information : Restored Isolate.ini",
        L"Error : Couldn't send patch status, not rebootless patching? :0x80004005"};
    std::vector<size_t> added;
    EXPECT_EQ(RunCounting(L"/svc /qn", lines, added), 0u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 0, 1, 1}));
    // Absent while the controller was told, back in place afterwards.
    EXPECT_EQ(TakeIPCLog(), Client(kPatchChannel) + Send(kPatchStatus, " key1=5 watched=absent"));
    EXPECT_TRUE(Exists(ini));
    EXPECT_FALSE(Exists(ini + L"_disabled"));
    // The patch failure mode chooses the engine's mode.
    EXPECT_NE(EngineCalls().find("Initialize mode=4 "), std::string::npos) << EngineCalls();

    // Without the file the rename fails, the controller is told all the same, nothing is restored.
    ASSERT_TRUE(::DeleteFileW(ini.c_str()));
    ScriptIPC("");
    ASSERT_TRUE(isolation.SetDword(L"Uninstall\\Reboot", L"PatchMode", 2));
    EXPECT_EQ(RunCounting(L"/svc /qn", lines, added), 0u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 1, 0, 0}));
    EXPECT_NE(EngineCalls().find("Initialize mode=7 "), std::string::npos) << EngineCalls();
    EXPECT_EQ(TakeIPCLog(), Client(kPatchChannel) + Send(kPatchStatus, " key1=5 watched=absent"));
    EXPECT_FALSE(Exists(ini));
    EXPECT_FALSE(Exists(ini + L"_disabled"));

    // A product folder the path map does not name: nothing is renamed anywhere, the controller
    // is still told and the run goes on.
    qlLib::CRegKeyHandle map;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (isolation.Root() + L"\\Quillon\\PathExpansionMap").c_str(), 0,
                              KEY_SET_VALUE, map.Receive()),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegDeleteValueW(map.Get(), L"installdir"), ERROR_SUCCESS);
    EXPECT_EQ(RunCounting(L"/svc /qn", {L"Error : Unable to create path to isolate.ini", lines[1]}, added), 0u);
    EXPECT_EQ(added, (std::vector<size_t>{1, 0}));
    EXPECT_EQ(TakeIPCLog(), Client(kPatchChannel) + Send(kPatchStatus, " key1=5 watched=absent"));
}

}  // namespace
