#include <gtest/gtest.h>

#include "runtime/Isolation.h"
#include "support/TestSupport.h"

using qlLib::CIsolation;
using namespace testing_support;

TEST(Isolation, SiloMustBeABracedGuid) {
    EXPECT_TRUE(CIsolation::IsValidSiloID(L"{01234567-89AB-cdef-0123-456789ABCDEF}"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L"01234567-89AB-cdef-0123-456789ABCDEF"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L"{01234567-89AB-cdef-0123-456789ABCDEF}x"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L"{01234567-89AB-cdef-0123-456789ABCDEG}"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L"{0123456-789AB-cdef-0123-456789ABCDEF}"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L"{01234567-89AB-cdef-0123-456789ABCDE}"));
    EXPECT_FALSE(CIsolation::IsValidSiloID(L""));
    EXPECT_FALSE(CIsolation::IsValidSiloID(nullptr));
}

TEST(Isolation, FindsTheFirstIsolationFileUpwards) {
    CTempFolder temp;
    const std::wstring a = temp.Join(L"a"), b = a + L"\\b", c = b + L"\\c";
    ASSERT_TRUE(::CreateDirectoryW(a.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(b.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(c.c_str(), nullptr));
    std::wstring found;
    EXPECT_FALSE(CIsolation::FindIsolationFile(c, found));

    ASSERT_TRUE(WriteTextFile(a + L"\\isolate.ini", "[isolation]\r\nsilo={11111111-2222-3333-4444-555555555555}\r\n"));
    ASSERT_TRUE(CIsolation::FindIsolationFile(c + L"\\", found));
    EXPECT_EQ(found, a + L"\\isolate.ini");
    std::wstring silo, hive;
    ASSERT_TRUE(CIsolation::ReadIsolationFile(found, silo, hive));
    EXPECT_EQ(silo, L"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(hive, L"Software\\Korvanta\\Isolation");

    // A nearer file wins, with its own hive.
    ASSERT_TRUE(WriteTextFile(b + L"\\isolate.ini",
                              "[isolation]\r\nsilo={AAAAAAAA-2222-3333-4444-555555555555}\r\nreghive=Software\\Other\r\n"));
    ASSERT_TRUE(CIsolation::FindIsolationFile(c, found));
    ASSERT_TRUE(CIsolation::ReadIsolationFile(found, silo, hive));
    EXPECT_EQ(silo, L"{AAAAAAAA-2222-3333-4444-555555555555}");
    EXPECT_EQ(hive, L"Software\\Other");

    // The first file found decides: a bad silo there is no isolation root.
    ASSERT_TRUE(WriteTextFile(c + L"\\isolate.ini", "[isolation]\r\nsilo=not-a-guid\r\n"));
    ASSERT_TRUE(CIsolation::FindIsolationFile(c, found));
    EXPECT_FALSE(CIsolation::ReadIsolationFile(found, silo, hive));
}

TEST(Isolation, ExplicitSiloGivesTheRoot) {
    // This test process has no isolate.ini above it, so the root is whatever is set here.
    EXPECT_FALSE(CIsolation::SetSiloID(L"bad"));
    ASSERT_TRUE(CIsolation::SetSiloID(L"{01234567-89AB-CDEF-0123-456789ABCDEF}"));
    std::wstring root;
    ASSERT_TRUE(CIsolation::GetIsolationRoot(root));
    EXPECT_EQ(root, L"Software\\Korvanta\\Isolation\\{01234567-89AB-CDEF-0123-456789ABCDEF}");
    EXPECT_FALSE(CIsolation::SetSiloRegistryRoot(L""));
    ASSERT_TRUE(CIsolation::SetSiloRegistryRoot(L"Software\\Velmor\\Silos\\"));
    ASSERT_TRUE(CIsolation::GetIsolationRoot(root));
    EXPECT_EQ(root, L"Software\\Velmor\\Silos\\{01234567-89AB-CDEF-0123-456789ABCDEF}");
    ASSERT_TRUE(CIsolation::SetSiloRegistryRoot(CIsolation::DefaultRegistryHive));
}
