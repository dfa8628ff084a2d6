// The engine run: the install layout unpacked into the cache, the current manifest, the engine
// loaded from the cache and run behind the install UI or a silent document, its return code
// published in the registry on request.
#include "components/SilentDocument.h"
#include "package/7zArchive.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/Handles.h"
#include "runtime/Isolation.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "stub/RebootSystem.h"
#include "stub/ShutdownBlockWindow.h"
#include "system/Registry.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const wchar_t kReturnCodeKey[] = L"TARN\\ReturnCode";
const wchar_t kReturnCodeValue[] = L"ReturnCode";

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

DWORD CInstallManager::Run() {
    m_engineResult = ExtractLayout();
    if (FAILED(m_engineResult)) {
        TraceError(L"CInstallManager::Run(2037) : ExtractLayout failed (0x%08x)", m_engineResult);
        // Ends the main thread's UI loop.
        m_installUI.CloseFrame();
        if (m_engineResult != kNoSignature) ReportFailure(eHint_ExtractLayout, m_engineResult);
        return 0;
    }
    if (!m_aborting) {
        LaunchEngine();
        m_installUI.CloseFrame();
    }
    return 0;
}

bool CInstallManager::LayoutExists() {
    std::wstring marker;
    return qlLib::JoinPath(marker, m_installCache, L"layout.dat") && FileExists(marker);
}

bool CInstallManager::WriteLayoutMarker() {
    std::wstring marker;
    if (!qlLib::JoinPath(marker, m_installCache, L"layout.dat")) return false;
    qlLib::CFileHandle file(::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return file.IsValid();
}

HRESULT CInstallManager::ExtractLayout() {
    if (LayoutExists() &&
        (m_runModes.overExistingCache || !NeedsPackageExtraction() || !IsDepPatchWaiting(m_productId))) {
        if (LoadCurrentManifest()) return S_OK;
        qlLib::CRegKey reboot;
        if (reboot.Open(HKEY_LOCAL_MACHINE, L"Software\\Velmor\\Reboot", KEY_READ)) {
            TraceInfo(L"reboot key found (need to reboot before running install)");
            return S_OK;
        }
        TraceError(L"CInstallManager::ExtractLayout(2115) : LoadCurrentManifest failed");
        return CUtils::ErrorResult(ERROR_FILE_NOT_FOUND);
    }

    TraceInfo(L"Start: Extracting Layout");
    if (!m_streams) {
        TraceError(L"CInstallManager::ExtractLayout(2127) : missing stream KVC");
        return E_INVALIDARG;
    }
    C7zArchive* created = nullptr;
    HRESULT hr = C7zArchive::Initialize(&created);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::ExtractLayout(2136) : Initialize failed (0x%08x)", hr);
        return hr;
    }
    // One reference, given back on every way out.
    struct CArchiveRelease {
        C7zArchive* archive;
        ~CArchiveRelease() { archive->Release(); }
    } archive{created};

    qlLib::CComPtr<IUnknown> object;
    qlLib::CComPtr<qlLib::IDataStream> stream;
    if (m_streams->GetObj(eStreamKey_InstallPackage, object.Receive()) && object)
        stream = object.As<qlLib::IDataStream>(qlLib::IID_IDataStream);
    if (!stream) {
        TraceError(L"CInstallManager::ExtractLayout(2144) : no archive in stream");
        return E_INVALIDARG;
    }
    stream->Seek(0);
    hr = archive.archive->Open(stream.Get());
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::ExtractLayout(2153) : Open failed (0x%08x)", hr);
        return hr;
    }
    const HRESULT extracted = archive.archive->ExtractFolder(m_installCache.c_str());
    archive.archive->Close();
    if (FAILED(extracted)) {
        TraceError(L"CInstallManager::ExtractLayout(2161) : ExtractFolder failed (0x%08x)", extracted);
        return extracted;
    }
    TraceInfo(L"Finished: Extracting Layout (%s", m_installCache.c_str());

    bool copyBase = false;
    if (m_embeddedData.GetData(eEmbedded_CopyBaseFiles, &copyBase) && copyBase &&
        m_runModes.copyBaseCache.hasValue && !m_runModes.copyBaseCache.value.empty()) {
        const std::wstring& base = m_runModes.copyBaseCache.value;
        TraceInfo(L"CopyBaseFiles: %s", base.c_str());
        // The copies are loaded from the cache later: they come only from where users cannot
        // have put them, held until the copy is done.
        qlLib::CFileHandle held;
        if (HoldCodeFolder(base, true, held)) {
            CUtils::CopyFiles(base.c_str(), m_installCache.c_str());
        } else {
            TraceError(L"CInstallManager::ExtractLayout : %s is not a folder only administrators may write, with "
                       L"every folder below it: no base files are copied",
                       base.c_str());
        }
    }
    if (!WriteLayoutMarker()) {
        TraceError(L"CInstallManager::ExtractLayout(2181) : failed to write layout.dat");
        return E_FAIL;
    }
    // The package stream is not needed any more: its file can go.
    stream.Release();
    object.Release();
    m_streams->Remove(eStreamKey_InstallPackage);
    if (!LoadCurrentManifest()) {
        TraceError(L"CInstallManager::ExtractLayout(2191) : LoadCurrentManifest failed");
        return CUtils::ErrorResult(ERROR_FILE_NOT_FOUND);
    }
    return extracted;
}

bool CInstallManager::LoadCurrentManifest() {
    if (!m_streams) {
        TraceError(L"CInstallManager::LoadCurrentManifest(1958) : missing stream");
        return false;
    }
    std::wstring folder = m_installCache;
    if (m_runModes.lastInstallRelaunch &&
        (!m_embeddedData.GetData(eEmbedded_ManifestFolder, &folder) || folder.empty())) {
        TraceError(L"CInstallManager::LoadCurrentManifest(1967) : failed to get manifest path");
        return false;
    }
    // The settings name that folder, and they lie outside the signed bytes; its manifest tells
    // the engine what to install from where and what to run after: taken as code is.
    if (m_runModes.lastInstallRelaunch && !HoldCodeFolder(folder, true, m_manifestFolder)) {
        TraceError(L"CInstallManager::LoadCurrentManifest : %s is not a folder only administrators may write, with "
                   L"every folder below it: its manifest is not used",
                   folder.c_str());
        return false;
    }
    std::wstring manifest;
    return qlLib::JoinPath(manifest, folder, L"Install.mft") && m_streams->SetWString(eStreamKey_Manifest, manifest.c_str());
}

bool CInstallManager::IsDepPatchWaiting(const std::wstring& productId) {
    std::wstring root;
    if (!qlLib::CIsolation::GetIsolationRoot(root)) return false;
    qlLib::CRegKey isolation;
    if (!isolation.Open(HKEY_LOCAL_MACHINE, root.c_str(), KEY_READ)) {
        if (isolation.GetLastError() != ERROR_FILE_NOT_FOUND)
            TraceError(L"CInstallManager::IsDepPatchWaiting(2065) : failed to open isolation key: %lu",
                       isolation.GetLastError());
        return false;
    }
    qlLib::CRegKey patch;
    if (!patch.Open(isolation.Get(), L"TARN\\Patch", KEY_READ)) {
        if (patch.GetLastError() != ERROR_FILE_NOT_FOUND)
            TraceError(L"CInstallManager::IsDepPatchWaiting(2075) : failed to open patch key: %lu", patch.GetLastError());
        return false;
    }
    qlLib::CRegKey engine;
    if (!engine.Open(patch.Get(), productId.c_str(), KEY_READ | KEY_WRITE)) {
        if (engine.GetLastError() != ERROR_FILE_NOT_FOUND)
            TraceError(L"CInstallManager::IsDepPatchWaiting(2085) : failed to open engine key: %lu", engine.GetLastError());
        return false;
    }
    DWORD stage = 0;
    if (!engine.QueryDWORD(L"Stage", stage) || stage != 5) return false;
    TraceInfo(L"Dependent patch waiting - delete patch key");
    engine.Close();
    std::wstring path;
    CRegistry product;
    if (qlLib::JoinPath(path, root, L"TARN\\Patch") && qlLib::JoinPath(path, path, productId) &&
        product.Open(path.c_str(), HKEY_LOCAL_MACHINE, KEY_READ | KEY_WRITE))
        product.DeleteTree();
    return true;
}

bool CInstallManager::DeleteCompleteAndExtract() {
    TraceInfo(L"DeleteCompleteAndExtract");
    std::wstring complete, extract;
    if (!qlLib::JoinPath(complete, m_installCache, L"complete.dat") ||
        !qlLib::JoinPath(extract, m_installCache, L"extract.dat"))
        return false;
    HRESULT hr = CUtils::DeleteFileW(complete.c_str(), false);
    if (FAILED(hr))
        TraceWarning(L"CInstallManager::DeleteCompleteAndExtract(2448) : failed to delete %s: 0x%08x", complete.c_str(), hr);
    hr = CUtils::DeleteFileW(extract.c_str(), false);
    if (FAILED(hr))
        TraceWarning(L"CInstallManager::DeleteCompleteAndExtract(2454) : failed to delete %s: 0x%08x", extract.c_str(), hr);
    return true;
}

void CInstallManager::LaunchEngine() {
    m_retryAllowed = false;
    if (!m_engineResults) {
        m_engineResults = qlLib::CKeyValueCollectionImpl::New();
        if (!m_engineResults) {
            m_engineResult = E_OUTOFMEMORY;
            return;
        }
    }
    HRESULT hr = m_engine.Load(m_installCache);
    if (FAILED(hr)) {
        m_engineResult = hr;
        m_engineResults->SetDword(eResult_FailureHint, eHint_EngineLoad);
        m_retryAllowed = true;
        TraceError(L"CInstallManager::LaunchEngine(2219) : failed to load engine: 0x%08x", hr);
        return;
    }
    m_engineResult = hr;
    // Keeps the session from ending under a quiet install; gone with the engine's end.
    CShutdownBlockWindow window;
    RunEngine(window);
    window.Destroy();
}

void CInstallManager::RunEngine(CShutdownBlockWindow& window) {
    qlLib::CComPtr<IInstallUIFrame> frame;
    const HRESULT frameResult = m_installUI.GetFrame(frame.Receive());
    if (FAILED(frameResult)) {
        TraceError(L"CInstallManager::LaunchEngine(2228) : failed to get UI frame: 0x%08x", frameResult);
        frame.Release();
    }

    qlLib::CComPtr<IInstallUI> ui;
    if (!m_quiet || ShouldShowErrors()) {
        if (frame) m_engineResult = m_installUI.GetInstallUI(m_uiOption, ui.Receive());
        if (!ui) {
            // Without a UI object nothing was installed, whatever the calls before answered.
            if (SUCCEEDED(m_engineResult)) m_engineResult = FAILED(frameResult) ? frameResult : E_UNEXPECTED;
            m_engineResults->SetDword(eResult_FailureHint, eHint_NoInstallUI);
            TraceError(L"CInstallManager::LaunchEngine(2276) : Failed to get Install UI pointer");
            return;
        }
        TraceInfo(L"Full UI object created.");
    } else {
        ui = qlLib::CComPtr<IInstallUI>::Adopt(CSilentDocument::Create());
        if (!ui) {
            m_engineResult = E_OUTOFMEMORY;
            TraceError(L"CInstallManager::LaunchEngine(2241) : Failed to create silent document: out of memory");
            return;
        }
        std::wstring productId;
        if (!m_embeddedData.GetData(eEmbedded_ProductId, &productId))
            TraceWarning(L"CInstallManager::LaunchEngine(2251) : Product id not found.");
        window.Create(productId);
        TraceInfo(L"Silent UI object created.");
    }

    // S_FALSE: the engine object was already there (a retry) and is initialised.
    if (m_engineResult != S_FALSE) {
        const DWORD mode = m_patchFailureMode == 1 ? eEngineMode_PatchFailure1
                           : m_patchFailureMode == 2 ? eEngineMode_PatchFailure2
                                                     : eEngineMode_Install;
        m_engineResult = m_engine.Initialize(mode, m_streams.Get(), frame.Get(), ui.Get());
        if (FAILED(m_engineResult)) {
            if (m_engineResult == kNoSignature && NeedsPackageExtraction())
                m_engineResults->SetBool(eResult_RemoveCache, true);
            m_engineResults->SetDword(eResult_FailureHint, eHint_EngineInitialize);
            TraceError(L"CInstallManager::LaunchEngine(2309) : failed to initialize engine: 0x%08x", m_engineResult);
            if (m_engineResult == kRetryInitialize) m_retryAllowed = true;
            return;
        }
    }

    m_engineResult = m_engine.Start(m_engineResults.Get());
    if (m_engineResult == kRetryRun) {
        m_retryAllowed = true;
        return;
    }
    PublishReturnCode();
    if (FAILED(m_engineResult) && m_engineResult != CUtils::kRebootRequired && m_engineResult != kResultRebootInitiated)
        TraceError(L"CInstallManager::LaunchEngine(2393) : engine failed: 0x%08x", m_engineResult);
}

void CInstallManager::PublishReturnCode() {
    // Every run that reaches the engine's end clears the value of an earlier one.
    std::wstring root, path;
    const bool haveRoot = qlLib::CIsolation::GetIsolationRoot(root) &&
                          qlLib::FormatString(path, L"%s\\%s", root.c_str(), kReturnCodeKey);
    {
        // The value's own key in one step: an isolation key this run may not write must not keep
        // an earlier run's result there for updaters to read as this one's.
        qlLib::CRegKey returnCode;
        if (!haveRoot || !returnCode.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE) ||
            !returnCode.DeleteValue(kReturnCodeValue))
            TraceInfo(L"Unable to delete return code %s/%s", kReturnCodeKey, kReturnCodeValue);
    }

    bool always = false;
    m_embeddedData.GetData(eEmbedded_PublishReturnCode, &always);
    if (!always && m_publishResults != 1 && m_publishResults != 2) return;
    const DWORD code = static_cast<DWORD>(m_engineResult);
    qlLib::CRegKey isolation, returnCode;
    if (haveRoot && isolation.Open(HKEY_LOCAL_MACHINE, root.c_str(), KEY_WRITE, true)) {
        if (!returnCode.Open(isolation.Get(), kReturnCodeKey, KEY_WRITE, true) ||
            !returnCode.SetDWORD(kReturnCodeValue, code))
            TraceError(L"CInstallManager::LaunchEngine(2360) : ReturnCode: failed to set \"%s\" = \"%d\": %lu",
                       kReturnCodeValue, m_engineResult, returnCode.GetLastError());
        return;
    }
    TraceInfo(L"Unable to open SILO key");
    bool overInstall = false;
    if (!m_engineResults->GetBool(eResult_KeepParentCache, &overInstall) || !overInstall) return;
    TraceInfo(L"over install happened with publish results");
    if (!haveRoot || !returnCode.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE) || !returnCode.SetDWORD(kReturnCodeValue, code))
        TraceError(L"CInstallManager::LaunchEngine(2382) : ReturnCode: failed to set \"%s\" = \"%d\": %lu",
                   kReturnCodeValue, m_engineResult, returnCode.GetLastError());
}

}  // namespace TARN
