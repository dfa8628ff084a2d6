#include <gtest/gtest.h>

#include <process.h>

#include "runtime/DebugOutput.h"
#include "support/TestSupport.h"

using qlLib::CDebugOutput;
using namespace testing_support;

namespace {

// A trace log whose lines stay in memory; settings are the base object's.
class CMemoryOutput : public CDebugOutput {
public:
    explicit CMemoryOutput(const wchar_t* name = L"Unit") : CDebugOutput(name) {}
    void Output(const wchar_t* line) override { lines.push_back(line); }
    std::vector<std::wstring> lines;
};

}  // namespace

TEST(DebugOutput, LevelIsAThresholdOnSignedSeverity) {
    struct Case {
        LONG level;
        bool info, warning, error;
    };
    const Case cases[] = {
        {0, false, false, false}, {1, true, true, true},     {2, false, true, true},
        {3, false, false, true},  {4, false, false, false}, {static_cast<LONG>(0xFFFFFFFF), true, true, true},
    };
    for (const Case& c : cases) {
        CMemoryOutput out;
        out.SetLevel(c.level);
        out.Information(L"i");
        out.Warning(L"w");
        out.Error(L"e");
        std::vector<std::wstring> expected;
        if (c.info) expected.push_back(L"i");
        if (c.warning) expected.push_back(L"w");
        if (c.error) expected.push_back(L"e");
        EXPECT_EQ(out.lines, expected) << "level " << c.level;
        EXPECT_EQ(out.IsEnabled(qlLib::eSeverity_Error), c.error);
    }
}

TEST(DebugOutput, FilteredLineIsNotFormatted) {
    CMemoryOutput out;
    out.SetLevel(3);
    // A format that would read a string through a bad pointer: never touched below the level.
    out.Information(L"%s", reinterpret_cast<const wchar_t*>(1));
    EXPECT_TRUE(out.lines.empty());
}

TEST(DebugOutput, AppendNewLineEndsEveryLineInExactlyOneCrLf) {
    CMemoryOutput out;
    out.SetLevel(1);
    out.SetAppendNewLine(TRUE);
    for (const wchar_t* text : {L"a\r\n", L"a\n", L"a\r\r\n", L"a", L"a\n\n\r"}) out.Information(text);
    ASSERT_EQ(out.lines.size(), 5u);
    for (const auto& line : out.lines) EXPECT_EQ(line, L"a\r\n");

    CMemoryOutput raw;
    raw.SetLevel(1);
    raw.Information(L"b\n");
    EXPECT_EQ(raw.lines.at(0), L"b\n");
}

TEST(DebugOutput, PrefixesComeInTheirOrder) {
    CMemoryOutput out(L"Mod");
    out.SetLevel(1);
    out.SetPrependDateTime(TRUE);
    out.SetPrependModuleName(TRUE);
    out.SetPrependProcessId(TRUE);
    out.SetPrependThreadId(TRUE);
    out.SetPrependType(TRUE);
    out.Warning(L"CThing::Do(12) : failed (%s)", L"why");
    ASSERT_EQ(out.lines.size(), 1u);
    const std::wstring& line = out.lines[0];
    // yyyy-mm-dd-hh-mm-ss-mmm : Mod : 0xPID : 0xTID : Warning : text
    ASSERT_GT(line.size(), 26u);
    EXPECT_EQ(line[4], L'-');
    EXPECT_EQ(line[19], L'-');
    EXPECT_EQ(line.substr(23, 3), L" : ");
    wchar_t expected[128];
    swprintf(expected, 128, L"Mod : 0x%04X : 0x%04X : Warning : CThing::Do(12) : failed (why)",
             static_cast<unsigned>(::GetCurrentProcessId()), static_cast<unsigned>(::GetCurrentThreadId()));
    EXPECT_EQ(line.substr(26), expected);
}

TEST(DebugOutput, EmptyModuleNameWritesNoModulePrefix) {
    CMemoryOutput out(L"Mod");
    out.SetLevel(1);
    out.SetPrependModuleName(TRUE);
    out.SetPrependType(TRUE);
    out.SetModuleName(L"");
    out.Error(L"x");
    out.Write(7, L"y");   // no word for an unknown severity
    EXPECT_EQ(out.lines, (std::vector<std::wstring>{L"Error : x", L"y"}));
}

TEST(DebugOutput, DefaultNameAndDirectoryComeFromTheExecutable) {
    CMemoryOutput out(L"");
    const std::wstring name = out.GetModuleName();
    EXPECT_TRUE(_wcsicmp(name.c_str(), L"unit_tests") == 0) << testing::PrintToString(name);
    const std::wstring dir = out.GetDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), L'\\');
}

TEST(DebugOutput, LogFileNameRules) {
    std::wstring path;
    ASSERT_TRUE(CDebugOutput::BuildLogFilePath(path, L"C:\\logs\\\\\\", L"InstStub", true, 6699));
    EXPECT_EQ(path, L"C:\\logs\\InstStub-0x1A2B.log");
    ASSERT_TRUE(CDebugOutput::BuildLogFilePath(path, L"C:\\logs", L"InstStub", true, 0x12345));
    EXPECT_EQ(path, L"C:\\logs\\InstStub-0x12345.log");
    ASSERT_TRUE(CDebugOutput::BuildLogFilePath(path, L"C:\\logs\\", L"InstStub", true, 0x2A));
    EXPECT_EQ(path, L"C:\\logs\\InstStub-0x002A.log");
    ASSERT_TRUE(CDebugOutput::BuildLogFilePath(path, L"C:\\logs", L"VelmorInstall-2012-05-01-14h03m22s", false, 1));
    EXPECT_EQ(path, L"C:\\logs\\VelmorInstall-2012-05-01-14h03m22s.log");
    ASSERT_TRUE(CDebugOutput::BuildLogFilePath(path, L"", L"m", false, 1));
    EXPECT_EQ(path, L"\\m.log");
}

TEST(DebugOutput, FileIsUtf16WithOneByteOrderMarkAndIsAppendedTo) {
    CTempFolder temp;
    {
        CDebugOutput out(L"Run");
        out.SetLevel(1);
        out.SetOutputToFile(TRUE);
        out.SetAppendNewLine(TRUE);
        out.SetDirectory((temp.Path() + L"\\\\").c_str());
        out.Information(L"first \u00e9");
    }
    {
        CDebugOutput out(L"Run");
        out.SetLevel(1);
        out.SetOutputToFile(TRUE);
        out.SetAppendNewLine(TRUE);
        out.SetDirectory(temp.Path().c_str());
        out.Error(L"second");
    }
    std::wstring text;
    bool bom = false;
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"Run.log"), text, &bom));
    EXPECT_TRUE(bom);
    EXPECT_EQ(text, L"first \u00e9\r\nsecond\r\n");   // no second byte order mark inside
}

TEST(DebugOutput, TwoWritersOfOneLogKeepEveryLine) {
    // Two runs started in the same second name the same log: neither may lose its lines.
    CTempFolder temp;
    CDebugOutput one(L"Run"), two(L"Run");
    for (CDebugOutput* out : {&one, &two}) {
        out->SetLevel(1);
        out->SetOutputToFile(TRUE);
        out->SetAppendNewLine(TRUE);
        out->SetDirectory(temp.Path().c_str());
    }
    one.Information(L"one a");
    two.Information(L"two a");
    one.Information(L"one b");
    two.Information(L"two b");
    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"Run.log"), text));
    EXPECT_EQ(text, L"one a\r\ntwo a\r\none b\r\ntwo b\r\n");
}

TEST(DebugOutput, ChangingNameOrDirectoryReopensTheFile) {
    CTempFolder temp;
    CDebugOutput out(L"One");
    out.SetLevel(1);
    out.SetOutputToFile(TRUE);
    out.SetDirectory(temp.Path().c_str());
    out.Information(L"a");
    out.SetModuleName(L"Two");
    out.Information(L"b");
    out.SetAppendProcessIdToFile(TRUE);
    out.Information(L"c");
    out.SetModuleNameDirect(L"Three");
    out.Information(L"d");
    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"One.log"), text));
    EXPECT_EQ(text, L"a");
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"Two.log"), text));
    EXPECT_EQ(text, L"b");
    wchar_t name[64];
    swprintf(name, 64, L"Two-0x%04X.log", static_cast<unsigned>(::GetCurrentProcessId()));
    ASSERT_TRUE(ReadUtf16File(temp.Join(name), text));
    EXPECT_EQ(text, L"c");
    swprintf(name, 64, L"Three-0x%04X.log", static_cast<unsigned>(::GetCurrentProcessId()));
    ASSERT_TRUE(ReadUtf16File(temp.Join(name), text));
    EXPECT_EQ(text, L"d");
}

TEST(DebugOutput, UnwritableFolderIsRetriedAtTheNextLine) {
    CTempFolder temp;
    const std::wstring later = temp.Join(L"later");
    CDebugOutput out(L"Retry");
    out.SetLevel(1);
    out.SetOutputToFile(TRUE);
    out.SetDirectory(later.c_str());
    out.Information(L"lost");   // the folder does not exist yet: nothing written, no failure
    ASSERT_TRUE(::CreateDirectoryW(later.c_str(), nullptr));
    out.Information(L"kept");
    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(later + L"\\Retry.log", text));
    EXPECT_EQ(text, L"kept");
}

// A privileged run's log folder may be somebody else's until it is judged: no file is opened
// there while lines are held, and none of them is lost.
TEST(DebugOutput, HeldLinesWaitForTheFolderInUse) {
    CTempFolder temp;
    const std::wstring planned = temp.Join(L"planned"), used = temp.Join(L"used");
    ASSERT_TRUE(::CreateDirectoryW(planned.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(used.c_str(), nullptr));
    CDebugOutput out(L"Held");
    out.SetLevel(1);
    out.SetOutputToFile(TRUE);
    out.SetDirectory(planned.c_str());
    out.HoldFileLines(true);
    out.Information(L"a");
    out.Information(L"b");
    EXPECT_TRUE(ListFiles(planned, L"*").empty());
    out.SetDirectory(used.c_str());
    out.HoldFileLines(false);
    out.Information(L"c");
    EXPECT_TRUE(ListFiles(planned, L"*").empty());
    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(used + L"\\Held.log", text));
    EXPECT_EQ(text, L"abc");
}

namespace {

struct CWriterArgs {
    CDebugOutput* out;
    int id;
};

unsigned __stdcall WriterThread(void* p) {
    auto* args = static_cast<CWriterArgs*>(p);
    for (int i = 0; i < 300; ++i)
        args->out->Information(L"thread %d line %03d %s", args->id, i, L"0123456789abcdefghijklmnopqrstuvwxyz");
    return 0;
}

}  // namespace

TEST(DebugOutput, LinesFromManyThreadsNeverInterleave) {
    CTempFolder temp;
    CDebugOutput out(L"Threads");
    out.SetLevel(1);
    out.SetOutputToFile(TRUE);
    out.SetAppendNewLine(TRUE);
    out.SetDirectory(temp.Path().c_str());
    CWriterArgs args[4];
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t) {
        args[t] = {&out, t};
        threads[t] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WriterThread, &args[t], 0, nullptr));
        ASSERT_NE(threads[t], nullptr);
    }
    ::WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE h : threads) ::CloseHandle(h);

    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"Threads.log"), text));
    const auto lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 1200u);
    int next[4] = {0, 0, 0, 0};
    for (const auto& line : lines) {
        int id = -1, n = -1;
        wchar_t tail[64] = {};
        ASSERT_EQ(swscanf(line.c_str(), L"thread %d line %d %63ls", &id, &n, tail), 3) << testing::PrintToString(line);
        ASSERT_TRUE(id >= 0 && id < 4);
        EXPECT_EQ(n, next[id]++);   // each thread's lines in order, none torn
        EXPECT_STREQ(tail, L"0123456789abcdefghijklmnopqrstuvwxyz");
    }
}

TEST(DebugOutput, ForwardedComponentWritesThroughTheTarget) {
    CTempFolder temp;
    CDebugOutput target(L"InstStub");
    target.SetLevel(2);
    target.SetOutputToFile(TRUE);
    target.SetPrependType(TRUE);
    target.SetAppendNewLine(TRUE);
    target.SetDirectory(temp.Path().c_str());

    CMemoryOutput component(L"engine");
    component.SetLevel(1);
    {
        qlLib::CDebugOutputLink link(&component, &target);
        component.Information(L"dropped by the target's level");
        component.Error(L"engine failed %d", 5);
        EXPECT_FALSE(component.IsEnabled(qlLib::eSeverity_Information));
    }
    component.Information(L"own again");

    std::wstring text;
    ASSERT_TRUE(ReadUtf16File(temp.Join(L"InstStub.log"), text));
    EXPECT_EQ(text, L"Error : engine failed 5\r\n");
    EXPECT_EQ(component.lines, (std::vector<std::wstring>{L"own again"}));
}
