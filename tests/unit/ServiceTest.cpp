#include <gtest/gtest.h>

#include <deque>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "support/TestSupport.h"
#include "system/Service.h"

using TARN::CService;
using testing_support::CCaptureProcessTrace;

namespace {

// A service of the test's own, removed at the end.
class CTestServiceInstall {
public:
    explicit CTestServiceInstall(const std::wstring& arguments) : name(L"MiniStubTest" + testing_support::NewGuid()) {
        qlLib::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        std::wstring command = L"\"" + testing_support::ToWinePath(TESTSERVICE_EXE_UNIX_PATH) + L"\" " + name + L" " +
                               arguments;
        service.Reset(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    ~CTestServiceInstall() {
        SERVICE_STATUS status;
        ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 50 && ::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            ::Sleep(100);
        }
        ::DeleteService(service.Get());
    }
    std::wstring name;
    qlLib::CServiceHandle service;
};

TEST(Service, StartWaitControlAndRemove) {
    testing_support::CTempFolder temp;
    std::wstring marker = temp.Join(L"controls.txt");
    CTestServiceInstall installed(L"--pending 600 --hint 1000 --marker \"" + marker + L"\"");
    ASSERT_TRUE(installed.service);

    CService service;
    ASSERT_TRUE(service.Initialize());
    ASSERT_TRUE(service.Open(installed.name.c_str()));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(::QueryServiceStatus(service.GetServiceHandle(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(::StartServiceW(service.GetServiceHandle(), 0, nullptr));
    CCaptureProcessTrace trace;
    EXPECT_TRUE(service.WaitForService(service.GetServiceHandle(), installed.name.c_str()));
    EXPECT_TRUE(trace.Contains(L"Sleeping for 250 milliseconds."));
    // The rights it was opened with include user-defined controls.
    ASSERT_TRUE(::ControlService(service.GetServiceHandle(), 200, &status));
    ::Sleep(300);
    std::vector<unsigned char> text;
    ASSERT_TRUE(testing_support::ReadFileBytes(marker, text));
    EXPECT_EQ(std::string(text.begin(), text.end()), "control 200\n");
    service.Close();
    EXPECT_FALSE(service.IsOpen());
    EXPECT_EQ(service.GetServiceHandle(), nullptr);
}

TEST(Service, FailuresAreReported) {
    CService service;
    ASSERT_TRUE(service.Initialize());
    EXPECT_TRUE(service.Initialize());   // connected already
    {
        CCaptureProcessTrace trace;
        EXPECT_FALSE(service.Open(L"MiniStubNoSuchService"));
        EXPECT_EQ(service.GetLastResult(), HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_TRUE(trace.Contains(L"OpenService failed: MiniStubNoSuchService (1060)"));
        EXPECT_FALSE(trace.Contains(L"threw an exception"));   // no permission repair for a missing service
    }
    EXPECT_FALSE(service.Open(nullptr));
    EXPECT_EQ(service.GetLastResult(), E_INVALIDARG);

    CTestServiceInstall failing(L"--pending 300 --fail");
    ASSERT_TRUE(service.Open(failing.name.c_str()));
    ASSERT_TRUE(::StartServiceW(service.GetServiceHandle(), 0, nullptr));
    CCaptureProcessTrace trace;
    EXPECT_FALSE(service.WaitForService(service.GetServiceHandle(), failing.name.c_str()));
    EXPECT_TRUE(trace.Contains(L"Service status is incorrect. Returning false"));
    EXPECT_TRUE(trace.Contains(L"Current state is 1"));
    EXPECT_TRUE(trace.Contains(L"Win32Exitcode is 1064"));
    EXPECT_FALSE(service.WaitForService(service.GetServiceHandle(), nullptr));
}

// Plays a scripted sequence of states on a simulated clock.
class CScriptedService : public CService {
public:
    std::deque<SERVICE_STATUS> states;
    DWORD clock = 1000;
    DWORD slept = 0;

protected:
    bool QueryStatus(SC_HANDLE, SERVICE_STATUS& status) override {
        status = states.front();
        if (states.size() > 1) states.pop_front();
        return true;
    }
    DWORD Now() override { return clock; }
    void Pause(DWORD ms) override {
        clock += ms;
        slept += ms;
    }
};

SERVICE_STATUS State(DWORD state, DWORD checkpoint, DWORD hint = 0) {
    SERVICE_STATUS s = {};
    s.dwCurrentState = state;
    s.dwCheckPoint = checkpoint;
    s.dwWaitHint = hint;
    return s;
}

TEST(Service, WaitTiming) {
    EXPECT_EQ(CService::PollInterval(0), 250u);
    EXPECT_EQ(CService::PollInterval(1000), 250u);
    EXPECT_EQ(CService::PollInterval(50000), 5000u);
    EXPECT_EQ(CService::PollInterval(200000), 10000u);

    CScriptedService running;
    running.states = {State(SERVICE_RUNNING, 0)};
    EXPECT_TRUE(running.WaitForService(nullptr, L"svc"));
    EXPECT_EQ(running.slept, 0u);

    // Progress on every poll keeps it waiting, but never beyond two minutes.
    CScriptedService progressing;
    for (DWORD i = 1; i < 1000; ++i) progressing.states.push_back(State(SERVICE_START_PENDING, i, 50000));
    EXPECT_FALSE(progressing.WaitForService(nullptr, L"svc"));
    EXPECT_GT(progressing.slept, CService::kOverallLimit);
    EXPECT_LE(progressing.slept, CService::kOverallLimit + 5000);

    // No checkpoint progress for 30 seconds ends the wait.
    CScriptedService stalled;
    stalled.states = {State(SERVICE_START_PENDING, 3, 20000)};
    CCaptureProcessTrace trace;
    EXPECT_FALSE(stalled.WaitForService(nullptr, L"svc"));
    EXPECT_TRUE(trace.Contains(L"No progress has been made in the service status within the hint. Exiting"));
    EXPECT_GT(stalled.slept, CService::kNoProgressLimit);
    EXPECT_LE(stalled.slept, CService::kNoProgressLimit + 2000);
}

}  // namespace
