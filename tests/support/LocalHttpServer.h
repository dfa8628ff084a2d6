#pragma once
// An HTTP server on 127.0.0.1 for the tests: it records every request and answers each with the
// status and body it was told. It also serves as a proxy: a proxied request names the whole URL.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/CriticalSection.h"
#include "runtime/Handles.h"

namespace testing_support {

class CLocalHttpServer {
public:
    struct CRequest {
        std::string method;
        std::string target;    // the path with its query, or the whole URL through a proxy
        std::string headers;   // the header lines as sent
        std::string body;
    };

    CLocalHttpServer();
    ~CLocalHttpServer();
    CLocalHttpServer(const CLocalHttpServer&) = delete;
    CLocalHttpServer& operator=(const CLocalHttpServer&) = delete;

    // Listens on an unused port of 127.0.0.1.
    bool Start();
    unsigned short Port() const { return m_port; }
    // "127.0.0.1:port"
    std::wstring Host() const;
    // The answer to the requests from now on.
    void Respond(int status, const std::string& body);
    // From now on answers with head, then one byte more every interval, until the client goes or
    // the server ends: a server that never finishes.
    void Trickle(const std::string& head, DWORD interval);
    std::vector<CRequest> Requests();
    // Whether n requests came within the time.
    bool WaitForRequests(size_t n, DWORD milliseconds);

    // A port of 127.0.0.1 where nobody listens.
    static unsigned short ClosedPort();

private:
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Serve();
    void Handle(UINT_PTR connection);

    UINT_PTR m_listener;
    unsigned short m_port = 0;
    volatile LONG m_stop = 0;
    qlLib::CKernelHandle m_thread;
    qlLib::CCriticalSection m_lock;
    int m_status = 200;
    std::string m_body;
    std::string m_trickleHead;
    DWORD m_trickleInterval = 0;
    std::vector<CRequest> m_requests;
};

}  // namespace testing_support
