#include <gtest/gtest.h>

#include "runtime/DebugOptions.h"
#include "runtime/DebugOutput.h"
#include "support/TestSupport.h"

using qlLib::CDebugOptions;
using namespace testing_support;

namespace {

const wchar_t kTrace[] = L"Quillon\\Debug\\DebugOutput";
const wchar_t kModules[] = L"Quillon\\Debug\\DebugOutput\\Modules";
const wchar_t kCrash[] = L"Quillon\\Debug\\CrashHandler";

}  // namespace

TEST(DebugOptions, DefaultsWhenNothingIsStored) {
    CTestIsolationRoot root;
    CDebugOptions o;
    o.DebugType = 3;
    o.Modules[L"x"] = 1;
    o.Reset();
    ASSERT_TRUE(o.LoadFromRoot(root.Root()));
    EXPECT_EQ(o.DebugType, 0u);
    EXPECT_EQ(o.OutputToDebugger, 1u);
    EXPECT_EQ(o.OutputToFile, 0u);
    EXPECT_EQ(o.AppendProcessIdToFile, 1u);
    EXPECT_EQ(o.PrependType, 1u);
    EXPECT_EQ(o.ExclusiveModules, 0u);
    EXPECT_TRUE(o.Modules.empty());
    EXPECT_EQ(o.ThrowOnNew, 1u);
    EXPECT_EQ(o.DumpType, 0x22u);
    EXPECT_EQ(o.AppendDateTimeToFile, 1u);
    EXPECT_EQ(o.AppendVersionToFile, 1u);
    EXPECT_TRUE(o.Directory.empty());
    EXPECT_FALSE(o.LoadFromRoot(L""));
}

TEST(DebugOptions, ReadsTraceAndCrashValues) {
    CTestIsolationRoot root;
    ASSERT_TRUE(root.SetDword(kTrace, L"DebugType", 2));
    ASSERT_TRUE(root.SetString(kTrace, L"Directory", L"%TEMP%\\logs", REG_EXPAND_SZ));
    ASSERT_TRUE(root.SetDword(kTrace, L"OutputToFile", 1));
    ASSERT_TRUE(root.SetDword(kTrace, L"OutputToDebugger", 0));
    ASSERT_TRUE(root.SetDword(kTrace, L"AppendProcessIdToFile", 0));
    ASSERT_TRUE(root.SetDword(kTrace, L"PrependDateTime", 0));
    ASSERT_TRUE(root.SetDword(kTrace, L"ExclusiveModules", 1));
    ASSERT_TRUE(root.SetDword(kCrash, L"DumpOnException", 1));
    ASSERT_TRUE(root.SetDword(kCrash, L"DumpType", 2));
    ASSERT_TRUE(root.SetString(kCrash, L"Directory", L"C:\\dumps"));
    ASSERT_TRUE(root.SetString(kCrash, L"CallbackPath", L"C:\\cb.exe"));
    CDebugOptions o;
    ASSERT_TRUE(o.LoadFromRoot(root.Root()));
    EXPECT_EQ(o.DebugType, 2u);
    EXPECT_EQ(o.Directory, L"%TEMP%\\logs");   // taken as stored
    EXPECT_EQ(o.OutputToFile, 1u);
    EXPECT_EQ(o.OutputToDebugger, 0u);
    EXPECT_EQ(o.AppendProcessIdToFile, 0u);
    EXPECT_EQ(o.PrependDateTime, 0u);
    EXPECT_EQ(o.PrependThreadId, 1u);
    EXPECT_EQ(o.ExclusiveModules, 1u);
    EXPECT_EQ(o.DumpOnException, 1u);
    EXPECT_EQ(o.DumpType, 2u);
    EXPECT_EQ(o.CrashDirectory, L"C:\\dumps");
    EXPECT_EQ(o.CallbackPath, L"C:\\cb.exe");
}

TEST(DebugOptions, ValuesOfTheWrongTypeKeepTheirDefaults) {
    CTestIsolationRoot root;
    ASSERT_TRUE(root.SetString(kTrace, L"DebugType", L"1"));
    const unsigned char bytes[] = {1, 0, 0, 0};
    ASSERT_TRUE(root.SetBinary(kTrace, L"OutputToFile", bytes, 4));
    ASSERT_TRUE(root.SetDword(kTrace, L"Directory", 7));
    // A string of odd byte length is rejected.
    ASSERT_TRUE(root.SetBinary(kCrash, L"CallbackPath", "a\0b", 3));
    CDebugOptions o;
    ASSERT_TRUE(o.LoadFromRoot(root.Root()));
    EXPECT_EQ(o.DebugType, 0u);
    EXPECT_EQ(o.OutputToFile, 0u);
    EXPECT_TRUE(o.Directory.empty());
    EXPECT_TRUE(o.CallbackPath.empty());
}

TEST(DebugOptions, ModuleListSkipsNonDwordValues) {
    CTestIsolationRoot root;
    ASSERT_TRUE(root.SetDword(kTrace, L"DebugType", 1));
    ASSERT_TRUE(root.SetDword(kModules, L"InstStub", 0));
    ASSERT_TRUE(root.SetString(kModules, L"engine", L"1"));
    ASSERT_TRUE(root.SetDword(kModules, L"InstUI", 1));
    CDebugOptions o;
    ASSERT_TRUE(o.LoadFromRoot(root.Root()));
    ASSERT_EQ(o.Modules.size(), 2u);
    EXPECT_EQ(o.Modules.at(L"InstStub"), 0u);
    EXPECT_EQ(o.Modules.at(L"InstUI"), 1u);
}

TEST(DebugOptions, ApplyToCopiesTheTraceSettings) {
    CDebugOptions o;
    o.DebugType = 2;
    o.OutputToDebugger = 0;
    o.OutputToFile = 1;
    o.AppendProcessIdToFile = 0;
    o.PrependThreadId = 0;
    o.PrependProcessId = 1;
    o.PrependDateTime = 0;
    o.PrependModuleName = 1;
    o.AppendNewLine = 0;
    o.PrependType = 1;
    o.Directory = L"C:\\trace";
    qlLib::CDebugOutput out(L"InstStub");
    ASSERT_TRUE(o.ApplyTo(out));
    EXPECT_EQ(out.GetLevel(), 2);
    EXPECT_EQ(out.GetOutputToDebugger(), 0);
    EXPECT_EQ(out.GetOutputToFile(), 1);
    EXPECT_EQ(out.GetAppendProcessIdToFile(), 0);
    EXPECT_EQ(out.GetPrependThreadId(), 0);
    EXPECT_EQ(out.GetPrependProcessId(), 1);
    EXPECT_EQ(out.GetPrependDateTime(), 0);
    EXPECT_EQ(out.GetPrependModuleName(), 1);
    EXPECT_EQ(out.GetAppendNewLine(), 0);
    EXPECT_EQ(out.GetPrependType(), 1);
    EXPECT_EQ(out.GetDirectory(), L"C:\\trace");

    // An empty directory leaves the trace log's own.
    CDebugOptions none;
    ASSERT_TRUE(none.ApplyTo(out));
    EXPECT_EQ(out.GetDirectory(), L"C:\\trace");
}

TEST(DebugOptions, ModuleFilter) {
    struct Case {
        DWORD exclusive;
        std::map<std::wstring, DWORD> modules;
        LONG expectedLevel;
    };
    const Case cases[] = {
        {1, {}, 3},                                  // exclusive, but nobody listed: level stands
        {1, {{L"engine", 1}}, 0},                    // exclusive and not listed: off
        {1, {{L"engine", 1}, {L"instSTUB", 1}}, 3},  // listed (any case): on
        {0, {{L"InstStub", 0}}, 0},                  // listed off: silenced even when not exclusive
        {0, {{L"engine", 0}}, 3},                    // others listed: no effect
    };
    for (const Case& c : cases) {
        CDebugOptions o;
        o.DebugType = 3;
        o.ExclusiveModules = c.exclusive;
        o.Modules = c.modules;
        qlLib::CDebugOutput out(L"InstStub");
        o.ApplyTo(out);
        EXPECT_EQ(out.GetLevel(), c.expectedLevel) << "exclusive " << c.exclusive << ", " << c.modules.size()
                                                   << " modules";
    }
}
