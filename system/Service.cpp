#include "system/Service.h"

#include <new>

#include <aclapi.h>
#include <sddl.h>

#include "runtime/Trace.h"
#include "system/EnsureAccess.h"
#include "system/Registry.h"
#include "system/SecurityDescriptorParser.h"
#include "system/ServiceSecurityProcessor.h"

namespace TARN {

namespace {

HRESULT FromError(DWORD error) {
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

CService::~CService() {
    Uninitialize();
}

DWORD CService::PollInterval(DWORD waitHint) {
    DWORD interval = waitHint / 10;
    if (interval < kMinInterval) interval = kMinInterval;
    if (interval > kMaxInterval) interval = kMaxInterval;
    return interval;
}

bool CService::QueryStatus(SC_HANDLE service, SERVICE_STATUS& status) {
    return ::QueryServiceStatus(service, &status) != FALSE;
}

DWORD CService::Now() {
    return ::GetTickCount();
}

void CService::Pause(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

bool CService::Initialize() {
    if (m_manager && (m_connected & 1)) return true;
    if (m_manager) Uninitialize();
    m_manager.Reset(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!m_manager) {
        DWORD error = ::GetLastError();
        TraceError(L"TARN::CService::Initialize(47) : OpenSCManager failed: %lu", error);
        m_lastResult = FromError(error);
        return false;
    }
    m_connected |= 1;
    return true;
}

bool CService::Open(const wchar_t* name) {
    if (!name) {
        TraceError(L"TARN::CService::Open(57) : service name is NULL");
        m_lastResult = E_INVALIDARG;
        return false;
    }
    m_open = false;
    Close();
    try {
        m_name = name;
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CService::Open(66) : failed to copy name");
        m_lastResult = E_OUTOFMEMORY;
        return false;
    }
    TraceInfo(L"OpenService(%s, 0x%x)", m_name.c_str(), kOpenAccess);
    m_service.Reset(::OpenServiceW(m_manager.Get(), m_name.c_str(), kOpenAccess));
    if (!m_service) {
        DWORD error = ::GetLastError();
        TraceError(L"TARN::CService::Open(74) : OpenService failed: %s (%lu)", m_name.c_str(), error);
        m_lastResult = FromError(error);
        if (error != ERROR_ACCESS_DENIED) return false;
        // One repair of the service's and its key's permissions, and one more try.
        if (!RemediateService() || !RemediateServiceKey()) return false;
        m_service.Reset(::OpenServiceW(m_manager.Get(), m_name.c_str(), kOpenAccess));
        if (!m_service) {
            error = ::GetLastError();
            TraceError(L"TARN::CService::Open(82) : OpenService failed: %s (%lu)", m_name.c_str(), error);
            m_lastResult = FromError(error);
            return false;
        }
    }
    m_open = true;
    return true;
}

void CService::Close() {
    m_service.Close();
    if (!m_name.empty() && !m_securityDescriptor.empty()) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        DWORD rc = ERROR_SUCCESS;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(m_securityDescriptor.c_str(), SDDL_REVISION_1,
                                                                    &descriptor, nullptr)) {
            rc = ::GetLastError();
        } else {
            qlLib::CLocalMemory memory(descriptor);
            ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
            rc = ::SetNamedSecurityInfoW(&m_name[0], SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                         nullptr);
        }
        if (rc != ERROR_SUCCESS) {
            TraceError(L"TARN::CService::Close(104) : SetNamedSecurityInfo(%s) != ERROR_SUCCESS: %lu", m_name.c_str(),
                       rc);
            m_lastResult = FromError(rc);
        }
    }
    if (!m_name.empty() && !m_dacl.empty()) {
        CServiceSecurityProcessor processor(m_name.c_str());
        CSecurityDescriptorParser::Parse(m_dacl.c_str(), processor);
    }
    m_name.clear();
    m_securityDescriptor.clear();
    m_dacl.clear();
    m_open = false;
}

namespace {

// One grant through the rights checker, reported in its words when it fails.
bool Grant(const wchar_t* operation, const wchar_t* name, const CAccessSpec& spec, PSID principal, bool service) {
    CRightsChecker::Exception error;
    if (service) {
        ServiceEnsureAccess(name, spec, principal, error);
    } else {
        RegistryEnsureAccess(HKEY_LOCAL_MACHINE, name, spec, principal, error);
    }
    if (error.code != CRightsChecker::Exception::eNone) {
        TraceError(L"TARN::CService::Remediate(134) : %s %s threw an exception: %d", operation, name,
                   static_cast<int>(error.code));
        return false;
    }
    if (FAILED(error.hr)) {
        TraceError(L"TARN::CService::Remediate(139) : %s %s threw an exception: (0x%08x)", operation, name, error.hr);
        return false;
    }
    return true;
}

}  // namespace

bool CService::RemediateService() {
    CWellKnownSid administrators(WinBuiltinAdministratorsSid);
    CWellKnownSid system(WinLocalSystemSid);
    // Every right but changing the configuration for the system.
    return Grant(L"EnsureAccess", m_name.c_str(), CAccessSpec(SERVICE_ALL_ACCESS, 0, 0), administrators.Get(), true) &&
           Grant(L"EnsureAccess", m_name.c_str(), CAccessSpec(0x1FD, 0, 0), system.Get(), true);
}

bool CService::RemediateServiceKey() {
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + m_name;
    CRegistry registry;
    if (!registry.Open(key.c_str(), HKEY_LOCAL_MACHINE, KEY_READ, false)) {
        TraceError(L"TARN::CService::RemediateServiceKey(158) : failed to open: %s (%lu)", key.c_str(),
                   registry.GetLastError());
    }
    registry.Close();
    CWellKnownSid administrators(WinBuiltinAdministratorsSid);
    CWellKnownSid system(WinLocalSystemSid);
    // Reading for the process itself only when it is neither of the two below: a grant to the
    // user of an elevated process would serve its unelevated processes as well.
    if (qlLib::ProcessTokenKind() == qlLib::eToken_User &&
        !Grant(L"RegistryEnsureAccess", key.c_str(), CAccessSpec::Inheritable(KEY_READ), nullptr, false))
        return false;
    return Grant(L"RegistryEnsureAccess", key.c_str(), CAccessSpec::Inheritable(KEY_ALL_ACCESS), administrators.Get(),
                 false) &&
           Grant(L"RegistryEnsureAccess", key.c_str(), CAccessSpec::Inheritable(KEY_ALL_ACCESS), system.Get(), false);
}

void CService::Uninitialize() {
    Close();
    m_manager.Close();
    m_connected &= ~1;
}

bool CService::WaitForService(SC_HANDLE service, const wchar_t* name) {
    if (!name) {
        TraceError(L"TARN::CService::WaitForService(99) : Invalid service name provided.");
        return false;
    }
    TraceInfo(L"Waiting for %s service to start.", name);
    SERVICE_STATUS status = {};
    if (!QueryStatus(service, status)) {
        TraceError(L"TARN::CService::WaitForService(105) : Cannot query Service Status. Encountered error %lu",
                   ::GetLastError());
        return false;
    }
    TraceInfo(L"Service status is set to %lu", status.dwCurrentState);
    const DWORD start = Now();
    DWORD lastProgress = start;
    DWORD checkpoint = status.dwCheckPoint;
    const DWORD interval = PollInterval(status.dwWaitHint);
    bool failed = false;
    while (status.dwCurrentState == SERVICE_START_PENDING && !failed) {
        TraceInfo(L"Sleeping for %lu milliseconds.", interval);
        Pause(interval);
        if (!QueryStatus(service, status)) {
            TraceError(L"TARN::CService::WaitForService(119) : Cannot query Service Status. Encountered error %lu",
                       ::GetLastError());
            failed = true;
            break;
        }
        const DWORD now = Now();
        if (status.dwCheckPoint > checkpoint) {
            TraceInfo(L"checkpoint changed, resetting start count");
            lastProgress = now;
            checkpoint = status.dwCheckPoint;
        } else {
            TraceInfo(L"TickCount: %lu, StartTickCount: %lu, Max: %lu", now, lastProgress, kNoProgressLimit);
            if (now - lastProgress > kNoProgressLimit) {
                TraceError(L"TARN::CService::WaitForService(132) : No progress has been made in the service status "
                           L"within the hint. Exiting");
                failed = true;
            }
        }
        if (now - start > kOverallLimit) {
            TraceError(L"TARN::CService::WaitForService(138) : 2 minutes has elapsed without finishing. Exit");
            break;
        }
    }
    TraceInfo(L"Service status before exit %lu", status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_RUNNING && !failed) return true;
    TraceError(L"TARN::CService::WaitForService(144) : Service status is incorrect. Returning false");
    TraceError(L"TARN::CService::WaitForService(145) : Service type is %lu", status.dwServiceType);
    TraceError(L"TARN::CService::WaitForService(146) : Current state is %lu", status.dwCurrentState);
    TraceError(L"TARN::CService::WaitForService(147) : Controls accepted is %lu", status.dwControlsAccepted);
    TraceError(L"TARN::CService::WaitForService(148) : Win32Exitcode is %lu", status.dwWin32ExitCode);
    TraceError(L"TARN::CService::WaitForService(149) : Service specific exit code is %lu",
               status.dwServiceSpecificExitCode);
    TraceError(L"TARN::CService::WaitForService(151) : Check point value is %lu", status.dwCheckPoint);
    TraceError(L"TARN::CService::WaitForService(152) : Wait hint value is %lu", status.dwWaitHint);
    return false;
}

}  // namespace TARN
