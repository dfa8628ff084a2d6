#include <gtest/gtest.h>

#include <algorithm>

#include <objbase.h>
#include <process.h>

#include "runtime/DebugOutput.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "stub/RebootSystem.h"
#include "stub/StubProcess.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

// A process whose install run is scripted and whose reboot is only recorded.
class CScriptedProcess : public TARN::CStubProcess {
public:
    HRESULT result = S_OK;
    bool requestReboot = false;
    bool failAllocation = false;
    bool deploymentCodes = false;
    bool anotherInstall = false;
    bool rebootStarts = true;
    std::vector<std::string> events;

protected:
    class CRun : public TARN::IInstallRun {
    public:
        explicit CRun(CScriptedProcess& owner) : m_owner(owner) {}
        ~CRun() override { m_owner.events.push_back("destroy"); }
        HRESULT Initialize(bool& rebootRequested) override {
            m_owner.events.push_back("initialize");
            rebootRequested = m_owner.requestReboot;
            return m_owner.result;
        }
        bool ReportsDeploymentExitCodes() override { return m_owner.deploymentCodes; }
        bool FoundAnotherInstall() const override { return m_owner.anotherInstall; }

    private:
        CScriptedProcess& m_owner;
    };

    std::unique_ptr<TARN::IInstallRun> CreateInstallRun() override {
        if (failAllocation) return nullptr;
        return std::unique_ptr<TARN::IInstallRun>(new CRun(*this));
    }
    bool RequestReboot() override {
        events.push_back("reboot");
        return rebootStarts;
    }
};

bool EndsWith(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(StubProcess, RebootDecisionAndTeardownOrder) {
    struct Case {
        DWORD result;
        bool requested;
        bool reboots;
        bool noManager;
    };
    const Case cases[] = {
        {0x80070669, false, true, false},    // reboot initiated
        {0x00047C04, false, true, false},    // success that keeps the cache and reboots
        {0x00000000, true, true, false},     // the run asked for it
        {0x80070BC2, false, false, false},   // reboot required is not a reboot
        {0x80070BC2, true, true, false},
        {0x00000000, false, false, false},
        {0x00047C05, false, false, false},
        {0x8007000E, true, false, true},     // no install manager: out of memory, nothing rebooted
    };
    for (const Case& c : cases) {
        CCaptureProcessTrace trace;
        CScriptedProcess process;
        process.result = c.noManager ? S_OK : static_cast<HRESULT>(c.result);
        process.requestReboot = c.requested;
        process.failAllocation = c.noManager;
        EXPECT_EQ(static_cast<DWORD>(process.Run()), c.result);
        const std::vector<std::string> expected =
            c.noManager ? std::vector<std::string>{}
            : c.reboots ? std::vector<std::string>{"initialize", "reboot", "destroy"}
                        : std::vector<std::string>{"initialize", "destroy"};
        EXPECT_EQ(process.events, expected) << std::hex << c.result << " requested " << c.requested;
        // The priority manager runs beside the install run and is stopped before the timing lines.
        EXPECT_TRUE(trace.Contains(L"Started priority manager!"));
        EXPECT_TRUE(trace.Contains(L"WaitForExit(INFINITE) END"));

        // The two timing lines are the last ones, and the second shows the exit code exactly.
        const auto& lines = trace.capture.lines;
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].rfind(L"Start: ", 0), 0u);
        DWORD start = 0, end = 0, total = 0;
        ASSERT_EQ(swscanf(lines[lines.size() - 2].c_str(), L"Start: %lu, End: %lu, Total: %lu", &start, &end, &total), 3);
        EXPECT_EQ(total, end - start);
        wchar_t last[64];
        swprintf(last, 64, L"MiniStub: Returned (0x%08x)", static_cast<unsigned>(c.result));
        EXPECT_EQ(lines.back(), last);
    }
}

TEST(StubProcess, DeploymentExitCodesAreMappedAfterTheRebootDecision) {
    struct Case {
        DWORD result;
        bool requested, another, rebootStarts;
        DWORD exitCode;
    };
    const Case cases[] = {
        {0x80070BC2, false, false, true, 3010},
        {0x00047C05, false, false, true, 3010},
        {0x80070669, false, false, true, 1641},
        {0x00000000, true, false, true, 1641},
        {0x80070669, false, false, false, 3010},   // no restart started: one is still needed
        {0x00000000, false, true, true, 1618},
        {0x80047C10, true, false, true, 0x80047C10},   // a failure keeps its code
        {0x80070002, false, true, true, 0x80070002},
        {0x00000000, false, false, true, 0},
    };
    for (const Case& c : cases) {
        CCaptureProcessTrace trace;
        CScriptedProcess process;
        process.result = static_cast<HRESULT>(c.result);
        process.requestReboot = c.requested;
        process.anotherInstall = c.another;
        process.rebootStarts = c.rebootStarts;
        EXPECT_EQ(static_cast<DWORD>(process.Run()), c.result) << std::hex << c.result;   // not asked for
        process.deploymentCodes = true;
        EXPECT_EQ(static_cast<DWORD>(process.Run()), c.exitCode) << std::hex << c.result;
        wchar_t last[64];
        swprintf(last, 64, L"MiniStub: Returned (0x%08x)", static_cast<unsigned>(c.exitCode));
        EXPECT_EQ(trace.capture.lines.back(), last);
    }
}

namespace {

struct CComFailureRun {
    HRESULT result = S_OK;
    std::vector<std::string> events;
    std::vector<std::wstring> lines;
};

unsigned __stdcall RunOnSingleThreadedApartment(void* p) {
    auto* out = static_cast<CComFailureRun*>(p);
    // This thread already lives in a single-threaded apartment: joining the multithreaded one
    // fails for real.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CCaptureProcessTrace trace;
    CScriptedProcess process;
    out->result = process.Run();
    out->events = process.events;
    out->lines = trace.capture.lines;
    ::CoUninitialize();
    return 0;
}

}  // namespace

TEST(StubProcess, ComFailureEndsTheProcessWithItsCode) {
    CComFailureRun run;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RunOnSingleThreadedApartment, &run, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    EXPECT_EQ(run.result, RPC_E_CHANGED_MODE);
    EXPECT_TRUE(run.events.empty());   // no install manager at all
    // The priority manager started before COM is stopped on the way out; no timing lines follow.
    const auto com = std::find(run.lines.begin(), run.lines.end(), L"wWinMain(104) : failed to coinitialize (0x80010106)");
    ASSERT_NE(com, run.lines.end());
    EXPECT_NE(std::find(com, run.lines.end(), L"WaitForExit(INFINITE) END"), run.lines.end());
    for (const auto& line : run.lines) {
        EXPECT_NE(line.rfind(L"Start: ", 0), 0u);
        EXPECT_NE(line.rfind(L"MiniStub: Returned", 0), 0u);
    }
}

namespace {

UINT g_exitFlags = 0;
DWORD g_exitReason = 0;
int g_exitCalls = 0;

BOOL WINAPI RecordExitWindows(UINT flags, DWORD reason) {
    g_exitFlags = flags;
    g_exitReason = reason;
    ++g_exitCalls;
    return TRUE;
}

}  // namespace

TEST(RebootSystem, RestartsWithForceAndTheInstallationReason) {
    g_exitCalls = 0;
    TARN::RebootSystem(&RecordExitWindows);
    ASSERT_EQ(g_exitCalls, 1);   // the shutdown privilege was granted to this process
    // Every system this runs on is Windows 6.0 or later: restart registered applications too.
    EXPECT_EQ(g_exitFlags, 0x46u);
    EXPECT_EQ(g_exitReason, 0x00030002u);
    EXPECT_EQ(TARN::GetRebootFlags(), static_cast<UINT>(EWX_REBOOT | EWX_FORCE | 0x40));
}

TEST(InstallManager, LogFileIsNamedAfterTheRun) {
    SYSTEMTIME t = {};
    t.wYear = 2012;
    t.wMonth = 5;
    t.wDay = 1;
    t.wHour = 14;
    t.wMinute = 3;
    t.wSecond = 22;
    std::wstring name;
    ASSERT_TRUE(TARN::CInstallManager::FormatLogModuleName(name, false, t));
    EXPECT_EQ(name, L"VelmorInstall-2012-05-01-14h03m22s");
    ASSERT_TRUE(TARN::CInstallManager::FormatLogModuleName(name, true, t));
    EXPECT_EQ(name, L"DeleteMode-2012-05-01-14h03m22s");
}

TEST(InstallManager, InitializeLoggingWritesTheRunLog) {
    CTempFolder temp;
    qlLib::CDebugOutput& log = qlLib::GetDebugOutput();
    log.SetOutputToDebugger(FALSE);
    log.SetPrependModuleName(TRUE);
    log.SetPrependProcessId(TRUE);
    log.SetAppendProcessIdToFile(TRUE);
    TARN::CInstallManager manager;
    manager.InitializeLogging(temp.Path());
    EXPECT_EQ(log.GetLevel(), 1);
    EXPECT_EQ(log.GetOutputToDebugger(), FALSE);   // left as it was
    TraceError(L"CInstallManager::InitializeLogging(77) : sample %s", L"error");
    TraceInfo(L"progress\n");
    // A privileged run holds its lines until its log folder is its own (CreateDirectories).
    log.HoldFileLines(false);

    const auto files = ListFiles(temp.Path(), L"VelmorInstall-*.log");
    ASSERT_EQ(files.size(), 1u);
    std::wstring text;
    bool bom = false;
    ASSERT_TRUE(ReadUtf16File(temp.Join(files[0]), text, &bom));
    EXPECT_TRUE(bom);
    const auto lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 2u);
    // date-time : 0xTID : Type : text, no process id and no module name.
    wchar_t tail[128];
    swprintf(tail, 128, L" : 0x%04X : Error : CInstallManager::InitializeLogging(77) : sample error",
             static_cast<unsigned>(::GetCurrentThreadId()));
    EXPECT_EQ(lines[0].substr(23), tail);
    EXPECT_TRUE(EndsWith(lines[1], L" : Information : progress"));
    EXPECT_TRUE(EndsWith(text, L"progress\r\n"));

    log.SetOutputToFile(FALSE);
    log.SetLevel(0);
}

TEST(InstallManager, AFolderHeldAsCodeCannotBeMovedAwayUntilLetGo) {
    // Judged, then moved aside and replaced by whoever may write the folder above it: the hold
    // is what keeps the judged folder at its path.
    CTempFolder temp;
    const std::wstring folder = temp.Join(L"base"), moved = temp.Join(L"moved");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    {
        qlLib::CFileHandle hold;
        ASSERT_TRUE(TARN::CInstallManager::HoldCodeFolder(folder, true, hold));
        EXPECT_FALSE(::MoveFileW(folder.c_str(), moved.c_str()));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_TRUE(::MoveFileW(folder.c_str(), moved.c_str()));
}
