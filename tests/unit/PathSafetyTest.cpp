#include <gtest/gtest.h>

#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "support/TestSupport.h"

using qlLib::CreateFolderTree;
using qlLib::IsSafeRelativePath;

TEST(IsSafeRelativePath, KeepsNamesInsideTheirFolder) {
    for (const wchar_t* good : {L"a.txt", L"QDX-TRRootuiPackage.7z", L"docs\\readme.txt", L"a/b/c.dll", L"..a", L"a..b",
                                L".hidden"}) {
        EXPECT_TRUE(IsSafeRelativePath(good)) << good;
    }
    for (const wchar_t* bad : {L"", L"..", L".", L"..\\x", L"a\\..\\..\\x", L"a/../x", L"\\x", L"/x", L"C:\\x",
                               L"C:x", L"\\\\server\\share\\x", L"a.txt:stream", L"a\\\\b", L"a\\", L"a\\ ",
                               L"...", L"a. ", L"a\\b.", L"con?", L"a*b", L"a\tb", L"x|y", L"a<b", L"\"q\""}) {
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
    }
}

TEST(IsSafeRelativePath, RefusesDeviceNamesInAnyComponent) {
    for (const wchar_t* device : {L"CON", L"nul", L"Aux.txt", L"a\\PRN.log.old", L"COM1", L"lpt9.x", L"com0",
                                  L"NUL .txt", L"conin$", L"CONOUT$.x", L"d/COM\u00B9", L"CON\\x"}) {
        EXPECT_FALSE(IsSafeRelativePath(device)) << device;
    }
    for (const wchar_t* name : {L"CONSOLE.txt", L"con_x", L"COM10", L"comx", L"LPT", L"a.con", L"x\\auxiliary.dll",
                                L"NULL", L"CO"}) {
        EXPECT_TRUE(IsSafeRelativePath(name)) << name;
    }
}

TEST(CreateFolderTree, MakesMissingParentsAndRefusesFiles) {
    testing_support::CTempFolder temp;
    DWORD error = 0;
    std::wstring deep = temp.Join(L"a\\b\\c\\");
    ASSERT_TRUE(CreateFolderTree(deep, &error)) << error;
    EXPECT_NE(::GetFileAttributesW(deep.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(CreateFolderTree(deep, &error));   // already there
    ASSERT_TRUE(testing_support::WriteTextFile(temp.Join(L"file"), "x"));
    EXPECT_FALSE(CreateFolderTree(temp.Join(L"file\\below"), &error));
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(CreateFolderTree(L"", &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
