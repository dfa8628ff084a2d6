#include "support/LocalHttpServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {

namespace {

struct CWinsock {
    CWinsock() {
        WSADATA data;
        ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsock() {
        if (ok) ::WSACleanup();
    }
    bool ok;
};

bool Bind(SOCKET s, unsigned short& port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof(address);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    port = ntohs(address.sin_port);
    return true;
}

}  // namespace

CLocalHttpServer::CLocalHttpServer() : m_listener(INVALID_SOCKET) {
    static CWinsock winsock;
}

CLocalHttpServer::~CLocalHttpServer() {
    ::InterlockedExchange(&m_stop, 1);
    if (m_thread) ::WaitForSingleObject(m_thread.Get(), 10000);
    if (m_listener != INVALID_SOCKET) ::closesocket(m_listener);
}

bool CLocalHttpServer::Start() {
    m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == INVALID_SOCKET || !Bind(m_listener, m_port) || ::listen(m_listener, 8) != 0) return false;
    m_thread.Reset(::CreateThread(nullptr, 0, &ThreadMain, this, 0, nullptr));
    return m_thread.IsValid();
}

std::wstring CLocalHttpServer::Host() const {
    return L"127.0.0.1:" + std::to_wstring(m_port);
}

void CLocalHttpServer::Respond(int status, const std::string& body) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_status = status;
    m_body = body;
}

void CLocalHttpServer::Trickle(const std::string& head, DWORD interval) {
    qlLib::CCriticalSectionLock lock(m_lock);
    m_trickleHead = head;
    m_trickleInterval = interval;
}

std::vector<CLocalHttpServer::CRequest> CLocalHttpServer::Requests() {
    qlLib::CCriticalSectionLock lock(m_lock);
    return m_requests;
}

bool CLocalHttpServer::WaitForRequests(size_t n, DWORD milliseconds) {
    for (DWORD waited = 0;; waited += 50, ::Sleep(50)) {
        {
            qlLib::CCriticalSectionLock lock(m_lock);
            if (m_requests.size() >= n) return true;
        }
        if (waited >= milliseconds) return false;
    }
}

unsigned short CLocalHttpServer::ClosedPort() {
    static CWinsock winsock;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    unsigned short port = 0;
    if (s != INVALID_SOCKET) {
        Bind(s, port);
        ::closesocket(s);
    }
    return port;
}

DWORD WINAPI CLocalHttpServer::ThreadMain(LPVOID self) {
    static_cast<CLocalHttpServer*>(self)->Serve();
    return 0;
}

void CLocalHttpServer::Serve() {
    while (!m_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval wait = {0, 100000};
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        SOCKET connection = ::accept(m_listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET) continue;
        Handle(connection);
        ::closesocket(connection);
    }
}

void CLocalHttpServer::Handle(UINT_PTR connection) {
    // A client that stops reading must not hold the one serving thread in a send for good.
    const DWORD sendTimeout = 5000;
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                 sizeof(sendTimeout));
    std::string data;
    char buffer[4096];
    size_t headerEnd = std::string::npos;
    size_t contentLength = 0;
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + contentLength) break;
        if (::GetTickCount() - start > 10000) return;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        timeval wait = {0, 100000};
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        const int n = ::recv(connection, buffer, sizeof(buffer), 0);
        if (n <= 0) return;
        data.append(buffer, static_cast<size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::string lower = data.substr(0, headerEnd);
            for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            const size_t at = lower.find("\r\ncontent-length:");
            if (at != std::string::npos) contentLength = std::strtoul(lower.c_str() + at + 17, nullptr, 10);
        }
    }
    CRequest request;
    const size_t lineEnd = data.find("\r\n");
    const std::string line = data.substr(0, lineEnd);
    const size_t space1 = line.find(' '), space2 = line.rfind(' ');
    request.method = line.substr(0, space1);
    request.target = line.substr(space1 + 1, space2 - space1 - 1);
    request.headers = data.substr(lineEnd + 2, headerEnd - lineEnd - 2);
    request.body = data.substr(headerEnd + 4, contentLength);
    int status;
    std::string body, trickle;
    DWORD interval;
    {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_requests.push_back(request);
        status = m_status;
        body = m_body;
        trickle = m_trickleHead;
        interval = m_trickleInterval;
    }
    if (interval) {
        if (::send(connection, trickle.data(), static_cast<int>(trickle.size()), 0) <= 0) return;
        while (!m_stop) {
            ::Sleep(interval);
            if (::send(connection, "x", 1, 0) != 1) return;
        }
        return;
    }
    const std::string response = "HTTP/1.1 " + std::to_string(status) + " Test\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    ::send(connection, response.data(), static_cast<int>(response.size()), 0);
    ::shutdown(connection, SD_SEND);
}

}  // namespace testing_support
