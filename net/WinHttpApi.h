#pragma once
// WinHTTP, loaded at run time from the system folder: the stub does not import it, so a machine
// without it still installs, and a copy beside a downloaded setup is never picked up.
#include <windows.h>
#include <winhttp.h>

namespace TARN {

class CWinHttpApi {
public:
    // The loaded functions, or null when winhttp.dll or one of them is missing. Loaded once.
    static const CWinHttpApi* Get();

    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpConnect) Connect = nullptr;
    decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
    decltype(&::WinHttpSendRequest) SendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) ReadData = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
    decltype(&::WinHttpSetOption) SetOption = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback = nullptr;
    decltype(&::WinHttpCrackUrl) CrackUrl = nullptr;
    decltype(&::WinHttpGetProxyForUrl) GetProxyForUrl = nullptr;
    decltype(&::WinHttpSetCredentials) SetCredentials = nullptr;
    decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders = nullptr;

private:
    bool Load();
};

}  // namespace TARN
