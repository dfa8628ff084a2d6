// Links planted where the installer writes with more rights than their maker (see
// hostile_links.sh, which makes them): nothing is written, created or judged through them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "package/ArchivingFileStreamImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "support/TestSupport.h"
#include "system/OwnFolder.h"
#include "system/Utils.h"

namespace {

std::wstring Links() {
    wchar_t value[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"MINISTUB_LINKS", value, MAX_PATH);
    return value;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(Links, NoFileIsWrittenThroughALink) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    // A link in place of the log itself.
    qlLib::CFileHandle log(qlLib::CreateFileNoLink(links + L"\\logs\\Trace.log", FILE_APPEND_DATA | SYNCHRONIZE,
                                                   FILE_SHARE_READ, OPEN_ALWAYS, 0));
    EXPECT_FALSE(log.IsValid());
    EXPECT_EQ(::GetLastError(), qlLib::kErrorLinkRefused);
    std::vector<unsigned char> victim;
    ASSERT_TRUE(testing_support::ReadFileBytes(links + L"\\elsewhere\\victim.log", victim));
    EXPECT_EQ(std::string(victim.begin(), victim.end()), "victim");
    // A link on the way to a new file: refused, and nothing is left where it led.
    qlLib::CFileHandle dump(qlLib::CreateFileNoLink(links + L"\\logs\\redirected\\crash.dmp", GENERIC_WRITE | DELETE, 0,
                                                    CREATE_NEW, 0));
    EXPECT_FALSE(dump.IsValid());
    EXPECT_FALSE(Exists(links + L"\\elsewhere\\crash.dmp"));
    EXPECT_FALSE(qlLib::IsPlainFileAt(links + L"\\logs\\Trace.log"));
    // A plain file beside them is fine.
    qlLib::CFileHandle plain(qlLib::CreateFileNoLink(links + L"\\logs\\plain.log", GENERIC_WRITE, 0, CREATE_NEW, 0));
    EXPECT_TRUE(plain.IsValid());
}

TEST(Links, TheNextManifestIsNeverWrittenThroughALink) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    qlLib::CComPtr<qlLib::CArchivingFileStreamImpl> manifest =
        qlLib::CComPtr<qlLib::CArchivingFileStreamImpl>::Adopt(qlLib::CreateArchivingFileStreamImpl());
    ASSERT_TRUE(manifest);
    ASSERT_TRUE(manifest->SetFileNameFormat((links + L"\\logs\\Install.%d.mft").c_str()));
    EXPECT_EQ(manifest->GetNumber(), 1u);
    ASSERT_TRUE(manifest->Write("data", 4));
    // Emptying a file that holds data goes on in the next number's file: a link there.
    EXPECT_FALSE(manifest->SetSize(0));
    EXPECT_EQ(manifest->GetLastError(), qlLib::kErrorLinkRefused);
    std::vector<unsigned char> victim;
    ASSERT_TRUE(testing_support::ReadFileBytes(links + L"\\elsewhere\\victim.mft", victim));
    EXPECT_EQ(std::string(victim.begin(), victim.end()), "victim");
}

TEST(Links, OwnFoldersAreNeverReachedThroughALink) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    TARN::COwnFolder own(qlLib::eToken_ElevatedAdministrator, nullptr);
    std::wstring used;
    // Planted where everybody may create.
    EXPECT_EQ(own.Ensure(links + L"\\base", links + L"\\base\\VelmorInstaller\\Logs", TARN::COwnFolder::eReaders_Users,
                         used),
              HRESULT_FROM_WIN32(qlLib::kErrorLinkRefused));
    EXPECT_FALSE(Exists(links + L"\\elsewhere\\Logs"));
    // Leading to a folder that others may change.
    const std::wstring admin = links + L"\\admin";
    EXPECT_EQ(own.Ensure(admin, admin + L"\\VelmorInstaller\\Open\\run", TARN::COwnFolder::eReaders_Users, used),
              HRESULT_FROM_WIN32(qlLib::kErrorLinkRefused));
    EXPECT_FALSE(Exists(links + L"\\open\\run"));
    // An administrator's link, in a protected folder, to a protected folder elsewhere, serves.
    ASSERT_EQ(own.Ensure(admin, admin + L"\\VelmorInstaller\\Logs\\run", TARN::COwnFolder::eReaders_Users, used), S_OK);
    EXPECT_EQ(used, admin + L"\\VelmorInstaller\\Logs\\run");
    EXPECT_TRUE(Exists(links + L"\\drive\\Logs\\run"));
}

TEST(Links, TheProtectedFolderGuardJudgesWhereAPathLeads) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    ASSERT_TRUE(Exists(links + L"\\to-system\\kernel32.dll"));
    EXPECT_TRUE(TARN::CUtils::IsProtectedFolder((links + L"\\to-system").c_str()));
    EXPECT_FALSE(TARN::CUtils::IsProtectedFolder((links + L"\\elsewhere").c_str()));
}
