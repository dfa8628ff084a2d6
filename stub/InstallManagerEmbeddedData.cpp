// The product settings of the running executable, the cache folder they name, the package
// extraction into it and what the install engine is handed.
#include <windows.h>
#include <shlwapi.h>

#include <new>

#include "package/ArchivingFileStreamImpl.h"
#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/Isolation.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/Utils.h"

namespace TARN {

namespace {

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The product ID names a folder of the cache: one plain component, nothing that climbs out.
bool IsPlainFolderName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/") == std::wstring::npos && qlLib::IsSafeRelativePath(name);
}

// A cache is emptied before a fresh extraction as every folder the stub deletes: through held
// handles, following no link.
bool EmptyCacheFolder(const std::wstring& folder, DWORD* error) {
    const HRESULT hr = CUtils::DeleteFolder(folder.c_str(), false, false);
    // Quiet as it is asked to be, the walk answers S_OK also where entries stayed.
    const bool left = FileExists(folder) && !::PathIsDirectoryEmptyW(folder.c_str());
    if (SUCCEEDED(hr) && !left) return true;
    if (error) {
        *error = left ? ERROR_DIR_NOT_EMPTY
                      : HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : ERROR_ACCESS_DENIED;
    }
    return false;
}

}  // namespace

HRESULT CInstallManager::InitializeEmbeddedData() {
    if (!m_embeddedData.Initialize(m_ownPath.Path().c_str(), false)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1605) : failed to initialize data extender");
        return kEmbeddedDataUnreadable;
    }
    m_embeddedDataOpen = true;
    const wchar_t* commandLine = ::GetCommandLineW();
    if (!m_embeddedData.SetData(eEmbedded_CommandLine, commandLine)) return E_OUTOFMEMORY;
    if (m_runModes.notUpgradeLayout && !m_embeddedData.SetData(eEmbedded_UpgradeLayout, false)) return E_OUTOFMEMORY;
    if (!m_embeddedData.DataExists(eEmbedded_FirstCommandLine) &&
        !m_embeddedData.SetData(eEmbedded_FirstCommandLine, commandLine))
        return E_OUTOFMEMORY;

    if (!m_embeddedData.GetData(eEmbedded_ProductId, &m_productId)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1626) : ProductID not set in Embedded Data");
        return kNoProductId;
    }
    // The settings block lies outside the signed bytes: a product ID that is no plain folder name
    // would place the cache anywhere.
    if (!IsPlainFolderName(m_productId)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1628) : ProductID is not a folder name: %s",
                   m_productId.c_str());
        return kNoProductId;
    }

    if (!m_embeddedData.GetData(eEmbedded_IsolationGuid, &m_isolationGuid)) {
        TraceWarning(L"CInstallManager::InitializeEmbeddedData(1633) : isolation guid not found. exit");
        return kIsolationMissing;
    }
    if (!qlLib::CIsolation::SetSiloID(m_isolationGuid.c_str())) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1640) : SetSiloID failed: %s", m_isolationGuid.c_str());
        return kIsolationMissing;
    }
    std::wstring registryRoot;
    if (!m_embeddedData.GetData(eEmbedded_IsolationRegistryRoot, &registryRoot)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1648) : isolation guid not found");
        return kIsolationMissing;
    }
    if (!qlLib::CIsolation::SetSiloRegistryRoot(registryRoot.c_str())) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1655) : SetSiloRegistryRoot failed: %s",
                   registryRoot.c_str());
        return kIsolationMissing;
    }

    if (!qlLib::JoinPath(m_installCache, m_baseInstallFolder, m_isolationGuid)) return E_OUTOFMEMORY;
    HRESULT hr = EnsureCreateDirectory(m_installCache);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1673) : failed to create directory (%s) (0x%08x)",
                   m_installCache.c_str(), hr);
        return hr;
    }

    if (m_stage && (!m_embeddedData.SetData(eEmbedded_NoReboot, true) ||
                    !m_embeddedData.SetData(eEmbedded_NotStaged, false)))
        return E_OUTOFMEMORY;

    bool addOns = false;
    try {
        if (m_embeddedData.GetData(eEmbedded_AddOnsMode, &addOns) && addOns) {
            if (!m_embeddedData.SetData(eEmbedded_AddOnsOff1, false) ||
                !m_embeddedData.SetData(eEmbedded_AddOnsOff2, false) ||
                !m_embeddedData.SetData(eEmbedded_AddOnsOff3, false) ||
                !qlLib::JoinPath(m_installCache, m_installCache, L"AddOns") ||
                !qlLib::JoinPath(m_installCache, m_installCache, m_productId))
                return E_OUTOFMEMORY;
            m_baseInstallFolder = m_installCache;
        } else {
            m_baseInstallFolder = m_installCache;
            if (!qlLib::JoinPath(m_installCache, m_installCache, m_productId)) return E_OUTOFMEMORY;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    DWORD version[4] = {};
    for (DWORD i = 0; i < 4; ++i) m_embeddedData.GetData(eEmbedded_Version1 + i, &version[i]);
    std::wstring versionFolder;
    if (!qlLib::FormatString(versionFolder, L"%lu.%lu.%lu.%lu", version[0], version[1], version[2], version[3]) ||
        !qlLib::JoinPath(m_installCache, m_installCache, versionFolder) ||
        !SetStreamString(eStreamKey_InstallCache, m_installCache))
        return E_OUTOFMEMORY;
    TraceInfo(L"Install Cache: %s", m_installCache.c_str());
    hr = EnsureCreateDirectory(m_installCache);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::InitializeEmbeddedData(1758) : failed to create directory: %s (0x%08x)",
                   m_installCache.c_str(), hr);
        return hr;
    }

    if (!m_runModes.deleteMode) {
        // Settings a product keeps beside its cache win over the ones it was built with.
        std::wstring external;
        if (!qlLib::JoinPath(external, m_installCache, L"install.dat")) return E_OUTOFMEMORY;
        if (FileExists(external) && !m_embeddedData.Import(external.c_str()))
            TraceError(L"CInstallManager::InitializeEmbeddedData(1775) : unable to import external settings");
    }
    if (m_runModes.defaultLanguage.hasValue &&
        !m_embeddedData.SetData(eEmbedded_DefaultLanguage, m_runModes.defaultLanguage.value.c_str()))
        return E_OUTOFMEMORY;
    bool uiOption = false;
    if (m_embeddedData.GetData(eEmbedded_UIOption, &uiOption)) m_uiOption = uiOption;
    if (m_runModes.genTrayIconScript && !m_embeddedData.SetData(eEmbedded_OwnPath, m_ownPath.Path().c_str()))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT CInstallManager::InitializeOutputManifest() {
    // The log folder goes into a format: a percent sign in it is text, not a placeholder.
    std::wstring folder;
    try {
        for (wchar_t c : m_logFolder) {
            folder.push_back(c);
            if (c == L'%') folder.push_back(L'%');
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    std::wstring format;
    if (!qlLib::FormatString(format, L"%s\\Install.%%d.mft", folder.c_str())) return E_OUTOFMEMORY;
    qlLib::CComPtr<qlLib::CArchivingFileStreamImpl> manifest =
        qlLib::CComPtr<qlLib::CArchivingFileStreamImpl>::Adopt(qlLib::CreateArchivingFileStreamImpl());
    if (!manifest) return E_OUTOFMEMORY;
    if (!manifest->SetFileNameFormat(format.c_str())) {
        TraceError(L"CInstallManager::InitializeOutputManifest(1821) : CArchivingFileStreamImpl::SetFileNameFormat failed");
        return E_UNEXPECTED;
    }
    if (!m_streams->SetObj(eStreamKey_OutputManifest, static_cast<qlLib::IDataStream*>(manifest.Get())))
        return E_OUTOFMEMORY;
    return S_OK;
}

bool CInstallManager::NeedsPackageExtraction() {
    if (m_extractionAnswerCached) return m_extractionNeeded;
    std::wstring finalized, complete;
    if (!qlLib::JoinPath(finalized, m_installCache, L"finalzed.dat") ||
        !qlLib::JoinPath(complete, m_installCache, L"complete.dat"))
        return true;
    m_extractionNeeded = !FileExists(finalized) && !FileExists(complete);
    m_extractionAnswerCached = true;
    return m_extractionNeeded;
}

HRESULT CInstallManager::ExtractPackage() {
    TraceInfo(L"Start: Extract Package");
    CInstallUnpacker unpacker;
    const HRESULT hr = ExtractMediaPackage(unpacker);
    TraceInfo(L"Finished: Extract Package: 0x%08x", hr);
    return hr;
}

HRESULT CInstallManager::ExtractMediaPackage(CInstallUnpacker& unpacker) {
    unpacker.SetFolderDelete(&EmptyCacheFolder);
    const HRESULT hr = m_media.Accept(m_mediaPath, m_ownPath.Path(), m_installerFile);
    return FAILED(hr) ? hr : m_media.Extract(unpacker, m_streams.Get(), m_installCache);
}

HRESULT CInstallManager::PrepareEngineData() {
    qlLib::CComPtr<qlLib::IKeyValueCollection> engineData = qlLib::CKeyValueCollectionImpl::New();
    if (!engineData) {
        TraceError(L"CInstallManager::Initialize(567) : out of memory");
        return E_OUTOFMEMORY;
    }
    if (!m_embeddedData.GetCollection(engineData.Get()) || !m_streams->SetObj(eStreamKey_EngineData, engineData.Get()))
        return E_OUTOFMEMORY;
    std::wstring cachedStub;
    if (!qlLib::JoinPath(cachedStub, m_installCache, CInstallUnpacker::kStubName) ||
        !SetStreamString(eStreamKey_CachedStub, cachedStub))
        return E_OUTOFMEMORY;
    if (m_runModes.overExistingCache) MoveEmbeddedDataToCachedStub(cachedStub, engineData.Get());
    return S_OK;
}

void CInstallManager::MoveEmbeddedDataToCachedStub(const std::wstring& cachedStub,
                                                   qlLib::IKeyValueCollection* engineData) {
    // Windows refuses to open a running program for writing; Wine would let this process rewrite
    // its own mapped image. The cached stub running itself keeps its settings.
    if (qlLib::EqualsNoCase(cachedStub.c_str(), m_ownPath.Path().c_str())) return;
    CFileDataExtender cached;
    if (!cached.Initialize(cachedStub.c_str(), true)) return;
    std::wstring productId;
    if (cached.GetData(eEmbedded_ProductId, &productId) && productId.empty()) return;
    TraceInfo(L"start: move embedded data to the cached stub");
    // Settings that this file carries inside its signature go into the cached stub's signature too.
    const CFileDataExtender::EPlacement found = cached.GetPlacement();
    if (m_embeddedData.GetPlacement() == CFileDataExtender::ePlacement_Signature && cached.IsSigned())
        cached.SetPlacement(CFileDataExtender::ePlacement_Signature);
    // A re-run over the cache mostly finds them there already: the file is then left as it is.
    if (cached.GetPlacement() != found || !cached.HoldsSameAs(engineData)) {
        if (!cached.Import(engineData)) {
            TraceError(L"CInstallManager::Initialize(601) : failed to import embedded data");
        } else if (!cached.Save()) {
            TraceError(L"CInstallManager::Initialize(607) : failed to save embedded data to cached stub");
        }
    }
    TraceInfo(L"done: move embedded data to the cached stub");
}

}  // namespace TARN
