#include "net/WinHttpApi.h"

#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

template <class F>
bool Resolve(HMODULE module, const char* name, F& function) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

}  // namespace

bool CWinHttpApi::Load() {
    // Kept for the life of the process: handles of it may be closed as late as at exit.
    HMODULE module = qlLib::LoadSystemLibrary(L"winhttp.dll");
    if (!module) {
        TraceError(L"TARN::CWinHttpApi::Load(24) : winhttp.dll not loaded: %lu", ::GetLastError());
        return false;
    }
    return Resolve(module, "WinHttpOpen", Open) && Resolve(module, "WinHttpConnect", Connect) &&
           Resolve(module, "WinHttpOpenRequest", OpenRequest) && Resolve(module, "WinHttpSendRequest", SendRequest) &&
           Resolve(module, "WinHttpReceiveResponse", ReceiveResponse) &&
           Resolve(module, "WinHttpQueryHeaders", QueryHeaders) &&
           Resolve(module, "WinHttpQueryDataAvailable", QueryDataAvailable) &&
           Resolve(module, "WinHttpReadData", ReadData) && Resolve(module, "WinHttpCloseHandle", CloseHandle) &&
           Resolve(module, "WinHttpSetOption", SetOption) && Resolve(module, "WinHttpSetTimeouts", SetTimeouts) &&
           Resolve(module, "WinHttpSetStatusCallback", SetStatusCallback) &&
           Resolve(module, "WinHttpCrackUrl", CrackUrl) && Resolve(module, "WinHttpGetProxyForUrl", GetProxyForUrl) &&
           Resolve(module, "WinHttpSetCredentials", SetCredentials) &&
           Resolve(module, "WinHttpAddRequestHeaders", AddRequestHeaders);
}

const CWinHttpApi* CWinHttpApi::Get() {
    static CWinHttpApi api;
    static const bool loaded = api.Load();
    return loaded ? &api : nullptr;
}

}  // namespace TARN
