// Failure counting: the first failure of a run is counted in the registry and reported to the
// statistics server.
#include "runtime/RegKey.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"

namespace TARN {

namespace {

constexpr HRESULT kUserExit = static_cast<HRESULT>(0x80070642);   // ERROR_INSTALL_USEREXIT
constexpr HRESULT kNotCounted = static_cast<HRESULT>(0x80047C05);

}  // namespace

void CInstallManager::ReportFailure(int hint, HRESULT result) {
    if (result >= 0 || result == kUserExit || result == kNotCounted) return;
    TraceError(L"FAILURE: Hint: %d, HR: 0x%08x", hint, result);
    if (m_failureReported) return;
    m_failureReported = true;
    qlLib::CRegKey key;
    DWORD count = 0, stored = 0;
    if (key.Create(HKEY_LOCAL_MACHINE, kFailureCountKey, KEY_READ | KEY_WRITE) && key.QueryDWORD(L"Count", stored))
        count = stored;
    if (!key.IsOpen() || !key.SetDWORD(L"Count", count + 1))
        TraceError(L"failed to set TARN 9003 failure count: %s = %lu (%lu)", kFailureCountKey, count,
                   key.GetLastError());
    SendPing(hint, result, count);
}

}  // namespace TARN
