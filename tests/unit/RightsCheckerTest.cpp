// Access rights under Wine. Wine keeps a registry key's security descriptor as written (and
// enforces it when the key is opened) for the life of its server, so the DACL logic is shown on
// keys. A file's DACL is kept as its Unix permission bits: only what owner, group and other bits
// express survives (a folder's hardly changes), and nothing is enforced for the root user the
// tests run as. Services have no DACL in Wine: it reports an empty one and drops every write.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/StringUtils.h"
#include "support/TestSupport.h"
#include "system/EnsureAccess.h"
#include "system/RightsChecker.h"
#include "system/SecurityDescriptorParser.h"
#include "system/ServiceSecurityProcessor.h"

using namespace TARN;
using testing_support::CCaptureProcessTrace;

namespace {

const DWORD kKeyAll = 0xF003F, kKeyRead = 0x20019, kKeyWrite = 0x20006;
const wchar_t* const kSystem = L"S-1-5-18";
const wchar_t* const kAdministrators = L"S-1-5-32-544";

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    qlLib::CLocalMemory memory(text);
    return text;
}

std::wstring UserSid() {
    CRightsChecker::CPrincipal user;
    return user.SetProcessToken() ? SidText(user.Sid()) : L"?";
}

// "A|D flags mask sid"
std::wstring Ace(bool allow, BYTE flags, DWORD mask, const std::wstring& sid) {
    std::wstring text;
    qlLib::FormatString(text, L"%s 0x%x 0x%lx %s", allow ? L"A" : L"D", flags, mask, sid.c_str());
    return text;
}

// The explicit ACEs of an ACL; inherited ones come from the parent, not from the code under test.
std::vector<std::wstring> ExplicitAces(const ACL* acl) {
    std::vector<std::wstring> aces;
    for (WORD i = 0; acl && i < acl->AceCount; ++i) {
        void* raw = nullptr;
        ::GetAce(const_cast<PACL>(acl), i, &raw);
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        if (ace->Header.AceFlags & INHERITED_ACE) continue;
        aces.push_back(Ace(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceFlags, ace->Mask,
                           SidText(const_cast<DWORD*>(&ace->SidStart))));
    }
    return aces;
}

// What the system gives back as the object's DACL.
std::vector<std::wstring> StoredAces(const std::wstring& name, SE_OBJECT_TYPE type) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(::GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                      &descriptor), 0u);
    qlLib::CLocalMemory memory(descriptor);
    return ExplicitAces(dacl);
}

DWORD WriteSecurity(const std::wstring& name, SE_OBJECT_TYPE type, const std::wstring& sddl, SECURITY_INFORMATION parts) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return ::GetLastError();
    }
    qlLib::CLocalMemory memory(descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    std::wstring copy(name);
    return ::SetNamedSecurityInfoW(&copy[0], type, parts, owner, nullptr, dacl, nullptr);
}

// A volatile key of the test's own under HKEY_LOCAL_MACHINE: it goes with the Wine server even
// when a test leaves it unreadable. Its parents are made first, as ordinary keys: parents
// created along with a volatile key would be volatile too and refuse ordinary subkeys.
struct CTestKey {
    CTestKey() : subkey(L"Software\\Korvanta\\RightsTests\\" + testing_support::NewGuid()), name(L"MACHINE\\" + subkey) {
        qlLib::CRegKeyHandle parent, key;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvanta\\RightsTests", 0, nullptr, 0,
                                    KEY_CREATE_SUB_KEY, nullptr, parent.Receive(), nullptr), 0);
        EXPECT_EQ(::RegCreateKeyExW(parent.Get(), subkey.substr(subkey.rfind(L'\\') + 1).c_str(), 0, nullptr,
                                    REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr), 0);
    }
    ~CTestKey() {
        WriteSecurity(name, SE_REGISTRY_KEY, L"D:(A;;KA;;;WD)", DACL_SECURITY_INFORMATION);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey.c_str());
    }
    void SetDacl(const std::wstring& sddl) const {
        ASSERT_EQ(WriteSecurity(name, SE_REGISTRY_KEY, sddl, DACL_SECURITY_INFORMATION), 0u) << sddl.c_str();
    }
    LONG Open(REGSAM access) const {
        qlLib::CRegKeyHandle key;
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, access, key.Receive());
    }
    std::wstring subkey, name;
};

struct CChecked {
    DWORD result;
    std::vector<std::wstring> aces;   // of the prepared DACL
};

CChecked Check(const CTestKey& key, const CAccessSpec& spec, PSID sid) {
    CRightsChecker::CPrincipal principal;
    EXPECT_TRUE(sid ? principal.SetSid(sid) : principal.SetProcessToken());
    CAclBuffer dacl;
    CRightsChecker::Exception error;
    const DWORD result = CRightsChecker::CheckAccess(key.name.c_str(), SE_REGISTRY_KEY, spec, principal, dacl, error);
    EXPECT_FALSE(error.IsSet());
    return {result, ExplicitAces(dacl.Get())};
}

}  // namespace

TEST(CRightsChecker, GroupMembershipCountsAndOtherPrincipalsGetAnAce) {
    CTestKey key;
    key.SetDacl(L"D:P(A;OICI;KA;;;BA)");
    const std::vector<std::wstring> before = StoredAces(key.name, SE_REGISTRY_KEY);
    EXPECT_EQ(Check(key, CAccessSpec::Inheritable(kKeyAll), nullptr).result, CRightsChecker::eResult_Granted);
    CRightsChecker::Exception error;
    EXPECT_EQ(RegistryEnsureAccess(HKEY_LOCAL_MACHINE, key.subkey.c_str(), CAccessSpec::Inheritable(kKeyAll), nullptr, error),
              CRightsChecker::eResult_Granted);
    EXPECT_EQ(StoredAces(key.name, SE_REGISTRY_KEY), before);

    // Another SID gets its ACE; a generic right asked for counts as what it stands for.
    CWellKnownSid system(WinLocalSystemSid);
    CCaptureProcessTrace trace;
    EXPECT_EQ(EnsureAccess(SE_REGISTRY_KEY, key.name.c_str(), CAccessSpec::Inheritable(GENERIC_ALL), system.Get(), error),
              CRightsChecker::eResult_Changed);
    const std::vector<std::wstring> expected = {Ace(true, 3, kKeyAll, kAdministrators), Ace(true, 3, kKeyAll, kSystem)};
    EXPECT_EQ(StoredAces(key.name, SE_REGISTRY_KEY), expected);
    EXPECT_TRUE(trace.Contains(L"CRightsChecker::ChangeAccess: " + key.name));
    EXPECT_TRUE(trace.Contains(L"CRightsChecker::ChangeAccess: SUCCEEDED"));
}

TEST(CRightsChecker, DenyForAnotherSidStaysAndOnlyMissingRightsAreAdded) {
    CTestKey key;
    key.SetDacl(L"D:P(D;;SD;;;WD)(A;;KR;;;SY)");
    CWellKnownSid system(WinLocalSystemSid);
    CRightsChecker::Exception error;
    EXPECT_EQ(EnsureAccess(SE_REGISTRY_KEY, key.name.c_str(), CAccessSpec::Inheritable(kKeyAll), system.Get(), error),
              CRightsChecker::eResult_Changed);
    const std::vector<std::wstring> expected = {Ace(false, 0, DELETE, L"S-1-1-0"), Ace(true, 0, kKeyRead, kSystem),
                                                Ace(true, 3, kKeyAll & ~kKeyRead, kSystem),
                                                Ace(true, 0xB, kKeyRead, kSystem)};
    EXPECT_EQ(StoredAces(key.name, SE_REGISTRY_KEY), expected);
}

TEST(CRightsChecker, OwnDenyOfRequestedRightsGoesAndAccessReallyChanges) {
    CTestKey key;
    const std::wstring user = UserSid();
    key.SetDacl(L"D:P(D;;KW;;;" + user + L")(D;OICIIO;KW;;;" + user + L")(A;;KA;;;SY)");
    EXPECT_EQ(key.Open(KEY_SET_VALUE), ERROR_ACCESS_DENIED);   // Wine enforces the deny

    // The deny on the key itself is within the request and goes; the one for subkeys is outside
    // it and stays; the missing rights come as an allow for the user.
    const CChecked checked = Check(key, CAccessSpec(kKeyAll, 0, 0), nullptr);
    EXPECT_EQ(checked.result, CRightsChecker::eResult_Missing);
    const std::vector<std::wstring> expected = {Ace(false, 0xB, kKeyWrite, user), Ace(true, 0, kKeyAll, kSystem),
                                                Ace(true, 0, kKeyAll, user)};
    EXPECT_EQ(checked.aces, expected);
    CRightsChecker::Exception error;
    EXPECT_EQ(EnsureAccessForToken(key.name.c_str(), SE_REGISTRY_KEY, CAccessSpec(kKeyAll, 0, 0), error),
              CRightsChecker::eResult_Changed);
    EXPECT_EQ(StoredAces(key.name, SE_REGISTRY_KEY), expected);
    EXPECT_EQ(key.Open(KEY_SET_VALUE), ERROR_SUCCESS);
}

TEST(CRightsChecker, TriplesBecomeTheFewestAces) {
    CTestKey key;
    key.SetDacl(L"D:P(A;;KA;;;SY)");
    CWellKnownSid administrators(WinBuiltinAdministratorsSid);
    std::vector<std::wstring> expected = {Ace(true, 0, kKeyAll, kSystem), Ace(true, 0, kKeyRead, kAdministrators)};
    EXPECT_EQ(Check(key, CAccessSpec(kKeyRead, 0, 0), administrators.Get()).aces, expected);

    // Object KA, containers KR, child objects one level down KR.
    expected = {Ace(true, 0, kKeyAll, kSystem), Ace(true, CONTAINER_INHERIT_ACE, kKeyRead, kAdministrators),
                Ace(true, 0, kKeyAll & ~kKeyRead, kAdministrators),
                Ace(true, NO_PROPAGATE_INHERIT_ACE | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, kKeyRead, kAdministrators)};
    EXPECT_EQ(Check(key, CAccessSpec(kKeyAll, kKeyRead, 0, 0, 0, kKeyRead), administrators.Get()).aces, expected);
}

TEST(CRightsChecker, FaultsAndUnreadableDacls) {
    CRightsChecker::CPrincipal token;
    ASSERT_TRUE(token.SetProcessToken());
    CAclBuffer dacl;
    CRightsChecker::Exception error;
    CCaptureProcessTrace trace;
    EXPECT_EQ(CRightsChecker::CheckAccess(L"x", SE_KERNEL_OBJECT, CAccessSpec::Inheritable(1), token, dacl, error), 0u);
    EXPECT_EQ(error.code, static_cast<DWORD>(CRightsChecker::Exception::eInvalidType));
    EXPECT_TRUE(trace.Contains(L"CRightsChecker::CheckAccess: invalid object type: 6"));
    RegistryEnsureAccess(HKEY_CURRENT_CONFIG, L"x", CAccessSpec::Inheritable(1), nullptr, error);
    EXPECT_EQ(error.hr, E_INVALIDARG);

    // Owned by LocalSystem and granting nothing to anyone else: the DACL cannot be read, so
    // ownership is taken first. Wine does not honour SeTakeOwnershipPrivilege and refuses the new
    // owner, which leaves the DACL unreadable (3); Windows hands the key over.
    CTestKey key;
    ASSERT_EQ(WriteSecurity(key.name, SE_REGISTRY_KEY, L"O:SY", OWNER_SECURITY_INFORMATION), 0u);
    key.SetDacl(L"D:P(A;;KA;;;SY)");
    ASSERT_EQ(key.Open(KEY_READ), ERROR_ACCESS_DENIED);
    const DWORD result = RegistryEnsureAccess(HKEY_LOCAL_MACHINE, key.subkey.c_str(), CAccessSpec::Inheritable(kKeyAll),
                                              nullptr, error);
    EXPECT_FALSE(error.IsSet());
    if (result == CRightsChecker::eResult_Changed) {
        EXPECT_EQ(key.Open(KEY_READ), ERROR_SUCCESS);
    } else {
        EXPECT_EQ(result, static_cast<DWORD>(CRightsChecker::eResult_Unreadable));
    }
}

TEST(CRightsChecker, FileDaclIsWrittenWhereWineKeepsIt) {
    testing_support::CTempFolder temp;
    const std::wstring file = temp.Join(L"file.txt");
    ASSERT_TRUE(testing_support::WriteTextFile(file, "x"));
    // Everyone denied everything: Wine clears every permission bit of the file.
    ASSERT_EQ(WriteSecurity(file, SE_FILE_OBJECT, L"D:P(D;;FA;;;WD)", DACL_SECURITY_INFORMATION), 0u);
    const std::wstring user = UserSid();
    const std::wstring userFullAccess = Ace(true, 0, FILE_ALL_ACCESS, user);
    std::vector<std::wstring> stored = StoredAces(file, SE_FILE_OBJECT);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), userFullAccess), 0);

    CRightsChecker::Exception error;
    EXPECT_EQ(FileEnsureAccess(file.c_str(), CAccessSpec::Inheritable(FILE_ALL_ACCESS), nullptr, error),
              CRightsChecker::eResult_Changed);
    // Back as the owner's permission bits, where inheritance flags have no place.
    stored = StoredAces(file, SE_FILE_OBJECT);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), userFullAccess), 1);
}

namespace {

class CRecordingApplier : public IAccessApplier {
public:
    bool Apply(const wchar_t* account, DWORD rights, ACCESS_MODE mode, bool merge) override {
        std::wstring call;
        qlLib::FormatString(call, L"%s 0x%lx %d %d", account, rights, mode, merge);
        calls.push_back(call);
        return accept;
    }
    std::vector<std::wstring> calls;
    bool accept = true;
};

DWORD ParseError(const std::wstring& text, size_t* applied = nullptr) {
    CRecordingApplier applier;
    DWORD error = 0;
    EXPECT_FALSE(CSecurityDescriptorParser::Parse(text.c_str(), applier, &error)) << text.c_str();
    if (applied) *applied = applier.calls.size();
    return error;
}

}  // namespace

TEST(CSecurityDescriptorParser, HandsEachAceToTheApplier) {
    CRecordingApplier applier;
    ASSERT_TRUE(CSecurityDescriptorParser::Parse(L"D:(A;;GA;;;SY)", applier));
    EXPECT_EQ(applier.calls, std::vector<std::wstring>{L"S-1-5-18 0x10000000 1 1"});

    applier.calls.clear();
    ASSERT_TRUE(CSecurityDescriptorParser::Parse(
        L"D:P( D ;OICI; RPWPDT ;;; s-1-5-21-1-2-3-1001 )\t(A;CI;CCLCSWLOCRRC;guid;guid;\tBU )(A;;KA;;;WD)", applier));
    const std::vector<std::wstring> expected = {L"S-1-5-21-1-2-3-1001 0x70 3 1", L"S-1-5-32-545 0x2018d 1 1",
                                                L"S-1-1-0 0xf003f 1 1"};
    EXPECT_EQ(applier.calls, expected);
}

TEST(CSecurityDescriptorParser, StopsAtTheFirstBadAce) {
    CCaptureProcessTrace trace;
    EXPECT_EQ(ParseError(L"O:BAD:(A;;GA;;;SY)"), 0u);
    EXPECT_TRUE(trace.Contains(L"parsing security DACL[O:BAD:(A;;GA;;;SY)] for - non-DACL elements are not supported!"));
    EXPECT_EQ(ParseError(L"D:(X;;GA;;;SY)"), 1u);
    size_t applied = 0;
    EXPECT_EQ(ParseError(L"D:(A;;GA;;;SY)(A;;ZZ;;;SY)(A;;GA;;;BA)", &applied), 4u);
    EXPECT_EQ(applied, 1u);   // the ACE before the bad one stays applied
    EXPECT_EQ(ParseError(L"D:(A;;GA;;;ZZ)"), 5u);
    EXPECT_TRUE(trace.Contains(L"unsupported user!"));
    EXPECT_EQ(ParseError(L"D:(A;;GA;;;SY"), 3u);
    EXPECT_EQ(ParseError(L"D:(A;;GA;;SY)"), 3u);
    EXPECT_EQ(ParseError(L"D:(A;;GA;;;S-1-5-" + std::wstring(300, L'1') + L")"), 3u);
    EXPECT_EQ(ParseError(L""), 6u);

    CRecordingApplier refusing;
    refusing.accept = false;
    EXPECT_FALSE(CSecurityDescriptorParser::Parse(L"D:(A;;GA;;;SY)", refusing));
    EXPECT_TRUE(trace.Contains(L"failed to apply decoded DACL!"));
}

TEST(CServiceSecurityProcessor, AppliesParsedEntriesToAService) {
    // Registered, never started, deleted again.
    const std::wstring name = L"MiniStubRightsTest" + testing_support::NewGuid().substr(1, 8);
    qlLib::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    qlLib::CServiceHandle service(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                                   L"C:\\windows\\system32\\notepad.exe", nullptr, nullptr, nullptr,
                                                   nullptr, nullptr));
    ASSERT_TRUE(service);
    CServiceSecurityProcessor processor(name.c_str());
    EXPECT_TRUE(CSecurityDescriptorParser::Parse(L"D:(A;;GA;;;SY)(A;;CCLCSWRPWPDTLOCRRC;;;BU)", processor));
    EXPECT_TRUE(processor.ApplyAccessRights(kAdministrators, SERVICE_ALL_ACCESS, GRANT_ACCESS, false));
    // The repair entry point of service control gets as far as writing (which Wine drops).
    CWellKnownSid administrators(WinBuiltinAdministratorsSid);
    CRightsChecker::Exception error;
    EXPECT_EQ(ServiceEnsureAccess(name.c_str(), CAccessSpec::Inheritable(SERVICE_ALL_ACCESS), administrators.Get(), error),
              CRightsChecker::eResult_Changed);

    CCaptureProcessTrace trace;
    EXPECT_FALSE(processor.ApplyAccessRights(L"", GENERIC_READ, GRANT_ACCESS, true));
    EXPECT_FALSE(processor.ApplyAccessRights(L"S-1-x", GENERIC_READ, GRANT_ACCESS, true));
    EXPECT_TRUE(trace.Contains(L"ConvertStringSidToSid() for user SID: S-1-x failed."));
    ::DeleteService(service.Get());
    CServiceSecurityProcessor missing(L"MiniStubNoSuchService");
    EXPECT_FALSE(missing.ApplyAccessRights(kSystem, GENERIC_READ, GRANT_ACCESS, true));
    EXPECT_TRUE(trace.Contains(L"GetSecurityInfo() for service: MiniStubNoSuchService failed with return value: 1060"));
}
