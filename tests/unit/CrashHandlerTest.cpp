// The crash handler: its hooks inside this process, and real crashes of the CrashNow fixture.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <new>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "runtime/CrashHandler.h"
#include "runtime/DebugOptions.h"
#include "runtime/ProtectedFolder.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

int g_filterCalls, g_newHandlerCalls, g_purecallCalls, g_invalidParameterCalls;

LONG WINAPI TestFilter(EXCEPTION_POINTERS*) {
    ++g_filterCalls;
    return EXCEPTION_CONTINUE_EXECUTION;
}
void TestNewHandler() {
    ++g_newHandlerCalls;
    throw std::bad_alloc();
}
void __cdecl TestPurecall() {
    ++g_purecallCalls;
}
void __cdecl TestInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    ++g_invalidParameterCalls;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(filter);
    return filter;
}
_purecall_handler CurrentPurecall() {
    const _purecall_handler handler = ::_set_purecall_handler(nullptr);
    ::_set_purecall_handler(handler);
    return handler;
}

void* volatile g_sink;
void AllocateTooMuch() {
    volatile size_t size = ~static_cast<size_t>(0) / 2;
    g_sink = ::operator new(size);
}

}  // namespace

// With every dump off, each hook passes its event on to what was installed before, and the
// handler object puts all four back when it goes.
TEST(CrashHandlerHooks, PassEventsOnAndArePutBack) {
    const LPTOP_LEVEL_EXCEPTION_FILTER savedFilter = ::SetUnhandledExceptionFilter(TestFilter);
    const std::new_handler savedNew = std::set_new_handler(TestNewHandler);
    const _purecall_handler savedPurecall = ::_set_purecall_handler(TestPurecall);
    const _invalid_parameter_handler savedInvalid = ::_set_invalid_parameter_handler(TestInvalidParameter);
    g_filterCalls = g_newHandlerCalls = g_purecallCalls = g_invalidParameterCalls = 0;
    {
        qlLib::CDebugOptions options;
        options.TerminateOnSecurity = 1;   // any flag installs the hooks, even one without a hook
        options.ThrowOnNew = 0;
        qlLib::CCrashHandler handler;
        ASSERT_TRUE(handler.SetOptions(options));

        const LPTOP_LEVEL_EXCEPTION_FILTER filter = CurrentFilter();
        ASSERT_NE(filter, TestFilter);
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
        CONTEXT context = {};
        EXCEPTION_POINTERS pointers = {&record, &context};
        EXPECT_EQ(filter(&pointers), EXCEPTION_CONTINUE_EXECUTION);
        EXPECT_EQ(g_filterCalls, 1);

        // Without throwing, the failure goes to the previous new handler (returning would retry
        // the allocation for ever); with throwing, bad_alloc comes straight from the hook.
        EXPECT_THROW(AllocateTooMuch(), std::bad_alloc);
        EXPECT_EQ(g_newHandlerCalls, 1);
        options.ThrowOnNew = 1;
        ASSERT_TRUE(handler.SetOptions(options));
        EXPECT_THROW(AllocateTooMuch(), std::bad_alloc);
        EXPECT_EQ(g_newHandlerCalls, 1);

        const _purecall_handler purecall = CurrentPurecall();
        ASSERT_NE(purecall, TestPurecall);
        purecall();
        EXPECT_EQ(g_purecallCalls, 1);
        const _invalid_parameter_handler invalid = ::_get_invalid_parameter_handler();
        ASSERT_NE(invalid, TestInvalidParameter);
        invalid(L"x", L"f", L"file", 1, 0);
        EXPECT_EQ(g_invalidParameterCalls, 1);

        // The hooks have one owner per process: a second handler object cannot take them over.
        qlLib::CCrashHandler second;
        EXPECT_FALSE(second.SetOptions(options));
        EXPECT_EQ(CurrentFilter(), filter);
        EXPECT_FALSE(handler.RunCallback(qlLib::eCrashKind_Exception, &pointers));   // none configured
    }
    EXPECT_EQ(CurrentFilter(), TestFilter);
    EXPECT_EQ(std::get_new_handler(), TestNewHandler);
    EXPECT_EQ(CurrentPurecall(), TestPurecall);
    EXPECT_EQ(::_get_invalid_parameter_handler(), TestInvalidParameter);

    ::SetUnhandledExceptionFilter(savedFilter);
    std::set_new_handler(savedNew);
    ::_set_purecall_handler(savedPurecall);
    ::_set_invalid_parameter_handler(savedInvalid);
}

// DbgHelp comes from the system folder only: a copy in the dump folder (or its x86 subfolder),
// where others may have written before the folder was secured, is never loaded.
TEST(CrashHandlerDbgHelp, ACopyInTheDumpFolderIsNeverLoaded) {
    CTempFolder temp;
    qlLib::CDebugOptions options;
    options.CrashDirectory = temp.Path() + L"\\";
    options.DumpOnException = 1;
    ASSERT_TRUE(::CreateDirectoryW(temp.Join(L"x86").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(temp.Join(L"x86\\DbgHelp.dll"), "not a module"));
    ASSERT_TRUE(WriteTextFile(temp.Join(L"DbgHelp.dll"), "not a module"));
    qlLib::CCrashHandler handler;
    EXPECT_TRUE(handler.SetOptions(options));
    // Nothing of the folder's is held open: a loaded copy could not be deleted.
    EXPECT_TRUE(::DeleteFileW(temp.Join(L"DbgHelp.dll").c_str()));
    options.DumpOnException = 0;
    EXPECT_TRUE(handler.SetOptions(options));
}

namespace {

const DWORD kExitAllocationFailed = 20;
const DWORD kExitParameterRejected = 21;
const DWORD kExitPurecall = 255;   // msvcrt's report ends the process with 255
const DWORD kTerminated = 0xFFFFFFFF;

struct CKindCase {
    const wchar_t* kind;
    DWORD usualExit;   // how the process ends when the handler lets it go on
};
const CKindCase kKinds[] = {
    {L"av", static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)},
    {L"purecall", kExitPurecall},
    {L"invalidparameter", kExitParameterRejected},
    {L"newfail", kExitAllocationFailed},
};

// The test prefix has no dump service, so every dump here is written in-process.
class CrashHandlerProcess : public testing::Test {
protected:
    struct CRun {
        DWORD exitCode = 0xDEADBEEF;
        DWORD processId = 0;
        DWORD threadId = 0;
        SYSTEMTIME started = {};
    };

    CRun Crash(const std::wstring& arguments, const std::wstring& folder) {
        CRun run;
        ::GetLocalTime(&run.started);
        EXPECT_TRUE(RunProgram(ToWinePath(CRASHNOW_EXE_UNIX_PATH), arguments + L" /dir \"" + folder + L"\"", 120000,
                               run.exitCode, &run.processId, &run.threadId))
            << testing::PrintToString(arguments);
        return run;
    }

    std::wstring Folder(const std::wstring& name) {
        const std::wstring folder = temp.Join(name);
        EXPECT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        return folder;
    }

    // The folder holds one minidump, named "CrashNow[-version]-YYYY-MM-DD-HH-MM-SS-mmm-<pid>.dmp"
    // with the time of the run.
    static void ExpectOneDump(const std::wstring& folder, const std::wstring& version, const CRun& run) {
        const auto dumps = ListFiles(folder, L"*");
        ASSERT_EQ(dumps.size(), 1u) << testing::PrintToString(dumps);
        const std::wstring& name = dumps[0];
        EXPECT_TRUE(IsMinidump(folder + L"\\" + name));
        // Rights of its own: nobody but SYSTEM and the administrators reads a dump, whatever the
        // folder grants.
        std::wstring sddl;
        {
            qlLib::CFileHandle dump(::CreateFileW((folder + L"\\" + name).c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(dump && qlLib::ReadSecuritySddl(dump.Get(), sddl));
        }
        for (const wchar_t* users : {L";;;WD)", L";;;BU)", L";;;AU)", L";;;S-1-1-0)"})
            EXPECT_EQ(sddl.find(users), std::wstring::npos) << testing::PrintToString(sddl);
        std::wstring rest = name;
        const std::wstring head = version.empty() ? L"CrashNow-" : L"CrashNow-" + version + L"-";
        ASSERT_EQ(rest.compare(0, head.size(), head), 0) << testing::PrintToString(name);
        rest.erase(0, head.size());
        const std::wstring tail = L"-" + std::to_wstring(run.processId) + L".dmp";
        ASSERT_GT(rest.size(), tail.size()) << testing::PrintToString(name);
        ASSERT_EQ(rest.compare(rest.size() - tail.size(), tail.size(), tail), 0) << testing::PrintToString(name);
        rest.erase(rest.size() - tail.size());
        ASSERT_EQ(rest.size(), 23u) << testing::PrintToString(name);
        SYSTEMTIME stamp = {};
        ASSERT_EQ(swscanf(rest.c_str(), L"%4hu-%2hu-%2hu-%2hu-%2hu-%2hu-%3hu", &stamp.wYear, &stamp.wMonth, &stamp.wDay,
                          &stamp.wHour, &stamp.wMinute, &stamp.wSecond, &stamp.wMilliseconds),
                  7)
            << testing::PrintToString(name);
        FILETIME dumped, started;
        ASSERT_TRUE(::SystemTimeToFileTime(&stamp, &dumped)) << testing::PrintToString(name);
        ASSERT_TRUE(::SystemTimeToFileTime(&run.started, &started));
        const LONGLONG difference = ((static_cast<LONGLONG>(dumped.dwHighDateTime) << 32) | dumped.dwLowDateTime) -
                                    ((static_cast<LONGLONG>(started.dwHighDateTime) << 32) | started.dwLowDateTime);
        EXPECT_GE(difference, -10000000LL) << testing::PrintToString(name);   // 100 ns units
        EXPECT_LT(difference, 600000000LL) << testing::PrintToString(name);
    }

    static bool IsMinidump(const std::wstring& path) {
        CFile file(path);
        char magic[4] = {};
        DWORD read = 0;
        return file.handle && ::ReadFile(file.handle.Get(), magic, 4, &read, nullptr) && read == 4 &&
               memcmp(magic, "MDMP", 4) == 0;
    }

    struct CFile {
        explicit CFile(const std::wstring& path)
            : handle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
        qlLib::CFileHandle handle;
    };

    CTempFolder temp;
};

}  // namespace

// The install run's settings (dump on, date-time and version suffixes, full-memory dump type):
// the dump lands in the folder, and the process ends as it would have without the handler.
TEST_F(CrashHandlerProcess, UnhandledExceptionWritesANamedDumpAndEndsAsUsual) {
    const std::wstring folder = Folder(L"dumps");
    const CRun run = Crash(L"av /dump 1 /terminate 0 /version 9.1.0.26", folder);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    ExpectOneDump(folder, L"9.1.0.26", run);
}

// Each hooked kind writes its dump, then ends the process with 0xFFFFFFFF or lets it go on.
TEST_F(CrashHandlerProcess, EveryKindWritesADumpAndTerminatesWhenAsked) {
    for (const CKindCase& kind : kKinds) {
        for (const bool terminate : {true, false}) {
            if (!terminate && kind.kind == std::wstring(L"av")) continue;   // the test above
            SCOPED_TRACE(testing::PrintToString(std::wstring(kind.kind) + (terminate ? L" terminate" : L"")));
            const std::wstring folder = Folder(std::wstring(kind.kind) + (terminate ? L"-t" : L""));
            const std::wstring flags = terminate ? L" /dump 1 /terminate 1" : L" /dump 1 /terminate 0";
            const CRun run = Crash(std::wstring(kind.kind) + L" /dumptype 0" + flags, folder);
            EXPECT_EQ(run.exitCode, terminate ? kTerminated : kind.usualExit);
            ExpectOneDump(folder, L"", run);
        }
    }
}

// The dump folder may be one whose names lead elsewhere: a file already at the dump's name is
// neither deleted nor written; there is no dump then.
TEST_F(CrashHandlerProcess, AFileAtTheDumpsNameIsLeftAlone) {
    const std::wstring folder = Folder(L"taken");
    std::wstring commandLine = L"CrashNow.exe av /dump 1 /terminate 0 /nodatetime /dir \"" + folder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(ToWinePath(CRASHNOW_EXE_UNIX_PATH).c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                 CREATE_SUSPENDED, nullptr, nullptr, &startup, &process));
    qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    const std::wstring taken = folder + L"\\CrashNow-" + std::to_wstring(process.dwProcessId) + L".dmp";
    const bool planted = WriteFileBytes(taken, "victim", 6);
    ::ResumeThread(process.hThread);
    ASSERT_EQ(::WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
    ASSERT_TRUE(planted);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(taken, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "victim");
    EXPECT_EQ(ListFiles(folder, L"*").size(), 1u);
}

TEST_F(CrashHandlerProcess, KindWithDumpOffAndTerminateOnDoesNothing) {
    for (const CKindCase& kind : kKinds) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(kind.kind)));
        const std::wstring folder = Folder(kind.kind);
        const CRun run = Crash(std::wstring(kind.kind) + L" /dump 0 /terminate 1", folder);
        EXPECT_EQ(run.exitCode, kind.usualExit);
        EXPECT_TRUE(ListFiles(folder, L"*").empty());
    }
}

// The callback runs once per unhandled exception with the crash's details, and the crashing
// process waits for it (it is still alive when the callback looks, though it terminates after).
// Other kinds run no callback.
TEST_F(CrashHandlerProcess, CallbackRunsOnceForAnUnhandledExceptionAndIsWaitedFor) {
    const std::wstring callback = ToWinePath(CRASHCALLBACK_EXE_UNIX_PATH);
    const std::wstring log = temp.Join(L"callback.log");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CRASH_CALLBACK_LOG", log.c_str()));

    const std::wstring folder = Folder(L"dumps");
    const CRun run = Crash(L"av /dumptype 0 /dump 1 /terminate 1 /nodatetime /callback \"" + callback + L"\"", folder);
    EXPECT_EQ(run.exitCode, kTerminated);
    const std::vector<std::wstring> dump = {L"CrashNow-" + std::to_wstring(run.processId) + L".dmp"};
    EXPECT_EQ(ListFiles(folder, L"*"), dump);

    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(log, text));
    const auto lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    const std::wstring expected = L"alive=1 \"" + callback + L"\" /pid " + std::to_wstring(run.processId) +
                                  L" /tid " + std::to_wstring(run.threadId) +
                                  L" /crashtype 3 /exceptioncode 3221225477 /crashaddress ";
    ASSERT_EQ(lines[0].compare(0, expected.size(), expected), 0) << testing::PrintToString(lines[0]);
    // Then the two addresses in decimal, nothing after them.
    const wchar_t* cursor = lines[0].c_str() + expected.size();
    wchar_t* end = nullptr;
    EXPECT_NE(wcstoull(cursor, &end, 10), 0u) << testing::PrintToString(lines[0]);
    const std::wstring middle = L" /exceptionpointer ";
    ASSERT_EQ(std::wstring(end).compare(0, middle.size(), middle), 0) << testing::PrintToString(lines[0]);
    EXPECT_NE(wcstoull(end + middle.size(), &end, 10), 0u) << testing::PrintToString(lines[0]);
    EXPECT_EQ(*end, L'\0') << testing::PrintToString(lines[0]);

    const std::wstring other = Folder(L"purecall");
    EXPECT_EQ(Crash(L"purecall /dumptype 0 /dump 0 /callback \"" + callback + L"\"", other).exitCode, kExitPurecall);
    ASSERT_TRUE(ReadUtf16File(log, text));
    EXPECT_EQ(SplitLines(text).size(), 1u);
}
