// Delete mode: the process that removes a folder once its parent has ended, and the copy of the
// cached stub that an install run stages in the temp folder to remove its cache after it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/Handles.h"
#include "runtime/StringUtils.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const wchar_t kRetryWarning[] = L"Warning : folder still exists, sleep 0.5 seconds and try again";

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

size_t Count(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::wstring Widen(const std::vector<unsigned char>& bytes) {
    std::wstring out;
    for (unsigned char c : bytes) out.push_back(c);
    return out;
}

class DeleteMode : public testing::Test {
protected:
    void SetUp() override {
        app = temp.Join(L"app");
        logs = temp.Join(L"logs");
        doomed = temp.Join(L"doomed");
        root = temp.Join(L"root");
        for (const std::wstring& folder :
             {app, doomed, doomed + L"\\a", doomed + L"\\b", doomed + L"\\b\\c", root, root + L"\\empty",
              root + L"\\empty\\deeper", root + L"\\full"})
            ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr)) << folder.c_str();
        for (const std::wstring& file : {doomed + L"\\top.txt", doomed + L"\\a\\1.txt", doomed + L"\\b\\c\\2.txt",
                                         root + L"\\full\\keep.txt"})
            ASSERT_TRUE(WriteTextFile(file, "x")) << file.c_str();
    }

    // A MiniStub installer for this test's product whose settings name the folders of delete mode.
    std::wstring MakeInstaller(const std::wstring& name, const std::function<void(TARN::CFileDataExtender&)>& keys) {
        const std::wstring out = app + L"\\" + name;
        product.Make(ToWinePath(MINISTUB_EXE_UNIX_PATH), out, [&](TARN::CFileDataExtender& s) {
            product.DefaultSettings(s);
            keys(s);
        });
        return out;
    }
    std::wstring MakeArmedInstaller() {
        return MakeInstaller(L"setup.exe", [this](TARN::CFileDataExtender& s) {
            s.SetData(20500, true);
            s.SetData(20501, doomed.c_str());
            s.SetData(20516, root.c_str());
        });
    }

    // Runs exe as the child of a process that has already ended, so that delete mode does not
    // wait for this test; answers its exit code.
    DWORD RunOrphaned(const std::wstring& exe, const std::wstring& arguments) {
        DWORD handed = 0;
        const std::wstring detach = std::to_wstring(::GetCurrentProcessId()) + L" \"" + exe + L"\" " + arguments;
        if (!RunProgram(ToWinePath(DETACH_EXE_UNIX_PATH), detach, 30000, handed) || !handed) {
            ADD_FAILURE() << "not started: " << testing::PrintToString(exe);
            return 0xDEADBEEF;
        }
        // Its parent has ended; it has not run yet.
        qlLib::CKernelHandle thread(ULongToHandle(handed));
        qlLib::CKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                                   FALSE, ::GetProcessIdOfThread(thread.Get())));
        EXPECT_TRUE(process.IsValid());
        ::ResumeThread(thread.Get());
        DWORD code = 0xDEADBEEF;
        if (::WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.Get(), 1);
            ADD_FAILURE() << "still running: " << testing::PrintToString(exe);
        } else {
            ::GetExitCodeProcess(process.Get(), &code);
        }
        return code;
    }
    DWORD RunDeleteMode(const std::wstring& exe, const std::wstring& logFolder) {
        return RunOrphaned(exe, L"/qn /DELETEMODE /LOGDIR \"" + logFolder + L"\"");
    }

    // The one delete-mode log of a folder.
    static std::wstring Log(const std::wstring& folder) {
        const auto files = ListFiles(folder, L"DeleteMode-*.log");
        EXPECT_EQ(files.size(), 1u) << testing::PrintToString(folder);
        std::wstring text;
        if (files.size() == 1) {
            EXPECT_TRUE(ReadUtf16File(folder + L"\\" + files[0], text));
        }
        return text;
    }

    CTempFolder temp;
    CTestInstaller product;
    std::wstring app, logs, doomed, root;
};

}  // namespace

TEST_F(DeleteMode, RemovesTheFolderAndTheEmptyFoldersAndLeavesItselfToTheRestart) {
    const std::wstring setup = MakeArmedInstaller();
    EXPECT_EQ(RunDeleteMode(setup, logs), 0u);

    EXPECT_FALSE(Exists(doomed));
    EXPECT_FALSE(Exists(root + L"\\empty"));
    EXPECT_TRUE(Exists(root + L"\\full\\keep.txt"));
    // A running program cannot be deleted: its file waits for the next restart.
    EXPECT_TRUE(Exists(setup));
    EXPECT_TRUE(IsPendingDeletion(setup));

    const std::wstring log = Log(logs);
    for (const std::wstring& line :
         {std::wstring(L"Information : entering delete mode"), L"Information : deleting folder: " + doomed,
          L"Information : deleting file: " + setup, L"Information : deleting empty folders: " + root})
        EXPECT_NE(log.find(line), std::wstring::npos) << testing::PrintToString(line);
    // Its parent had ended (Wine still opens an ended parent, whose wait ends at once).
    EXPECT_EQ(log.find(L"Start: wait for parent process") == std::wstring::npos,
              log.find(L"Finish: wait for parent process") == std::wstring::npos);
    EXPECT_EQ(log.find(kRetryWarning), std::wstring::npos);
}

TEST_F(DeleteMode, DeletesNothingUnlessArmed) {
    const std::wstring unarmed[] = {
        MakeInstaller(L"missing.exe", [this](TARN::CFileDataExtender& s) { s.SetData(20501, doomed.c_str()); }),
        MakeInstaller(L"false.exe", [this](TARN::CFileDataExtender& s) {
            s.SetData(20500, false);
            s.SetData(20501, doomed.c_str());
            s.SetData(20516, root.c_str());
        })};
    for (const std::wstring& setup : unarmed) {
        const std::wstring logFolder = logs + L"-" + setup.substr(app.size() + 1);
        EXPECT_EQ(RunDeleteMode(setup, logFolder), 0u) << setup.c_str();
        const std::wstring log = Log(logFolder);
        EXPECT_NE(log.find(L"CInstallManager::HandleDeleteMode(3266) : deleteMode value missing"), std::wstring::npos);
        EXPECT_EQ(log.find(L"deleting"), std::wstring::npos);
        EXPECT_TRUE(Exists(doomed + L"\\b\\c\\2.txt"));
        EXPECT_TRUE(Exists(root + L"\\empty\\deeper"));
        EXPECT_FALSE(IsPendingDeletion(setup));
    }
}

TEST_F(DeleteMode, AFolderHeldOpenStaysAfterFourRetries) {
    const std::wstring setup = MakeArmedInstaller();
    // Held as a running program holds its files: no sharing of deletion.
    const std::wstring held = doomed + L"\\a\\1.txt";
    qlLib::CFileHandle file(::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(RunDeleteMode(setup, logs), 0u);
    EXPECT_TRUE(Exists(held));
    EXPECT_FALSE(Exists(doomed + L"\\b"));
    const std::wstring log = Log(logs);
    EXPECT_EQ(Count(log, kRetryWarning), 4u);
    EXPECT_EQ(Count(log, L"Information : deleting folder: " + doomed), 5u);
    // The empty folders still go.
    EXPECT_FALSE(Exists(root + L"\\empty"));
}

TEST_F(DeleteMode, AnInstallRunStagesACopyInTheTempFolderThatRemovesTheCacheAfterIt) {
    const std::wstring setup = app + L"\\setup.exe";
    ASSERT_TRUE(product.Make(ToWinePath(STARTUPPROBE_EXE_UNIX_PATH), setup));
    // The copies are named "<silo>_<product>_<n>.exe", each in a folder of its own in the temp
    // folder ("VelmorRemoval-" and a number); they wait for a restart to go.
    const std::wstring prefix = product.silo + L"_" + product.product + L"_";
    struct CCopies {
        const CTestInstaller& product;
        ~CCopies() { FinishDeleteModeCopies(product); }
    } copies{product};

    DWORD code = 0xDEADBEEF;
    ASSERT_TRUE(RunProgram(setup, L"/qn /probe-removal", 120000, code));
    EXPECT_EQ(code, 0u);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(app + L"\\startup.txt", bytes));
    std::map<std::wstring, std::wstring> report;   // its "name=value" lines
    const std::wstring text = Widen(bytes);
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find(L'\n', start), text.size());
        const std::wstring line = text.substr(start, end - start);
        const size_t eq = line.find(L'=');
        if (eq != std::wstring::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    const std::wstring cache = product.cache, logFolder = report[L"logfolder"];
    ASSERT_EQ(report[L"cache"], cache);
    EXPECT_EQ(report[L"removal"], L"1");
    // The copy was running and waiting for the probe, which still had its cache.
    EXPECT_EQ(report[L"copywaiting"], L"1");
    EXPECT_EQ(report[L"cachekept"], L"1");

    const auto staged = DeleteModeCopies(product);
    ASSERT_EQ(staged.size(), 1u);
    const std::wstring copy = staged[0];
    const std::wstring name = copy.substr(copy.rfind(L'\\') + 1);
    const std::wstring number = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    EXPECT_TRUE(!number.empty() && number.size() <= 5 && number.find_first_not_of(L"0123456789") == std::wstring::npos &&
                std::stoul(number) <= 32767)
        << testing::PrintToString(name);
    WaitForProgramsNamed(name);

    // The installer's settings, and where the copy removes what.
    TARN::CFileDataExtender block;
    ASSERT_TRUE(block.Initialize(copy.c_str(), false));
    bool armed = false;
    std::wstring value;
    EXPECT_TRUE(block.GetData(20500, &armed) && armed);
    EXPECT_TRUE(block.GetData(20501, &value) && value == cache) << testing::PrintToString(value);
    EXPECT_TRUE(block.GetData(20516, &value) && value == product.installerRoot) << testing::PrintToString(value);
    EXPECT_TRUE(block.GetData(0, &value) && value == product.product);
    EXPECT_TRUE(block.GetData(9, &value) && value == product.silo);
    EXPECT_TRUE(block.GetData(18, &value) && value == L"Software\\Korvanta\\Isolation");
    for (DWORD key = 1; key <= 4; ++key) {
        DWORD value = 0;
        EXPECT_TRUE(block.GetData(key, &value) && value == key) << key;
    }

    // Started with "DELETEMODE" and the probe's log folder, where it logged after the probe ended.
    const std::wstring program = copy.find(L' ') == std::wstring::npos ? copy : L"\"" + copy + L"\"";
    const std::wstring log = Log(logFolder);
    for (const std::wstring& line :
         {L"Information : command line: " + program + L" /DELETEMODE /LOGDIR \"" + logFolder + L"\"",
          std::wstring(L"Information : Finish: wait for parent process"), L"Information : deleting folder: " + cache,
          L"Information : deleting file: " + copy, L"Information : deleting empty folders: " + product.installerRoot})
        EXPECT_NE(log.find(line), std::wstring::npos) << testing::PrintToString(line);
    EXPECT_FALSE(Exists(cache));
    EXPECT_TRUE(IsPendingDeletion(copy));
    EXPECT_TRUE(IsPendingDeletion(copy.substr(0, copy.rfind(L'\\'))));   // and its folder
}

TEST_F(DeleteMode, WithoutACachedStubToCopyTheRunRemovesTheFolderItself) {
    // A complete cache whose stub is gone: nothing can be staged, and no delete-mode process is
    // at work, so the run must be told to remove the folder itself (its own instance lock is no
    // other process's delete-mode lock).
    const std::wstring setup = app + L"\\setup.exe";
    ASSERT_TRUE(product.Make(ToWinePath(STARTUPPROBE_EXE_UNIX_PATH), setup));
    DWORD code = 0xDEADBEEF;
    ASSERT_TRUE(RunProgram(setup, L"/qn", 120000, code));
    ASSERT_EQ(code, 0u);
    ASSERT_TRUE(WriteTextFile(product.cache + L"\\complete.dat", ""));
    ASSERT_TRUE(::DeleteFileW((product.cache + L"\\InstStub.exe").c_str()));
    ASSERT_TRUE(RunProgram(setup, L"/qn /probe-removal", 120000, code));
    EXPECT_EQ(code, 0u);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(app + L"\\startup.txt", bytes));
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("removal=0"), std::string::npos);
}
