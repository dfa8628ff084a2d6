#include "net/WinHTTPClient.h"

#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <new>

#include "components/ComponentInterfaces.h"
#include "components/SharedComponent.h"
#include "net/WinHttpApi.h"
#include "package/MemoryStreamImpl.h"
#include "runtime/Isolation.h"
#include "runtime/RegistryRead.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const wchar_t kUserAgent[] = L"TARN_STUB";
const wchar_t kProxyNode[] = L"Connections\\Proxy\\HTTP";
const REGSAM kIsolationKeyAccess = KEY_READ | KEY_WOW64_64KEY;

HRESULT FromWin32(DWORD error) {
    return error ? static_cast<HRESULT>(0x80070000 | (error & 0xFFFF)) : E_FAIL;
}

HRESULT LastError() {
    return FromWin32(::GetLastError());
}

// A string value of a settings node, wide whatever the store keeps.
HRESULT ReadSettingString(ISettingsValues* values, const wchar_t* name, std::wstring& text) {
    qlLib::CComPtr<ISettingsText> value;
    HRESULT hr = values->GetString(name, value.Receive());
    if (FAILED(hr)) return hr;
    if (!value || !value->Text()) return E_FAIL;
    try {
        if (value->IsWide()) {
            text = static_cast<const wchar_t*>(value->Text());
            return S_OK;
        }
        const char* ansi = static_cast<const char*>(value->Text());
        const int length = ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
        if (length <= 0) return LastError();
        text.assign(static_cast<size_t>(length), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, ansi, -1, &text[0], length);
        text.resize(static_cast<size_t>(length - 1));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// The isolation root of the shared component set, opened for reading.
bool OpenIsolationRoot(qlLib::CRegKeyHandle& key, LONG& error, std::wstring& root) {
    error = ERROR_PATH_NOT_FOUND;
    if (!qlLib::CIsolation::GetIsolationRoot(root)) return false;
    error = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, kIsolationKeyAccess, key.Receive());
    return error == ERROR_SUCCESS;
}

}  // namespace

CWinHTTPClient::CWinHTTPClient() = default;

CWinHTTPClient::~CWinHTTPClient() {
    Close();
}

bool CWinHTTPClient::SetUserAgentSuffix(const wchar_t* suffix) {
    try {
        m_userAgentSuffix = suffix ? suffix : L"";
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HRESULT CWinHTTPClient::InitializeFromURL(const wchar_t* url) {
    return InitializeUrl(url, false);
}

HRESULT CWinHTTPClient::InitializeAsyncFromURL(const wchar_t* url, IWinHTTPClientCallback* callback) {
    if (!callback) {
        TraceError(L"callback can't be NULL for async operation");
        return E_INVALIDARG;
    }
    m_callback = callback;   // the holder takes its own reference
    return InitializeUrl(url, true);
}

HRESULT CWinHTTPClient::InitializeUrl(const wchar_t* url, bool asynchronous) {
    const CWinHttpApi* api = CWinHttpApi::Get();
    if (!api || !url) return E_UNEXPECTED;
    std::wstring host, path;
    URL_COMPONENTS parts = {};
    try {
        const size_t length = wcslen(url);
        host.assign(length + 1, L'\0');
        path.assign(length + 1, L'\0');
        parts.dwStructSize = sizeof(parts);
        parts.lpszHostName = &host[0];
        parts.dwHostNameLength = static_cast<DWORD>(length + 1);
        parts.lpszUrlPath = &path[0];
        parts.dwUrlPathLength = static_cast<DWORD>(length + 1);
        if (!api->CrackUrl(url, 0, 0, &parts)) {
            const DWORD error = ::GetLastError();
            TraceError(L"WinHttpCrackUrl failed: %lu", error);
            return FromWin32(error);
        }
        host.resize(parts.dwHostNameLength);
        // The query stays part of the object: it carries the request's facts.
        path.resize(parts.dwUrlPathLength);
        m_urlPath = path;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = Initialize(host.c_str(), parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS);
    if (FAILED(hr) || !asynchronous) return hr;
    // Asynchronous requests need a session opened for them.
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        CloseInternetHandle(m_connection);
        CloseInternetHandle(m_session);
        m_asynchronous = true;
    }
    hr = InitializeWinHttp();
    if (FAILED(hr)) TraceError(L"InitializeWinHttp failed - unable to initialize WinHTTP services");
    return hr;
}

HRESULT CWinHTTPClient::Initialize(const wchar_t* host, DWORD port, bool secure) {
    // Outside the lock: closing a request waits for WinHTTP's closing notification, and the
    // notification thread must not wait for this lock meanwhile.
    Close();
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        try {
            m_host = host ? host : L"";
        } catch (const std::bad_alloc&) {
            TraceError(L"Initialize failed");
            return E_OUTOFMEMORY;
        }
        try {
            m_userAgent = kUserAgent;
            if (!m_userAgentSuffix.empty()) m_userAgent += L"//" + m_userAgentSuffix;
        } catch (const std::bad_alloc&) {
            TraceError(L"Initialize failed - cannot copy useragent");
            return E_OUTOFMEMORY;
        }
        m_serverPort = port;
        m_secure = secure;
        m_timeout = 2;
        m_asynchronous = false;
        m_useProxy = false;
    }
    HRESULT hr = InitializeWinHttp();
    if (FAILED(hr)) {
        TraceError(L"InitializeWinHttp failed - unable to initialize WinHTTP services");
        return hr;
    }
    hr = LoadProxySettings();
    if (FAILED(hr)) {
        TraceInfo(L"LoadProxySettings failed with 0x%08x assuming no proxy", hr);
        m_useProxy = false;
    }
    return S_OK;
}

HRESULT CWinHTTPClient::InitializeWinHttp() {
    const CWinHttpApi* api = CWinHttpApi::Get();
    if (!api) return E_UNEXPECTED;
    m_session = api->Open(m_userAgent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, m_asynchronous ? WINHTTP_FLAG_ASYNC : 0);
    if (!m_session) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpOpen call failed, Error=%lu", error);
        return FromWin32(error);
    }
    DWORD timeout = static_cast<DWORD>(m_timeout);
    if (m_timeout != -1) {
        TraceInfo(L"setting timeout to %lus", timeout);
        timeout *= 1000;
    }
    for (DWORD option : {WINHTTP_OPTION_CONNECT_TIMEOUT, WINHTTP_OPTION_SEND_TIMEOUT, WINHTTP_OPTION_RECEIVE_TIMEOUT}) {
        if (!api->SetOption(m_session, option, &timeout, sizeof(timeout)))
            TraceWarning(L"Could not set timeout %lu", ::GetLastError());
    }
    if (m_setResolveTimeout && !api->SetOption(m_session, WINHTTP_OPTION_RESOLVE_TIMEOUT, &timeout, sizeof(timeout)))
        TraceWarning(L"Could not set resolve timeout %lu", ::GetLastError());
    m_connection = api->Connect(m_session, m_host.c_str(), static_cast<INTERNET_PORT>(m_serverPort), 0);
    if (!m_connection) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpConnect call failed, Error=%lu", error);
        return FromWin32(error);
    }
    return S_OK;
}

HRESULT CWinHTTPClient::LoadProxySettings() {
    CSharedComponent<ISettingsManager> manager;
    HRESULT hr = manager.Create(L"qlSet.dll", CLSID_SettingsManager, IID_ISettingsManager);
    if (FAILED(hr) || !manager.Get()) {
        TraceError(L"failed to create settings Manager: 0x%08x", hr);
        return S_OK;
    }
    qlLib::CComPtr<IUnknown> node;
    hr = manager->OpenNode(kProxyNode, node.Receive());
    if (FAILED(hr) || !node) {
        TraceError(L"failed to get http settings");
        return E_FAIL;
    }
    m_useProxy = m_proxyAutoDetect = m_proxyAutoConfig = m_manualProxy = false;
    m_autoConfigUrl.clear();
    m_proxyServer.clear();
    m_proxyUserName.clear();
    m_proxyPassword.clear();
    m_proxyPort = INTERNET_DEFAULT_HTTP_PORT;
    qlLib::CComPtr<ISettingsValues> values;
    node->QueryInterface(IID_ISettingsValues, reinterpret_cast<void**>(values.Receive()));
    if (!values) {
        TraceError(L"Invalid settings object");
        return E_INVALIDARG;
    }

    DWORD flag = 0;
    if (SUCCEEDED(values->GetDword(L"Auto_Config_Enabled", &flag)) && flag) {
        std::wstring url;
        hr = ReadSettingString(values.Get(), L"Auto_Config_URL", url);
        if (hr == E_OUTOFMEMORY) {
            TraceError(L"could not get AutoConfig URL");
            return E_OUTOFMEMORY;
        }
        if (SUCCEEDED(hr)) {
            m_autoConfigUrl.swap(url);
            m_useProxy = m_proxyAutoConfig = true;
        }
    }
    flag = 0;
    if (SUCCEEDED(values->GetDword(L"Auto_Detect_DHCP_Enabled", &flag)) && flag) m_useProxy = m_proxyAutoDetect = true;
    flag = 0;
    if (FAILED(values->GetDword(L"Manual_Proxy_Enabled", &flag)) || !flag) return S_OK;

    std::wstring server, user, password;
    hr = ReadSettingString(values.Get(), L"Manual_Proxy_Server", server);
    if (hr == E_SETTING_NOT_FOUND) return S_OK;
    if (FAILED(hr)) {
        TraceError(L"failed to get server: 0x%08x", hr);
        return E_FAIL;
    }
    DWORD port = INTERNET_DEFAULT_HTTP_PORT;
    hr = values->GetDword(L"Manual_Proxy_Port", &port);
    if (hr == E_SETTING_NOT_FOUND) {
        TraceWarning(L"Server is specified, but no port, assuming port 80");
        port = INTERNET_DEFAULT_HTTP_PORT;
    } else if (FAILED(hr)) {
        TraceError(L"failed to get port: 0x%08x", hr);
        return E_FAIL;
    }
    hr = ReadSettingString(values.Get(), L"Username", user);
    if (FAILED(hr) && hr != E_SETTING_NOT_FOUND) {
        TraceError(L"failed to get username: 0x%08x", hr);
        return E_FAIL;
    }
    hr = ReadSettingString(values.Get(), L"Password", password);
    if (FAILED(hr) && hr != E_SETTING_NOT_FOUND) {
        TraceError(L"failed to get password: 0x%08x", hr);
        return E_FAIL;
    }
    try {
        m_proxyPort = port;
        m_proxyServer.swap(server);
        m_proxyUserName.swap(user);
        m_proxyPassword.swap(password);
    } catch (const std::bad_alloc&) {
        TraceError(L"Failed to set proxy settings");
        return E_OUTOFMEMORY;
    }
    m_useProxy = m_manualProxy = true;
    TraceInfo(L"Server: %s, Port: %lu, User: %s", m_proxyServer.c_str(), m_proxyPort, m_proxyUserName.c_str());
    return S_OK;
}

HRESULT CWinHTTPClient::ApplyAutoProxy(HINTERNET request, const std::wstring& url, DWORD flags,
                                       const wchar_t* configUrl) {
    const CWinHttpApi* api = CWinHttpApi::Get();
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = flags;
    options.dwAutoDetectFlags = configUrl ? 0 : WINHTTP_AUTO_DETECT_TYPE_DHCP;
    options.lpszAutoConfigUrl = configUrl;
    // Whoever answers a challenge (a man in the middle of plain HTTP) never gets the machine's logon.
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO proxy = {};
    if (!api->GetProxyForUrl(m_session, url.c_str(), &options, &proxy)) return LastError();
    if (api->SetOption(request, WINHTTP_OPTION_PROXY, &proxy, sizeof(proxy))) {
        if (!configUrl) TraceInfo(L"AutoProxy set");
    } else if (configUrl) {
        TraceError(L"WinHttpSetOption failed setting AutoProxyURL: %lu", ::GetLastError());
    } else {
        TraceError(L"WinHTTPSetOption Failed setting AutoProxy: %lu", ::GetLastError());
    }
    if (proxy.lpszProxy) ::GlobalFree(proxy.lpszProxy);
    if (proxy.lpszProxyBypass) ::GlobalFree(proxy.lpszProxyBypass);
    return S_OK;
}

HRESULT CWinHTTPClient::ApplyProxy(HINTERNET request) {
    if (!m_useProxy) return S_OK;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        if (!FindRequest(request)) {
            TraceError(L"Handle is no longer valid");
            return E_INVALIDARG;
        }
    }
    std::wstring url;
    if (!qlLib::FormatString(url, L"%s://%s%s", m_secure ? L"https" : L"http", m_host.c_str(), m_urlPath.c_str())) {
        if (m_proxyAutoDetect)
            TraceError(L"Unable to get proxy settings for AutoDetect");
        else
            TraceError(L"Unable to get proxy settings for AutoConfig");
        return E_OUTOFMEMORY;
    }
    // Auto-detection first, then the configuration script, then the manual server.
    if (m_proxyAutoDetect && SUCCEEDED(ApplyAutoProxy(request, url, WINHTTP_AUTOPROXY_AUTO_DETECT, nullptr)))
        return S_OK;
    if (m_proxyAutoConfig && !m_autoConfigUrl.empty() &&
        SUCCEEDED(ApplyAutoProxy(request, url, WINHTTP_AUTOPROXY_CONFIG_URL, m_autoConfigUrl.c_str())))
        return S_OK;
    if (!m_manualProxy) return S_OK;
    if (m_proxyServer.empty()) {
        TraceError(L"Proxy port and proxy server must be set to use this option");
        return E_FAIL;
    }
    std::wstring server;
    if (!(m_proxyPort ? qlLib::FormatString(server, L"%s:%lu", m_proxyServer.c_str(), m_proxyPort)
                      : qlLib::FormatString(server, L"%s", m_proxyServer.c_str()))) {
        TraceError(L"Could not create proxy string");
        return E_OUTOFMEMORY;
    }
    const CWinHttpApi* api = CWinHttpApi::Get();
    WINHTTP_PROXY_INFO proxy = {};
    proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy.lpszProxy = &server[0];
    if (api->SetOption(request, WINHTTP_OPTION_PROXY, &proxy, sizeof(proxy)))
        TraceInfo(L"Manual proxy set: %s", server.c_str());
    else
        TraceError(L"WinHttpSetOption failed setting manual proxy URL: %lu", ::GetLastError());
    if (!m_proxyUserName.empty() && !m_proxyPassword.empty() &&
        !api->SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC, m_proxyUserName.c_str(),
                             m_proxyPassword.c_str(), nullptr))
        TraceError(L"WinHttpSetCredentials(WINHTTP_AUTH_TARGET_PROXY) failed: %lu", ::GetLastError());
    return S_OK;
}

HRESULT CWinHTTPClient::MakeRequestId(std::wstring& requestId) {
    if (m_serviceName.empty()) {
        qlLib::CRegKeyHandle root;
        LONG error = 0;
        std::wstring rootPath;
        if (!OpenIsolationRoot(root, error, rootPath)) {
            TraceError(L"Registry open failed for SILO %s with error %lu", rootPath.c_str(), error);
        } else {
            error = qlLib::QueryRegString(root.Get(), L"PRODUCTID", m_serviceName);
            if (error != ERROR_SUCCESS) TraceError(L"Registry open failed for PRODUCTID with error %lu", error);
        }
        if (m_serviceName.empty()) {
            try {
                m_serviceName = L"TARN";
            } catch (const std::bad_alloc&) {
                TraceError(L"Can't copy TARN as service name");
                return E_OUTOFMEMORY;
            }
        }
    }
    GUID guid;
    HRESULT hr = ::CoCreateGuid(&guid);
    if (FAILED(hr)) {
        TraceError(L"TARN::CWinHTTPClient::Query(624) : Unable to create Request Id GUID: 0x%08x", hr);
        return hr;
    }
    wchar_t text[64] = {};
    std::wstring digits;
    try {
        ::StringFromGUID2(guid, text, 64);
        for (const wchar_t* p = text; *p; ++p) {
            if (*p != L'-' && *p != L'_' && *p != L'{' && *p != L'}') digits.push_back(*p);
        }
        if (!qlLib::FormatString(requestId, L"%s-%s", m_serviceName.c_str(), digits.c_str())) throw std::bad_alloc();
        for (wchar_t& c : requestId) c = static_cast<wchar_t>(std::towlower(c));
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CWinHTTPClient::Query(638) : Unable to create Request Id GUID");
        return E_OUTOFMEMORY;
    }
    TraceInfo(L"Request Id: %s", requestId.c_str());
    return S_OK;
}

void CWinHTTPClient::AddIdentityHeaders(HINTERNET request, const std::wstring& requestId) {
    if (!m_secure) {
        TraceError(L"Not a secured connection, cannot add optional headers");
        return;
    }
    qlLib::CRegKeyHandle root, identifiers;
    LONG error = 0;
    std::wstring rootPath, machineId, userId, headers;
    if (!OpenIsolationRoot(root, error, rootPath)) {
        TraceError(L"failed to open isolation key: %lu", error);
        return;
    }
    error = ::RegOpenKeyExW(root.Get(), L"Identifiers", 0, kIsolationKeyAccess, identifiers.Receive());
    if (error != ERROR_SUCCESS) {
        TraceError(L"failed to open Identifiers key: %lu", error);
        return;
    }
    error = qlLib::QueryRegString(identifiers.Get(), L"MID", machineId);
    if (error != ERROR_SUCCESS) {
        TraceError(L"failed to get HBguid: %lu", error);
        return;
    }
    qlLib::CKernelHandle token;
    HANDLE tokenHandle = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &tokenHandle)) token.Reset(tokenHandle);
    alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD size = 0;
    LPWSTR sid = nullptr;
    if (!token || !::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        TraceError(L"Failed to get User Id");
        return;
    }
    qlLib::CLocalMemory sidMemory(sid);
    if (!qlLib::FormatString(headers, L"X-Korv-Local-User-Id: %s\r\nX-Korv-Machine-Id: %s\r\nX-Korv-Request-Id: %s\r\n",
                             sid, machineId.c_str(), requestId.c_str()))
        return;
    if (!CWinHttpApi::Get()->AddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L),
                                               WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        TraceError(L"WinHttpAddRequestHeaders failed: %lu, Request ID=%s", ::GetLastError(), requestId.c_str());
}

HRESULT CWinHTTPClient::Query(const void* body, DWORD length, HINTERNET& request) {
    request = nullptr;
    const CWinHttpApi* api = CWinHttpApi::Get();
    if (!api || !m_session || !m_connection) return E_UNEXPECTED;
    DWORD flags = WINHTTP_FLAG_REFRESH;
    if (m_secure) {
        TraceInfo(L"Using SSL protocol");
        flags |= WINHTTP_FLAG_SECURE;
    }
    std::wstring object, requestId;
    try {
        object = m_urlPath;
    } catch (const std::bad_alloc&) {
        TraceError(L"Query failed");
        return E_OUTOFMEMORY;
    }
    if (m_identityHeaders) {
        const HRESULT hr = MakeRequestId(requestId);
        if (FAILED(hr)) return hr;
    }
    HINTERNET handle = api->OpenRequest(m_connection, L"POST", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!handle) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpOpenRequest call failed, ErrorCode=%d", static_cast<int>(error));
        return FromWin32(error);
    }
    // The same for the request's own challenges: no default credentials, whatever the zone.
    DWORD autoLogon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    if (!api->SetOption(handle, WINHTTP_OPTION_AUTOLOGON_POLICY, &autoLogon, sizeof(autoLogon)))
        TraceWarning(L"WinHttpSetOption(WINHTTP_OPTION_AUTOLOGON_POLICY) failed: %lu", ::GetLastError());
    if (m_relaxedCertificates) {
        DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                         SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        if (api->SetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &security, sizeof(security)))
            TraceInfo(L"WinHttpSetOption succeeded, invalid or out of date certificates allowed");
        else
            TraceError(L"Could not set relaxed SSL requirements, WinHttpSetOption failed: 0x%08x", LastError());
    }

    CRequestRef context;
    try {
        // Not make_shared: without RTTI, its control block brings in the C++ library's
        // type-name hashing (3 KB) for a deleter query nobody makes.
        context.reset(new CRequestContext());
    } catch (const std::bad_alloc&) {
    }
    if (!context) {
        TraceError(L"TARN::CWinHTTPClient::Query(688) : Failed to allocate memory for request context");
        CloseInternetHandle(handle);
        return E_OUTOFMEMORY;
    }
    context->requestId.swap(requestId);
    context->owner = this;
    // WinHTTP's own reference to the context, given back with the handle's closing notification.
    CRequestRef* notified = nullptr;
    if (m_asynchronous) {
        if (!m_callback) {
            TraceError(L"callback can't be NULL for async operation");
            CloseInternetHandle(handle);
            return E_INVALIDARG;
        }
        context->callback = m_callback;
        context->closeEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!context->closeEvent) TraceError(L"failed to create close event");
        notified = new (std::nothrow) CRequestRef(context);
        if (!notified) {
            TraceError(L"TARN::CWinHTTPClient::Query(688) : Failed to allocate memory for request context");
            CloseInternetHandle(handle);
            return E_OUTOFMEMORY;
        }
        DWORD_PTR value = reinterpret_cast<DWORD_PTR>(notified);
        if (!api->SetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value)))
            TraceWarning(L"WinHttpSetOption(WINHTTP_OPTION_CONTEXT_VALUE) failed: %lu", ::GetLastError());
        if (api->SetStatusCallback(handle, &StatusCallback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK)
            TraceError(L"WinHttpSetStatusCallback call failed, ErrorCode=%lu", ::GetLastError());
    }
    try {
        if (length > 0) context->body.assign(static_cast<const BYTE*>(body), static_cast<const BYTE*>(body) + length);
    } catch (const std::bad_alloc&) {
        TraceError(L"can't allocate optional memory");
        CloseInternetHandle(handle);   // its closing notification gives WinHTTP's reference back
        return E_OUTOFMEMORY;
    }
    CRequestContext* added = context.get();
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        try {
            m_requests[handle] = context;
        } catch (const std::bad_alloc&) {
            TraceError(L"TARN::CWinHTTPClient::Query(757) : Couldn't add request to map %s", added->requestId.c_str());
            CloseInternetHandle(handle);
            return E_OUTOFMEMORY;
        }
    }
    ApplyProxy(handle);
    if (m_disableKeepAlive) {
        DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE;
        if (!api->SetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof(feature)))
            TraceError(L"WinHttpSetOption(WINHTTP_DISABLE_KEEP_ALIVE) failed: %lu", ::GetLastError());
    }
    if (m_identityHeaders) AddIdentityHeaders(handle, added->requestId);

    void* data = added->body.empty() ? WINHTTP_NO_REQUEST_DATA : added->body.data();
    const DWORD size = static_cast<DWORD>(added->body.size());
    if (!api->SendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, size, size,
                          reinterpret_cast<DWORD_PTR>(notified))) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpSendRequest call failed, ErrorCode=%lu", error);
        CloseRequest(handle);
        return FromWin32(error);
    }
    request = handle;
    return S_OK;
}

CWinHTTPClient::CRequestContext* CWinHTTPClient::FindRequest(HINTERNET request) {
    auto it = m_requests.find(request);
    return it == m_requests.end() || it->second->closing ? nullptr : it->second.get();
}

HRESULT CWinHTTPClient::GetStatus(HINTERNET request, DWORD& statusCode) {
    statusCode = 0;
    if (m_asynchronous) {
        TraceError(L"GetStatus can not be called in Asynchronous mode");
        return E_UNEXPECTED;
    }
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        if (!FindRequest(request)) {
            TraceError(L"Invalid handle");
            return E_INVALIDARG;
        }
    }
    const CWinHttpApi* api = CWinHttpApi::Get();
    if (!api->ReceiveResponse(request, nullptr)) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpReceiveResponse failed: %lu", error);
        return FromWin32(error);
    }
    DWORD size = sizeof(statusCode);
    if (!api->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &statusCode, &size, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD error = ::GetLastError();
        TraceError(L"WinHttpQueryHeaders failed: %lu", error);
        return FromWin32(error);
    }
    return S_OK;
}

HRESULT CWinHTTPClient::GetResponse(HINTERNET request, qlLib::IDataStream* stream) {
    if (m_asynchronous) {
        TraceError(L"GetResponse can not be called in Asynchronous mode");
        return E_UNEXPECTED;
    }
    if (!stream) {
        TraceError(L"Invalid stream");
        return E_UNEXPECTED;
    }
    std::wstring requestId;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        CRequestContext* context = FindRequest(request);
        if (!context) {
            TraceError(L"Invalid handle");
            return E_INVALIDARG;
        }
        requestId = context->requestId;
    }
    if (!requestId.empty()) TraceInfo(L"Getting response for the Request Id %s", requestId.c_str());
    const CWinHttpApi* api = CWinHttpApi::Get();
    HRESULT hr = S_OK;
    try {
        std::vector<BYTE> buffer;
        ULONGLONG total = 0;
        for (;;) {
            if (DeadlinePassed()) {
                TraceError(L"response not complete within its deadline: %I64u bytes read", total);
                hr = FromWin32(ERROR_TIMEOUT);
                break;
            }
            if (m_responseLimit && total >= m_responseLimit) {
                TraceWarning(L"response cut at %lu bytes", m_responseLimit);
                break;
            }
            DWORD available = 0;
            if (!api->QueryDataAvailable(request, &available)) {
                const DWORD error = ::GetLastError();
                TraceError(L"WinHttpQueryDataAvailable failed: %lu", error);
                hr = FromWin32(error);
                break;
            }
            if (available == 0) break;
            if (m_responseLimit && available > m_responseLimit - total)
                available = static_cast<DWORD>(m_responseLimit - total);
            if (available > buffer.size()) buffer.resize(available);
            DWORD read = 0;
            if (!api->ReadData(request, buffer.data(), available, &read)) {
                const DWORD error = ::GetLastError();
                TraceError(L"WinHttpReadData failed: %lu", error);
                hr = FromWin32(error);
                break;
            }
            if (read == 0) break;
            if (!stream->Write(buffer.data(), read)) {
                hr = E_FAIL;
                break;
            }
            total += read;
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) stream->SetSize(0);
    return hr;
}

HRESULT CWinHTTPClient::GetResponseInMemory(HINTERNET request, qlLib::IDataStream** stream) {
    if (!stream) return E_POINTER;
    *stream = nullptr;
    qlLib::CComPtr<qlLib::IDataStream> memory(qlLib::CreateMemoryStreamImpl());
    if (!memory) {
        TraceError(L"could not create memoryStream");
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = GetResponse(request, memory.Get());
    if (FAILED(hr)) return hr;
    ULONGLONG size = 0;
    if (memory->GetSize(&size) && size > 0) *stream = memory.Detach();
    return S_OK;
}

void CWinHTTPClient::CloseInternetHandle(HINTERNET& handle) {
    if (!handle) return;
    if (const CWinHttpApi* api = CWinHttpApi::Get()) api->CloseHandle(handle);
    handle = nullptr;
}

void CWinHTTPClient::CloseRequest(HINTERNET request) {
    CRequestRef context;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        auto it = m_requests.find(request);
        if (it == m_requests.end() || it->second->closing) return;
        it->second->closing = true;
        context = it->second;
    }
    {
        // Waits for a notification that is running this client's code; none starts afterwards.
        qlLib::CCriticalSectionLock notify(context->notifyLock);
        context->owner = nullptr;
    }
    HINTERNET handle = request;
    CloseInternetHandle(handle);
    if (m_asynchronous && context->closeEvent) {
        // Only a courtesy now: WinHTTP keeps its own reference until the closing notification.
        const DWORD wait = m_timeout == -1 ? INFINITE : static_cast<DWORD>(m_timeout) * 1000 + 500;
        ::WaitForSingleObject(context->closeEvent.Get(), wait);
    }
    qlLib::CCriticalSectionLock lock(m_lock);
    m_requests.erase(request);
}

void CWinHTTPClient::SetDeadline(DWORD milliseconds) {
    m_hasDeadline = milliseconds != 0;
    m_deadline = ::GetTickCount() + milliseconds;
}

bool CWinHTTPClient::DeadlinePassed() const {
    return m_hasDeadline && static_cast<LONG>(::GetTickCount() - m_deadline) >= 0;
}

void CWinHTTPClient::Close() {
    std::vector<HINTERNET> open;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        for (const auto& entry : m_requests) open.push_back(entry.first);
    }
    for (HINTERNET request : open) CloseRequest(request);
    const CWinHttpApi* api = CWinHttpApi::Get();
    if (api && m_connection) api->SetStatusCallback(m_connection, nullptr, 0, 0);
    CloseInternetHandle(m_connection);
    if (api && m_session) api->SetStatusCallback(m_session, nullptr, 0, 0);
    CloseInternetHandle(m_session);
}

void CALLBACK CWinHTTPClient::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                             DWORD length) {
    CRequestRef* notified = reinterpret_cast<CRequestRef*>(context);
    if (!notified || !*notified) {
        TraceError(L"Class Object pointer is NULL");
        return;
    }
    const CRequestRef request = *notified;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // The last notification of the handle: WinHTTP's reference goes with it.
        TraceInfo(L"Received WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING");
        {
            qlLib::CCriticalSectionLock lock(request->closeLock);
            if (request->closeEvent) ::SetEvent(request->closeEvent.Get());
        }
        delete notified;
        return;
    }
    qlLib::CCriticalSectionLock notify(request->notifyLock);
    if (!request->owner) {
        TraceError(L"Handle is not valid");
        return;
    }
    request->owner->OnStatus(handle, request.get(), status, information, length);
}

void CWinHTTPClient::OnStatus(HINTERNET request, CRequestContext* context, DWORD status, LPVOID information,
                              DWORD length) {
    const CWinHttpApi* api = CWinHttpApi::Get();
    IWinHTTPClientCallback* callback = context->callback.Get();
    if (!callback) {
        TraceError(L"Callback pointer is NULL");
        return;
    }
    if (context->closing) return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        callback->OnSendComplete(request);
        if (!api->ReceiveResponse(request, nullptr))
            TraceError(L"WinHttpReceiveResponse call failed, ErrorCode=%lu", ::GetLastError());
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
        DWORD statusCode = 0, size = sizeof(statusCode);
        if (!api->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size, WINHTTP_NO_HEADER_INDEX)) {
            TraceError(L"WinHttpQueryHeaders call failed HR =0x%08x", LastError());
            break;
        }
        size = 0;
        api->QueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                          WINHTTP_NO_HEADER_INDEX);
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            TraceError(L"Unexpected error during WinHTTPQueryHeaders (0x%08x)", LastError());
            break;
        }
        std::wstring headers;
        try {
            headers.assign(size / sizeof(wchar_t) + 1, L'\0');
        } catch (const std::bad_alloc&) {
            break;
        }
        if (!api->QueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, &headers[0],
                               &size, WINHTTP_NO_HEADER_INDEX)) {
            TraceError(L"WinHttpQueryHeaders call failed HR =0x%08x", LastError());
            break;
        }
        callback->OnHeaders(request, statusCode, headers.c_str());
        if (!api->QueryDataAvailable(request, nullptr))
            TraceError(L"WinHttpQueryDataAvailable failed: 0x%08x", LastError());
        break;
    }
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
        if (!information) {
            TraceError(L"lpvStatusInformation should not be NULL");
            break;
        }
        const DWORD available = *static_cast<const DWORD*>(information);
        if (available == 0) {
            callback->OnResponse(request, context->response.data(), static_cast<DWORD>(context->response.size()));
            break;
        }
        if (available > kMaxAsyncRead) {
            TraceError(L"Attack/Buffer Overflow guard for dwAvailableBytes:0x%08x.", available);
            break;
        }
        const size_t used = context->response.size();
        if (m_responseLimit && used + available > m_responseLimit) {
            TraceError(L"response larger than %lu bytes: not read further", m_responseLimit);
            break;
        }
        try {
            context->response.resize(used + available, 0);
        } catch (const std::bad_alloc&) {
            TraceError(L"couldn't allocate memory for response buffer");
            break;
        }
        // The buffer keeps its size until the read completes: READ_COMPLETE trims it.
        if (!api->ReadData(request, context->response.data() + used, available, nullptr))
            TraceError(L"WinHttpReadData failed: %lu", ::GetLastError());
        break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
        // length is what the read delivered; the rest of the room made for it goes.
        const BYTE* end = static_cast<const BYTE*>(information) + length;
        const size_t used = static_cast<size_t>(end - context->response.data());
        if (information && used <= context->response.size()) context->response.resize(used);
        callback->OnReadComplete(request);
        if (!api->QueryDataAvailable(request, nullptr))
            TraceError(L"WinHttpQueryDataAvailable failed: %lu", ::GetLastError());
        break;
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
        const DWORD flags = information ? *static_cast<const DWORD*>(information) : 0;
        TraceError(L"Secure connection failed 0x%08x", flags);
        callback->OnError(request, status, information, length);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        callback->OnError(request, status, information, sizeof(WINHTTP_ASYNC_RESULT));
        break;
    default:
        break;
    }
}

}  // namespace TARN
