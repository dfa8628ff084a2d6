// Runs that end before an install: validation of an installed product, the package dump of
// test mode; and the install UI frame that the install run shows.
#include "package/KeyValueCollectionImpl.h"
#include "package/TestModeUnpacker.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"
#include "system/Utils.h"
#include "stub/InstallManager.h"

namespace TARN {

HRESULT CInstallManager::CheckValidationMode(bool& handled) {
    handled = false;
    if (!m_commandLine.Has(L"VALIDATE")) return S_OK;
    handled = true;

    const std::wstring folder = m_ownPath.DriveAndFolder();
    std::wstring manifest;
    qlLib::CComPtr<qlLib::IKeyValueCollection> data = qlLib::CKeyValueCollectionImpl::New();
    if (!data || !qlLib::JoinPath(manifest, folder, L"Install.mft") || !data->SetWString(0, manifest.c_str()))
        return E_OUTOFMEMORY;

    // The engine installed beside this stub checks its own manifest: loading and initialising it
    // is the whole validation.
    HRESULT hr = m_engine.Load(folder, false);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::CheckValidationMode(1277) : failed to load engine: 0x%08x", hr);
        return hr;
    }
    const DWORD mode = m_commandLine.Has(L"REPAIRSHORTCUTS") ? eEngineMode_RepairShortcuts
                       : m_commandLine.Has(L"REPAIR")        ? eEngineMode_Repair
                                                             : eEngineMode_Validate;
    hr = m_engine.Initialize(mode, data.Get(), nullptr, nullptr);
    if (FAILED(hr)) TraceError(L"CInstallManager::CheckValidationMode(1294) : failed to Initialize engine: 0x%08x", hr);
    return hr;
}

HRESULT CInstallManager::CheckTestMode(const std::wstring& targetFolder, bool& handled) {
    handled = true;
    // The dump is for build machines: unattended, and never over something that is there.
    if (!m_quiet || ::GetFileAttributesW(targetFolder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        TraceError(L"CInstallManager::CheckTestMode(1080) : /TEST specified but canceled. make sure /qn is specified.");
        return kTestModeRefused;
    }
    CTestModeUnpacker unpacker(targetFolder.c_str());
    return unpacker.Extract(m_ownPath.Path().c_str(), m_runModes.TestFlag());
}

HRESULT CInstallManager::CreateUIFrame() {
    HRESULT hr = m_installUI.Load(m_installCache);
    if (hr == E_FAIL && m_embeddedData.DataExists(eEmbedded_DefaultLanguage)) {
        // The UI could not settle on a language: forget the fallback chosen earlier and retry.
        std::wstring fallback;
        if (!qlLib::JoinPath(fallback, m_installCache, L"fallback.dat")) return E_OUTOFMEMORY;
        TraceInfo(L"delete file: %s", fallback.c_str());
        CUtils::DeleteFileW(fallback.c_str(), false);
        std::wstring defaultLanguage;
        if (m_embeddedData.GetData(eEmbedded_DefaultLanguage, &defaultLanguage))
            CUtils::WriteLanguageFallback(defaultLanguage.c_str(), m_installCache.c_str());
        hr = m_installUI.Load(m_installCache);
    }
    return FAILED(hr) ? hr : S_OK;
}

}  // namespace TARN
