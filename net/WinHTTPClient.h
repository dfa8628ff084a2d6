#pragma once
// A small HTTP client over WinHTTP for one server: one session and connection, POST requests to
// the URL's path, the proxy of the shared component set's settings store applied to each request.
// Synchronous (Query, then GetStatus and GetResponse) or asynchronous (a status callback drives
// each request and reports to a callback object).
#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "package/DataStream.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"

namespace TARN {

// Receives the results of asynchronous requests, on WinHTTP's threads.
class IWinHTTPClientCallback : public IUnknown {
public:
    // 3: a failed request: the WinHTTP status and its information (a WINHTTP_ASYNC_RESULT, or
    // the secure-failure flags).
    virtual void STDMETHODCALLTYPE OnError(HINTERNET request, DWORD status, const void* information, DWORD length) = 0;
    // 4: the whole body, once it has been read.
    virtual void STDMETHODCALLTYPE OnResponse(HINTERNET request, const BYTE* body, DWORD length) = 0;
    // 5: the status code and the raw headers (CR LF separated).
    virtual void STDMETHODCALLTYPE OnHeaders(HINTERNET request, DWORD statusCode, const wchar_t* headers) = 0;
    // 6, 7
    virtual void STDMETHODCALLTYPE OnSendComplete(HINTERNET request) = 0;
    virtual void STDMETHODCALLTYPE OnReadComplete(HINTERNET request) = 0;
};

class CWinHTTPClient {
public:
    // Largest piece read per notification in asynchronous mode.
    static const DWORD kMaxAsyncRead = 0x4000;

    CWinHTTPClient();
    ~CWinHTTPClient();
    CWinHTTPClient(const CWinHTTPClient&) = delete;
    CWinHTTPClient& operator=(const CWinHTTPClient&) = delete;

    // "http://host[:port]/path?query" or "https://...": the path is the object of every request.
    HRESULT InitializeFromURL(const wchar_t* url);
    HRESULT Initialize(const wchar_t* host, DWORD port, bool secure);
    // The same in asynchronous mode: every request reports to callback.
    HRESULT InitializeAsyncFromURL(const wchar_t* url, IWinHTTPClientCallback* callback);

    // Sends a POST with body (may be empty); request is the handle for the calls below.
    HRESULT Query(const void* body, DWORD length, HINTERNET& request);
    HRESULT GetStatus(HINTERNET request, DWORD& statusCode);
    HRESULT GetResponse(HINTERNET request, qlLib::IDataStream* stream);
    // The body in a memory stream; null (with success) when the body is empty.
    HRESULT GetResponseInMemory(HINTERNET request, qlLib::IDataStream** stream);
    void CloseRequest(HINTERNET request);
    void Close();

    // Options, set before Query.
    void SetDisableKeepAlive(bool disable) { m_disableKeepAlive = disable; }
    void SetRelaxedCertificates(bool relaxed) { m_relaxedCertificates = relaxed; }
    void SetIdentityHeaders(bool send) { m_identityHeaders = send; }
    // Seconds for resolving, connecting, sending and receiving; -1 for no limit. Initialize
    // resets it to 2 seconds; it takes effect when a session is opened (an asynchronous
    // initialisation opens its own after Initialize).
    void SetTimeout(LONG seconds) { m_timeout = seconds; }
    // Most body bytes a response may deliver: a synchronous read stops there and keeps what it
    // has, an asynchronous one reports an error. 0 for no limit.
    void SetResponseLimit(DWORD bytes) { m_responseLimit = bytes; }
    // A synchronous response read that is still going after this many milliseconds from now
    // fails with ERROR_TIMEOUT; every single wait is further bounded by the time-out. 0 for none.
    void SetDeadline(DWORD milliseconds);
    bool SetUserAgentSuffix(const wchar_t* suffix);

    bool IsSecure() const { return m_secure; }
    bool UsesProxy() const { return m_useProxy; }
    const std::wstring& UserAgent() const { return m_userAgent; }

private:
    // Shared by the client's map and, in asynchronous mode, by WinHTTP, which holds its own
    // reference until the handle's closing notification: a notification never meets a freed
    // context, and none reaches the client once it let the request go (owner is then null).
    struct CRequestContext {
        qlLib::CComPtr<IWinHTTPClientCallback> callback;
        std::vector<BYTE> response;
        std::vector<BYTE> body;
        qlLib::CKernelHandle closeEvent;
        qlLib::CCriticalSection closeLock;
        bool closing = false;
        std::wstring requestId;
        // Held while a notification runs the client's code; taken to clear owner.
        qlLib::CCriticalSection notifyLock;
        CWinHTTPClient* owner = nullptr;
    };
    using CRequestRef = std::shared_ptr<CRequestContext>;

    HRESULT InitializeUrl(const wchar_t* url, bool asynchronous);
    HRESULT InitializeWinHttp();
    HRESULT LoadProxySettings();
    HRESULT ApplyProxy(HINTERNET request);
    HRESULT ApplyAutoProxy(HINTERNET request, const std::wstring& url, DWORD flags, const wchar_t* configUrl);
    HRESULT MakeRequestId(std::wstring& requestId);
    void AddIdentityHeaders(HINTERNET request, const std::wstring& requestId);
    CRequestContext* FindRequest(HINTERNET request);
    bool DeadlinePassed() const;
    void CloseInternetHandle(HINTERNET& handle);

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                        DWORD length);
    void OnStatus(HINTERNET request, CRequestContext* context, DWORD status, LPVOID information, DWORD length);

    bool m_asynchronous = false;
    bool m_useProxy = false;
    bool m_disableKeepAlive = false;
    bool m_proxyAutoDetect = false;
    bool m_proxyAutoConfig = false;
    bool m_manualProxy = false;
    bool m_relaxedCertificates = false;
    bool m_setResolveTimeout = true;
    bool m_identityHeaders = false;
    std::wstring m_host;
    std::wstring m_userAgent;
    std::wstring m_urlPath;
    std::wstring m_autoConfigUrl;
    std::wstring m_proxyPassword;
    std::wstring m_proxyUserName;
    std::wstring m_proxyServer;
    std::wstring m_userAgentSuffix;
    DWORD m_proxyPort = 0;
    DWORD m_serverPort = INTERNET_DEFAULT_HTTP_PORT;
    LONG m_timeout = 2;
    DWORD m_responseLimit = 0;
    bool m_hasDeadline = false;
    DWORD m_deadline = 0;   // tick count
    qlLib::CCriticalSection m_lock;
    std::wstring m_serviceName;
    HINTERNET m_session = nullptr;
    HINTERNET m_connection = nullptr;
    std::map<HINTERNET, CRequestRef> m_requests;
    bool m_secure = false;
    qlLib::CComPtr<IWinHTTPClientCallback> m_callback;
};

}  // namespace TARN
