// Folders of the installer's own, against a stand-in for a system that keeps owners and DACLs
// (Wine derives a file's security from its Unix permission bits and keeps nothing else).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "runtime/NoLinkFile.h"
#include "support/TestSupport.h"
#include "system/OwnFolder.h"

using TARN::COwnFolder;
using testing_support::CTempFolder;

namespace {

const wchar_t kForeign[] = L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)";

class CKeptSecurity : public COwnFolder::ISecurity {
public:
    bool Read(HANDLE folder, std::wstring& sddl) override {
        std::wstring path;
        if (!qlLib::FinalPathOf(folder, path)) return false;
        auto it = kept.find(Key(path));
        sddl = it == kept.end() ? kForeign : it->second;
        return true;
    }
    DWORD Write(HANDLE folder, const std::wstring& sddl) override {
        std::wstring path;
        if (!qlLib::FinalPathOf(folder, path)) return ERROR_INVALID_HANDLE;
        kept[Key(path)] = sddl;
        ++writes;
        return ERROR_SUCCESS;
    }
    DWORD Create(const std::wstring& path, const std::wstring& sddl) override {
        if (!::CreateDirectoryW(path.c_str(), nullptr)) return ::GetLastError();
        std::wstring finalPath;
        qlLib::FinalPathOf(path, finalPath);
        kept[Key(finalPath)] = sddl;
        ++creates;
        return ERROR_SUCCESS;
    }
    std::wstring Of(const std::wstring& path) {
        std::wstring finalPath;
        if (!qlLib::FinalPathOf(path, finalPath)) return L"?";
        auto it = kept.find(Key(finalPath));
        return it == kept.end() ? kForeign : it->second;
    }
    static std::wstring Key(std::wstring path) {
        for (wchar_t& c : path) c = static_cast<wchar_t>(towlower(c));
        return path;
    }
    std::map<std::wstring, std::wstring> kept;
    int writes = 0, creates = 0;
};

}  // namespace

TEST(OwnFolder, FoldersOthersMadeFirstBecomeTheInstallersOwn) {
    CTempFolder temp;
    CKeptSecurity security;
    COwnFolder own(qlLib::eToken_ElevatedAdministrator, &security);
    // Another user made "VelmorInstaller\Logs" first and left a module in it.
    const std::wstring logs = temp.Join(L"VelmorInstaller\\Logs");
    ASSERT_TRUE(::CreateDirectoryW(temp.Join(L"VelmorInstaller").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(logs + L"\\DbgHelp.dll", "planted"));
    const std::wstring run = logs + L"\\2026-12-09-10h00m00s";
    ASSERT_EQ(own.Ensure(temp.Path(), run, COwnFolder::eReaders_Users), S_OK);
    // Both found folders were taken over, the new one made with the protected rights.
    EXPECT_EQ(security.Of(temp.Join(L"VelmorInstaller")), COwnFolder::Sddl(COwnFolder::eReaders_Users));
    EXPECT_EQ(security.Of(logs), COwnFolder::Sddl(COwnFolder::eReaders_Users));
    EXPECT_EQ(security.Of(run), COwnFolder::Sddl(COwnFolder::eReaders_Users));
    EXPECT_EQ(security.writes, 2);
    EXPECT_EQ(security.creates, 1);
    // Kept as they are from then on.
    ASSERT_EQ(own.Ensure(temp.Path(), run, COwnFolder::eReaders_Users), S_OK);
    EXPECT_EQ(security.writes, 2);

    // A fresh folder is one nobody had: a name that exists is never taken.
    std::wstring fresh;
    ASSERT_EQ(own.CreateFresh(temp.Path(), L"Stage-", COwnFolder::eReaders_None, fresh), S_OK);
    EXPECT_EQ(security.Of(fresh), COwnFolder::Sddl(COwnFolder::eReaders_None));
    EXPECT_NE(fresh.find(L"\\Stage-"), std::wstring::npos);

    // Nothing outside the base, and nothing climbs out of it.
    EXPECT_EQ(own.Ensure(temp.Join(L"VelmorInstaller"), temp.Join(L"Other\\x"), COwnFolder::eReaders_None), E_INVALIDARG);
    EXPECT_EQ(own.Ensure(temp.Path(), temp.Join(L"a\\..\\..\\x"), COwnFolder::eReaders_None), E_INVALIDARG);

    // An ordinary user's run makes plain folders and changes no rights.
    CKeptSecurity untouched;
    COwnFolder plain(qlLib::eToken_User, &untouched);
    EXPECT_EQ(plain.Ensure(temp.Path(), temp.Join(L"User\\Logs"), COwnFolder::eReaders_Users), S_OK);
    EXPECT_EQ(untouched.writes + untouched.creates, 0);
}

TEST(OwnFolder, OnlySystemAndAdministratorsMayWrite) {
    EXPECT_TRUE(COwnFolder::IsProtected(COwnFolder::Sddl(COwnFolder::eReaders_None)));
    EXPECT_TRUE(COwnFolder::IsProtected(COwnFolder::Sddl(COwnFolder::eReaders_Users)));
    EXPECT_TRUE(COwnFolder::IsProtected(L"O:SYD:P(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)(D;;FA;;;WD)"));
    EXPECT_FALSE(COwnFolder::IsProtected(kForeign));                                   // another owner
    EXPECT_FALSE(COwnFolder::IsProtected(L"O:BAD:(A;OICI;FA;;;BA)(A;CI;0x4;;;BU)"));    // users add folders
    EXPECT_FALSE(COwnFolder::IsProtected(L"O:BAD:(A;OICI;FA;;;BA)(A;;WD;;;AU)"));       // users change the rights
    EXPECT_FALSE(COwnFolder::IsProtected(L"O:BA"));                                     // no DACL: everybody
}
