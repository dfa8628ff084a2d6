// The folders of an install run: installer root, log, temp and the per-product cache.
#include <shlobj.h>
#include <shlwapi.h>

#include <new>
#include <vector>

#include "runtime/DebugOutput.h"
#include "runtime/FolderUtils.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/EnsureAccess.h"
#include "system/OwnFolder.h"
#include "system/Utils.h"

namespace TARN {

namespace {

bool IsBelow(const std::wstring& root, const std::wstring& path) {
    return !root.empty() && path.size() > root.size() + 1 && path[root.size()] == L'\\' &&
           ::CompareStringOrdinal(path.c_str(), static_cast<int>(root.size()), root.c_str(),
                                  static_cast<int>(root.size()), TRUE) == CSTR_EQUAL;
}

// The first folder below root on the way to path, as a full path (path below root).
std::wstring FirstLevel(const std::wstring& root, const std::wstring& path) {
    return path.substr(0, path.find(L'\\', root.size() + 1));
}

// When target shares its first folder below root with planned, which was made as used, target
// goes below the first folder of used instead.
bool OnSameFirstLevel(const std::wstring& root, const std::wstring& planned, const std::wstring& used,
                      std::wstring& target) {
    try {
        if (!IsBelow(root, target) || !IsBelow(root, used)) return true;
        const std::wstring first = FirstLevel(root, planned);
        if (!qlLib::SamePath(first, FirstLevel(root, target))) return true;
        target.replace(0, first.size(), FirstLevel(root, used));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

bool CInstallManager::GetCommonInstallFolder(std::wstring& path) {
    std::wstring common;
    wchar_t folder[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) {
        common = folder;
    } else {
        TraceError(L"CInstalledApps::GetQLDataDirectory() : SHGetSpecialFolderPath() == FALSE\n");
        qlLib::CRegKey key;
        if (!key.Open(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders",
                      KEY_READ | KEY_WOW64_64KEY) ||
            !key.QueryString(L"Common AppData", common)) {
            TraceError(L"CInstallManager::GetCommonInstallFolder(1569) : reg.Open() == FALSE\n");
            return false;
        }
    }
    if (common.empty()) return false;
    return qlLib::JoinPath(path, common, L"VelmorInstaller");
}

HRESULT CInstallManager::InitializePaths() {
    if (!CUtils::GetInstallerRoot(m_baseInstallFolder)) {
        TraceError(L"CInstallManager::InitializePaths(1324) : failed to get program files folder");
        return E_UNEXPECTED;
    }
    std::wstring common;
    if (!GetCommonInstallFolder(common))
        TraceError(L"CInstallManager::InitializePaths(1332) : failed to get common app data folder");

    if (!qlLib::JoinPath(m_logFolder, common, L"Logs") || !SetStreamString(eStreamKey_LogRoot, m_logFolder))
        return E_OUTOFMEMORY;
    try {
        m_dataRoot = common;
        const size_t slash = m_dataRoot.find_last_of(L'\\');
        m_dataRoot.erase(slash == std::wstring::npos ? 0 : slash);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    // The folder of a delete-mode run is chosen by the run that started it: both logs end up
    // together. Every other run gets a folder of its own.
    if (LogFolderGiven()) {
        try {
            m_logFolder = m_runModes.logDir.value;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    } else {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        std::wstring stamp;
        if (!qlLib::FormatString(stamp, L"%04d-%02d-%02d-%02dh%02dm%02ds", now.wYear, now.wMonth, now.wDay,
                                 now.wHour, now.wMinute, now.wSecond) ||
            !qlLib::JoinPath(m_logFolder, m_logFolder, stamp))
            return E_OUTOFMEMORY;
    }
    if (!qlLib::JoinPath(m_tempFolder, common, L"KorTemp")) return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT CInstallManager::CreateDirectories() {
    // Logs, dumps and the engine's temp folder lie where ordinary users may create folders: they
    // are the installer's own before anything is written there, under new names where the names
    // were taken by somebody else. The run uses the folders it really got from here on.
    // A folder named on a delete-mode run's command line elsewhere is the starter's business.
    COwnFolder own;
    const bool below = IsBelow(m_dataRoot, m_logFolder);
    std::wstring logFolder, tempFolder;
    HRESULT hr = below ? own.Ensure(m_dataRoot, m_logFolder, COwnFolder::eReaders_Users, logFolder)
                       : EnsureCreateDirectory(m_logFolder);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::CreateDirectories(1426) : failed to create directory (%s) (0x%08x)",
                   m_logFolder.c_str(), hr);
        return hr;
    }
    // Dumps go into the log folder in use from here on.
    PointLogsAt(below ? logFolder : m_logFolder);
    if (!m_dataRoot.empty()) {
        // In the same common folder as the logs, whichever name that folder got.
        std::wstring target(m_tempFolder);
        if (below && !OnSameFirstLevel(m_dataRoot, m_logFolder, logFolder, target)) return E_OUTOFMEMORY;
        hr = own.Ensure(m_dataRoot, target, COwnFolder::eReaders_None, tempFolder);
        if (FAILED(hr)) {
            TraceError(L"CInstallManager::CreateDirectories : failed to create directory (%s) (0x%08x)",
                       m_tempFolder.c_str(), hr);
            return hr;
        }
    }
    try {
        if (below && !qlLib::SamePath(logFolder, m_logFolder)) {
            m_logFolder.swap(logFolder);
            // The root of the run's logs is where its own log folder went.
            const size_t slash = m_logFolder.find_last_of(L'\\');
            if (!LogFolderGiven() && slash != std::wstring::npos &&
                !SetStreamString(eStreamKey_LogRoot, m_logFolder.substr(0, slash)))
                return E_OUTOFMEMORY;
        }
        if (!tempFolder.empty()) m_tempFolder.swap(tempFolder);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // The lines held back since logging began go into the folder in use.
    qlLib::GetDebugOutput().HoldFileLines(false);
    TraceInfo(L"install version: %hs", "9.1.0.26");
    TraceInfo(L"command line: %s", ::GetCommandLineW());
    TraceInfo(L"base install folder: %s", m_baseInstallFolder.c_str());
    TraceInfo(L"install log folder: %s", m_logFolder.c_str());
    TraceInfo(L"install temp folder: %s", m_tempFolder.c_str());

    hr = EnsureCreateDirectory(m_baseInstallFolder);
    if (FAILED(hr)) {
        TraceError(L"CInstallManager::CreateDirectories(1440) : failed to create directory (%s) (0x%08x)",
                   m_baseInstallFolder.c_str(), hr);
        return hr;
    }
    if (!SetStreamString(eStreamKey_LogFolder, m_logFolder) || !SetStreamString(eStreamKey_TempFolder, m_tempFolder) ||
        !SetStreamString(eStreamKey_BaseInstallFolder, m_baseInstallFolder) ||
        !SetStreamString(eStreamKey_StubPath, m_ownPath.Path()) ||
        !SetStreamString(eStreamKey_StubFolder, m_ownPath.DriveAndFolder()))
        return E_OUTOFMEMORY;
    return S_OK;
}

bool CInstallManager::LogFolderGiven() const {
    return m_runModes.deleteMode && m_runModes.logDir.hasValue && !m_runModes.logDir.value.empty();
}

HRESULT CInstallManager::EnsureCreateDirectory(const std::wstring& path) {
    DWORD error = ERROR_SUCCESS;
    if (qlLib::CreateFolderTree(path, &error)) return S_OK;
    if (error != ERROR_ACCESS_DENIED) return CUtils::ErrorResult(error);

    // A folder above the target may have lost its rights: give administrators and the system full
    // access on each folder above, nearest first, until the target can be made.
    TraceInfo(L"attempting to fix access denied error: %s", path.c_str());
    std::vector<wchar_t> folder;
    try {
        folder.assign(path.begin(), path.end());
        folder.push_back(L'\0');
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const CAccessSpec spec = CAccessSpec::Inheritable(FILE_ALL_ACCESS);
    CWellKnownSid administrators(WinBuiltinAdministratorsSid);
    CWellKnownSid localSystem(WinLocalSystemSid);
    for (;;) {
        if (!::PathRemoveFileSpecW(folder.data()) || !folder[0]) return E_OUTOFMEMORY;
        for (PSID principal : {administrators.Get(), localSystem.Get()}) {
            if (!principal) continue;
            CRightsChecker::Exception exception;
            FileEnsureAccess(folder.data(), spec, principal, exception);
            if (exception.code != CRightsChecker::Exception::eNone) {
                TraceWarning(L"CInstallManager::EnsureCreateDirectory(1498) : FileEnsureAccess %s threw an exception: %d",
                             folder.data(), static_cast<int>(exception.code));
                return CUtils::ErrorResult(exception.code);
            }
            if (FAILED(exception.hr)) {
                TraceError(L"CInstallManager::EnsureCreateDirectory(1503) : FileEnsureAccess %s threw an exception: (0x%08x)",
                           folder.data(), exception.hr);
                return exception.hr;
            }
        }
        if (qlLib::CreateFolderTree(path, &error)) return S_OK;
        if (error != ERROR_ACCESS_DENIED) return CUtils::ErrorResult(error);
    }
}

bool CInstallManager::SetStreamString(DWORD key, const std::wstring& value) {
    return m_streams && m_streams->SetWString(key, value.c_str());
}

}  // namespace TARN
