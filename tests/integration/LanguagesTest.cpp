// Language folders of the cache against the installed product's, the default language on disk,
// and the messages the stub shows itself: read from the right language module, answered by the
// test through the desktop's windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "support/ProcessWindows.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/ArchiveWriter.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FileText(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    if (!ReadFileBytes(path, bytes)) return L"<missing>";
    return std::wstring(bytes.begin(), bytes.end());
}

// Runs exe on a window station of its own that no user sees, as a service's in session 0;
// false when it had not ended by itself after the time (it is then ended).
bool RunWithoutInteractiveDesktop(const std::wstring& exe, const std::wstring& arguments, DWORD milliseconds,
                                  DWORD& exitCode) {
    HWINSTA original = ::GetProcessWindowStation();
    HWINSTA station = ::CreateWindowStationW(L"MiniStubTestUnseen", 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station || !::SetProcessWindowStation(station)) return false;
    HDESK desktop = ::CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ::SetProcessWindowStation(original);
    bool ended = false;
    if (desktop) {
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        wchar_t desktopName[] = L"MiniStubTestUnseen\\Default";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.lpDesktop = desktopName;
        PROCESS_INFORMATION info = {};
        if (::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &info)) {
            qlLib::CKernelHandle process(info.hProcess), thread(info.hThread);
            ended = ::WaitForSingleObject(process.Get(), milliseconds) == WAIT_OBJECT_0 &&
                    ::GetExitCodeProcess(process.Get(), &exitCode);
            if (!ended) ::TerminateProcess(process.Get(), 1);
        }
        ::CloseDesktop(desktop);
    }
    ::CloseWindowStation(station);
    return ended;
}

// A UI package whose only module is the English one without the strings of ids 176 to 191.
bool MakeUIWithoutMessages(const CTempFolder& temp, std::wstring& archive) {
    const std::wstring module = temp.Join(L"InsMUI.loc");
    if (!::CopyFileW((ToWinePath(SAMPLE_UI_UNIX_DIR) + L"\\09\\01\\InsMUI.loc").c_str(), module.c_str(), FALSE))
        return false;
    // The block of those sixteen strings, each of them empty (Wine keeps a block it is told to delete).
    WORD empty[16] = {};
    HANDLE update = ::BeginUpdateResourceW(module.c_str(), FALSE);
    if (!update || !::UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(191 / 16 + 1),
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), empty, sizeof(empty)) ||
        !::EndUpdateResourceW(update, FALSE))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(module.c_str(), GetFileExInfoStandard, &data)) return false;
    std::vector<builder::CArchiveItem> items(3);
    items[0].name = L"09";
    items[1].name = L"09\\01";
    items[0].folder = items[1].folder = true;
    items[0].attributes = items[1].attributes = FILE_ATTRIBUTE_DIRECTORY;
    items[2].name = L"09\\01\\InsMUI.loc";
    items[2].source = module;
    items[2].size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    items[2].attributes = FILE_ATTRIBUTE_ARCHIVE;
    for (auto& item : items) item.modified = data.ftLastWriteTime;
    archive = temp.Join(L"ui-no-summary.7z");
    builder::CArchiveWriter writer;
    builder::CArchiveStats stats;
    std::string error;
    return writer.Write(items, archive, stats, error);
}

class Languages : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        product.UseSilo(isolation.Silo());
        product.realUI = true;
        installed = temp.Join(L"installed");
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, isolation.Root().c_str());
        CInstallerTest::TearDown();
    }

    // The installed product: its cache with a language folder per code ("09\01") and its
    // fallback.dat, registered in the product's path map.
    void Install(const std::vector<std::wstring>& languages, const std::string& fallback) {
        for (const std::wstring& language : languages) {
            ASSERT_TRUE(qlLib::CreateFolderTree(installed + L"\\" + language, nullptr));
            ASSERT_TRUE(::CopyFileW((ToWinePath(SAMPLE_UI_UNIX_DIR) + L"\\" + language + L"\\InsMUI.loc").c_str(),
                                    (installed + L"\\" + language + L"\\InsMUI.loc").c_str(), FALSE) ||
                        WriteTextFile(installed + L"\\" + language + L"\\InsMUI.loc", "module"));
        }
        if (!fallback.empty()) {
            ASSERT_TRUE(WriteTextFile(installed + L"\\fallback.dat", fallback));
        }
        ASSERT_TRUE(isolation.SetString(L"Quillon\\PathExpansionMap", L"installcachedir", installed));
    }
    std::wstring Upgrade(bool mayLackLanguages = false) {
        return MakeInstaller(ToWinePath(STARTUPPROBE_EXE_UNIX_PATH), [&](TARN::CFileDataExtender& s) {
            product.DefaultSettings(s);
            s.SetData(5, L"0901");
            s.SetData(19, true);
            if (mayLackLanguages) s.SetData(21, true);
        });
    }
    bool LogHas(const std::wstring& text) const { return product.RunLog().find(text) != std::wstring::npos; }

    CTestIsolationRoot isolation;
    std::wstring installed;
    const std::wstring& cache = product.cache;
};

}  // namespace

TEST_F(Languages, AnUpgradeDropsTheLanguagesTheInstalledProductDoesNotUse) {
    Install({L"09\\01"}, "0409");
    // The package brings 09\01, 07\01 and 0C\01.
    const std::wstring setup = Upgrade();
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    EXPECT_TRUE(LogHas(L"Removing languages: 0701 0C01"));
    EXPECT_TRUE(LogHas(L"fallback language id: 409"));
    EXPECT_TRUE(Exists(cache + L"\\09\\01\\InsMUI.loc"));
    EXPECT_FALSE(Exists(cache + L"\\07"));
    EXPECT_FALSE(Exists(cache + L"\\0C"));
    // The default language remembered in the cache, read-only.
    EXPECT_EQ(FileText(cache + L"\\fallback.dat"), L"0409");
    EXPECT_NE(::GetFileAttributesW((cache + L"\\fallback.dat").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ::SetFileAttributesW((cache + L"\\fallback.dat").c_str(), FILE_ATTRIBUTE_NORMAL);

    // The languages removed on purpose are no reason to extract the cache again.
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    EXPECT_EQ(product.CountInLog(L"does not describe the folder"), 0u);
    EXPECT_EQ(product.CountInLog(L"extraction was completed in a previous session"), 1u);
    ::SetFileAttributesW((cache + L"\\fallback.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Languages, TheInstalledFallbackLanguageIsKept) {
    // Installed in German: key 5 becomes "0701", and the default language is never removed.
    Install({L"09\\01", L"07\\01"}, "0407");
    EXPECT_EQ(Run(Upgrade(), L"/qn"), 0u);
    EXPECT_TRUE(LogHas(L"Removing languages: 0C01"));
    EXPECT_TRUE(Exists(cache + L"\\07\\01\\InsMUI.loc"));
    EXPECT_FALSE(Exists(cache + L"\\0C"));
    EXPECT_EQ(FileText(cache + L"\\fallback.dat"), L"0407");
    ::SetFileAttributesW((cache + L"\\fallback.dat").c_str(), FILE_ATTRIBUTE_NORMAL);

    // A fallback.dat too large to be a language: nothing is decided, nothing removed.
    ASSERT_TRUE(WriteTextFile(installed + L"\\fallback.dat", "0407           "));
    ASSERT_TRUE(::DeleteFileW((cache + L"\\extract.dat").c_str()));   // extract once more
    EXPECT_EQ(Run(Upgrade(), L"/qn"), 0u);
    EXPECT_TRUE(LogHas(L"UpdateDefaultLanguageFromDisk(3046) : fallback.dat is corrupt"));
    EXPECT_TRUE(Exists(cache + L"\\0C\\01\\InsMUI.loc"));
    ::SetFileAttributesW((cache + L"\\fallback.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Languages, ASetupThatLacksAnInstalledLanguageSaysSo) {
    Install({L"09\\01", L"0A\\01"}, "0409");
    EXPECT_EQ(Run(Upgrade(), L"/qn"), 0u);
    EXPECT_TRUE(LogHas(L"CInstallManager::CompareLanguages(2971) : Setup missing language: 1034"));
    EXPECT_FALSE(LogHas(L"Removing languages"));
    EXPECT_TRUE(Exists(cache + L"\\07\\01\\InsMUI.loc"));
    std::vector<unsigned char> report;
    ASSERT_TRUE(ReadFileBytes(app + L"\\startup.txt", report));
    EXPECT_NE(std::string(report.begin(), report.end()).find("key=201 "), std::string::npos);

    // A product that may go on without the language keeps quiet about it towards the engine.
    EXPECT_EQ(Run(Upgrade(true), L"/qn"), 0u);
    ASSERT_TRUE(ReadFileBytes(app + L"\\startup.txt", report));
    EXPECT_EQ(std::string(report.begin(), report.end()).find("key=201 "), std::string::npos);
}

TEST_F(Languages, ARunThatFindsAnotherInstallTellsTheUserInTheirLanguage) {
    const std::wstring setup = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH));
    const std::wstring event = L"Local\\MiniStubTestLock" + NewGuid();
    qlLib::CKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    ASSERT_TRUE(ready.IsValid());
    PROCESS_INFORMATION holder = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring command = L"\"" + ToWinePath(HOLDLOCK_EXE_UNIX_PATH) + L"\" \"" + product.siloFolder + L"\" \"" +
                           product.silo + L"\" " + event;
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &holder));
    qlLib::CKernelHandle holderProcess(holder.hProcess), holderThread(holder.hThread);
    ASSERT_EQ(::WaitForSingleObject(ready.Get(), 30000), WAIT_OBJECT_0);

    // Nothing installed: the message comes from the package's module for the system language.
    DWORD exitCode = 1;
    std::vector<CShownMessageBox> boxes;
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup is already running");
    EXPECT_EQ(boxes[0].text.rfind(L"Another setup of this product is already running.", 0), 0u) << boxes[0].text;
    EXPECT_TRUE(LogHas(L"message 187 for language 0409, style 0x00010030"));

    // A quiet run shows nothing.
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"/qn", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(LogHas(L"message 187 not shown in a quiet run"));

    // A module that lacks the message's strings: no box at all, never an empty one.
    ASSERT_TRUE(MakeUIWithoutMessages(temp, product.uiArchive));
    const std::wstring lacking = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), {}, L"lacking.exe");
    product.uiArchive.clear();
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(lacking, L"", 120000, exitCode, boxes));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(LogHas(L"failed to LoadString Message 187"));

    // Installed in German: the installed product's module.
    Install({L"07\\01"}, "0407");
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"", 120000, exitCode, boxes));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup wird bereits ausgef\u00fchrt");

    // A user who chose Hebrew for the product, whose cache has it, reads right to left.
    ASSERT_TRUE(qlLib::CreateFolderTree(cache + L"\\0d\\01", nullptr));
    ASSERT_TRUE(WriteTextFile(cache + L"\\0d\\01\\InsMUI.loc", "module"));
    HKEY config = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (isolation.Root() + L"\\ResourceConfig").c_str(), 0, nullptr, 0,
                                KEY_WRITE, nullptr, &config, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(config, L"Current UI Language", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"040D"), 10);
    ::RegCloseKey(config);
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"", 120000, exitCode, boxes));
    ASSERT_EQ(boxes.size(), 1u);
    // Wine draws the box the same either way: the style asked for stands in the log.
    EXPECT_TRUE(LogHas(L"message 187 for language 040D, style 0x00190030"));

    ::TerminateProcess(holderProcess.Get(), 0);
    ::WaitForSingleObject(holderProcess.Get(), 30000);
}

TEST_F(Languages, TheHelpSwitchAloneShowsTheSwitchSummaryInsteadOfARun) {
    ScriptEngine("[Engine]\r\n");
    const std::wstring setup = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH));
    DWORD exitCode = 1;
    std::vector<CShownMessageBox> boxes;
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"/?", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup command line");   // the package's English module
    EXPECT_NE(boxes[0].text.find(L"/DEPLOYCODES"), std::wstring::npos) << boxes[0].text;
    EXPECT_FALSE(Exists(cache));

    // Beside other switches it is an unknown switch: the run goes on.
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"/qn /?", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(Exists(cache + L"\\layout.dat"));

    // A package without language modules: the stub's own English summary.
    product.realUI = false;
    const std::wstring bare = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH), {}, L"bare.exe");
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(bare, L"-?", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup switches");

    // A module that lacks the summary's strings: the same, never an empty box.
    ASSERT_TRUE(MakeUIWithoutMessages(temp, product.uiArchive));
    const std::wstring lacking = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH), {}, L"lacking.exe");
    boxes.clear();
    ASSERT_TRUE(RunAnsweringMessageBoxes(lacking, L"/?", 120000, exitCode, boxes));
    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup switches");
    EXPECT_NE(boxes[0].text.find(L"/DEPLOYCODES"), std::wstring::npos) << boxes[0].text;

    // Where no user can see a box (a service's window station), none is shown: the run ends.
    EXPECT_TRUE(RunWithoutInteractiveDesktop(setup, L"/?", 30000, exitCode));
    EXPECT_EQ(exitCode, 0u);
}
