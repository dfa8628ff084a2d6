// The failure count under HKLM "Software\Velmor\Install": a failed run adds one, a successful
// run removes it, some results are never counted. Every stub run touches the count, so these
// tests run alone (RUN_SERIAL).
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/RegKey.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The count, or -1 when there is none.
long FailureCount() {
    qlLib::CRegKey key;
    DWORD count = 0;
    if (!key.Open(HKEY_LOCAL_MACHINE, L"Software\\Velmor\\Install", KEY_READ) || !key.QueryDWORD(L"Count", count))
        return -1;
    return static_cast<long>(count);
}

class FailureCountTest : public CInstallerTest {
protected:
    static std::wstring MiniStub() { return ToWinePath(STUBPROBE_EXE_UNIX_PATH); }

    const std::wstring& guid = product.silo;
    const std::wstring& installerRoot = product.installerRoot;
};

}  // namespace

TEST_F(FailureCountTest, BadProductSettingsFailWithTheirCodeAndAreCountedOnce) {
    struct Case {
        const wchar_t* name;
        DWORD code;
        const wchar_t* line;
        std::function<void(TARN::CFileDataExtender&)> fill;
    };
    const Case cases[] = {
        {L"no product", 0x80047D72, L"ProductID not set in Embedded Data",
         [this](TARN::CFileDataExtender& s) { product.DefaultSettings(s), s.RemoveData(0); }},
        {L"product climbs out", 0x80047D72, L"ProductID is not a folder name",
         [this](TARN::CFileDataExtender& s) { product.DefaultSettings(s), s.SetData(0, L"..\\..\\Escaped"); }},
        {L"no silo", 0x80047C0D, L"isolation guid not found. exit",
         [this](TARN::CFileDataExtender& s) { product.DefaultSettings(s), s.RemoveData(9); }},
        {L"silo no guid", 0x80047C0D, L"SetSiloID failed: not-a-guid",
         [this](TARN::CFileDataExtender& s) { product.DefaultSettings(s), s.SetData(9, L"not-a-guid"); }},
        {L"no registry root", 0x80047C0D, L"InitializeEmbeddedData(1648) : isolation guid not found",
         [this](TARN::CFileDataExtender& s) { product.DefaultSettings(s), s.RemoveData(18); }},
    };
    for (const Case& c : cases) {
        const std::wstring setup = MakeInstaller(MiniStub(), c.fill, std::wstring(c.name) + L".exe");
        const long before = FailureCount();
        // The run's log folder is found through the silo: the command line names it.
        EXPECT_EQ(Run(setup, L"/qn /PRODID " + guid), c.code) << c.name;
        EXPECT_EQ(FailureCount(), before < 0 ? 1 : before + 1) << c.name;
        EXPECT_NE(product.RunLog().find(c.line), std::wstring::npos) << c.name;
    }
    EXPECT_FALSE(Exists(installerRoot + L"\\Escaped"));

    // A block that cannot be read: an unknown version in its header.
    const std::wstring setup = MakeInstaller(MiniStub(), CTestInstaller::Fill(), L"unreadable.exe");
    DWORD position = 0;
    {
        TARN::CFileDataExtender block;
        ASSERT_TRUE(block.Initialize(setup.c_str(), true));
        position = block.GetStreamPos();
        ASSERT_NE(position, TARN::CFileDataExtender::kNoStream);
    }
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(setup, bytes));
    bytes[position + 8] = 7;
    ASSERT_TRUE(WriteFileBytes(setup, bytes.data(), bytes.size()));
    const long before = FailureCount();
    EXPECT_EQ(Run(setup, L"/qn /PRODID " + guid), 0x80047D71u);
    EXPECT_EQ(FailureCount(), before < 0 ? 1 : before + 1);
    const std::wstring log = product.RunLog();
    EXPECT_NE(log.find(L"InitializeEmbeddedData(1605) : failed to initialize data extender"), std::wstring::npos);
    EXPECT_NE(log.find(L"FAILURE: Hint: 6, HR: 0x80047d71"), std::wstring::npos);
}

TEST_F(FailureCountTest, EngineRunsCountFailuresOnceAndSuccessesClearTheCount) {
    const std::wstring setup = MakeInstaller(MiniStub());
    // A failure with no retry: counted once, with the hint the engine gave.
    ScriptEngine("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n7=d:21\r\n");
    long before = FailureCount();
    EXPECT_EQ(Run(setup, L"/qn"), 0x80047C02u);
    EXPECT_EQ(FailureCount(), before < 0 ? 1 : before + 1);
    EXPECT_NE(product.RunLog().find(L"FAILURE: Hint: 21, HR: 0x80047c02"), std::wstring::npos);

    // A user's cancel and a missing signature are never counted.
    for (const char* result : {"0x80070642", "0x800B0100"}) {
        ScriptEngine(std::string("[Engine]\r\nStartResult=") + result + "\r\n");
        before = FailureCount();
        Run(setup, L"/qn");
        EXPECT_EQ(FailureCount(), before) << result;
    }

    // A success removes the count.
    ScriptEngine("[Engine]\r\n");
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    EXPECT_EQ(FailureCount(), -1);
}
