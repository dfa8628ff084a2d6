#pragma once
// Brings the stub's own process back to normal scheduling, I/O and page priorities when it was
// started with lowered ones (for instance by a background updater). Does nothing before
// Windows Vista.
#include <windows.h>

#include "system/ProcessPrioritySetterMgr.h"

namespace TARN {

class CProcessStartupPriorityMgr {
public:
    class CConfiguration {
    public:
        // The system's values: enabled from Windows Vista on, retry every 200 ms for 5 minutes.
        CConfiguration();
        CConfiguration(bool enabled, DWORD retryFrequencyMs, DWORD retryTimeoutMs)
            : m_enabled(enabled), m_retryFrequency(retryFrequencyMs), m_retryTimeout(retryTimeoutMs) {}
        bool GetEnabled() const { return m_enabled; }
        DWORD GetRetryFrequency() const { return m_retryFrequency; }
        DWORD GetRetryTimeout() const { return m_retryTimeout; }

    private:
        bool m_enabled;
        DWORD m_retryFrequency;
        DWORD m_retryTimeout;
    };

    CProcessStartupPriorityMgr();
    explicit CProcessStartupPriorityMgr(const CConfiguration& cfg, CPrioritySetterFactory* factory = nullptr);
    ~CProcessStartupPriorityMgr();
    CProcessStartupPriorityMgr(const CProcessStartupPriorityMgr&) = delete;
    CProcessStartupPriorityMgr& operator=(const CProcessStartupPriorityMgr&) = delete;

    // Adds the setter that brings one priority back to its normal level.
    bool AddPrioritySetter(CProcessPrioritySetterMgr::eType type);
    // Starts applying the setters to the current process.
    bool Start();
    // Asks the worker to end and waits for it.
    void Stop();

    const CConfiguration& GetConfiguration() const { return m_cfg; }
    CProcessPrioritySetterMgr& GetSetterMgr() { return m_mgr; }

private:
    void ReportConfiguration() const;

    CConfiguration m_cfg;
    CProcessPrioritySetterMgr m_mgr;
};

}  // namespace TARN
