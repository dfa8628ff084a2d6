#include "package/FilePacker.h"

#include <memory>
#include <new>

#include "runtime/ComPtr.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

using qlLib::CComPtr;
using qlLib::CFileStreamImpl;

namespace {

const DWORD kCopyChunk = 0x4000;

const wchar_t* TypeName(DWORD type) {
    switch (type) {
    case eFileType_Extract: return L"eFileType_Extract";
    case eFileType_Archive: return L"eFileType_Archive";
    case eFileType_InstallPackage: return L"eFileType_InstallPackage";
    case eFileType_Scanner: return L"eFileType_Scanner";
    case eFileType_UIPackage: return L"eFileType_UIPackage";
    case eFileType_Stub: return L"eFileType_Stub";
    default: return L"unknown type";
    }
}

}  // namespace

HRESULT HResultFromError(DWORD error) {
    if (error == 0) return E_FAIL;   // a failure whose cause got lost is still a failure
    if (static_cast<LONG>(error) > 0) return static_cast<HRESULT>(0x80070000u | (error & 0xFFFF));
    return static_cast<HRESULT>(error);
}

CFilePacker::CFilePacker()
    : m_signatureLength(0), m_packageOffset(0), m_fileLength(0), m_index(qlLib::CArchive::eStore), m_indexCount(0) {}

CFilePacker::~CFilePacker() = default;

DWORD CFilePacker::GetExtractMode(DWORD) {
    return eExtract_Skip;
}

HRESULT CFilePacker::OnExtractStream(DWORD, qlLib::IDataStream*, const wchar_t*, ULONGLONG) {
    return S_OK;
}

bool CFilePacker::RequireFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information = {};
    m_fileRequired = true;
    if (!::GetFileInformationByHandle(file, &information)) return false;
    m_requiredVolume = information.dwVolumeSerialNumber;
    m_requiredIndex = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

HRESULT CFilePacker::CheckRequiredFile(CFileStreamImpl* stream, const wchar_t* path, const wchar_t* operation) const {
    if (!m_fileRequired) return S_OK;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (::GetFileInformationByHandle(stream->File().Handle(), &information) &&
        information.dwVolumeSerialNumber == m_requiredVolume &&
        ((static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow) == m_requiredIndex)
        return S_OK;
    TraceError(L"TARN::CFilePacker::%s : %s is no longer the file that was checked\r\n", operation, path);
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT CFilePacker::StreamError(CFileStreamImpl* stream) const {
    return HResultFromError(stream->GetLastError());
}

HRESULT CFilePacker::Locate(CFileStreamImpl* stream, const wchar_t* path, const wchar_t* operation) {
    if (!path || ::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        TraceError(L"TARN::CFilePacker::%s(112) : packed file does not exist: %s\r\n", operation, path ? path : L"");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (!stream->Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN)) {
        DWORD error = stream->GetLastError();
        TraceError(L"TARN::CFilePacker::%s(118) : failed to open this file: %lu\r\n", operation, error);
        return HResultFromError(error);
    }
    const HRESULT same = CheckRequiredFile(stream, path, operation);
    if (FAILED(same)) return same;
    if (!ReadHeaders(stream->File(), false)) {
        TraceError(L"TARN::CFilePacker::%s(124) : failed to read headers\r\n", operation);
        return E_UNEXPECTED;
    }
    if (!stream->File().GetLength(&m_fileLength)) {
        TraceError(L"TARN::CFilePacker::%s(128) : failed to read headers\r\n", operation);
        return StreamError(stream);
    }
    DWORD endOfModule = GetEndOfModule();
    TraceInfo(L"End of EXE module: %lu", endOfModule);
    DWORD signatureLength = 0;
    if (!stream->File().ReadAt(endOfModule, &signatureLength, sizeof(signatureLength))) {
        DWORD error = stream->GetLastError();
        TraceError(L"TARN::CFilePacker::%s(136) : failed to read signature size from end of PE (%lu)\r\n", operation,
                   error);
        return HResultFromError(error);
    }
    // An unsigned build carries a 4-byte zero placeholder where the signature would be.
    m_signatureLength = signatureLength;
    m_packageOffset = static_cast<ULONGLONG>(endOfModule) + (signatureLength ? signatureLength : sizeof(DWORD));
    return S_OK;
}

bool CFilePacker::ContainsPackage(const wchar_t* path) {
    CComPtr<CFileStreamImpl> stream = CComPtr<CFileStreamImpl>::Adopt(qlLib::CreateFileStreamImpl());
    if (!stream) {
        TraceError(L"TARN::CFilePacker::ContainsPackage(151) : failed to create tarn::CFileStreamImpl\r\n");
        return false;
    }
    if (FAILED(Locate(stream.Get(), path, L"ContainsPackage"))) return false;
    TraceInfo(L"REAL End of EXE module: %lu", static_cast<DWORD>(m_packageOffset));
    if (!stream->Seek(m_packageOffset)) {
        TraceError(L"TARN::CFilePacker::ContainsPackage(157) : failed to seek to %lu (%lu)\r\n",
                   static_cast<DWORD>(m_packageOffset), stream->GetLastError());
        return false;
    }
    DWORD magic = 0;
    if (!stream->Read(&magic, sizeof(magic))) {
        TraceError(L"TARN::CFilePacker::ContainsPackage(163) : failed to Read signature (%lu)\r\n",
                   stream->GetLastError());
        return false;
    }
    if (magic != kPackageMagic) {
        TraceInfo(L"package not found");
        return false;
    }
    return true;
}

HRESULT CFilePacker::Extract(const wchar_t* path) {
    CComPtr<CFileStreamImpl> stream = CComPtr<CFileStreamImpl>::Adopt(qlLib::CreateFileStreamImpl());
    if (!stream) {
        TraceError(L"TARN::CFilePacker::Extract(177) : failed to create tarn::CFileStreamImpl\r\n");
        return E_OUTOFMEMORY;
    }
    HRESULT hr = Locate(stream.Get(), path, L"Extract");
    if (FAILED(hr)) return hr;

    // The stub: the image and its build signature, everything before the package.
    if (GetExtractMode(eFileType_Stub) == eExtract_InPlace) {
        if (!stream->Seek(0)) return StreamError(stream.Get());
        hr = OnExtractStream(eFileType_Stub, stream.Get(), nullptr, m_packageOffset);
        if (FAILED(hr)) return hr;
    }
    return ReadEntries(stream.Get(), path);
}

HRESULT CFilePacker::OpenEntryStream(const wchar_t* path, ULONGLONG start, ULONGLONG size, bool windowed,
                                     CComPtr<CFileStreamImpl>& entry) {
    entry = CComPtr<CFileStreamImpl>::Adopt(qlLib::CreateFileStreamImpl());
    if (!entry) {
        TraceError(L"TARN::CFilePacker::Extract(278) : failed to create tarn::CFileStreamImpl\r\n");
        return E_OUTOFMEMORY;
    }
    if (!entry->Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN)) {
        DWORD error = entry->GetLastError();
        TraceError(L"TARN::CFilePacker::Extract(283) : failed to open this file: %lu\r\n", error);
        return HResultFromError(error);
    }
    const HRESULT same = CheckRequiredFile(entry.Get(), path, L"Extract");
    if (FAILED(same)) return same;
    if (!entry->File().Seek(static_cast<LONGLONG>(start), FILE_BEGIN) ||
        (windowed && (!entry->SetBase() || !entry->SetLimit(size)))) {
        return HResultFromError(entry->GetLastError());
    }
    return S_OK;
}

HRESULT CFilePacker::ReadEntries(CFileStreamImpl* stream, const wchar_t* path) {
    qlLib::CFileHandleWrapper& file = stream->File();
    if (!file.Seek(static_cast<LONGLONG>(m_packageOffset), FILE_BEGIN)) {
        TraceError(L"TARN::CFilePacker::Extract(196) : failed to seek to %lu (%lu)\r\n",
                   static_cast<DWORD>(m_packageOffset), file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    // The magic is not compared here: ContainsPackage is the test for a package.
    DWORD magic = 0;
    if (!file.Read(&magic, sizeof(magic))) {
        TraceError(L"TARN::CFilePacker::Extract(203) : failed to Read signature (%lu)\r\n", file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    DWORD version = 0;
    if (!file.Read(&version, sizeof(version))) {
        TraceError(L"TARN::CFilePacker::Extract(208) : failed to read version (%lu)\r\n", file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    if (version > kPackageVersion) {
        TraceError(L"TARN::CFilePacker::Extract(212) : unexpected version (%lu)\r\n", version);
        return E_UNEXPECTED;
    }
    ULONGLONG count = 0;
    if (!file.Read(&count, sizeof(count))) {
        TraceError(L"TARN::CFilePacker::Extract(217) : failed to read count of files: %lu\r\n", file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    DWORD indexSize = 0;
    if (!file.Read(&indexSize, sizeof(indexSize))) {
        TraceError(L"TARN::CFilePacker::Extract(222) : failed to read pointer archive size: %lu\r\n",
                   file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    // The index is believed only as far as the file reaches.
    ULONGLONG indexStart = m_packageOffset + kPackageHeaderSize;
    if (indexSize > m_fileLength || indexStart > m_fileLength - indexSize) {
        TraceError(L"TARN::CFilePacker::Extract(229) : failed to read pointer archive: %lu\r\n",
                   static_cast<DWORD>(ERROR_HANDLE_EOF));
        return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    }
    std::unique_ptr<BYTE[]> index(new (std::nothrow) BYTE[indexSize ? indexSize : 1]);
    if (!index) {
        TraceError(L"TARN::CFilePacker::Extract(235) : out of memory\r\n");
        return E_OUTOFMEMORY;
    }
    if (indexSize && !file.Read(index.get(), indexSize)) {
        TraceError(L"TARN::CFilePacker::Extract(239) : failed to read pointer archive: %lu\r\n", file.GetLastError());
        return HResultFromError(file.GetLastError());
    }
    qlLib::CArchive archive(qlLib::CArchive::eLoad, index.get(), indexSize);
    if (count == 0) return S_OK;

    for (ULONGLONG i = 0; i < count; ++i) {
        std::wstring entryPath;
        ULONGLONG size = 0;
        DWORD type = 0;
        if (!archive.ReadWString(entryPath) || !archive.ReadUInt64(size) || !archive.ReadDword(type)) {
            TraceError(L"TARN::CFilePacker::Extract(250) : failed to read data from pointer archive\r\n");
            return E_UNEXPECTED;
        }
        // Entry names become file names under an extraction folder: they must stay inside it.
        if (!qlLib::IsSafeRelativePath(entryPath)) {
            TraceError(L"TARN::CFilePacker::Extract(255) : invalid extraction path in package: %s\r\n",
                       entryPath.c_str());
            return E_UNEXPECTED;
        }
        ULONGLONG start = 0;
        if (!file.GetPosition(&start)) return HResultFromError(file.GetLastError());
        if (size > m_fileLength || start > m_fileLength - size) {
            TraceError(L"TARN::CFilePacker::Extract(262) : entry runs past the end of the file: %s (%I64u bytes)\r\n",
                       entryPath.c_str(), size);
            return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        }
        ULONGLONG end = start + size;

        HRESULT hr = S_OK;
        DWORD mode = GetExtractMode(type);
        switch (mode) {
        case eExtract_InPlace:
            if (stream->HasWindow()) {
                // An earlier entry holds the own stream's window; reading in place through it
                // would be confined to that entry. This one gets the file without a window.
                CComPtr<CFileStreamImpl> plain;
                hr = OpenEntryStream(path, start, size, false, plain);
                if (FAILED(hr)) return hr;
                hr = OnExtractStream(type, plain.Get(), entryPath.c_str(), size);
            } else {
                hr = OnExtractStream(type, stream, entryPath.c_str(), size);
            }
            // A handler that read more or less than the entry must not shift the entries after it.
            if (!file.Seek(static_cast<LONGLONG>(end), FILE_BEGIN)) return HResultFromError(file.GetLastError());
            break;
        case eExtract_OwnStream: {
            CComPtr<CFileStreamImpl> own;
            hr = OpenEntryStream(path, start, size, true, own);
            if (FAILED(hr)) return hr;
            hr = OnExtractStream(type, own.Get(), entryPath.c_str(), size);
            own.Release();
            if (!file.Seek(static_cast<LONGLONG>(end), FILE_BEGIN)) return HResultFromError(file.GetLastError());
            break;
        }
        case eExtract_Skip:
            if (!file.Seek(static_cast<LONGLONG>(end), FILE_BEGIN)) return HResultFromError(file.GetLastError());
            break;
        case eExtract_SharedWindow:
            if (!stream->SetBase() || !stream->SetLimit(size)) return StreamError(stream);
            if (!file.Seek(static_cast<LONGLONG>(end), FILE_BEGIN)) return HResultFromError(file.GetLastError());
            hr = OnExtractStream(type, stream, entryPath.c_str(), size);
            break;
        default:
            TraceError(L"TARN::CFilePacker::Extract(303) : invalid extract type: %d", static_cast<int>(type));
            return E_UNEXPECTED;
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CFilePacker::WriteStreamToDisk(qlLib::IDataStream* stream, const wchar_t* outputPath, ULONGLONG size) {
    if (!stream || !outputPath || !*outputPath) return E_INVALIDARG;
    std::wstring folder(outputPath);
    size_t slash = folder.find_last_of(L'\\');
    folder.resize(slash == std::wstring::npos ? 0 : slash);
    if (!folder.empty()) {
        DWORD error = 0;
        if (!qlLib::CreateFolderTree(folder, &error)) {
            TraceError(L"TARN::CFilePacker::WriteStreamToDisk(319) : failed to create directory: %s (%lu)",
                       folder.c_str(), error);
            return HResultFromError(error ? error : ERROR_ACCESS_DENIED);
        }
    }
    qlLib::CFileHandle output(::CreateFileW(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!output) {
        DWORD error = ::GetLastError();
        TraceError(L"TARN::CFilePacker::WriteStreamToDisk(327) : failed to create file: %lu\r\n", error);
        return HResultFromError(error);
    }
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kCopyChunk]);
    if (!buffer) {
        TraceError(L"TARN::CFilePacker::WriteStreamToDisk(332) : out of memory\r\n");
        return E_OUTOFMEMORY;
    }
    CComPtr<qlLib::IFileErrorInfo> errorInfo =
        CComPtr<qlLib::IDataStream>(stream).As<qlLib::IFileErrorInfo>(qlLib::IID_IFileErrorInfo);
    HRESULT hr = S_OK;
    ULONGLONG remaining = size;
    do {
        // Full chunks while more than one remains, then the last 1 to 16 KiB (nothing when empty).
        DWORD chunk = remaining > kCopyChunk ? kCopyChunk : static_cast<DWORD>(remaining);
        if (chunk && !stream->Read(buffer.get(), chunk)) {
            DWORD error = errorInfo ? errorInfo->GetLastError() : 0;
            if (!error) error = ::GetLastError();
            if (!error) error = ERROR_ACCESS_DENIED;
            TraceError(L"TARN::CFilePacker::WriteStreamToDisk(346) : failed to read file: %lu\r\n", error);
            TraceError(L"TARN::CFilePacker::WriteStreamToDisk(347) : failed attempting to extract: %s\r\n", outputPath);
            hr = HResultFromError(error);
            break;
        }
        DWORD written = 0;
        if (chunk && (!::WriteFile(output.Get(), buffer.get(), chunk, &written, nullptr) || written != chunk)) {
            DWORD error = ::GetLastError();
            if (!error) error = ERROR_WRITE_FAULT;
            TraceError(L"TARN::CFilePacker::WriteStreamToDisk(355) : failed to write to output file: %lu)\r\n", error);
            TraceError(L"TARN::CFilePacker::WriteStreamToDisk(356) : failed attempting to extract: %s\r\n", outputPath);
            hr = HResultFromError(error);
            break;
        }
        remaining -= chunk;
    } while (remaining > 0);
    output.Close();
    // A half-written file must not pass for the entry.
    if (FAILED(hr)) ::DeleteFileW(outputPath);
    return hr;
}

HRESULT CFilePacker::AddFile(const wchar_t* sourcePath, const wchar_t* extractionPath) {
    return AddEntry(sourcePath, extractionPath, eFileType_Extract);
}

HRESULT CFilePacker::AddEntry(const wchar_t* sourcePath, const wchar_t* extractionPath, DWORD type) {
    if (!sourcePath || !extractionPath) return E_INVALIDARG;
    TraceInfo(L"AddFile: %s %s %d\r\n", sourcePath, extractionPath, static_cast<int>(type));
    qlLib::CFileHandle source(::CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        HRESULT hr = HResultFromError(::GetLastError());
        TraceError(L"TARN::CFilePacker::AddFile(379) : failed to open: %s (0x%08x)", sourcePath, hr);
        return hr;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(source.Get(), &size)) {
        HRESULT hr = HResultFromError(::GetLastError());
        TraceError(L"TARN::CFilePacker::AddFile(385) : failed to open: %s (0x%08x)", sourcePath, hr);
        return hr;
    }
    try {
        if (!m_index.WriteWString(extractionPath, wcslen(extractionPath))) {
            TraceError(L"TARN::CFilePacker::AddFile(392) : failed to write extraction path to archive\r\n");
            return E_UNEXPECTED;
        }
        if (!m_index.WriteUInt64(static_cast<ULONGLONG>(size.QuadPart))) {
            TraceError(L"TARN::CFilePacker::AddFile(396) : failed to write file size to archive\r\n");
            return E_UNEXPECTED;
        }
        if (!m_index.WriteDword(type)) {
            TraceError(L"TARN::CFilePacker::AddFile(400) : failed to write extract flag to archive\r\n");
            return E_UNEXPECTED;
        }
        m_indexedFiles.push_back(sourcePath);
        m_indexedSizes.push_back(static_cast<ULONGLONG>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CFilePacker::AddFile(406) : out of memory\r\n");
        return E_OUTOFMEMORY;
    }
    ++m_indexCount;
    TraceInfo(L"Index added: %s (%s)\r\n", extractionPath, TypeName(type));
    return S_OK;
}

bool CFilePacker::AddFolderHandler(const wchar_t* fullPath, const wchar_t* rootPrefix,
                                   const WIN32_FIND_DATAW* findData, void* context) {
    CFilePacker* packer = static_cast<CFilePacker*>(context);
    if (!packer) {
        TraceError(L"TARN::CFilePacker::AddFolderHandler(418) : invalid parameter");
        return false;
    }
    if (!fullPath || !findData || (findData->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        findData->cFileName[0] == L'\0') {
        return true;
    }
    const wchar_t* name = findData->cFileName;
    if (rootPrefix && *rootPrefix) {
        size_t prefix = wcslen(rootPrefix);
        name = _wcsnicmp(fullPath, rootPrefix, prefix) == 0 ? fullPath + prefix : fullPath;
        while (*name == L'\\') ++name;
    }
    HRESULT hr = packer->AddFile(fullPath, name);
    TraceInfo(L"adding file: %s as %s (0x%08x)\r\n", fullPath, name, hr);
    return SUCCEEDED(hr);
}

}  // namespace TARN
