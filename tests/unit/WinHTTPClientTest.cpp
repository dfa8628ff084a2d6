// The HTTP client against a server on 127.0.0.1: requests and answers, the proxy from the
// settings store, the asynchronous mode, and the status ping's token and canonical query.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "BuildPaths.h"
#include "net/StatusPing.h"
#include "net/WinHTTPClient.h"
#include "runtime/Crc32.h"
#include "runtime/Isolation.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"
#include "system/Utils.h"

using namespace testing_support;
using TARN::CWinHTTPClient;

namespace {

// A product silo of the test's own; with settings, its %QLROOT% holds the settings store.
class WinHTTPClient : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qlLib::CIsolation::SetSiloID(root.Silo().c_str()));
        ASSERT_TRUE(server.Start());
    }
    void UseSettings(const std::string& ini) {
        const std::wstring folder = temp.Join(L"qlroot");
        ::CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(::CopyFileW((ToWinePath(SETTINGSSTORE_UNIX_DIR) + L"\\qlSet.dll").c_str(),
                                (folder + L"\\qlSet.dll").c_str(), FALSE));
        ASSERT_TRUE(WriteTextFile(folder + L"\\qlSet.ini", "[Connections\\Proxy\\HTTP]\r\n" + ini));
        ASSERT_TRUE(root.SetString(L"Quillon\\PathExpansionMap", L"qlroot", folder));
    }
    std::wstring Url(const std::wstring& path) { return L"http://" + server.Host() + path; }

    CTestIsolationRoot root;
    CTempFolder temp;
    CLocalHttpServer server;
};

class CCollectingCallback final : public TARN::IWinHTTPClientCallback {
public:
    CCollectingCallback() : done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    void STDMETHODCALLTYPE OnError(HINTERNET, DWORD, const void*, DWORD) override {
        errors++;
        ::SetEvent(done.Get());
    }
    void STDMETHODCALLTYPE OnResponse(HINTERNET, const BYTE* data, DWORD length) override {
        body.assign(reinterpret_cast<const char*>(data), length);
        ::SetEvent(done.Get());
    }
    void STDMETHODCALLTYPE OnHeaders(HINTERNET, DWORD code, const wchar_t* raw) override {
        status = code;
        headers = raw;
    }
    void STDMETHODCALLTYPE OnSendComplete(HINTERNET) override { sent++; }
    void STDMETHODCALLTYPE OnReadComplete(HINTERNET) override { reads++; }

    qlLib::CKernelHandle done;
    volatile LONG errors = 0, sent = 0, reads = 0;
    DWORD status = 0;
    std::wstring headers;
    std::string body;
};

std::string Read(qlLib::IDataStream* stream) {
    ULONGLONG size = 0;
    if (!stream || !stream->GetSize(&size) || !stream->Seek(0)) return "<none>";
    std::string text(static_cast<size_t>(size), '\0');
    return size == 0 || stream->Read(&text[0], static_cast<DWORD>(size)) ? text : "<unreadable>";
}

}  // namespace

TEST_F(WinHTTPClient, PostsToTheUrlsPathAndReadsTheAnswer) {
    CCaptureProcessTrace trace;
    server.Respond(200, "pong");
    CWinHTTPClient client;
    client.SetDisableKeepAlive(true);
    // No settings store: no proxy, and the client still works.
    ASSERT_EQ(client.InitializeFromURL(Url(L"/n/p?a=1&b=x%20y").c_str()), S_OK);
    EXPECT_FALSE(client.IsSecure());
    EXPECT_FALSE(client.UsesProxy());
    EXPECT_TRUE(trace.Contains(L"failed to create settings Manager: 0x80010300"));
    HINTERNET request = nullptr;
    ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
    DWORD status = 0;
    ASSERT_EQ(client.GetStatus(request, status), S_OK);
    EXPECT_EQ(status, 200u);
    qlLib::CComPtr<qlLib::IDataStream> body;
    ASSERT_EQ(client.GetResponseInMemory(request, body.Receive()), S_OK);
    EXPECT_EQ(Read(body.Get()), "pong");
    client.CloseRequest(request);

    ASSERT_EQ(server.Requests().size(), 1u);
    const CLocalHttpServer::CRequest sent = server.Requests()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/n/p?a=1&b=x%20y");
    EXPECT_NE(sent.headers.find("User-Agent: TARN_STUB\r\n"), std::string::npos) << sent.headers;
    EXPECT_EQ(sent.body, "");

    // A closed request is no longer known.
    EXPECT_EQ(client.GetStatus(request, status), E_INVALIDARG);
    qlLib::CComPtr<qlLib::IDataStream> none;
    EXPECT_EQ(client.GetResponseInMemory(request, none.Receive()), E_INVALIDARG);

    // A body goes out as it is; an empty answer hands out nothing.
    server.Respond(204, "");
    ASSERT_EQ(client.Query("data", 4, request), S_OK);
    ASSERT_EQ(client.GetStatus(request, status), S_OK);
    EXPECT_EQ(status, 204u);
    ASSERT_EQ(client.GetResponseInMemory(request, none.Receive()), S_OK);
    EXPECT_FALSE(none);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1].body, "data");
}

TEST_F(WinHTTPClient, AnHttpsUrlOpensSecureRequestsAndAnUnreachableServerFailsTheQuery) {
    CCaptureProcessTrace trace;
    CWinHTTPClient client;
    const std::wstring closed = L"127.0.0.1:" + std::to_wstring(CLocalHttpServer::ClosedPort());
    ASSERT_EQ(client.InitializeFromURL((L"https://" + closed + L"/n/p").c_str()), S_OK);
    EXPECT_TRUE(client.IsSecure());
    HINTERNET request = nullptr;
    const HRESULT hr = client.Query(nullptr, 0, request);
    EXPECT_TRUE(trace.Contains(L"Using SSL protocol"));
    if (SUCCEEDED(hr)) {
        DWORD status = 0;
        EXPECT_EQ(HRESULT_FACILITY(client.GetStatus(request, status)), FACILITY_WIN32);
    } else {
        EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
    }
    EXPECT_EQ(client.InitializeFromURL(L"not a url"), static_cast<HRESULT>(0x80072EE6));   // unrecognised scheme
}

// The test server also serves as the proxy. Wine accepts a request's proxy option without using
// it, so there the request goes straight to the server; on Windows it names the whole URL.
TEST_F(WinHTTPClient, AManualProxyIsAppliedToEachRequest) {
    UseSettings("Manual_Proxy_Enabled=dword:1\r\nManual_Proxy_Server=ansi:127.0.0.1\r\nManual_Proxy_Port=dword:" +
                std::to_string(server.Port()) + "\r\nUsername=string:user\r\nPassword=string:secret\r\n");
    CCaptureProcessTrace trace;
    CWinHTTPClient client;
    ASSERT_EQ(client.InitializeFromURL(Url(L"/n/p?x=1").c_str()), S_OK);
    EXPECT_TRUE(client.UsesProxy());
    EXPECT_TRUE(trace.Contains(L"Server: 127.0.0.1, Port: " + std::to_wstring(server.Port()) + L", User: user"));
    HINTERNET request = nullptr;
    ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
    EXPECT_TRUE(trace.Contains(L"Manual proxy set: 127.0.0.1:" + std::to_wstring(server.Port())));
    EXPECT_FALSE(trace.Contains(L"WinHttpSetCredentials"));
    EXPECT_FALSE(trace.Contains(L"secret"));   // the password is never logged
    DWORD status = 0;
    ASSERT_EQ(client.GetStatus(request, status), S_OK);
    EXPECT_EQ(status, 200u);
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string target = server.Requests()[0].target;
    EXPECT_EQ(target.substr(target.size() - 8), "/n/p?x=1") << target;
}

TEST_F(WinHTTPClient, AutoDetectionComesFirstAndTheManualServerOnlyWhenItFindsNone) {
    // No proxy can be detected here: the manual server is used.
    UseSettings("Auto_Detect_DHCP_Enabled=dword:1\r\nManual_Proxy_Enabled=dword:1\r\nManual_Proxy_Server=string:127.0.0.1"
                "\r\nManual_Proxy_Port=dword:" + std::to_string(server.Port()) + "\r\n");
    CCaptureProcessTrace trace;
    CWinHTTPClient client;
    ASSERT_EQ(client.InitializeFromURL(Url(L"/n/p").c_str()), S_OK);
    HINTERNET request = nullptr;
    ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
    EXPECT_FALSE(trace.Contains(L"AutoProxy set"));
    EXPECT_TRUE(trace.Contains(L"Manual proxy set: 127.0.0.1:" + std::to_wstring(server.Port())));
    DWORD status = 0;
    ASSERT_EQ(client.GetStatus(request, status), S_OK);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(WinHTTPClient, ProxySettingsThatCannotBeReadMeanNoProxy) {
    CCaptureProcessTrace trace;
    {
        // A server without port is taken on port 80.
        UseSettings("Manual_Proxy_Enabled=dword:1\r\nManual_Proxy_Server=string:proxy.invalid\r\n");
        CWinHTTPClient client;
        ASSERT_EQ(client.InitializeFromURL(Url(L"/").c_str()), S_OK);
        EXPECT_TRUE(client.UsesProxy());
        EXPECT_TRUE(trace.Contains(L"Server is specified, but no port, assuming port 80"));
        EXPECT_TRUE(trace.Contains(L"Server: proxy.invalid, Port: 80, User: "));
    }
    {
        UseSettings("Manual_Proxy_Enabled=dword:1\r\nManual_Proxy_Server=fail:0x80004005\r\n");
        CWinHTTPClient client;
        ASSERT_EQ(client.InitializeFromURL(Url(L"/").c_str()), S_OK);
        EXPECT_FALSE(client.UsesProxy());
        EXPECT_TRUE(trace.Contains(L"failed to get server: 0x80004005"));
        EXPECT_TRUE(trace.Contains(L"LoadProxySettings failed with 0x80004005 assuming no proxy"));
        HINTERNET request = nullptr;
        ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
        DWORD status = 0;
        EXPECT_EQ(client.GetStatus(request, status), S_OK);
    }
}

TEST_F(WinHTTPClient, AsynchronousRequestsReportToTheirCallback) {
    server.Respond(200, std::string(40000, 'x'));
    CCollectingCallback callback;
    CWinHTTPClient client;
    ASSERT_EQ(client.InitializeAsyncFromURL(Url(L"/async").c_str(), &callback), S_OK);
    HINTERNET request = nullptr;
    ASSERT_EQ(client.Query("abc", 3, request), S_OK);
    ASSERT_EQ(::WaitForSingleObject(callback.done.Get(), 20000), WAIT_OBJECT_0);
    EXPECT_EQ(callback.errors, 0);
    EXPECT_EQ(callback.sent, 1);
    EXPECT_EQ(callback.status, 200u);
    EXPECT_NE(callback.headers.find(L"Content-Length: 40000"), std::wstring::npos);
    EXPECT_EQ(callback.body, std::string(40000, 'x'));
    EXPECT_GE(callback.reads, 3);   // read in pieces
    DWORD status = 0;
    EXPECT_EQ(client.GetStatus(request, status), E_UNEXPECTED);   // not in this mode
    client.CloseRequest(request);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].body, "abc");
}

TEST_F(WinHTTPClient, AResponseEndsAtItsLimitAndByItsDeadline) {
    // Megabytes where a few bytes are expected: the read stops at the limit with what it has.
    server.Respond(200, std::string(1 << 20, 'x'));
    {
        // Without keep-alive the connection goes with the request, and the server's send with it.
        CWinHTTPClient client;
        client.SetDisableKeepAlive(true);
        ASSERT_EQ(client.InitializeFromURL(Url(L"/big").c_str()), S_OK);
        client.SetResponseLimit(4096);
        HINTERNET request = nullptr;
        ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
        DWORD status = 0;
        ASSERT_EQ(client.GetStatus(request, status), S_OK);
        qlLib::CComPtr<qlLib::IDataStream> body;
        ASSERT_EQ(client.GetResponseInMemory(request, body.Receive()), S_OK);
        ULONGLONG size = 0;
        ASSERT_TRUE(body && body->GetSize(&size));
        EXPECT_EQ(size, 4096u);
    }
    // A body promised at 100 MB that comes one byte a second: given up at the deadline, although
    // no single wait ever reaches the time-out.
    server.Trickle("HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n", 1000);
    CWinHTTPClient client;
    client.SetDisableKeepAlive(true);
    ASSERT_EQ(client.InitializeFromURL(Url(L"/slow").c_str()), S_OK);
    client.SetDeadline(3000);
    HINTERNET request = nullptr;
    ASSERT_EQ(client.Query(nullptr, 0, request), S_OK);
    DWORD status = 0;
    ASSERT_EQ(client.GetStatus(request, status), S_OK);
    const DWORD start = ::GetTickCount();
    qlLib::CComPtr<qlLib::IDataStream> body;
    EXPECT_EQ(client.GetResponseInMemory(request, body.Receive()), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_LT(::GetTickCount() - start, 6000u);
}

TEST(StatusPing, TheTokenInterleavesTheQuerysCrcAndTheTime) {
    const std::wstring query = L"?module=9003&error=7";
    const std::string narrow(query.begin(), query.end());
    wchar_t crc[9];
    swprintf(crc, 9, L"%08x", static_cast<unsigned>(qlLib::Crc32(narrow.data(), narrow.size())));
    std::wstring token;
    ASSERT_TRUE(TARN::BuildRequestToken(query, 0x12345678u, token));
    ASSERT_EQ(token.size(), 17u);
    const std::wstring c(crc), t = L"12345678";
    EXPECT_EQ(token, L"0" + c.substr(0, 3) + t.substr(0, 3) + c.substr(3, 2) + t.substr(3, 2) + c.substr(5, 2) +
                         t.substr(5, 3) + c.substr(7, 1));
}

TEST(StatusPing, AQueryIsEscapedAndKeepsItsForm) {
    std::wstring query = L"?product=Velmor Sample&version=1.0";
    ASSERT_TRUE(TARN::CUtils::CanonicalizePartialURL(query));
    EXPECT_EQ(query, L"?product=Velmor%20Sample&version=1.0");
    std::wstring bare = L"a=b c";
    ASSERT_TRUE(TARN::CUtils::CanonicalizePartialURL(bare));
    EXPECT_EQ(bare, L"a=b%20c");
    std::wstring full = L"http://host/x y?q=1";
    ASSERT_TRUE(TARN::CUtils::CanonicalizePartialURL(full));
    EXPECT_EQ(full, L"http://host/x%20y?q=1");
}
