#include "package/InstallUnpacker.h"

#include <new>

#include "package/7zArchive.h"
#include "package/FileHandleWrapper.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

const wchar_t CInstallUnpacker::kMarkerName[] = L"extract.dat";
const wchar_t CInstallUnpacker::kStubName[] = L"InstStub.exe";

CInstallUnpacker::CInstallUnpacker() : m_extractionComplete(false), m_folderDelete(qlLib::DeleteFolderTree) {}

bool CInstallUnpacker::MarkerExists() const {
    std::wstring marker;
    return qlLib::JoinPath(marker, m_folder, kMarkerName) &&
           ::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CInstallUnpacker::WriteMarker() const {
    std::wstring marker;
    if (!qlLib::JoinPath(marker, m_folder, kMarkerName)) return false;
    qlLib::CFileHandle file(::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
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
                                           const std::wstring& folder, const wchar_t* initializeMessage,
                                           const wchar_t* openMessage) {
    qlLib::CComPtr<C7zArchive> archive;
    HRESULT hr = C7zArchive::Initialize(archive.Receive());
    if (FAILED(hr)) {
        TraceError(initializeMessage, hr);
        return hr;
    }
    hr = stream ? archive->Open(stream) : archive->Open(archivePath);
    if (FAILED(hr)) {
        TraceError(openMessage, hr);
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
