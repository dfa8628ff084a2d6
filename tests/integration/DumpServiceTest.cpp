// The crash handler hands its dump to the dump service "qlDmpSvc" when that is installed, and
// writes it itself when the service is missing or fails. The service name is machine-wide, so
// this runs alone and removes the service however it ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const wchar_t kServiceName[] = L"qlDmpSvc";

void RemoveService() {
    qlLib::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    qlLib::CServiceHandle service(::OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status = {};
    ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.Get());
}

struct CInstalledService {
    explicit CInstalledService(const std::wstring& folder) {
        RemoveService();   // left over from an interrupted run
        qlLib::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const std::wstring binary = L"\"" + ToWinePath(DUMPSERVICE_EXE_UNIX_PATH) + L"\" \"" + folder + L"\"";
        qlLib::CServiceHandle service(::CreateServiceW(manager.Get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                       SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr,
                                                       nullptr, nullptr, nullptr));
        installed = service.IsValid();
    }
    ~CInstalledService() { RemoveService(); }
    bool installed = false;
};

class DumpService : public testing::Test {
protected:
    std::wstring Folder(const wchar_t* name) {
        const std::wstring folder = temp.Join(name);
        EXPECT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        return folder;
    }
    // An access violation with dumps on; the process ends with the exception code either way.
    DWORD Crash(const std::wstring& folder) {
        DWORD exitCode = 0, processId = 0;
        EXPECT_TRUE(RunProgram(ToWinePath(CRASHNOW_EXE_UNIX_PATH),
                               L"av /dump 1 /terminate 0 /dumptype 0 /nodatetime /dir \"" + folder + L"\"", 120000,
                               exitCode, &processId));
        EXPECT_EQ(exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        return processId;
    }
    static bool IsMinidump(const std::wstring& path) {
        std::vector<unsigned char> bytes;
        return ReadFileBytes(path, bytes) && bytes.size() > 4 && memcmp(bytes.data(), "MDMP", 4) == 0;
    }

    CTempFolder temp;
};

}  // namespace

TEST_F(DumpService, WritesTheDumpWhenInstalledAndTheProcessDumpsItselfOtherwise) {
    const std::wstring serviceFolder = Folder(L"service");
    const std::wstring ownFolder = Folder(L"own");
    {
        CInstalledService service(serviceFolder);
        ASSERT_TRUE(service.installed);
        const DWORD processId = Crash(ownFolder);
        const std::vector<std::wstring> expected = {L"qlDmpSvc-" + std::to_wstring(processId) + L".dmp"};
        EXPECT_EQ(ListFiles(serviceFolder, L"*"), expected);
        EXPECT_TRUE(IsMinidump(serviceFolder + L"\\" + expected[0]));
        EXPECT_TRUE(ListFiles(ownFolder, L"*").empty());
    }
    {
        // A service that stops with a failure of its own (its folder is missing) wrote nothing.
        CInstalledService service(temp.Join(L"missing"));
        ASSERT_TRUE(service.installed);
        const DWORD processId = Crash(ownFolder);
        const std::vector<std::wstring> expected = {L"CrashNow-" + std::to_wstring(processId) + L".dmp"};
        EXPECT_EQ(ListFiles(ownFolder, L"*"), expected);
        ASSERT_TRUE(::DeleteFileW((ownFolder + L"\\" + expected[0]).c_str()));
    }
    const DWORD processId = Crash(ownFolder);
    const std::vector<std::wstring> expected = {L"CrashNow-" + std::to_wstring(processId) + L".dmp"};
    EXPECT_EQ(ListFiles(ownFolder, L"*"), expected);
    EXPECT_TRUE(IsMinidump(ownFolder + L"\\" + expected[0]));
    EXPECT_EQ(ListFiles(serviceFolder, L"*").size(), 1u);
}
