#include "package/InstallUnpacker.h"

#include <cstring>
#include <new>
#include <vector>

#include "package/7zArchive.h"
#include "package/FileHandleWrapper.h"
#include "runtime/Crc32.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

const wchar_t CInstallUnpacker::kMarkerName[] = L"extract.dat";
const wchar_t CInstallUnpacker::kStubName[] = L"InstStub.exe";

CInstallUnpacker::CInstallUnpacker() : m_extractionComplete(false), m_folderDelete(qlLib::DeleteFolderTree) {}

namespace {

// The marker names every file the extraction left, with its size, and ends with a CRC-32 of
// everything before it: "MSXD", version, count, then per file its size (kAnySize for the stub,
// whose settings a later run rewrites), name length and UTF-16 name. A marker that is cut short,
// damaged or does not match the folder counts as none: the folder is extracted again.
const DWORD kMarkerMagic = 0x4458534D;   // "MSXD"
const DWORD kMarkerVersion = 1;
const ULONGLONG kAnySize = ~0ull;
const DWORD kMaxMarkerBytes = 8u << 20;
const DWORD kMaxMarkerFiles = 100000;

struct CMarkerFile {
    std::wstring name;   // relative to the folder
    ULONGLONG size;
};

// Every file below folder\relative, named relative to folder; the marker and its temporary left out.
bool ListFiles(const std::wstring& folder, const std::wstring& relative, std::vector<CMarkerFile>& files) {
    std::wstring below, pattern;
    if (!qlLib::JoinPath(below, folder, relative) || !qlLib::JoinPath(pattern, below, L"*")) return false;
    WIN32_FIND_DATAW entry;
    qlLib::CFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (!wcscmp(entry.cFileName, L".") || !wcscmp(entry.cFileName, L"..")) continue;
        std::wstring name;
        if (relative.empty()) {
            name = entry.cFileName;
        } else if (!qlLib::JoinPath(name, relative, entry.cFileName)) {
            return false;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;   // never followed
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!ListFiles(folder, name, files)) return false;
            continue;
        }
        if (relative.empty() && (qlLib::EqualsNoCase(name.c_str(), CInstallUnpacker::kMarkerName) ||
                                 qlLib::EqualsNoCase(name.c_str(), L"extract.dat.new")))
            continue;
        const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        const bool stub = relative.empty() && qlLib::EqualsNoCase(name.c_str(), CInstallUnpacker::kStubName);
        files.push_back(CMarkerFile{name, stub ? kAnySize : size});
        if (files.size() > kMaxMarkerFiles) return false;
    } while (::FindNextFileW(find.Get(), &entry));
    return true;
}

void Append(std::vector<BYTE>& out, const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

bool Take(const std::vector<BYTE>& in, size_t& at, void* data, size_t size) {
    if (size > in.size() - at) return false;
    memcpy(data, in.data() + at, size);
    at += size;
    return true;
}

// Whether the marker's bytes are whole and every file they name is in the folder with its size.
bool MarkerMatches(const std::vector<BYTE>& bytes, const std::wstring& folder) {
    if (bytes.size() < 16) return false;
    DWORD crc = 0;
    memcpy(&crc, bytes.data() + bytes.size() - 4, 4);
    if (qlLib::Crc32(bytes.data(), bytes.size() - 4) != crc) return false;
    const std::vector<BYTE> body(bytes.begin(), bytes.end() - 4);
    size_t at = 0;
    DWORD magic = 0, version = 0, count = 0;
    if (!Take(body, at, &magic, 4) || !Take(body, at, &version, 4) || !Take(body, at, &count, 4) ||
        magic != kMarkerMagic || version != kMarkerVersion || count == 0 || count > kMaxMarkerFiles)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        ULONGLONG size = 0;
        DWORD length = 0;
        if (!Take(body, at, &size, 8) || !Take(body, at, &length, 4) || length == 0 || length > 32767 ||
            length * 2ull > body.size() - at)
            return false;
        std::wstring name(length, L'\0');
        Take(body, at, &name[0], length * 2ull);
        std::wstring path;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!qlLib::IsSafeRelativePath(name) || !qlLib::JoinPath(path, folder, name) ||
            !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            return false;
        const ULONGLONG found = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size != kAnySize && size != found) return false;
    }
    return at == body.size();
}

}  // namespace

bool CInstallUnpacker::MarkerExists() const {
    std::wstring marker;
    if (!qlLib::JoinPath(marker, m_folder, kMarkerName)) return false;
    qlLib::CFileHandle file(::CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        TraceWarning(L"TARN::CInstallUnpacker::MarkerExists(22) : cannot read %s (%lu): extracting again",
                     marker.c_str(), error);
        return false;
    }
    bool matches = false;
    try {
        LARGE_INTEGER size = {};
        DWORD read = 0;
        std::vector<BYTE> bytes;
        if (::GetFileSizeEx(file.Get(), &size) && size.QuadPart <= kMaxMarkerBytes) {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            matches = (bytes.empty() || ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read,
                                                   nullptr)) &&
                      read == bytes.size() && MarkerMatches(bytes, m_folder);
        }
    } catch (const std::bad_alloc&) {
        matches = false;
    }
    if (!matches)
        TraceWarning(L"TARN::CInstallUnpacker::MarkerExists(24) : %s does not describe the folder: extracting again",
                     marker.c_str());
    return matches;
}

bool CInstallUnpacker::WriteMarker(const std::wstring& folder) {
    std::wstring marker, next;
    if (!qlLib::JoinPath(marker, folder, kMarkerName) || !qlLib::JoinPath(next, folder, L"extract.dat.new"))
        return false;
    try {
        std::vector<CMarkerFile> files;
        if (!ListFiles(folder, std::wstring(), files) || files.empty()) return false;
        std::vector<BYTE> bytes;
        const DWORD count = static_cast<DWORD>(files.size());
        Append(bytes, &kMarkerMagic, 4);
        Append(bytes, &kMarkerVersion, 4);
        Append(bytes, &count, 4);
        for (const CMarkerFile& file : files) {
            const DWORD length = static_cast<DWORD>(file.name.size());
            Append(bytes, &file.size, 8);
            Append(bytes, &length, 4);
            Append(bytes, file.name.data(), file.name.size() * 2);
        }
        const DWORD crc = qlLib::Crc32(bytes.data(), bytes.size());
        Append(bytes, &crc, 4);
        if (bytes.size() > kMaxMarkerBytes) return false;
        // Written whole under another name first, so that a run ended half-way leaves no marker.
        {
            qlLib::CFileHandle file(::CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (!file || !::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                written != bytes.size() || !::FlushFileBuffers(file.Get()))
                return false;
        }
        return ::MoveFileExW(next.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CInstallUnpacker::DeleteMarker() const {
    std::wstring marker;
    if (!qlLib::JoinPath(marker, m_folder, kMarkerName)) return false;
    return ::DeleteFileW(marker.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

HRESULT CInstallUnpacker::ExtractPackage(qlLib::IKeyValueCollection* streams, const wchar_t* folder,
                                         const wchar_t* packedFile) {
    try {
        m_folder = folder ? folder : L"";
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!streams || m_folder.empty()) {
        TraceError(L"TARN::CInstallUnpacker::ExtractPackage(52) : invalid arg");
        return E_INVALIDARG;
    }
    m_streams = streams;
    m_extractionComplete = MarkerExists();
    if (m_extractionComplete) {
        TraceInfo(L"extraction was completed in a previous session -- nothing extracted");
    } else {
        // A fresh extraction starts from an empty folder: nothing of an earlier, broken run stays.
        DWORD error = 0;
        if (!m_folderDelete(m_folder, &error)) {
            TraceWarning(L"TARN::CInstallUnpacker::ExtractPackage(63) : failed to delete folder: %s (%lu)",
                         m_folder.c_str(), error);
        }
        if (!qlLib::CreateFolderTree(m_folder, &error) && error != ERROR_ALREADY_EXISTS) {
            TraceError(L"TARN::CInstallUnpacker::ExtractPackage(67) : failed to create directory: %s (%lu)",
                       m_folder.c_str(), error);
        }
    }
    HRESULT hr = Extract(packedFile);
    if (SUCCEEDED(hr) && !m_extractionComplete && !WriteMarker()) {
        TraceError(L"TARN::CInstallUnpacker::ExtractPackage(73) : failed to write extraction complete flag");
    }
    return hr;
}

DWORD CInstallUnpacker::GetExtractMode(DWORD type) {
    switch (type) {
    case eFileType_Archive: return eExtract_SharedWindow;
    case eFileType_InstallPackage:
    case eFileType_Scanner:
    case eFileType_UIPackage: return eExtract_OwnStream;
    case eFileType_Stub: return eExtract_InPlace;
    default: return eExtract_Skip;
    }
}

HRESULT CInstallUnpacker::OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t*, ULONGLONG size) {
    switch (type) {
    case eFileType_Archive: return HandleStream(stream, eStreamKey_LayoutArchive);
    case eFileType_InstallPackage: return HandleStream(stream, eStreamKey_InstallPackage);
    case eFileType_Scanner: return HandleStream(stream, eStreamKey_Scanner);
    case eFileType_UIPackage: return m_extractionComplete ? S_OK : HandleUIPackage(stream);
    case eFileType_Stub: return m_extractionComplete ? S_OK : HandleStub(stream, size);
    default:
        TraceError(L"TARN::CInstallUnpacker::OnExtractStream(98) : unexpected");
        return E_UNEXPECTED;
    }
}

HRESULT CInstallUnpacker::HandleStream(qlLib::IDataStream* stream, DWORD key) {
    if (!m_streams || !stream || !m_streams->SetObj(key, stream)) {
        TraceError(L"TARN::CInstallUnpacker::HandleStream(105) : failed to add stream at key %d", static_cast<int>(key));
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT CInstallUnpacker::ExtractArchiveTo(qlLib::IDataStream* stream, const wchar_t* archivePath,
                                           const std::wstring& folder, const char* initializeMessage,
                                           const char* openMessage) {
    qlLib::CComPtr<C7zArchive> archive;
    HRESULT hr = C7zArchive::Initialize(archive.Receive());
    if (FAILED(hr)) {
        qlLib::TraceErrorFormat(initializeMessage, hr);
        return hr;
    }
    hr = stream ? archive->Open(stream) : archive->Open(archivePath);
    if (FAILED(hr)) {
        qlLib::TraceErrorFormat(openMessage, hr);
        archive->Close();
        return hr;
    }
    hr = archive->ExtractArchive(folder.c_str());
    archive->Close();
    return hr;
}

HRESULT CInstallUnpacker::HandleUIPackage(qlLib::IDataStream* stream) {
    TraceInfo(L"Extracting: UIPackage");
    qlLib::CComPtr<C7zArchive> archive;
    HRESULT hr = C7zArchive::Initialize(archive.Receive());
    if (FAILED(hr)) {
        TraceError(L"TARN::CInstallUnpacker::HandleUIPackage(136) : archive.Initialize failed: 0x%08x", hr);
        return hr;
    }
    hr = archive->Open(stream);
    if (FAILED(hr)) {
        TraceError(L"TARN::CInstallUnpacker::HandleUIPackage(141) : archive.Open failed: 0x%08x", hr);
    } else {
        hr = archive->ExtractArchive(m_folder.c_str());
        if (FAILED(hr)) {
            TraceError(L"TARN::CInstallUnpacker::HandleUIPackage(145) : archive.ExtractArchive failed: 0x%08x", hr);
        } else {
            TraceInfo(L"Done Extracting: UIPackage");
        }
    }
    archive->Close();
    return hr;
}

HRESULT CInstallUnpacker::HandleStub(qlLib::IDataStream* stream, ULONGLONG size) {
    std::wstring stubPath;
    if (!qlLib::JoinPath(stubPath, m_folder, kStubName)) {
        TraceError(L"TARN::CInstallUnpacker::HandleStub(157) : failed to get stub path");
        return E_OUTOFMEMORY;
    }
    TraceInfo(L"Start: extract stub");
    if (!stream) {
        TraceInfo(L"Finish: extract stub (0x%08x)", E_INVALIDARG);
        return E_INVALIDARG;
    }
    HRESULT hr = WriteStreamToDisk(stream, stubPath.c_str(), size);
    if (FAILED(hr)) {
        TraceInfo(L"Finish: extract stub (0x%08x)", hr);
        return hr;
    }
    TraceInfo(L"Finish: extract stub");
    TraceInfo(L"Start: fix stub signature");

    qlLib::CFileHandleWrapper copy;
    if (!copy.Open(stubPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
        DWORD error = copy.GetLastError();
        TraceError(L"TARN::CInstallUnpacker::HandleStub(177) : failed to open file: %s (%lu)", stubPath.c_str(), error);
        return HResultFromError(error);
    }
    // The copy's own headers: its security directory still describes the whole installer and
    // points past the copy's end.
    CPEFileHelper headers;
    if (!headers.ReadHeaders(copy, true)) {
        TraceError(L"TARN::CInstallUnpacker::HandleStub(184) : failed to read headers (out file)");
        return E_UNEXPECTED;
    }
    // The build-time signature sits right behind the image, as the package reader found it.
    if (GetSignatureLength()) {
        headers.SetCertificateTable(GetEndOfModule(), GetSignatureLength());
    } else {
        headers.SetCertificateTable(0, 0);
    }
    if (!headers.UpdateSecurityDirectoryEntry(copy)) {
        TraceError(L"TARN::CInstallUnpacker::HandleStub(194) : UpdateSecurityDirectoryEntry failed (extracted file)");
        return E_UNEXPECTED;
    }
    if (!headers.UpdateChecksum(copy, stubPath.c_str())) {
        TraceError(L"TARN::CInstallUnpacker::HandleStub(198) : UpdateChecksum failed (extracted file)");
        return E_UNEXPECTED;
    }
    TraceInfo(L"Finish: fix stub signature");
    return S_OK;
}

}  // namespace TARN
