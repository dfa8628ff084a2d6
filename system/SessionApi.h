#pragma once
// The terminal-session and user-environment functions. wtsapi32 and userenv are not KnownDLLs:
// they are loaded once from the system folder, never by search. A function that is missing is
// null.
#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

namespace TARN {

struct CSessionApi {
    decltype(&::WTSQueryUserToken) queryUserToken = nullptr;
    decltype(&::WTSEnumerateSessionsW) enumerateSessions = nullptr;
    decltype(&::WTSQuerySessionInformationW) querySessionInformation = nullptr;
    decltype(&::WTSFreeMemory) freeMemory = nullptr;
    decltype(&::CreateEnvironmentBlock) createEnvironmentBlock = nullptr;

    static const CSessionApi& Get();

private:
    CSessionApi();
};

// Memory handed out by the session functions, freed with WTSFreeMemory.
struct CWtsMemory {
    CWtsMemory() = default;
    CWtsMemory(const CWtsMemory&) = delete;
    CWtsMemory& operator=(const CWtsMemory&) = delete;
    ~CWtsMemory() {
        if (memory && CSessionApi::Get().freeMemory) CSessionApi::Get().freeMemory(memory);
    }
    void* memory = nullptr;
};

}  // namespace TARN
