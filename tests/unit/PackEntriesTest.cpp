#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tools/ministub-build/PackEntries.h"

using builder::CPackEntry;
using builder::ParseEntry;
using builder::RelativeName;

TEST(PackEntries, FolderNamesNeedTheSeparatorAndSourcesMayHoldEquals) {
    std::wstring name;
    EXPECT_TRUE(RelativeName(L"C:\\root", L"C:\\root\\a\\b.txt", name));
    EXPECT_EQ(name, L"a\\b.txt");
    EXPECT_TRUE(RelativeName(L"C:\\root\\", L"c:\\ROOT\\a", name));
    EXPECT_EQ(name, L"a");
    EXPECT_FALSE(RelativeName(L"C:\\root", L"C:\\rootX\\a", name));
    EXPECT_FALSE(RelativeName(L"C:\\root", L"C:\\root", name));

    testing_support::CTempFolder temp;
    const std::wstring folder = temp.Join(L"a=b"), file = folder + L"\\x=1.7z";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(file, "x"));
    CPackEntry entry;
    std::string error;
    ASSERT_TRUE(ParseEntry(file, 3, entry, error)) << error;
    EXPECT_EQ(entry.source, file);
    EXPECT_EQ(entry.name, L"x=1.7z");
    ASSERT_TRUE(ParseEntry(file + L"=docs\\y=2.7z", 3, entry, error)) << error;
    EXPECT_EQ(entry.source, file);
    EXPECT_EQ(entry.name, L"docs\\y=2.7z");
    EXPECT_FALSE(ParseEntry(folder + L"\\missing=y.7z", 3, entry, error));
    EXPECT_NE(error.find("no such file"), std::string::npos);
}
