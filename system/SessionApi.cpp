#include "system/SessionApi.h"

#include "runtime/PathUtils.h"

namespace TARN {

namespace {

template <class Fn>
void Resolve(HMODULE module, const char* name, Fn& function) {
    function = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

CSessionApi::CSessionApi() {
    if (HMODULE wts = qlLib::LoadSystemLibrary(L"wtsapi32.dll")) {
        Resolve(wts, "WTSQueryUserToken", queryUserToken);
        Resolve(wts, "WTSEnumerateSessionsW", enumerateSessions);
        Resolve(wts, "WTSQuerySessionInformationW", querySessionInformation);
        Resolve(wts, "WTSFreeMemory", freeMemory);
    }
    // DestroyEnvironmentBlock is found again by the environment block's handle traits.
    if (HMODULE userenv = qlLib::LoadSystemLibrary(L"userenv.dll")) {
        Resolve(userenv, "CreateEnvironmentBlock", createEnvironmentBlock);
    }
}

const CSessionApi& CSessionApi::Get() {
    static const CSessionApi api;
    return api;
}

}  // namespace TARN
