// The start-up of an install run, with installers made by the builder: cache and log folders,
// what the engine will be handed, the markers that skip extraction, concurrent runs, test mode,
// and the failures of bad product settings.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (char c : text) out.push_back(static_cast<unsigned char>(c));
    return out;
}

// "name=value" lines of the start-up probe's report; "key=N ..." lines by key.
struct CProbeReport {
    std::map<std::wstring, std::wstring> values;
    std::map<DWORD, std::wstring> keys;   // the rest of the line after "key=N "
    std::vector<std::wstring> files;

    bool Load(const std::wstring& path) {
        std::vector<unsigned char> bytes;
        if (!ReadFileBytes(path, bytes)) return false;
        const std::wstring text = Widen(std::string(bytes.begin(), bytes.end()));
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find(L'\n', start);
            if (end == std::wstring::npos) end = text.size();
            const std::wstring line = text.substr(start, end - start);
            const size_t eq = line.find(L'=');
            if (eq == std::wstring::npos) continue;
            const std::wstring name = line.substr(0, eq), rest = line.substr(eq + 1);
            if (name == L"key") {
                const size_t space = rest.find(L' ');
                keys[static_cast<DWORD>(wcstoul(rest.c_str(), nullptr, 10))] = rest.substr(space + 1);
            } else if (name == L"file") {
                files.push_back(rest);
            } else {
                values[name] = rest;
            }
        }
        return true;
    }
    std::wstring StringKey(DWORD key) const {
        auto it = keys.find(key);
        if (it == keys.end()) return L"<absent>";
        const size_t at = it->second.find(L"value=");
        return at == std::wstring::npos ? L"<no string>" : it->second.substr(at + 6);
    }
};

class InstallStartup : public CInstallerTest {
protected:
    static std::wstring MiniStub() { return ToWinePath(MINISTUB_EXE_UNIX_PATH); }
    static std::wstring Probe() { return ToWinePath(STARTUPPROBE_EXE_UNIX_PATH); }

    const std::wstring& guid = product.silo;
    const std::wstring& installerRoot = product.installerRoot;
    const std::wstring& logsRoot = product.logsRoot;
    const std::wstring& silo = product.siloFolder;
    const std::wstring& cache = product.cache;
};

}  // namespace

TEST_F(InstallStartup, FirstRunExtractsIntoTheVersionedCacheAndPreparesTheEngineData) {
    const std::wstring setup = MakeInstaller(Probe());
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    CProbeReport report;
    ASSERT_TRUE(report.Load(app + L"\\startup.txt"));
    EXPECT_EQ(report.values[L"result"], L"0x00000000");
    EXPECT_EQ(report.values[L"cache"], cache);
    EXPECT_EQ(report.values[L"media"], setup);   // without MEDIA the package is the program itself

    // The package in the cache: the stub, the UI archive's files, the unpacker's marker.
    EXPECT_TRUE(Exists(cache + L"\\InstStub.exe"));
    EXPECT_TRUE(Exists(cache + L"\\title.txt"));
    EXPECT_TRUE(Exists(cache + L"\\Lang\\DE.txt"));
    EXPECT_TRUE(Exists(cache + L"\\extract.dat"));

    // What the engine is handed.
    const std::wstring logFolder = report.values[L"logfolder"];
    EXPECT_EQ(report.StringKey(100), cache);
    EXPECT_EQ(report.StringKey(101), logFolder);
    EXPECT_EQ(report.StringKey(102), SpecialFolder(CSIDL_COMMON_APPDATA) + L"\\VelmorInstaller\\KorTemp");
    EXPECT_EQ(report.StringKey(103), installerRoot);
    EXPECT_EQ(report.StringKey(104), logsRoot);
    EXPECT_EQ(report.StringKey(105), setup);
    EXPECT_EQ(report.StringKey(106), app + L"\\");
    EXPECT_EQ(report.StringKey(107), cache + L"\\InstStub.exe");
    ASSERT_TRUE(report.keys.count(2) && report.keys.count(3));
    EXPECT_EQ(report.keys[2].find(L"value="), std::wstring::npos);   // objects, not strings
    EXPECT_EQ(report.keys[3].find(L"value="), std::wstring::npos);

    // One time-stamped log folder per run, "YYYY-MM-DD-HHhMMmSSs"; the output manifest numbered
    // from 1 while the run holds it, and gone with the run because nothing was written to it.
    ASSERT_EQ(logFolder.rfind(logsRoot + L"\\", 0), 0u) << testing::PrintToString(logFolder);
    const std::wstring stamp = logFolder.substr(logsRoot.size() + 1);
    int y, mo, d, h, mi, s;
    wchar_t tail = 0;
    EXPECT_EQ(swscanf(stamp.c_str(), L"%4d-%2d-%2d-%2dh%2dm%2ds%lc", &y, &mo, &d, &h, &mi, &s, &tail), 6)
        << testing::PrintToString(stamp);
    EXPECT_NE(std::find(report.files.begin(), report.files.end(), L"Install.1.mft"), report.files.end());
    EXPECT_FALSE(Exists(logFolder + L"\\Install.1.mft"));
    const auto logs = ListFiles(logFolder, L"VelmorInstall-*.log");
    ASSERT_EQ(logs.size(), 1u);
    std::wstring log;
    ASSERT_TRUE(ReadUtf16File(logFolder + L"\\" + logs[0], log));
    for (const std::wstring& line : std::vector<std::wstring>{
             L"Information : install version: 9.1.0.26", L"Information : base install folder: " + installerRoot,
          L"Information : install log folder: " + logFolder, L"Information : Install Cache: " + cache,
          std::wstring(L"Information : Start: Extract Package"),
          std::wstring(L"Information : Finished: Extract Package: 0x00000000")})
        EXPECT_NE(log.find(line), std::wstring::npos) << testing::PrintToString(line);
}

TEST_F(InstallStartup, AddOnsModeWithoutVersionUsesTheAddOnsFolderAndVersionZero) {
    const std::wstring setup = MakeInstaller(Probe(), [this](TARN::CFileDataExtender& s) {
        s.SetData(0, product.product.c_str());
        s.SetData(9, guid.c_str());
        s.SetData(18, L"Software\\Korvanta\\Isolation");
        s.SetData(11, true);
    });
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    CProbeReport report;
    ASSERT_TRUE(report.Load(app + L"\\startup.txt"));
    const std::wstring addOns = silo + L"\\AddOns\\" + product.product + L"\\0.0.0.0";
    EXPECT_EQ(report.values[L"cache"], addOns);
    EXPECT_TRUE(Exists(addOns + L"\\InstStub.exe"));
}

TEST_F(InstallStartup, ACompleteOrFinalizedCacheIsNotExtractedAgain) {
    const std::wstring setup = MakeInstaller(Probe());
    ASSERT_EQ(Run(setup, L"/qn"), 0u);
    ASSERT_TRUE(::DeleteFileW((cache + L"\\extract.dat").c_str()));
    ASSERT_TRUE(::DeleteFileW((cache + L"\\title.txt").c_str()));
    for (const wchar_t* marker : {L"complete.dat", L"finalzed.dat"}) {
        ASSERT_TRUE(WriteTextFile(cache + L"\\" + marker, ""));
        EXPECT_EQ(Run(setup, L"/qn"), 0u) << marker;
        EXPECT_FALSE(Exists(cache + L"\\title.txt")) << marker;
        ASSERT_TRUE(::DeleteFileW((cache + L"\\" + marker).c_str()));
    }
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    EXPECT_TRUE(Exists(cache + L"\\title.txt"));
}

TEST_F(InstallStartup, ConcurrentRunsEndQuietlyUnlessSkippedByXAndQuiet) {
    const std::wstring setup = MakeInstaller(MiniStub());
    struct Held {
        const wchar_t* suffix;
        const wchar_t* line;
    };
    for (const Held& held : {Held{L"", L"Initialize(458) : Another instance is already running"},
                             Held{L"_CleanUp", L"Initialize(479) : A DeleteMode instance is already running"}}) {
        const std::wstring event = L"Local\\MiniStubTestLock" + NewGuid();
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, event.c_str());
        ASSERT_NE(ready, nullptr);
        PROCESS_INFORMATION holder = {};
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring command = L"\"" + ToWinePath(HOLDLOCK_EXE_UNIX_PATH) + L"\" \"" + silo + L"\" \"" + guid +
                               held.suffix + L"\" " + event;
        ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &holder));
        ASSERT_EQ(::WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);

        EXPECT_EQ(Run(setup, L"/qn"), 0u) << held.suffix;
        EXPECT_FALSE(Exists(cache + L"\\InstStub.exe")) << held.suffix;
        EXPECT_NE(product.RunLog().find(held.line), std::wstring::npos) << held.suffix;

        // "x" alone still checks; "x" with a quiet run goes ahead.
        EXPECT_EQ(Run(setup, L"/x"), 0u) << held.suffix;
        EXPECT_FALSE(Exists(cache + L"\\InstStub.exe")) << held.suffix;
        EXPECT_EQ(Run(setup, L"/x /qn"), 0u) << held.suffix;
        EXPECT_TRUE(Exists(cache + L"\\InstStub.exe")) << held.suffix;

        ::TerminateProcess(holder.hProcess, 0);
        ::WaitForSingleObject(holder.hProcess, 30000);
        ::CloseHandle(holder.hProcess);
        ::CloseHandle(holder.hThread);
        ::CloseHandle(ready);
        qlLib::DeleteFolderTree(cache, nullptr);
    }
}

TEST_F(InstallStartup, TestModeDumpsOnlyQuietlyAndIntoANewFolder) {
    const std::wstring setup = MakeInstaller(MiniStub());
    const std::wstring dump = temp.Join(L"dump");
    EXPECT_EQ(Run(setup, L"/TEST \"" + dump + L"\""), 0x800704C7u);
    EXPECT_FALSE(Exists(dump));
    ASSERT_TRUE(::CreateDirectoryW(dump.c_str(), nullptr));
    EXPECT_EQ(Run(setup, L"/qn /TEST \"" + dump + L"\""), 0x800704C7u);
    EXPECT_TRUE(ListFiles(dump, L"*").empty());
    ASSERT_TRUE(::RemoveDirectoryW(dump.c_str()));

    EXPECT_EQ(Run(setup, L"/qn /TEST \"" + dump + L"\""), 0u);
    EXPECT_TRUE(Exists(dump + L"\\QDX-TRRoot.7z"));
    EXPECT_TRUE(Exists(dump + L"\\QDX-TRRootuiPackage.7z"));
    EXPECT_FALSE(Exists(silo));   // a dump is no install
}

TEST_F(InstallStartup, LogDirIsHonouredOnlyInDeleteMode) {
    const std::wstring setup = MakeInstaller(MiniStub());
    const std::wstring chosen = temp.Join(L"chosen logs");
    EXPECT_EQ(Run(setup, L"/qn /LOGDIR \"" + chosen + L"\""), 0u);
    EXPECT_FALSE(Exists(chosen));
    EXPECT_FALSE(product.RunLogFolders().empty());

    EXPECT_EQ(Run(setup, L"/qn /DELETEMODE /LOGDIR \"" + chosen + L"\""), 0u);
    EXPECT_EQ(ListFiles(chosen, L"DeleteMode-*.log").size(), 1u);
}
