#include <gtest/gtest.h>

#include <shlobj.h>

#include "runtime/Isolation.h"
#include "runtime/PathExpansion.h"
#include "support/TestSupport.h"

using qlLib::ExpandPath;

namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
    return path;
}

// A product silo of the test's own, with its path map.
class PathExpansion : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(qlLib::CIsolation::SetSiloID(root.Silo().c_str())); }
    bool Map(const wchar_t* name, const std::wstring& value) {
        return root.SetString(L"Quillon\\PathExpansionMap", name, value);
    }
    testing_support::CTestIsolationRoot root;
};

TEST_F(PathExpansion, BuiltInFoldersAndBadText) {
    std::wstring out;
    ASSERT_TRUE(ExpandPath(L"%CSIDL_WINDOWS%\\System32", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_WINDOWS) + L"\\System32");
    // Names are found without regard to case; '_' sorts after the letters in the table.
    ASSERT_TRUE(ExpandPath(L"%csidl_program_files_common%|%CSIDL_PROGRAM_FILESX86%", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"|" + ShellFolder(CSIDL_PROGRAM_FILESX86));
    ASSERT_TRUE(ExpandPath(L"%CSIDL_SYSTEM% and %CSIDL_SYSTEM%", out));   // every occurrence
    EXPECT_EQ(out, ShellFolder(CSIDL_SYSTEM) + L" and " + ShellFolder(CSIDL_SYSTEM));
    ASSERT_TRUE(ExpandPath(L"%CSIDL_PROGRAM_FILESX64%", out));
    EXPECT_FALSE(out.empty());
    EXPECT_TRUE(ExpandPath(L"ab", out));
    EXPECT_EQ(out, L"ab");
    for (const wchar_t* bad : {L"50% done", L"%CSIDL_WINDOWS", L"a%%b", L"%NO_SUCH_TOKEN%\\x", L"tail %"}) {
        EXPECT_FALSE(ExpandPath(bad, out)) << bad;
    }
}

TEST_F(PathExpansion, ThePathMapComesFirstAndTellsWhetherTheProductIsInstalled) {
    std::wstring out;
    EXPECT_FALSE(ExpandPath(L"%INSTALLCACHEDIR%\\x", out));
    ASSERT_TRUE(Map(L"installcachedir", L"%QLROOT%\\Cache"));
    ASSERT_TRUE(Map(L"qlroot", L"%CSIDL_PROGRAM_FILES%\\Velmor"));
    ASSERT_TRUE(ExpandPath(L"%INSTALLCACHEDIR%\\x", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Velmor\\Cache\\x");
    // A map entry overrides the built-in table.
    ASSERT_TRUE(Map(L"csidl_windows", L"W:\\indows"));
    ASSERT_TRUE(ExpandPath(L"%CSIDL_WINDOWS%", out));
    EXPECT_EQ(out, L"W:\\indows");
    // Values that lead back to themselves answer false instead of looping.
    ASSERT_TRUE(Map(L"loop", L"%LOOP%\\again"));
    EXPECT_FALSE(ExpandPath(L"%LOOP%", out));
    ASSERT_TRUE(Map(L"ping", L"%PONG%"));
    ASSERT_TRUE(Map(L"pong", L"x%PING%"));
    EXPECT_FALSE(ExpandPath(L"%PING%", out));
}

TEST_F(PathExpansion, SiloDataFolders) {
    std::wstring out;
    ASSERT_TRUE(ExpandPath(L"%COMMON_SILO_DATA%", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Korvanta\\" + root.Silo());
    ASSERT_TRUE(Map(L"appdataextension", L"Velmor"));
    ASSERT_TRUE(ExpandPath(L"%LOCAL_SILO_DATA%\\logs", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Velmor\\" + root.Silo() + L"\\logs");
    // An extension leading back to a silo folder is not followed.
    ASSERT_TRUE(Map(L"appdataextension", L"%COMMON_SILO_DATA%"));
    ASSERT_TRUE(ExpandPath(L"%COMMON_SILO_DATA%", out));
    EXPECT_EQ(out, ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Korvanta\\" + root.Silo());
}

}  // namespace
