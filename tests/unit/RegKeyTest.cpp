#include <gtest/gtest.h>

#include "runtime/RegKey.h"
#include "support/TestSupport.h"

using qlLib::CRegKey;

namespace {

// A key of the test's own under HKCU, removed at the end.
class RegKey : public ::testing::Test {
protected:
    RegKey() : path(L"Software\\MiniStubTests\\" + testing_support::NewGuid()) {}
    ~RegKey() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    }
    std::wstring path;
};

TEST_F(RegKey, TypedValuesKeepTheirType) {
    CRegKey key;
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS, true));
    ASSERT_TRUE(key.SetString(L"text", L"hello"));
    ASSERT_TRUE(key.SetDWORD(L"number", 2014));
    ASSERT_TRUE(key.SetString(L"list", std::wstring(L"a\0bc", 4), REG_MULTI_SZ));

    DWORD d = 77;
    EXPECT_FALSE(key.QueryDWORD(L"text", d));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(d, 77u);   // unchanged: the caller keeps its default
    ASSERT_TRUE(key.QueryDWORD(L"number", d));
    EXPECT_EQ(d, 2014u);
    std::wstring s = L"keep";
    EXPECT_FALSE(key.QueryString(L"number", s));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(s, L"keep");
    EXPECT_FALSE(key.QueryString(L"list", s));   // a multi-string is no plain string
    ASSERT_TRUE(key.QueryString(L"text", s));
    EXPECT_EQ(s, L"hello");
    std::vector<std::wstring> list;
    ASSERT_TRUE(key.QueryMultiString(L"list", list));
    EXPECT_EQ(list, (std::vector<std::wstring>{L"a", L"bc"}));
    ASSERT_TRUE(key.QueryMultiString(L"text", list));
    EXPECT_EQ(list, std::vector<std::wstring>{L"hello"});
    EXPECT_FALSE(key.QueryDWORD(L"missing", d));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(key.SetString(L"bad", L"x", REG_BINARY));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    CRegKey child;
    ASSERT_TRUE(child.Create(key.Get(), L"child", KEY_ALL_ACCESS));
    std::vector<std::wstring> names;
    ASSERT_TRUE(key.EnumValueNames(names));
    EXPECT_EQ(names.size(), 3u);
    ASSERT_TRUE(key.EnumSubkeyNames(names));
    EXPECT_EQ(names, std::vector<std::wstring>{L"child"});
    child.Close();
    ASSERT_TRUE(key.DeleteValue(L"text"));
    ASSERT_TRUE(key.DeleteContents());
    ASSERT_TRUE(key.EnumValueNames(names));
    EXPECT_TRUE(names.empty());
    ASSERT_TRUE(key.EnumSubkeyNames(names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(key.Create(HKEY_CURRENT_USER, nullptr, KEY_READ));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(RegKey, AVolatileKeyReplacesANonVolatileOne) {
    std::wstring leaf = path + L"\\Reboot";
    CRegKey key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, leaf.c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(key.SetDWORD(L"old", 1));
    key.Close();
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, leaf.c_str(), KEY_ALL_ACCESS, nullptr, REG_OPTION_VOLATILE));
    DWORD d = 0;
    EXPECT_FALSE(key.QueryDWORD(L"old", d));   // the old key went with its values
    // Volatile now: it refuses a non-volatile child.
    HKEY probe = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(key.Get(), L"p", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &probe,
                                nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    ASSERT_TRUE(key.SetDWORD(L"new", 2));
    key.Close();
    // Asking again keeps the volatile key as it is.
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, leaf.c_str(), KEY_ALL_ACCESS, nullptr, REG_OPTION_VOLATILE));
    EXPECT_TRUE(key.QueryDWORD(L"new", d));
}

}  // namespace
