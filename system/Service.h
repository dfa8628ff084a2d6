#pragma once
// One Windows service: connects to the service control manager, opens the service for query,
// start and user-defined control (repairing the permissions of the service and its registry key
// once when that is refused), and waits for a started service to reach the running state.
#include <windows.h>

#include <string>

#include "runtime/Handles.h"

namespace TARN {

class CService {
public:
    // Rights for opening a service: query config and status, start, user-defined control.
    static constexpr DWORD kOpenAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START |
                                     SERVICE_USER_DEFINED_CONTROL;
    static constexpr DWORD kMinInterval = 250;
    static constexpr DWORD kMaxInterval = 10000;
    static constexpr DWORD kNoProgressLimit = 30000;
    static constexpr DWORD kOverallLimit = 120000;

    CService() = default;
    virtual ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    bool Initialize();
    bool Open(const wchar_t* name);
    void Close();
    void Uninitialize();
    // Whether the service reached SERVICE_RUNNING in time.
    bool WaitForService(SC_HANDLE service, const wchar_t* name);
    bool RemediateService();
    bool RemediateServiceKey();

    SC_HANDLE GetServiceHandle() const { return m_service.Get(); }
    SC_HANDLE GetManagerHandle() const { return m_manager.Get(); }
    HRESULT GetLastResult() const { return m_lastResult; }
    bool IsOpen() const { return m_open; }
    // Security applied to the service when it is closed (empty: nothing applied).
    void SetSecurityDescriptorText(const std::wstring& sddl) { m_securityDescriptor = sddl; }
    void SetDaclText(const std::wstring& dacl) { m_dacl = dacl; }

    // The poll interval for a wait hint: a tenth of it, within 250 ms and 10 s.
    static DWORD PollInterval(DWORD waitHint);

protected:
    // Seams for the wait, so that its timing can be tested without waiting minutes.
    virtual bool QueryStatus(SC_HANDLE service, SERVICE_STATUS& status);
    virtual DWORD Now();
    virtual void Pause(DWORD milliseconds);

private:
    HRESULT m_lastResult = 1;
    BYTE m_connected = 0;
    std::wstring m_securityDescriptor;
    std::wstring m_dacl;
    std::wstring m_name;
    bool m_open = false;
    qlLib::CServiceHandle m_manager;
    qlLib::CServiceHandle m_service;
};

}  // namespace TARN
