#include "package/TestModeUnpacker.h"

#include <new>

#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

CTestModeUnpacker::CTestModeUnpacker(const wchar_t* outputFolder) : m_extractArchives(false) {
    try {
        m_folder = outputFolder ? outputFolder : L"";
    } catch (const std::bad_alloc&) {
        m_folder.clear();   // Extract then refuses to write anywhere
    }
}

HRESULT CTestModeUnpacker::Extract(const wchar_t* packedFile, bool extractArchives) {
    if (m_folder.empty()) return E_INVALIDARG;
    m_extractArchives = extractArchives;
    return CFilePacker::Extract(packedFile);
}

DWORD CTestModeUnpacker::GetExtractMode(DWORD type) {
    return type == eFileType_Archive ? eExtract_OwnStream : eExtract_InPlace;
}

HRESULT CTestModeUnpacker::OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path,
                                           ULONGLONG size) {
    if (type == eFileType_Stub) return HandleStub(stream, size);
    std::wstring target;
    if (!path || !qlLib::JoinPath(target, m_folder, path)) return E_OUTOFMEMORY;
    HRESULT hr = WriteStreamToDisk(stream, target.c_str(), size);
    if (FAILED(hr) || !m_extractArchives) return hr;

    const wchar_t* subfolder = nullptr;
    switch (type) {
    case eFileType_Archive: subfolder = L"Archive"; break;
    case eFileType_InstallPackage: subfolder = L"InstallPackage"; break;
    case eFileType_Scanner: subfolder = L"Scanner"; break;
    case eFileType_UIPackage: subfolder = L"InstallUI"; break;
    default: return hr;   // plain entries are only written
    }
    std::wstring folder;
    if (!qlLib::JoinPath(folder, m_folder, subfolder)) return E_OUTOFMEMORY;
    // The layout archive is read again through its own stream; the others from the file just written.
    return ExtractArchiveTo(type == eFileType_Archive ? stream : nullptr, target.c_str(), folder,
                            QL_TRACE_FORMAT(L"TARN::CTestModeUnpacker::OnExtractStream(48) : "
                                            L"failed to initialize archive: 0x%08x"),
                            QL_TRACE_FORMAT(L"TARN::CTestModeUnpacker::OnExtractStream(49) : "
                                            L"failed to open archive: 0x%08x"));
}

}  // namespace TARN
