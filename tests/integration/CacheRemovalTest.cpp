// Removal of the install cache at the end of a run: which folder goes, whether now (through a
// delete-mode copy of the cached stub) or at the next restart, and the pending-restart marker when
// no copy can take over. Each run's delete-mode copies have ended before the disk and the
// restart's pending deletions are looked at. A file the test holds open stands for whatever keeps
// a folder from going now. The reboot marker is machine-wide: these tests run alone.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

const wchar_t kRebootMarker[] = L"SOFTWARE\\Velmor\\Reboot";

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());   // the paths here are ASCII
}

// A file in a folder that nobody can delete while the test holds it.
class CHeldFile {
public:
    explicit CHeldFile(const std::wstring& path)
        : m_path(path),
          m_file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_TRUE(m_file.IsValid()) << Narrow(path);
    }
    void Release() { m_file.Close(); }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    qlLib::CFileHandle m_file;
};

class CacheRemoval : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        setup = app + L"\\setup.exe";
        ASSERT_TRUE(product.Make(ToWinePath(STUBPROBE_EXE_UNIX_PATH), setup));
        productFolder = product.siloFolder + L"\\" + product.product;
    }
    void TearDown() override {
        FinishDeleteModeCopies(product);
        CInstallerTest::TearDown();
    }

    // One run with this engine script; its delete-mode copies have ended afterwards.
    DWORD RunWith(const std::string& script, const std::wstring& arguments) {
        ScriptEngine(script);
        const DWORD code = Run(setup, arguments);
        FinishDeleteModeCopies(product);
        return code;
    }
    // A first quiet run that leaves a complete cache.
    void Install() {
        ASSERT_EQ(RunWith("[Engine]\r\nWriteComplete=1\r\n", L"/qn"), 0u);
        ASSERT_TRUE(Exists(product.cache + L"\\complete.dat"));
    }
    // A follow-up command (EchoArgs) that exits with code.
    static std::string FollowUp(const char* code) {
        return "0=s:\"" + Narrow(ToWinePath(ECHOARGS_EXE_UNIX_PATH)) + "\" " + code + "\r\n";
    }

    std::wstring setup, productFolder;
};

}  // namespace

TEST_F(CacheRemoval, TheResultDecidesWhatGoesNowAndWhatAtTheRestart) {
    // A failure after which nothing is retried, with the removal asked for: the cache goes now.
    EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n3=b:1\r\n6=b:1\r\n", L"/qn"), 0x80047C02u);
    EXPECT_FALSE(Exists(product.cache));
    EXPECT_FALSE(IsPendingDeletion(product.cache));

    // A follow-up that asks for the removal: after a plain exit the cache goes now...
    EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x00047C02\r\n[Results]\r\n" + FollowUp("0"), L"/qn"), 0u);
    EXPECT_FALSE(Exists(product.cache));
    // ...unless the command says to keep it...
    EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x00047C02\r\n[Results]\r\n" + FollowUp("0x80047C13"), L"/qn"),
              0x80047C13u);
    ASSERT_TRUE(Exists(product.cache + L"\\engine.dll"));
    // ...and after a command that restarts, whatever cannot go now goes at the restart.
    {
        CHeldFile held(product.cache + L"\\held-follow-up.txt");
        EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x00047C02\r\n[Results]\r\n" + FollowUp("0x00047C04"), L"/qn"),
                  0x80070669u);
        EXPECT_FALSE(Exists(product.cache + L"\\engine.dll"));
        EXPECT_TRUE(IsPendingDeletion(held.Path()));
    }

    // Other results hand the whole silo folder to delete mode: now, or at a restart the run asks for.
    ::DeleteFileW((product.cache + L"\\held-follow-up.txt").c_str());
    EXPECT_EQ(RunWith("[Engine]\r\n[Results]\r\n3=b:1\r\n", L"/qn"), 0u);
    EXPECT_FALSE(Exists(product.siloFolder));
    {
        EXPECT_EQ(RunWith("[Engine]\r\n", L"/qn"), 0u);
        CHeldFile held(product.cache + L"\\held-silo.txt");
        EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x80070669\r\n[Results]\r\n3=b:1\r\n", L"/qn"), 0x80070669u);
        EXPECT_NE(product.RunLog().find(L"Information : deleting folder (reboot): " + product.siloFolder),
                  std::wstring::npos);
        EXPECT_TRUE(IsPendingDeletion(held.Path()));
        EXPECT_TRUE(IsPendingDeletion(product.siloFolder));
    }
}

TEST_F(CacheRemoval, AQuietRunOverACompleteCacheLeavesWhatIsHeldToTheRestart) {
    Install();
    {
        CHeldFile held(product.cache + L"\\held-quiet.txt");
        EXPECT_EQ(RunWith("[Engine]\r\n[Results]\r\n3=b:1\r\n", L"/x /qn"), 0u);
        EXPECT_NE(product.RunLog().find(L"Information : deleting folder: " + product.cache + L" (reboot: 1)"),
                  std::wstring::npos);
        EXPECT_FALSE(Exists(product.cache + L"\\engine.dll"));
        EXPECT_TRUE(IsPendingDeletion(held.Path()));
        EXPECT_TRUE(IsPendingDeletion(product.cache));
    }

    // With IGNOREADDONS the product's folder goes, every version below it.
    ::DeleteFileW((product.cache + L"\\held-quiet.txt").c_str());
    Install();
    ASSERT_TRUE(::CreateDirectoryW((productFolder + L"\\0.9.0.0").c_str(), nullptr));
    CHeldFile held(productFolder + L"\\0.9.0.0\\held.txt");
    EXPECT_EQ(RunWith("[Engine]\r\n[Results]\r\n3=b:1\r\n", L"/x /qn /IGNOREADDONS"), 0u);
    EXPECT_FALSE(Exists(product.cache));
    EXPECT_TRUE(IsPendingDeletion(held.Path()));
    EXPECT_TRUE(IsPendingDeletion(productFolder));
}

TEST_F(CacheRemoval, WithoutACopyToHandTheRemovalToTheRestartIsMarkedPending) {
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kRebootMarker);
    // A cache whose stub was emptied (its settings are rewritten in place, so the extraction
    // marker vouches for its name only): no delete-mode copy can be started.
    ASSERT_EQ(RunWith("[Engine]\r\n", L"/qn"), 0u);
    {
        qlLib::CFileHandle stub(::CreateFileW((product.cache + L"\\InstStub.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                              TRUNCATE_EXISTING, 0, nullptr));
        ASSERT_TRUE(stub.IsValid());
    }
    CHeldFile held(product.cache + L"\\held-no-copy.txt");
    EXPECT_EQ(RunWith("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n3=b:1\r\n6=b:1\r\n", L"/qn"), 0x80047C02u);
    const bool marked = ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kRebootMarker) == ERROR_SUCCESS;
    EXPECT_TRUE(marked);
    EXPECT_NE(product.RunLog().find(L"Information : set reboot flag"), std::wstring::npos);
    EXPECT_FALSE(Exists(product.cache + L"\\engine.dll"));
    EXPECT_TRUE(IsPendingDeletion(held.Path()));
}
