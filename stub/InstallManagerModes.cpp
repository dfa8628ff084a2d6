// Runs that end before an install: validation of an installed product, the package dump of
// test mode; and the install UI frame that the install run shows.
#include "package/KeyValueCollectionImpl.h"
#include "package/TestModeUnpacker.h"
#include "runtime/AdminToken.h"
#include "runtime/PathUtils.h"
#include "runtime/ProtectedFolder.h"
#include "runtime/Trace.h"
#include "system/Utils.h"
#include "stub/InstallManager.h"

namespace TARN {

namespace {

// Stops at the first folder of a tree that is not protected. Links are passed over: the walks
// that take code never list them.
bool StopAtUnprotectedFolder(const wchar_t* folder, const wchar_t* top, const WIN32_FIND_DATAW& entry, void* context) {
    if (entry.cFileName[0]) return true;
    if (top && (::GetFileAttributesW(folder) & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    return *static_cast<bool*>(context) = qlLib::IsProtectedFolderAt(folder);
}

}  // namespace

bool CInstallManager::IsCodeFolder(const std::wstring& folder, bool withSubfolders) {
    if (qlLib::ProcessTokenKind() == qlLib::eToken_User) return true;
    if (!withSubfolders) return qlLib::IsProtectedFolderAt(folder);
    bool protectedTree = false;
    CUtils::EnumFolder(folder.c_str(), L"*.*", nullptr, true, StopAtUnprotectedFolder, &protectedTree);
    return protectedTree;
}

bool CInstallManager::HoldCodeFolder(const std::wstring& folder, bool withSubfolders, qlLib::CFileHandle& hold) {
    hold.Reset();
    if (qlLib::ProcessTokenKind() == qlLib::eToken_User) return true;   // as IsCodeFolder answers
    // Listing access: a handle with no data access would take no part in the sharing checks.
    hold.Reset(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (hold && IsCodeFolder(folder, withSubfolders)) return true;
    hold.Reset();
    return false;
}

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
    // is the whole validation. A download folder's engine.dll would run with the rights the
    // validation was started with: it is refused as a missing engine would be.
    if (!IsCodeFolder(folder, false)) {
        TraceError(L"CInstallManager::CheckValidationMode : %s is not a folder only administrators may write: "
                   L"its engine is not loaded",
                   folder.c_str());
        return E_UNEXPECTED;
    }
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
    const HRESULT held = m_installerFile.Hold(unpacker, m_ownPath.Path());
    return FAILED(held) ? held : unpacker.Extract(m_ownPath.Path().c_str(), m_runModes.TestFlag());
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
