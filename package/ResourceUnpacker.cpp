#include "package/ResourceUnpacker.h"

#include <new>

#include "package/7zArchive.h"
#include "runtime/Trace.h"

namespace TARN {

bool CResourceUnpacker::SetItemPath(const wchar_t* itemPath) {
    try {
        m_itemPath = itemPath ? itemPath : L"";
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HRESULT CResourceUnpacker::ExtractFile(const wchar_t* packedFile, const wchar_t* destination) {
    try {
        m_destination = destination ? destination : L"";
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return Extract(packedFile);
}

DWORD CResourceUnpacker::GetExtractMode(DWORD type) {
    return type == eFileType_UIPackage ? eExtract_SharedWindow : eExtract_Skip;
}

HRESULT CResourceUnpacker::OnExtractStream(DWORD, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) {
    const wchar_t* name = path ? path : L"";
    TraceInfo(L"Extracting: %s %I64d (eFileType_UIPackage)", name, static_cast<LONGLONG>(size));
    qlLib::CComPtr<C7zArchive> archive;
    HRESULT hr = C7zArchive::Initialize(archive.Receive());
    if (FAILED(hr)) {
        TraceError(L"TARN::CResourceUnpacker::OnExtractStream(38) : archive.Initialize failed: 0x%08x", hr);
        return hr;
    }
    hr = archive->Open(stream);
    if (FAILED(hr)) {
        TraceError(L"TARN::CResourceUnpacker::OnExtractStream(43) : archive.Open failed: 0x%08x", hr);
    } else {
        hr = archive->ExtractFile(m_itemPath.c_str(), m_destination.c_str());
        if (FAILED(hr)) {
            TraceError(L"TARN::CResourceUnpacker::OnExtractStream(47) : archive.ExtractFile(%s, %s) failed: 0x%08x\r\n",
                       m_itemPath.c_str(), m_destination.c_str(), hr);
        } else {
            TraceInfo(L"Done Extracting: %s", name);
        }
    }
    archive->Close();
    return hr;
}

}  // namespace TARN
