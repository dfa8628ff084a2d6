// The failure count under HKLM "Software\Velmor\Install": a failed run adds one, a successful
// run removes it, some results are never counted. Every stub run touches the count, so these
// tests run alone (RUN_SERIAL).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/Crc32.h"
#include "runtime/RegKey.h"
#include "stub/InstallManager.h"
#include "support/LocalHttpServer.h"
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

// The failure ping: one POST without body to "/n/p" on the test statistics server, else on the
// production one, all facts in the query and a token whose CRC covers it.
namespace {

class FailurePing : public FailureCountTest {
protected:
    void TearDown() override {
        PointStatisticsServersAt(L"127.0.0.1:9", L"127.0.0.1:9");
        FailureCountTest::TearDown();
    }
    // A run that fails in its settings (hint 6, 0x80047D72), with the real stub's version.
    std::wstring FailingSetup() {
        return MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), [this](TARN::CFileDataExtender& s) {
            product.DefaultSettings(s);
            s.RemoveData(0);
        });
    }
    static std::string QueryOf(const CLocalHttpServer::CRequest& request) {
        const size_t at = request.target.find('?');
        return at == std::string::npos ? std::string() : request.target.substr(at);
    }
};

}  // namespace

TEST_F(FailurePing, AFailedRunReportsOnceWithItsFactsAndAToken) {
    CLocalHttpServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(PointStatisticsServersAt(server.Host(), L"127.0.0.1:9"));
    const std::wstring setup = FailingSetup();
    const long before = FailureCount();
    EXPECT_EQ(Run(setup, L"/qn /PRODID " + guid), 0x80047D72u);
    ASSERT_EQ(server.Requests().size(), 1u);
    const CLocalHttpServer::CRequest request = server.Requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, "");
    EXPECT_EQ(request.target.rfind("/n/p?module=9003&error=6&OS=", 0), 0u) << request.target;
    const std::string query = QueryOf(request);
    char count[32];
    snprintf(count, sizeof(count), "&d=%ld&", before < 0 ? 0 : before);
    EXPECT_NE(query.find("&a=80047D72&"), std::string::npos) << query;
    EXPECT_NE(query.find(count), std::string::npos) << query;
    EXPECT_NE(query.find("&v=9.1.0.26&"), std::string::npos) << query;
    EXPECT_NE(query.find("&product=MiniStub&"), std::string::npos) << query;
    // Module and error first, then every other fact once, in the order of their names in code
    // units (upper-case first), then the token.
    std::vector<std::string> names;
    for (size_t at = query.find('&'); at != std::string::npos; at = query.find('&', at + 1))
        names.push_back(query.substr(at + 1, query.find('=', at) - at - 1));
    const std::vector<std::string> expected = {"error", "OS", "a", "b", "c", "d", "language", "product", "v",
                                               "version", "zzz"};
    EXPECT_EQ(names, expected) << query;
    EXPECT_EQ(query.rfind("?module=9003&", 0), 0u) << query;
    // The version comes last, then the token: "0" and 16 hexadecimal digits.
    const size_t token = query.find("&zzz=");
    ASSERT_NE(token, std::string::npos) << query;
    EXPECT_EQ(query.rfind("&version=9.1.0.26", token), token - 17) << query;
    const std::string value = query.substr(token + 5);
    ASSERT_EQ(value.size(), 17u) << value;
    EXPECT_EQ(value[0], '0');
    char crc[9];
    snprintf(crc, sizeof(crc), "%08x", static_cast<unsigned>(qlLib::Crc32(query.data(), token)));
    EXPECT_EQ(value.substr(1, 3) + value.substr(7, 2) + value.substr(11, 2) + value.substr(16, 1), crc) << query;
}

TEST_F(FailurePing, TheProductionServerIsTriedWhenTheTestServerCannotBeReached) {
    CLocalHttpServer server;
    ASSERT_TRUE(server.Start());
    const std::wstring closed = L"127.0.0.1:" + std::to_wstring(CLocalHttpServer::ClosedPort());
    ASSERT_TRUE(PointStatisticsServersAt(closed, server.Host()));
    const std::wstring setup = FailingSetup();
    EXPECT_EQ(Run(setup, L"/qn /PRODID " + guid), 0x80047D72u);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_NE(QueryOf(server.Requests()[0]).find("&zzz="), std::string::npos);

    // A server that is there but busy ends the ping: the second server is not asked.
    CLocalHttpServer busy;
    ASSERT_TRUE(busy.Start());
    busy.Respond(503, "busy");
    ASSERT_TRUE(PointStatisticsServersAt(busy.Host(), server.Host()));
    EXPECT_EQ(Run(setup, L"/qn /PRODID " + guid), 0x80047D72u);
    EXPECT_EQ(busy.Requests().size(), 1u);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_NE(product.RunLog().find(L"server found but ping aborted"), std::wstring::npos);
}

TEST_F(FailurePing, AnEngineFailureIsReportedOnceEvenWhenTheRunMeetsItTwice) {
    CLocalHttpServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(PointStatisticsServersAt(server.Host(), L"127.0.0.1:9"));
    const std::wstring setup = MakeInstaller(MiniStub());
    ScriptEngine("[Engine]\r\nStartResult=0x80047C02\r\n[Results]\r\n7=d:21\r\n");
    EXPECT_EQ(Run(setup, L"/qn"), 0x80047C02u);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_NE(QueryOf(server.Requests()[0]).find("error=21&"), std::string::npos);
    // A success sends nothing.
    ScriptEngine("[Engine]\r\n");
    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(FailurePing, AServerThatNeverAnswersCannotHoldTheRun) {
    // Headers that never end, one byte a second: no single wait reaches the client's time-out.
    CLocalHttpServer slow;
    ASSERT_TRUE(slow.Start());
    slow.Trickle("HTTP/1.1 200 OK\r\nX-Slow: ", 1000);
    ASSERT_TRUE(PointStatisticsServersAt(slow.Host(), slow.Host()));
    struct CShortDeadline : TARN::CInstallManager {
        CShortDeadline() { m_pingDeadlineMs = 3000; }
    } run;
    const DWORD start = ::GetTickCount();
    run.SendPing(6, static_cast<HRESULT>(0x80047D72), 0);
    EXPECT_LT(::GetTickCount() - start, 3000u + 4000u + 1500u);
    EXPECT_EQ(slow.Requests().size(), 1u);
}
