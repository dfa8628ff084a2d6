// Folders of the installer's own, against a stand-in for a system that keeps owners and DACLs
// (Wine derives a file's security from its Unix permission bits and keeps nothing else).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/ProtectedFolder.h"
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
    int creates = 0;
};

std::string Text(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    return testing_support::ReadFileBytes(path, bytes) ? std::string(bytes.begin(), bytes.end()) : "<missing>";
}

}  // namespace

TEST(OwnFolder, FoldersOthersMadeFirstAreNeverAdopted) {
    CTempFolder temp;
    CKeptSecurity security;
    COwnFolder own(qlLib::eToken_ElevatedAdministrator, &security);
    // Another user made "VelmorInstaller\Logs" first and left a module in it.
    const std::wstring common = temp.Join(L"VelmorInstaller");
    const std::wstring logs = common + L"\\Logs";
    ASSERT_TRUE(::CreateDirectoryW(common.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(logs + L"\\DbgHelp.dll", "planted"));
    const std::wstring run = logs + L"\\2026-12-09-10h00m00s";
    std::wstring used;
    ASSERT_EQ(own.Ensure(temp.Path(), run, COwnFolder::eReaders_Users, used), S_OK);
    // Moved aside as it was, module and all; every folder in use was made with the protected
    // rights in the call that created it.
    EXPECT_TRUE(qlLib::SamePath(used, run)) << testing::PrintToString(used);
    const auto moved = testing_support::ListFolders(temp.Path(), L"VelmorInstaller.moved-*");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(Text(temp.Join(moved[0] + L"\\Logs\\DbgHelp.dll")), "planted");
    EXPECT_EQ(security.Of(temp.Join(moved[0])), kForeign);
    EXPECT_EQ(::GetFileAttributesW((logs + L"\\DbgHelp.dll").c_str()), INVALID_FILE_ATTRIBUTES);
    for (const std::wstring& folder : {common, logs, run})
        EXPECT_EQ(security.Of(folder), COwnFolder::Sddl(COwnFolder::eReaders_Users)) << testing::PrintToString(folder);
    EXPECT_EQ(security.creates, 3);
    // Kept as they are from then on.
    ASSERT_EQ(own.Ensure(temp.Path(), run, COwnFolder::eReaders_Users, used), S_OK);
    EXPECT_EQ(security.creates, 3);

    // One that cannot be moved (its maker holds it open) stays as it is: a folder of a new name
    // serves instead.
    const std::wstring korTemp = common + L"\\KorTemp";
    ASSERT_TRUE(::CreateDirectoryW(korTemp.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(korTemp + L"\\engine.dll", "planted"));
    {
        qlLib::CFileHandle held(::CreateFileW(korTemp.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(held.IsValid());
        ASSERT_EQ(own.Ensure(temp.Path(), korTemp, COwnFolder::eReaders_None, used), S_OK);
    }
    EXPECT_EQ(used.compare(0, korTemp.size() + 1, korTemp + L"-"), 0) << testing::PrintToString(used);
    EXPECT_EQ(security.Of(used), COwnFolder::Sddl(COwnFolder::eReaders_None));
    EXPECT_EQ(security.Of(korTemp), kForeign);
    EXPECT_EQ(Text(korTemp + L"\\engine.dll"), "planted");

    // A fresh folder is one nobody had: a name that exists is never taken.
    std::wstring fresh;
    ASSERT_EQ(own.CreateFresh(temp.Path(), L"Stage-", COwnFolder::eReaders_None, fresh), S_OK);
    EXPECT_EQ(security.Of(fresh), COwnFolder::Sddl(COwnFolder::eReaders_None));
    EXPECT_NE(fresh.find(L"\\Stage-"), std::wstring::npos);

    // Nothing outside the base, and nothing climbs out of it.
    EXPECT_EQ(own.Ensure(common, temp.Join(L"Other\\x"), COwnFolder::eReaders_None, used), E_INVALIDARG);
    EXPECT_EQ(own.Ensure(temp.Path(), temp.Join(L"a\\..\\..\\x"), COwnFolder::eReaders_None, used), E_INVALIDARG);

    // An ordinary user's run makes plain folders and changes no rights.
    CKeptSecurity untouched;
    COwnFolder plain(qlLib::eToken_User, &untouched);
    EXPECT_EQ(plain.Ensure(temp.Path(), temp.Join(L"User\\Logs"), COwnFolder::eReaders_Users, used), S_OK);
    EXPECT_EQ(used, temp.Join(L"User\\Logs"));
    EXPECT_EQ(untouched.creates, 0);
}

// The same against the system's own security calls: a folder everybody may write in (as Wine
// shows another user's) is moved aside with its rights and contents, and a protected one made.
TEST(OwnFolder, AnEverybodyWritableFolderIsMovedAsideNotSecured) {
    CTempFolder temp;
    const std::wstring shared = temp.Join(L"Shared");
    ASSERT_TRUE(::CreateDirectoryW(shared.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(shared + L"\\kept.txt", "kept"));
    ASSERT_TRUE(testing_support::MakeEverybodyWritable(shared));
    ASSERT_FALSE(qlLib::IsProtectedFolderAt(shared));

    COwnFolder own(qlLib::eToken_ElevatedAdministrator, nullptr);
    std::wstring used;
    ASSERT_EQ(own.Ensure(temp.Path(), shared + L"\\Logs", COwnFolder::eReaders_Users, used), S_OK);
    EXPECT_TRUE(qlLib::SamePath(used, shared + L"\\Logs")) << testing::PrintToString(used);
    EXPECT_TRUE(qlLib::IsProtectedFolderAt(shared));
    EXPECT_TRUE(qlLib::IsProtectedFolderAt(used));
    EXPECT_EQ(::GetFileAttributesW((shared + L"\\kept.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    const auto moved = testing_support::ListFolders(temp.Path(), L"Shared.moved-*");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(Text(temp.Join(moved[0] + L"\\kept.txt")), "kept");
    EXPECT_FALSE(qlLib::IsProtectedFolderAt(temp.Join(moved[0])));
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

TEST(OwnFolder, AProtectedFolderHeldOpenBySomebodyElseIsStillUsed) {
    // Another run deleting inside the logs holds the folder without leave to move it: a folder
    // that is the installer's own is used all the same, not replaced by one of a new name.
    // The system's own security calls: the rights must be read through the handle that judges.
    CTempFolder temp;
    COwnFolder own(qlLib::eToken_ElevatedAdministrator, nullptr);
    const std::wstring logs = temp.Join(L"Logs");
    ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    ASSERT_TRUE(qlLib::IsProtectedFolderAt(logs));
    qlLib::CFileHandle held(::CreateFileW(logs.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held.IsValid());
    std::wstring used;
    ASSERT_EQ(own.Ensure(temp.Path(), logs + L"\\run", COwnFolder::eReaders_Users, used), S_OK);
    EXPECT_TRUE(qlLib::SamePath(used, logs + L"\\run")) << testing::PrintToString(used);
    EXPECT_TRUE(testing_support::ListFolders(temp.Path(), L"Logs-*").empty());
}
