#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#include "runtime/Handles.h"
#include "runtime/Isolation.h"
#include "support/TestSupport.h"
#include "system/EnsureAccess.h"
#include "system/Registry.h"
#include "system/Utils.h"

using TARN::CRegistry;
using testing_support::CCaptureProcessTrace;

namespace {

bool IsVolatile(HKEY root, const wchar_t* path) {
    qlLib::CRegKeyHandle key;
    if (::RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS) return false;
    qlLib::CRegKeyHandle probe;
    return ::RegCreateKeyExW(key.Get(), L"probe", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                             probe.Receive(), nullptr) == ERROR_CHILD_MUST_BE_VOLATILE;
}

std::wstring Sddl(const std::wstring& objectName) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetNamedSecurityInfoW(objectName.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return L"?";
    qlLib::CLocalMemory memory(sd);
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr);
    qlLib::CLocalMemory textMemory(text);
    return text ? text : L"?";
}

std::wstring UserSid() {
    TARN::CRightsChecker::CPrincipal user;
    LPWSTR text = nullptr;
    if (!user.SetProcessToken() || !::ConvertSidToStringSidW(user.Sid(), &text)) return L"?";
    qlLib::CLocalMemory memory(text);
    return text;
}

// A key tree of the test's own under HKLM, removed at the end: the isolation root of a silo of
// its own, so a key the product owns.
class Registry : public ::testing::Test {
protected:
    Registry() : silo(testing_support::NewGuid()), path(L"Software\\MiniStubTests\\" + silo) {
        qlLib::CIsolation::SetSiloID(silo.c_str());
        qlLib::CIsolation::SetSiloRegistryRoot(L"Software\\MiniStubTests");
    }
    ~Registry() override {
        ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
        ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, (path + L"-other").c_str());
    }
    // A key nobody may read, write or list (by default); the sddl can leave it to LocalSystem.
    bool Lock(const std::wstring& subkey, const wchar_t* sddl = L"D:P(D;;KA;;;WD)") {
        qlLib::CRegKeyHandle key;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(),
                              nullptr) != ERROR_SUCCESS)
            return false;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
            return false;
        qlLib::CLocalMemory memory(sd);
        return ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS;
    }
    std::wstring silo;
    std::wstring path;
};

TEST_F(Registry, MissingKeysAreNotForced) {
    ASSERT_TRUE(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  qlLib::CRegKeyHandle().Receive(), nullptr) == ERROR_SUCCESS);
    std::wstring before = Sddl(L"MACHINE\\" + path);
    CRegistry key;
    CCaptureProcessTrace trace;
    EXPECT_FALSE(key.Open((path + L"\\missing").c_str(), HKEY_LOCAL_MACHINE, KEY_READ, false));
    EXPECT_EQ(key.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Sddl(L"MACHINE\\" + path), before);
    EXPECT_TRUE(trace.capture.lines.empty());
    EXPECT_TRUE(key.Open((path + L"\\made").c_str(), HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true));
    EXPECT_EQ(key.GetPath(), path + L"\\made");
    EXPECT_STREQ(CRegistry::RootName(HKEY_LOCAL_MACHINE), L"MACHINE");
    EXPECT_EQ(CRegistry::RootName(HKEY_CURRENT_CONFIG), nullptr);
}

TEST_F(Registry, RefusedKeysAreForcedOpenAndTreesDeleted) {
    std::wstring locked = path + L"\\locked";
    ASSERT_TRUE(Lock(locked));
    qlLib::CRegKeyHandle plain;
    ASSERT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, locked.c_str(), 0, KEY_READ, plain.Receive()), ERROR_SUCCESS)
        << "the lock does not hold under this Wine";
    CRegistry key;
    EXPECT_TRUE(key.Open(locked.c_str(), HKEY_LOCAL_MACHINE, KEY_READ, false)) << key.GetLastError();
    key.Close();
    // An elevated process grants the administrators (and the system), never its bare user: the
    // user's unelevated processes would share the grant.
    const std::wstring granted = Sddl(L"MACHINE\\" + locked);
    EXPECT_NE(granted.find(L";;;BA)"), std::wstring::npos) << granted;
    EXPECT_EQ(granted.find(UserSid()), std::wstring::npos) << granted;
    TARN::CGrantPrincipals system(qlLib::eToken_LocalSystem);
    ASSERT_EQ(system.Count(), 1u);
    EXPECT_TRUE(::IsWellKnownSid(system.At(0), WinLocalSystemSid));
    TARN::CGrantPrincipals user(qlLib::eToken_User);
    ASSERT_EQ(user.Count(), 1u);
    EXPECT_EQ(user.At(0), nullptr);   // the process token: an ordinary user changes only its own

    // A tree with a key inside that only LocalSystem may touch goes as a whole: the grant that
    // opens it goes to the administrators, never to this user alone.
    ASSERT_TRUE(Lock(path + L"\\tree\\a\\sealed", L"D:P(A;;KA;;;SY)"));
    ASSERT_TRUE(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\tree\\b").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, qlLib::CRegKeyHandle().Receive(), nullptr) == ERROR_SUCCESS);
    CRegistry tree;
    ASSERT_TRUE(tree.Open((path + L"\\tree").c_str(), HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, false));
    EXPECT_TRUE(tree.DeleteTree()) << tree.GetLastError();
    qlLib::CRegKeyHandle gone;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\tree\\a").c_str(), 0, KEY_READ, gone.Receive()),
              ERROR_FILE_NOT_FOUND);

    // A key beside the product's (the system's, say) keeps its rights: never granted, never reset.
    const std::wstring other = path + L"-other\\locked";
    ASSERT_TRUE(Lock(other));
    const std::wstring rights = Sddl(L"MACHINE\\" + other);
    CRegistry refused;
    EXPECT_FALSE(refused.Open(other.c_str(), HKEY_LOCAL_MACHINE, KEY_READ, false));
    EXPECT_TRUE(FAILED(refused.ForceOpenKey(other.c_str(), HKEY_LOCAL_MACHINE, false)));
    EXPECT_TRUE(FAILED(refused.EnsureOpen(HKEY_LOCAL_MACHINE, other.c_str(), false)));
    EXPECT_EQ(Sddl(L"MACHINE\\" + other), rights);
    // A refusing level above the product's keys (the hive the settings name) is never reset either.
    const std::wstring hive = path + L"-other\\hive";
    ASSERT_TRUE(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (hive + L"\\" + silo).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, qlLib::CRegKeyHandle().Receive(), nullptr) == ERROR_SUCCESS);
    ASSERT_TRUE(Lock(hive));
    const std::wstring hiveRights = Sddl(L"MACHINE\\" + hive);
    qlLib::CIsolation::SetSiloRegistryRoot(hive.c_str());
    refused.ForceOpenKey((hive + L"\\" + silo + L"\\x").c_str(), HKEY_LOCAL_MACHINE, true);
    qlLib::CIsolation::SetSiloRegistryRoot(L"Software\\MiniStubTests");
    EXPECT_EQ(Sddl(L"MACHINE\\" + hive), hiveRights);
    EXPECT_FALSE(CRegistry::IsProductKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VelmorX"));
    EXPECT_TRUE(CRegistry::IsProductKey(HKEY_LOCAL_MACHINE, L"software\\velmor\\Install"));
}

TEST(RebootFlag, AVolatileMarkerThatReplacesOlderOnes) {
    const wchar_t* reboot = L"SOFTWARE\\Velmor\\Reboot";
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, reboot);
    EXPECT_FALSE(TARN::CUtils::IsRebootPending());

    // An older, non-volatile marker with a value goes.
    qlLib::CRegKeyHandle old;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, reboot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, old.Receive(),
                                nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    ::RegSetValueExW(old.Get(), L"old", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof(one));
    old.Close();
    CCaptureProcessTrace trace;
    TARN::CUtils::SetRebootFlag();
    TARN::CUtils::SetRebootFlag();   // twice changes nothing and reports nothing
    EXPECT_FALSE(trace.Contains(L"failed"));
    EXPECT_TRUE(IsVolatile(HKEY_LOCAL_MACHINE, reboot));
    EXPECT_FALSE(IsVolatile(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor"));
    qlLib::CRegKeyHandle marker;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, reboot, 0, KEY_READ, marker.Receive()), ERROR_SUCCESS);
    EXPECT_NE(::RegQueryValueExW(marker.Get(), L"old", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    marker.Close();
    EXPECT_TRUE(TARN::CUtils::IsRebootPending());
    EXPECT_TRUE(trace.Contains(L"reboot key found (need to reboot before running install)"));

    // Without the vendor key, both levels are made in one create.
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor");
    TARN::CUtils::SetRebootFlag();
    EXPECT_TRUE(IsVolatile(HKEY_LOCAL_MACHINE, reboot));
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, reboot);
}

}  // namespace
