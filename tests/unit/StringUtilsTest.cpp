#include <gtest/gtest.h>

#include "runtime/PathUtils.h"
#include "runtime/SplitPath.h"
#include "runtime/StringUtils.h"

using qlLib::FormatString;

// Trace formats are written for the Microsoft C runtime; the build must not swap in another
// printf family, or every "%s" in a trace line prints garbage.
TEST(FormatString, FollowsMicrosoftRuntimeConventions) {
    std::wstring out;
    ASSERT_TRUE(FormatString(out, L"[%s]", L"wide text"));
    EXPECT_EQ(out, L"[wide text]");
    ASSERT_TRUE(FormatString(out, L"[%hs]", "narrow"));
    EXPECT_EQ(out, L"[narrow]");
    ASSERT_TRUE(FormatString(out, L"%I64d|%I64u", static_cast<long long>(-5000000000LL), 18446744073709551615ULL));
    EXPECT_EQ(out, L"-5000000000|18446744073709551615");
    ASSERT_TRUE(FormatString(out, L"%Iu", static_cast<size_t>(4000000000u)));
    EXPECT_EQ(out, L"4000000000");
    ASSERT_TRUE(FormatString(out, L"0x%08x %lu", static_cast<unsigned>(0x80070BC2), 4294967295UL));
    EXPECT_EQ(out, L"0x80070bc2 4294967295");
}

TEST(FormatString, HasNoLengthLimit) {
    const std::wstring big(100000, L'x');
    std::wstring out;
    ASSERT_TRUE(FormatString(out, L"<%s>", big.c_str()));
    EXPECT_EQ(out.size(), big.size() + 2);
    EXPECT_EQ(out.back(), L'>');
}

TEST(JoinPath, PutsExactlyOneBackslashBetweenParts) {
    std::wstring out;
    ASSERT_TRUE(qlLib::JoinPath(out, L"C:\\a", L"b"));
    EXPECT_EQ(out, L"C:\\a\\b");
    ASSERT_TRUE(qlLib::JoinPath(out, L"C:\\a\\\\", L"\\\\b\\c"));
    EXPECT_EQ(out, L"C:\\a\\b\\c");
    ASSERT_TRUE(qlLib::JoinPath(out, L"", L"b"));
    EXPECT_EQ(out, L"b");
    ASSERT_TRUE(qlLib::JoinPath(out, L"C:\\a", L""));
    EXPECT_EQ(out, L"C:\\a");
}

TEST(SplitPath, SplitsDriveFolderNameAndExtension) {
    qlLib::CSplitPath split;
    ASSERT_TRUE(split.Split(L"C:\\Program Files\\Velmor\\Inst.Stub.exe"));
    EXPECT_EQ(split.Drive(), L"C:");
    EXPECT_EQ(split.Folder(), L"\\Program Files\\Velmor\\");
    EXPECT_EQ(split.FileName(), L"Inst.Stub");
    EXPECT_EQ(split.Extension(), L".exe");
    EXPECT_EQ(split.DriveAndFolder(), L"C:\\Program Files\\Velmor\\");

    ASSERT_TRUE(split.Split(L"\\\\server\\share\\dir\\setup"));
    EXPECT_EQ(split.Drive(), L"\\\\server\\share");
    EXPECT_EQ(split.Folder(), L"\\dir\\");
    EXPECT_EQ(split.FileName(), L"setup");
    EXPECT_EQ(split.Extension(), L"");
}

TEST(EqualsNoCase, IgnoresCaseOnly) {
    EXPECT_TRUE(qlLib::EqualsNoCase(L"instSTUB", L"InstStub"));
    EXPECT_FALSE(qlLib::EqualsNoCase(L"InstStub", L"InstStub2"));
    EXPECT_TRUE(qlLib::EqualsNoCase(nullptr, L""));
}
