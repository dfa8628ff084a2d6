#include "system/ProcessStartupPriorityMgr.h"

#include "runtime/OsVersion.h"
#include "runtime/Trace.h"

namespace TARN {

CProcessStartupPriorityMgr::CConfiguration::CConfiguration()
    : m_enabled(qlLib::IsWindowsVersionOrGreater(6, 0)), m_retryFrequency(200), m_retryTimeout(300000) {}

CProcessStartupPriorityMgr::CProcessStartupPriorityMgr() : CProcessStartupPriorityMgr(CConfiguration()) {}

CProcessStartupPriorityMgr::CProcessStartupPriorityMgr(const CConfiguration& cfg, CPrioritySetterFactory* factory)
    : m_cfg(cfg), m_mgr(factory) {
    ReportConfiguration();
}

CProcessStartupPriorityMgr::~CProcessStartupPriorityMgr() {
    Stop();
}

void CProcessStartupPriorityMgr::ReportConfiguration() const {
    TraceInfo(L"CConfiguration: Enabled - %i , Retry frequency - %lu, Retry timeout - %lu", m_cfg.GetEnabled() ? 1 : 0,
              m_cfg.GetRetryFrequency(), m_cfg.GetRetryTimeout());
}

bool CProcessStartupPriorityMgr::AddPrioritySetter(CProcessPrioritySetterMgr::eType type) {
    if (!m_cfg.GetEnabled()) {
        TraceInfo(L"!m_cfg.GetEnabled()");
        return true;
    }
    return m_mgr.AddPrioritySetter(type, CProcessPrioritySetterMgr::getNormalValue(type));
}

bool CProcessStartupPriorityMgr::Start() {
    if (!m_cfg.GetEnabled()) {
        TraceInfo(L"!m_cfg.GetEnabled()");
        return true;
    }
    return m_mgr.Start(::GetCurrentProcess(), m_cfg.GetRetryFrequency(), m_cfg.GetRetryTimeout());
}

void CProcessStartupPriorityMgr::Stop() {
    if (!m_cfg.GetEnabled()) {
        TraceInfo(L"!m_cfg.GetEnabled()");
        return;
    }
    m_mgr.Stop();
    TraceInfo(L"WaitForExit(INFINITE) BEGIN");
    m_mgr.WaitForExit(INFINITE);
    TraceInfo(L"WaitForExit(INFINITE) END");
}

}  // namespace TARN
