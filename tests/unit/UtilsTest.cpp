#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/StringUtils.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"
#include "system/Utils.h"

using TARN::CUtils;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;
using testing_support::IsPendingDeletion;

namespace {

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Folders (names ending in a backslash) and files holding their own name, below root.
void MakeTree(const std::wstring& root, std::initializer_list<const wchar_t*> entries) {
    for (const wchar_t* entry : entries) {
        std::wstring path = root + L"\\" + entry;
        if (path.back() == L'\\') {
            path.pop_back();
            ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << path.c_str();
        } else {
            ASSERT_TRUE(testing_support::WriteTextFile(path, std::string(path.begin(), path.end()))) << path.c_str();
        }
    }
}

std::string Contents(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    testing_support::ReadFileBytes(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

size_t CountLines(const CCaptureProcessTrace& trace, const std::wstring& text) {
    size_t count = 0;
    for (const std::wstring& line : trace.capture.lines) count += line.find(text) != std::wstring::npos ? 1 : 0;
    return count;
}

// tree\a\0-locked.txt held open without delete sharing (as a running program holds its files),
// beside tree\a\1.txt and tree\b\x.txt. Names are listed in order: the held file comes first.
struct CHeldTree {
    explicit CHeldTree(const CTempFolder& temp) : top(temp.Join(L"tree")), locked(top + L"\\a\\0-locked.txt") {
        MakeTree(temp.Path(), {L"tree\\", L"tree\\a\\", L"tree\\b\\", L"tree\\a\\0-locked.txt", L"tree\\a\\1.txt",
                               L"tree\\b\\x.txt"});
        held.Reset(::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::wstring top, locked;
    qlLib::CFileHandle held;
};

}  // namespace

TEST(CUtilsDelete, DeletableTreeMissingFolderAndReadOnlyFile) {
    CTempFolder temp;
    const std::wstring top = temp.Join(L"tree");
    MakeTree(temp.Path(), {L"tree\\", L"tree\\sub\\", L"tree\\sub\\deeper\\", L"tree\\a.txt", L"tree\\sub\\readonly.txt",
                           L"tree\\sub\\deeper\\hidden.bin", L"readonly.txt"});
    ::SetFileAttributesW((top + L"\\sub\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ::SetFileAttributesW((top + L"\\sub\\deeper\\hidden.bin").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ::SetFileAttributesW((top + L"\\sub").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(CUtils::DeleteFolder(top.c_str(), true, true), S_OK);
    EXPECT_FALSE(Exists(top));
    EXPECT_EQ(CUtils::DeleteFolder(top.c_str(), true, true), S_OK);
    EXPECT_EQ(CUtils::DeleteFolder(temp.Join(L"never\\was").c_str(), false, true), S_OK);

    const std::wstring file = temp.Join(L"readonly.txt");
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(CUtils::DeleteFileW(file.c_str(), false), S_OK);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(CUtils::DeleteFileW(file.c_str(), true), S_OK);
}

TEST(CUtilsDelete, HeldFileIsScheduledForRestartWithItsFolders) {
    CTempFolder temp;
    CHeldTree tree(temp);
    ASSERT_TRUE(tree.held);

    EXPECT_EQ(CUtils::DeleteFolder(tree.top.c_str(), true, false), CUtils::kRebootRequired);
    EXPECT_TRUE(Exists(tree.locked));
    EXPECT_FALSE(Exists(tree.top + L"\\a\\1.txt"));
    EXPECT_FALSE(Exists(tree.top + L"\\b"));
    EXPECT_TRUE(IsPendingDeletion(tree.locked));
    EXPECT_TRUE(IsPendingDeletion(tree.top + L"\\a"));
    EXPECT_TRUE(IsPendingDeletion(tree.top));

    EXPECT_EQ(CUtils::DeleteFileW(tree.locked.c_str(), false), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CUtils::DeleteFileW(tree.locked.c_str(), true), CUtils::kRebootRequired);
}

TEST(CUtilsDelete, WithoutRestartHeldFileStaysAndReportingStopsAtTheFirstFailure) {
    CTempFolder temp;
    CHeldTree tree(temp);
    CCaptureProcessTrace trace;

    EXPECT_EQ(CUtils::DeleteFolder(tree.top.c_str(), false, true), E_FAIL);
    EXPECT_TRUE(Exists(tree.top + L"\\a\\1.txt"));
    EXPECT_TRUE(Exists(tree.top + L"\\b\\x.txt"));
    EXPECT_EQ(CountLines(trace, L"DeleteFile: "), 1u);
    EXPECT_EQ(CountLines(trace, L"failed to delete file: " + tree.locked), 1u);

    EXPECT_EQ(CUtils::DeleteFolder(tree.top.c_str(), false, false), S_OK);
    EXPECT_TRUE(Exists(tree.locked));
    EXPECT_FALSE(Exists(tree.top + L"\\a\\1.txt"));
    EXPECT_FALSE(Exists(tree.top + L"\\b"));
    EXPECT_FALSE(IsPendingDeletion(tree.locked));
}

TEST(CUtilsDelete, SystemFolderIsRefusedInAnySpelling) {
    wchar_t buffer[MAX_PATH];
    ASSERT_GT(::GetSystemDirectoryW(buffer, MAX_PATH), 0u);
    const std::wstring system(buffer);
    std::wstring upper(system), lower(system);
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    const std::wstring viaParent = system + L"\\..\\" + system.substr(system.rfind(L'\\') + 1);
    const std::vector<std::wstring> spellings = {system, upper, lower + L"\\\\\\", system + L"\\.", viaParent, L"C:\\", L""};
    CCaptureProcessTrace trace;
    for (const std::wstring& path : spellings) {
        // Checked on its own first: a guard that failed here must not reach a real deletion.
        ASSERT_TRUE(CUtils::IsProtectedFolder(path.c_str())) << path.c_str();
        EXPECT_EQ(CUtils::DeleteFolder(path.c_str(), true, true), E_INVALIDARG) << path.c_str();
    }
    EXPECT_EQ(CUtils::DeleteFolder(nullptr, true, true), E_INVALIDARG);
    EXPECT_EQ(CountLines(trace, L"invalid path: "), spellings.size() + 1);
    EXPECT_EQ(CountLines(trace, L"DeleteFile: "), 0u);
    EXPECT_TRUE(Exists(system + L"\\kernel32.dll"));

    // Only the folders themselves are protected.
    EXPECT_FALSE(CUtils::IsProtectedFolder((system + L"\\drivers").c_str()));
    EXPECT_EQ(CUtils::DeleteFolder((system + L"\\" + testing_support::NewGuid()).c_str(), true, true), S_OK);
}

TEST(CUtilsDelete, EmptyFoldersGoAndFoldersWithFilesAreScheduled) {
    CTempFolder temp;
    const std::wstring top = temp.Join(L"tree");
    MakeTree(temp.Path(), {L"tree\\", L"tree\\empty\\", L"tree\\empty\\deeper\\", L"tree\\full\\", L"tree\\full\\file.txt"});

    EXPECT_EQ(CUtils::DeleteEmptyFolders(top.c_str()), CUtils::kRebootRequired);
    EXPECT_FALSE(Exists(top + L"\\empty"));
    EXPECT_TRUE(Exists(top + L"\\full\\file.txt"));
    EXPECT_TRUE(IsPendingDeletion(top + L"\\full"));
    EXPECT_TRUE(IsPendingDeletion(top));

    ASSERT_TRUE(::DeleteFileW((top + L"\\full\\file.txt").c_str()));
    EXPECT_EQ(CUtils::DeleteEmptyFolders(top.c_str()), S_OK);
    EXPECT_FALSE(Exists(top));
    EXPECT_EQ(CUtils::DeleteEmptyFolders(top.c_str()), S_OK);
    EXPECT_EQ(CUtils::DeleteEmptyFolders(L"C:\\"), E_INVALIDARG);
}

TEST(CUtilsDelete, AccessDeniedGrantsAccessRetriesAndDumpsTheSecurity) {
    // A folder deleted as a file is refused with access denied, also under Wine (which enforces
    // no file DACL for its root user): the rights repair runs and the retry fails the same way.
    CTempFolder temp;
    const std::wstring folder = temp.Join(L"not-a-file");
    MakeTree(temp.Path(), {L"not-a-file\\"});
    CCaptureProcessTrace trace;

    EXPECT_EQ(CUtils::DeleteFileW(folder.c_str(), false), E_ACCESSDENIED);
    EXPECT_TRUE(Exists(folder));
    EXPECT_EQ(CountLines(trace, L"threw an exception"), 0u);
    EXPECT_EQ(CountLines(trace, L"SDDL: O:"), 2u);
    EXPECT_EQ(CountLines(trace, L" (" + folder + L")"), 1u) << "descriptor of the object";
    EXPECT_EQ(CountLines(trace, L" (" + temp.Path() + L")"), 1u) << "descriptor of its folder";
}

TEST(CUtilsCopy, CopiesTheTreesDllsAndKeepsExistingFiles) {
    CTempFolder temp;
    const std::wstring source = temp.Join(L"source"), destination = temp.Join(L"out\\nested");
    MakeTree(temp.Path(), {L"source\\", L"source\\b\\", L"source\\b\\x.dll", L"source\\y.DLL", L"source\\z.exe",
                           L"source\\b\\notes.dll.txt", L"kept\\", L"kept\\y.DLL"});

    EXPECT_EQ(CUtils::CopyFiles(source.c_str(), destination.c_str()), S_OK);
    EXPECT_EQ(Contents(destination + L"\\b\\x.dll"), Contents(source + L"\\b\\x.dll"));
    EXPECT_EQ(Contents(destination + L"\\y.DLL"), Contents(source + L"\\y.DLL"));
    EXPECT_FALSE(Exists(destination + L"\\z.exe"));
    EXPECT_FALSE(Exists(destination + L"\\b\\notes.dll.txt"));

    const std::wstring kept = temp.Join(L"kept");
    const std::string before = Contents(kept + L"\\y.DLL");
    EXPECT_EQ(CUtils::CopyFiles(source.c_str(), kept.c_str()), S_OK);
    EXPECT_EQ(Contents(kept + L"\\y.DLL"), before);
    EXPECT_TRUE(Exists(kept + L"\\b\\x.dll"));

    EXPECT_EQ(CUtils::CopyFiles(L"C:\\", kept.c_str()), E_INVALIDARG);
    EXPECT_EQ(CUtils::CopyFiles(temp.Join(L"missing").c_str(), kept.c_str()), S_OK);
}

namespace {

bool Record(const wchar_t* folder, const wchar_t* top, const WIN32_FIND_DATAW& entry, void* context) {
    static_cast<std::vector<std::wstring>*>(context)->push_back(std::wstring(folder) + L"|" + (top ? top : L"-") + L"|" +
                                                                entry.cFileName);
    return true;
}

bool StopAtOnce(const wchar_t*, const wchar_t*, const WIN32_FIND_DATAW&, void* context) {
    ++*static_cast<int*>(context);
    return false;
}

}  // namespace

TEST(CUtilsEnum, AnnouncesFoldersBeforeContentsAndContentsBeforeTheFolder) {
    CTempFolder temp;
    const std::wstring top = temp.Join(L"top"), sub = top + L"\\sub";
    MakeTree(temp.Path(), {L"top\\", L"top\\sub\\", L"top\\f1.txt", L"top\\sub\\f2.txt"});

    std::vector<std::wstring> visits;
    ASSERT_EQ(CUtils::EnumFolder(top.c_str(), L"*.*", nullptr, true, Record, &visits), S_OK);
    // The top folder is passed down; the top folder's files name it, its own entries do not.
    const std::vector<std::wstring> expected = {top + L"|-|", top + L"|" + top + L"|f1.txt", sub + L"|" + top + L"|",
                                                sub + L"|" + top + L"|f2.txt", top + L"|-|sub"};
    EXPECT_EQ(visits, expected);

    int calls = 0;
    EXPECT_EQ(CUtils::EnumFolder(top.c_str(), L"*.*", nullptr, true, StopAtOnce, &calls), CUtils::kCancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CUtils::EnumFolder(temp.Join(L"missing").c_str(), L"*.*", nullptr, true, Record, &visits), CUtils::kNotFound);
    EXPECT_EQ(CUtils::EnumFolder(top.c_str(), L"*.*", nullptr, true, nullptr, nullptr), E_INVALIDARG);
}
