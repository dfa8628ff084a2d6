// Links planted where the installer writes with more rights than their maker (see
// hostile_links.sh, which makes them): nothing is written, created, judged, deleted or granted
// through them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "package/ArchivingFileStreamImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "support/TestSupport.h"
#include "system/NoLinkDelete.h"
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

std::string Contents(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    testing_support::ReadFileBytes(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

// "Z:\a\b" -> "/a/b"
std::wstring UnixPath(const std::wstring& winePath) {
    std::wstring path = winePath.substr(2);
    for (wchar_t& c : path) c = c == L'\\' ? L'/' : c;
    return path;
}

// Runs a shell command on the host (only there can links be made) and waits until it is done:
// Wine gives no handle to wait on for a host program, so the command leaves a marker behind.
bool RunOnHost(const std::wstring& command, const std::wstring& marker) {
    std::wstring line = L"sh -c \"" + command + L" && touch '" + UnixPath(marker) + L"'\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    for (int i = 0; i < 600 && !Exists(marker); ++i) ::Sleep(50);
    return Exists(marker);
}

// Swaps a subfolder of the tree for a link to another folder the moment the walk has listed the
// tree, before it opens the subfolder.
class CSwapAfterListing : public TARN::CNoLinkDelete {
public:
    CSwapAfterListing(const std::wstring& top, const std::wstring& swap, const std::wstring& marker)
        : CNoLinkDelete(false, false), m_top(top), m_swap(swap), m_marker(marker) {}
    bool swapped = false;

protected:
    void Listed(const std::wstring& folder) override {
        if (!swapped && qlLib::SamePath(folder, m_top)) swapped = RunOnHost(m_swap, m_marker);
    }

private:
    std::wstring m_top, m_swap, m_marker;
};

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

TEST(Links, AFolderSwappedForALinkAfterListingIsNeverFollowed) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    const std::wstring tree = links + L"\\swap", unix = UnixPath(links);
    ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr) && ::CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(tree + L"\\sub\\own.txt", "own"));
    ASSERT_TRUE(testing_support::WriteTextFile(tree + L"\\zz.txt", "own"));

    CSwapAfterListing deletion(tree,
                               L"mv '" + unix + L"/swap/sub' '" + unix + L"/swapped-out' && ln -s '" + unix +
                                   L"/elsewhere' '" + unix + L"/swap/sub'",
                               links + L"\\swapped");
    EXPECT_EQ(deletion.RemoveTree(tree.c_str()), S_OK);
    ASSERT_TRUE(deletion.swapped);
    EXPECT_EQ(Contents(links + L"\\elsewhere\\victim.log"), "victim");
    EXPECT_FALSE(Exists(tree + L"\\zz.txt")) << "the rest of the tree goes";
}

TEST(Links, RightsAreNeverGrantedOutsideTheNamedFolder) {
    const std::wstring links = Links();
    ASSERT_FALSE(links.empty()) << "run through hostile_links.sh";
    // grant\hard.txt is a second name of elsewhere\readonly.txt. Both files are held without delete
    // sharing, so neither goes now: the restart fallback grants access first, where it may.
    const std::wstring tree = links + L"\\grant", own = tree + L"\\own.txt", hard = tree + L"\\hard.txt",
                       victim = links + L"\\elsewhere\\readonly.txt";
    ASSERT_TRUE(testing_support::WriteTextFile(own, "own"));
    ASSERT_TRUE(::GetFileAttributesW(victim.c_str()) & FILE_ATTRIBUTE_READONLY);
    qlLib::CFileHandle heldOwn(::CreateFileW(own.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    qlLib::CFileHandle heldVictim(::CreateFileW(victim.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(heldOwn && heldVictim);
    testing_support::CCaptureProcessTrace trace;

    EXPECT_EQ(TARN::CUtils::DeleteFolder(tree.c_str(), true, false), TARN::CUtils::kRebootRequired);
    EXPECT_TRUE(trace.Contains(L"ChangeAccess: " + own)) << "inside the folder, access is granted";
    // A single file by the same rule: read-only, so it cannot go, and its rights are not touched.
    heldVictim.Close();
    EXPECT_EQ(TARN::CUtils::DeleteFileW(hard.c_str(), false), E_ACCESSDENIED);

    EXPECT_FALSE(trace.Contains(L"ChangeAccess: " + hard));
    // Wine keeps no DACLs: a grant would show as write permission in the Unix mode bits.
    EXPECT_TRUE(::GetFileAttributesW(victim.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Contents(victim), "victim");
}
