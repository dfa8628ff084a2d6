// Removal of the install cache: the stub and its cached copy live inside the folder that has to
// go, so a copy of the cached stub in the temp folder is told which folder to remove, started with
// "DELETEMODE", and waits for this process to end before it deletes.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <ctime>
#include <new>

#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/TempFolder.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/OwnFolder.h"
#include "system/Utils.h"

namespace TARN {

namespace {

// Settings written into the copy and read by the delete-mode process.
const DWORD kKeyDeleteMode = 20500;      // armed: must be true
const DWORD kKeyDeleteFolder = 20501;    // the folder to remove
const DWORD kKeyEmptyFolders = 20516;    // the installer root, whose empty folders go too

// Success variant of the engine result after which a missing or busy cached stub is no failure.
const HRESULT kEngineResultFollowUp = static_cast<HRESULT>(0x00047C01);

// The folder made for the copy: this prefix and a number, in the temp folder.
const wchar_t kStagingPrefix[] = L"VelmorRemoval-";

bool FolderExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The temp folder; empty when the system cannot tell it. False only when memory runs out.
bool GetRemovalTempFolder(std::wstring& folder) {
    if (qlLib::GetTempFolder(folder)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_NOT_ENOUGH_MEMORY) return false;
    TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3127) : GetTempPath failed (%lu)", error);
    folder.clear();
    return true;
}

// 0 when the system does not tell.
ULONGLONG CreationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

bool CInstallManager::SetupAndLaunchRemovalProcess(const std::wstring& folder) {
    std::wstring source, temp, name, target;
    if (!qlLib::JoinPath(source, m_installCache, CInstallUnpacker::kStubName)) return false;
    if (!GetRemovalTempFolder(temp)) return false;

    srand(static_cast<unsigned>(time(nullptr)));
    const int number = rand();
    // The copy goes into a folder of a new name that only SYSTEM and the administrators may
    // write in (when this run has those rights): nobody can swap the copy before it starts.
    std::wstring staging;
    const HRESULT staged = temp.empty() ? E_FAIL : COwnFolder().CreateFresh(temp, kStagingPrefix, COwnFolder::eReaders_None, staging);
    if (FAILED(staged))
        TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess : no folder for the copy in %s (0x%08x)",
                   temp.c_str(), staged);
    if (!qlLib::FormatString(name, L"%s_%s_%d.exe", m_isolationGuid.c_str(), m_productId.c_str(), number) ||
        !qlLib::JoinPath(target, staging, name))
        return false;

    if (FAILED(staged) || !::CopyFileW(source.c_str(), target.c_str(), TRUE) || !qlLib::IsPlainFileAt(target)) {
        const DWORD error = FAILED(staged) ? ERROR_PATH_NOT_FOUND : ::GetLastError();
        TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3153) : CopyFile failed (%s -> %s): %lu",
                   source.c_str(), target.c_str(), error);
        if (m_engineResult == kEngineResultFollowUp &&
            (error == ERROR_FILE_NOT_FOUND || error == ERROR_SHARING_VIOLATION))
            return true;
        // A delete-mode process already at work removes the folder; otherwise the caller does,
        // holding the delete-mode lock.
        std::wstring lockName;
        if (!qlLib::FormatString(lockName, L"%s_CleanUp", m_isolationGuid.c_str())) return true;
        // The lock object still holds this run's own instance lock, which would make the
        // delete-mode lock look taken by another process and leave the folder to nobody. The
        // run is ending: its instance lock goes.
        m_instanceLock.Release();
        const bool granted =
            m_instanceLock.SetFolder(m_baseInstallFolder) && m_instanceLock.Create(lockName.c_str(), true) != 0;
        return !granted;
    }

    {
        CFileDataExtender copy;
        if (!copy.Initialize(target.c_str(), true)) {
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3183) : failed to initialize data extender");
            return false;
        }
        qlLib::CComPtr<qlLib::IKeyValueCollection> settings = qlLib::CKeyValueCollectionImpl::New();
        if (!settings) {
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3192) : out of memory");
            return false;
        }
        // The copy computes the same product, silo and folders as this run.
        if (m_embeddedData.GetCollection(settings.Get()) && !copy.Import(settings.Get()))
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3200) : collection import failed");
        copy.SetData(kKeyDeleteMode, true);
        TraceInfo(L"set DeleteMode for: %s", folder.c_str());
        copy.SetData(kKeyDeleteFolder, folder.c_str());
        std::wstring installerRoot;
        if (CUtils::GetInstallerRoot(installerRoot)) {
            TraceInfo(L"set deletemode for empty folders: %s", installerRoot.c_str());
            copy.SetData(kKeyEmptyFolders, installerRoot.c_str());
        }
        if (!copy.Save()) {
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3219) : failed to save data extender");
            return false;
        }
    }
    {
        CFileDataExtender check;
        if (!check.Initialize(target.c_str(), false)) {
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3229) : failed to initialize data extender (validation)");
            return false;
        }
        if (!check.DataExists(kKeyDeleteMode) || !check.DataExists(kKeyDeleteFolder)) {
            TraceError(L"CInstallManager::SetupAndLaunchRemovalProcess(3236) : failed to find data (validation)");
            return false;
        }
    }

    std::wstring parameters;
    if (!qlLib::FormatString(parameters, L"/%s /%s \"%s\"", L"DELETEMODE", L"LOGDIR", m_logFolder.c_str()))
        return false;
    // No exit code asked for: the copy waits for this process, so this one must not wait for it.
    return SUCCEEDED(CUtils::ExecuteProgramEx(nullptr, target.c_str(), parameters.c_str()));
}

void CInstallManager::HandleDeleteMode() {
    TraceInfo(L"entering delete mode");
    bool armed = false;
    if (!m_embeddedData.GetData(kKeyDeleteMode, &armed) || !armed) {
        TraceError(L"CInstallManager::HandleDeleteMode(3266) : deleteMode value missing");
        return;
    }
    std::wstring folder;
    if (!m_embeddedData.GetData(kKeyDeleteFolder, &folder) || folder.empty()) {
        TraceError(L"CInstallManager::HandleDeleteMode(3273) : deleteFolder value missing");
        return;
    }

    // The parent runs from inside the folder (or holds files there) until it has ended.
    qlLib::CKernelHandle parent(OpenParentProcess());
    if (parent) {
        TraceInfo(L"Start: wait for parent process");
        ::WaitForSingleObject(parent.Get(), INFINITE);
        TraceInfo(L"Finish: wait for parent process");
    }

    TraceInfo(L"deleting folder: %s", folder.c_str());
    CUtils::DeleteFolder(folder.c_str(), false, false);
    // This copy is running and cannot go now: it goes at the next restart, and so does the
    // folder made for it.
    TraceInfo(L"deleting file: %s", m_ownPath.Path().c_str());
    m_installerFile.Close();
    CUtils::DeleteFileW(m_ownPath.Path().c_str(), true);
    std::wstring staging = m_ownPath.DriveAndFolder();
    qlLib::RemoveTrailingBackslashes(staging);
    const size_t slash = staging.find_last_of(L'\\');
    if (slash != std::wstring::npos && staging.compare(slash + 1, wcslen(kStagingPrefix), kStagingPrefix) == 0)
        ::MoveFileExW(staging.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);

    for (int retry = 0; retry < 4 && FolderExists(folder); ++retry) {
        TraceWarning(L"folder still exists, sleep 0.5 seconds and try again");
        ::Sleep(500);
        // The delete-mode lock's file lies in the base install folder and keeps it in place.
        m_instanceLock.Release();
        TraceInfo(L"deleting folder: %s", folder.c_str());
        CUtils::DeleteFolder(folder.c_str(), false, false);
    }

    std::wstring installerRoot;
    if (m_embeddedData.GetData(kKeyEmptyFolders, &installerRoot) && !installerRoot.empty()) {
        TraceInfo(L"deleting empty folders: %s", installerRoot.c_str());
        CUtils::DeleteEmptyFolders(installerRoot.c_str());
    }
}

HANDLE CInstallManager::OpenParentProcess() {
    qlLib::CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL found = ::Process32FirstW(snapshot.Get(), &entry); found;
         found = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID != self) continue;
        // A parent that has ended leaves its id free for reuse: a process started after this one
        // is not the parent and must not be waited for.
        qlLib::CKernelHandle parent(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ParentProcessID));
        if (parent) {
            const ULONGLONG parentStart = CreationTime(parent.Get()), ownStart = CreationTime(::GetCurrentProcess());
            if (parentStart > ownStart) return nullptr;
        } else {
            parent.Reset(::OpenProcess(SYNCHRONIZE, FALSE, entry.th32ParentProcessID));
        }
        return parent.Detach();
    }
    return nullptr;
}

}  // namespace TARN
