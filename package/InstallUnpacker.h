#pragma once
// The unpacker of an install run: copies the stub into the extraction folder as InstStub.exe and
// makes it a validly signed executable again, unpacks the install UI archive there, and registers
// the layout, install package and scanner archives as streams for the layout extraction. A marker
// file, written last and naming what was written, lets a later run skip the disk work.
#include <windows.h>

#include <string>

#include "package/FilePacker.h"
#include "package/StreamKeys.h"
#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace TARN {

class CInstallUnpacker : public CFilePacker {
public:
    // How the extraction folder is emptied before a fresh extraction; true on success. The
    // install manager may plug in its own folder removal.
    using FolderDelete = bool (*)(const std::wstring& folder, DWORD* error);

    CInstallUnpacker();

    HRESULT ExtractPackage(qlLib::IKeyValueCollection* streams, const wchar_t* folder, const wchar_t* packedFile);

    DWORD GetExtractMode(DWORD type) override;
    HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) override;

    void SetFolderDelete(FolderDelete remove) { m_folderDelete = remove; }
    bool ExtractionComplete() const { return m_extractionComplete; }

    // The marker in the extraction folder. It counts only when it is whole and every file it
    // names is there with its size (one warning line otherwise).
    bool MarkerExists() const;
    bool WriteMarker() const { return WriteMarker(m_folder); }
    bool DeleteMarker() const;
    // Writes the marker of an extraction folder as the folder is now: after a complete
    // extraction, and again when the product removed files from it on purpose (languages it does
    // not keep), so that their absence never counts as a broken cache.
    static bool WriteMarker(const std::wstring& folder);

    static const wchar_t kMarkerName[];   // "extract.dat"
    static const wchar_t kStubName[];     // "InstStub.exe"

protected:
    HRESULT HandleStub(qlLib::IDataStream* stream, ULONGLONG size);
    HRESULT HandleUIPackage(qlLib::IDataStream* stream);
    HRESULT HandleStream(qlLib::IDataStream* stream, DWORD key);
    // Extracts a whole 7z archive, from a stream or (stream null) a file, into a folder. The
    // messages are packed trace formats (QL_TRACE_FORMAT) with one %08x for the result.
    static HRESULT ExtractArchiveTo(qlLib::IDataStream* stream, const wchar_t* archivePath, const std::wstring& folder,
                                    const char* initializeMessage, const char* openMessage);

    std::wstring m_folder;
    qlLib::CComPtr<qlLib::IKeyValueCollection> m_streams;
    bool m_extractionComplete;

private:
    FolderDelete m_folderDelete;
};

}  // namespace TARN
