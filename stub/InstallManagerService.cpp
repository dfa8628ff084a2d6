// Commands to the installed product's services: the silent configuration run (start the product's
// service, accept the licence, force-load) and the patch status for the rebootless patch
// controller. Both go through the product's own IPC library, found through its path map.
#include <shlwapi.h>

#include <new>

#include "components/SharedComponent.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/Isolation.h"
#include "runtime/PathExpansion.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/Service.h"

namespace TARN {

namespace {

const wchar_t kMasterServiceChannel[] = L"TARN_{4467AB8F-68C8-4ab5-9B48-B3E6EB65F6A1}";
const wchar_t kPatchControllerChannel[] = L"TARN_{737118AA-7857-4554-A6FD-B2F2718AD7E9}";
const GUID kCommandAcceptEula = {0x65AF19B8, 0x5DA8, 0x440A, {0x8E, 0xE3, 0xAF, 0xE0, 0xBE, 0xB6, 0x1D, 0x9D}};
const GUID kCommandForceLoad = {0xD9D38F19, 0x0703, 0x4A72, {0xB7, 0xEF, 0x45, 0x78, 0xC3, 0x37, 0x5D, 0x64}};
const GUID kCommandPatchStatus = {0x8C51FC14, 0xEFDD, 0x401F, {0xB4, 0xDD, 0x44, 0xC2, 0x54, 0x8A, 0x2D, 0xCB}};
const DWORD kPatchStatusKey = 1;
const DWORD kPatchStatusValue = 5;

using CIPCLibrary = CSharedComponent<IIPCCommand>;

HRESULT CreateIPCLibrary(CIPCLibrary& library) {
    return library.Create(L"qlIPC.dll", CLSID_IPCCommand, IID_IIPCCommand);
}

// One command without input to the master service; E_INVALIDARG (the service cannot take it
// now) answers 1, which counts as success.
HRESULT SendMasterServiceCommand(REFGUID command, const wchar_t* name) {
    CIPCLibrary library;
    HRESULT hr = CreateIPCLibrary(library);
    if (FAILED(hr)) {
        TraceError(L"qlIPC::qlIPCMgd_IComLib::CreateObject failed: 0x%08x", hr);
        return E_FAIL;
    }
    qlLib::CComPtr<IIPCClient> client;
    hr = library->CreateClient(kMasterServiceChannel, client.Receive());
    if (FAILED(hr) || !client) {
        TraceError(L"CreateClient(MASTERSERVICE_CHANNEL) failed: 0x%08x", hr);
        // A client that never came is no success.
        return FAILED(hr) ? hr : E_FAIL;
    }
    hr = client->SendCommand(command, nullptr, nullptr);
    if (hr == E_INVALIDARG) {
        TraceError(L"SendCommand(%s) failed: E_INVALIDARG (not available, service is already started or BTP enabled)",
                   name);
        return 1;
    }
    if (FAILED(hr)) {
        TraceError(L"SendCommand(%s) failed: 0x%08x", name, hr);
        return hr;
    }
    return S_OK;
}

// The Win32 error inside a service failure (for the log) and the result it gives; an error
// that was lost still fails.
HRESULT ServiceFailure(HRESULT lastResult, int& code) {
    code = HRESULT_FACILITY(lastResult) == FACILITY_WIN32 ? HRESULT_CODE(lastResult) : static_cast<int>(lastResult);
    return FAILED(lastResult) ? lastResult : E_FAIL;
}

HRESULT FromWin32(DWORD error) {
    return error ? static_cast<HRESULT>(0x80070000 | (error & 0xFFFF)) : E_FAIL;
}

}  // namespace

HRESULT CInstallManager::AcceptEULA() {
    return SendMasterServiceCommand(kCommandAcceptEula, L"CMDID_MASTERSERVICE_COMMAND_ACCEPTEULA");
}

HRESULT CInstallManager::ForceLoad() {
    return SendMasterServiceCommand(kCommandForceLoad, L"CMDID_MASTERSERVICE_COMMAND_FORCELOAD");
}

HRESULT CInstallManager::StartProductService() {
    std::wstring root, serviceName;
    qlLib::CRegKey key;
    if (!qlLib::CIsolation::GetIsolationRoot(root) ||
        !key.Open(HKEY_LOCAL_MACHINE, root.c_str(), KEY_READ | KEY_WOW64_64KEY) ||
        !key.QueryString(L"SERVICENAME", serviceName))
        return S_OK;

    CService service;
    int code = 0;
    if (!service.Initialize()) {
        const HRESULT hr = ServiceFailure(service.GetLastResult(), code);
        TraceError(L"Service Control Manager failed to open: %d", code);
        return hr;
    }
    if (!service.Open(serviceName.c_str())) {
        const HRESULT hr = ServiceFailure(service.GetLastResult(), code);
        TraceError(L"Service %s failed to open: %d", serviceName.c_str(), code);
        return hr;
    }
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.GetServiceHandle(), &status) || status.dwCurrentState == SERVICE_RUNNING)
        return S_OK;
    if (!::StartServiceW(service.GetServiceHandle(), 0, nullptr)) {
        const DWORD error = ::GetLastError();
        // Started by someone else since the query: wait for it like for our own start.
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            TraceError(L"StartService failed: %d", static_cast<int>(error));
            return FromWin32(error);
        }
    }
    if (!service.WaitForService(service.GetServiceHandle(), serviceName.c_str())) {
        TraceError(L"%s failed to start", serviceName.c_str());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CInstallManager::RunSilentConfiguration() {
    // The product is configured, not installed: the settings name its isolation root, and the
    // folders only serve the log.
    InitializeEmbeddedData();
    CreateDirectories();
    qlLib::CIsolation::ReportIgnoredFile();

    HRESULT hr = StartProductService();
    if (FAILED(hr)) return hr;

    if (m_runModes.silentConfigWizard) {
        hr = AcceptEULA();
        if (FAILED(hr)) {
            TraceError(L"AcceptEULA failed: 0x%08x", hr);
            return hr;
        }
    }
    hr = ForceLoad();
    if (FAILED(hr)) {
        TraceError(L"ForceLoad failed: 0x%08x", hr);
        return hr;
    }
    TraceInfo(L"silent config completed");
    return S_OK;
}

HRESULT CInstallManager::NotifyPatchController() {
    TraceError(L"Setup path to Isolate.ini");
    std::wstring folder, path, disabled;
    bool pathBuilt = false;
    try {
        // Without the product's folder there is no isolation file to step aside; a token left
        // unexpanded would name a file relative to wherever this process stands.
        if (qlLib::ExpandPath(L"%INSTALLDIR%", folder) && !folder.empty() && !::PathIsRelativeW(folder.c_str())) {
            if (!qlLib::JoinPath(path, folder, L"isolate.ini") ||
                !qlLib::FormatString(disabled, L"%s_disabled", path.c_str())) {
                TraceError(L"Unable to create path to isolate.ini");
                return E_OUTOFMEMORY;
            }
            pathBuilt = true;
        } else {
            TraceError(L"Unable to create path to isolate.ini");
        }
    } catch (const std::bad_alloc&) {
        TraceError(L"Unable to create path to isolate.ini");
        return E_OUTOFMEMORY;
    }

    bool renamed = false;
    if (pathBuilt) {
        TraceInfo(L"Disabling isolate.ini so that our IPC calls will go to the correct silo for the patch controller");
        renamed = ::MoveFileW(path.c_str(), disabled.c_str()) != FALSE;
        if (!renamed) TraceError(L"Unable to disable %s", path.c_str());
    }

    {
        CIPCLibrary library;
        if (FAILED(CreateIPCLibrary(library))) {
            TraceError(L"Failed to create IPC command object.");
        } else {
            qlLib::CComPtr<IIPCClient> client;
            HRESULT hr = library->CreateClient(kPatchControllerChannel, client.Receive());
            if (FAILED(hr) || !client) {
                TraceError(L"Couldn't connect to rebootless patch controller: 0x%08x", hr);
            } else {
                qlLib::CComPtr<qlLib::IKeyValueCollection> input = qlLib::CKeyValueCollectionImpl::New();
                qlLib::CComPtr<qlLib::IKeyValueCollection> output = qlLib::CKeyValueCollectionImpl::New();
                if (!input || !output || !input->SetDword(kPatchStatusKey, kPatchStatusValue)) {
                    hr = E_OUTOFMEMORY;
                } else {
                    hr = client->SendCommand(kCommandPatchStatus, input.Get(), output.Get());
                }
                if (FAILED(hr)) TraceError(L"Couldn't send patch status, not rebootless patching? :0x%08x", hr);
            }
        }
    }

    if (renamed) {
        TraceInfo(L"Restored Isolate.ini");
        // Left disabled, the product would run in the wrong silo from now on: worth a line.
        if (!::MoveFileW(disabled.c_str(), path.c_str())) TraceError(L"Unable to restore %s", path.c_str());
    }
    return S_OK;
}

}  // namespace TARN
