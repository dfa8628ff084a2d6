#include "samples/engine/ProductInstaller.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <new>

#include "runtime/ComPtr.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const DWORD kChunk = 64 * 1024;

bool FileSize(const std::wstring& path, ULONGLONG& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HRESULT LastError() {
    const DWORD error = ::GetLastError();
    return HRESULT_FROM_WIN32(error ? error : ERROR_GEN_FAILURE);
}

bool EnsureParentFolder(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash < 3) return true;
    DWORD error = 0;
    return qlLib::CreateFolderTree(path.substr(0, slash), &error);
}

enum EFileState { eFile_Same, eFile_Missing, eFile_Differs };

EFileState CompareFiles(const std::wstring& source, const std::wstring& target) {
    ULONGLONG sourceSize = 0, targetSize = 0;
    if (!FileSize(target, targetSize)) return eFile_Missing;
    if (!FileSize(source, sourceSize) || sourceSize != targetSize) return eFile_Differs;
    qlLib::CFileHandle a(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    qlLib::CFileHandle b(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!a || !b) return eFile_Differs;
    std::vector<BYTE> bufferA(kChunk), bufferB(kChunk);
    for (;;) {
        DWORD readA = 0, readB = 0;
        if (!::ReadFile(a.Get(), bufferA.data(), kChunk, &readA, nullptr) ||
            !::ReadFile(b.Get(), bufferB.data(), kChunk, &readB, nullptr) || readA != readB)
            return eFile_Differs;
        if (readA == 0) return eFile_Same;
        if (std::memcmp(bufferA.data(), bufferB.data(), readA) != 0) return eFile_Differs;
    }
}

// COM for the shell link object on whatever thread the engine runs; undone only when this call
// was the one that initialised it.
class CComScope {
public:
    CComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CComScope() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

}  // namespace

CProductInstaller::CProductInstaller(const CInstallManifest& manifest, IInstallUI* ui, volatile LONG* cancel)
    : m_manifest(manifest), m_ui(ui), m_cancel(cancel) {}

bool CProductInstaller::SourcePath(const CManifestFile& file, std::wstring& path) const {
    return qlLib::JoinPath(path, m_manifest.Folder(), file.source);
}

bool CProductInstaller::TargetPath(const std::wstring& relative, std::wstring& path) const {
    return qlLib::JoinPath(path, m_manifest.TargetFolder(), relative);
}

HRESULT CProductInstaller::ReportProgress() {
    if (m_cancel && *m_cancel) return E_INSTALL_USEREXIT;
    if (!m_ui) return S_OK;
    // ULONG units: bytes, or coarser steps for products past 2 GiB.
    int shift = 0;
    while ((m_total >> shift) > 0x7FFFFFFFull) ++shift;
    const HRESULT hr = m_ui->SetProgress(static_cast<ULONG>(m_done >> shift), static_cast<ULONG>(m_total >> shift));
    return hr == E_INSTALL_USEREXIT ? hr : S_OK;
}

HRESULT CProductInstaller::CopyLayoutFile(const std::wstring& source, const std::wstring& target) {
    qlLib::CFileHandle in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return LastError();
    if (!EnsureParentFolder(target)) return LastError();
    // A read-only file from an earlier install would refuse the overwrite.
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    qlLib::CFileHandle out(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return LastError();
    HRESULT hr = S_OK;
    std::vector<BYTE> buffer(kChunk);
    for (;;) {
        DWORD read = 0, written = 0;
        if (!::ReadFile(in.Get(), buffer.data(), kChunk, &read, nullptr)) {
            hr = LastError();
            break;
        }
        if (read == 0) break;
        if (!::WriteFile(out.Get(), buffer.data(), read, &written, nullptr) || written != read) {
            hr = LastError();
            break;
        }
        m_done += read;
        hr = ReportProgress();
        if (FAILED(hr)) break;
    }
    out.Close();
    if (FAILED(hr)) ::DeleteFileW(target.c_str());   // never leave half a file behind
    return hr;
}

HRESULT CProductInstaller::Install(std::vector<std::wstring>& installed) {
    try {
        m_done = 0;
        m_total = 0;
        for (const CManifestFile& file : m_manifest.Files()) {
            std::wstring source;
            ULONGLONG size = 0;
            if (!SourcePath(file, source)) return E_OUTOFMEMORY;
            if (!FileSize(source, size)) {
                TraceError(L"TARN::CProductInstaller::Install(143) : layout file missing: %s", source.c_str());
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            }
            m_total += size;
        }
        DWORD error = 0;
        if (!qlLib::CreateFolderTree(m_manifest.TargetFolder(), &error)) {
            TraceError(L"TARN::CProductInstaller::Install(150) : failed to create %s (%lu)", m_manifest.TargetFolder().c_str(), error);
            return HRESULT_FROM_WIN32(error);
        }
        HRESULT hr = ReportProgress();
        if (FAILED(hr)) return hr;
        for (const CManifestFile& file : m_manifest.Files()) {
            std::wstring source, target;
            if (!SourcePath(file, source) || !TargetPath(file.target, target)) return E_OUTOFMEMORY;
            if (m_ui) m_ui->SetStatus(eStatus_Action, file.target.c_str());
            hr = CopyLayoutFile(source, target);
            if (FAILED(hr)) {
                if (hr != E_INSTALL_USEREXIT)
                    TraceError(L"TARN::CProductInstaller::Install(162) : failed to copy %s to %s (0x%08x)", source.c_str(),
                               target.c_str(), hr);
                return hr;
            }
            installed.push_back(target);
            if (m_manifest.Outcome().delayMs) ::Sleep(m_manifest.Outcome().delayMs);
        }
        for (const CManifestRegistryValue& value : m_manifest.RegistryValues()) {
            hr = WriteRegistryValue(value);
            if (FAILED(hr)) return hr;
        }
        for (const CManifestShortcut& shortcut : m_manifest.Shortcuts()) {
            hr = WriteShortcut(shortcut);
            if (FAILED(hr)) return hr;
            installed.push_back(shortcut.link);
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CProductInstaller::WriteRegistryValue(const CManifestRegistryValue& value) {
    qlLib::CRegKeyHandle key;
    LONG status = ::RegCreateKeyExW(value.root, value.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    key.Receive(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = value.type == REG_DWORD
                     ? ::RegSetValueExW(key.Get(), value.name.c_str(), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD))
                     : ::RegSetValueExW(key.Get(), value.name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(value.text.c_str()),
                                        static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
    }
    if (status != ERROR_SUCCESS) {
        TraceError(L"TARN::CProductInstaller::WriteRegistryValue(197) : failed to set %s\\%s (%ld)", value.key.c_str(),
                   value.name.c_str(), status);
        return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

bool CProductInstaller::RegistryValueMatches(const CManifestRegistryValue& value) {
    qlLib::CRegKeyHandle key;
    if (::RegOpenKeyExW(value.root, value.key.c_str(), 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.Get(), value.name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != value.type)
        return false;
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    if (::RegQueryValueExW(key.Get(), value.name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    if (type == REG_DWORD) return size == sizeof(DWORD) && *reinterpret_cast<const DWORD*>(data.data()) == value.number;
    return value.text == reinterpret_cast<const wchar_t*>(data.data());
}

HRESULT CProductInstaller::WriteShortcut(const CManifestShortcut& shortcut) {
    std::wstring target;
    if (!TargetPath(shortcut.target, target)) return E_OUTOFMEMORY;
    if (!EnsureParentFolder(shortcut.link)) return LastError();
    CComScope com;
    qlLib::CComPtr<IShellLinkW> link;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(link.Receive()));
    if (SUCCEEDED(hr)) hr = link->SetPath(target.c_str());
    if (SUCCEEDED(hr)) hr = link->SetWorkingDirectory(m_manifest.TargetFolder().c_str());
    qlLib::CComPtr<IPersistFile> file = link.As<IPersistFile>(IID_IPersistFile);
    if (SUCCEEDED(hr)) hr = file ? file->Save(shortcut.link.c_str(), TRUE) : E_NOINTERFACE;
    if (FAILED(hr))
        TraceError(L"TARN::CProductInstaller::WriteShortcut(231) : failed to write %s (0x%08x)", shortcut.link.c_str(), hr);
    return hr;
}

HRESULT CProductInstaller::Check(DWORD mode) {
    try {
        const bool checkFiles = mode != eEngineMode_RepairShortcuts;
        const bool repair = mode != eEngineMode_Validate;
        bool missing = false, differs = false;
        HRESULT repairResult = S_OK;
        auto repaired = [&](HRESULT hr, const std::wstring& what) {
            if (SUCCEEDED(hr)) {
                TraceInfo(L"repaired: %s", what.c_str());
            } else if (SUCCEEDED(repairResult)) {
                repairResult = hr;
            }
        };
        if (checkFiles) {
            for (const CManifestFile& file : m_manifest.Files()) {
                std::wstring source, target;
                if (!SourcePath(file, source) || !TargetPath(file.target, target)) return E_OUTOFMEMORY;
                const EFileState state = CompareFiles(source, target);
                if (state == eFile_Same) continue;
                if (state == eFile_Missing) {
                    missing = true;
                    TraceError(L"TARN::CProductInstaller::Check(256) : missing: %s", target.c_str());
                } else {
                    differs = true;
                    TraceError(L"TARN::CProductInstaller::Check(259) : differs from the layout: %s", target.c_str());
                }
                if (repair) repaired(CopyLayoutFile(source, target), target);
            }
            for (const CManifestRegistryValue& value : m_manifest.RegistryValues()) {
                if (RegistryValueMatches(value)) continue;
                missing = true;
                TraceError(L"TARN::CProductInstaller::Check(266) : registry value missing: %s\\%s", value.key.c_str(),
                           value.name.c_str());
                if (repair) repaired(WriteRegistryValue(value), value.key + L"\\" + value.name);
            }
        }
        for (const CManifestShortcut& shortcut : m_manifest.Shortcuts()) {
            if (Exists(shortcut.link)) continue;
            missing = true;
            TraceError(L"TARN::CProductInstaller::Check(274) : shortcut missing: %s", shortcut.link.c_str());
            if (mode == eEngineMode_RepairShortcuts) repaired(WriteShortcut(shortcut), shortcut.link);
        }
        if (repair) return repairResult;
        if (missing) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        return differs ? HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT) : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace TARN
