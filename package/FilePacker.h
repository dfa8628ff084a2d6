#pragma once
// The package behind the stub's image: finds it, reads its index and hands each entry to the
// derived unpacker as a stream, in the way the unpacker asks for. Also the writer side of the
// index, used when installers are built.
//
// File layout: PE image | build signature (its first 32-bit field is its length; 4 zero bytes
// for an unsigned build) | "pcPB" header, index, entries' data | certificate table.
#include <windows.h>

#include <string>
#include <vector>

#include "package/Archive.h"
#include "package/DataStream.h"
#include "package/FileStreamImpl.h"
#include "package/PEFileHelper.h"
#include "runtime/ComPtr.h"

namespace TARN {

// What an entry is; the unpackers give the types their meaning.
enum EFileType : DWORD {
    eFileType_Extract = 0,
    eFileType_Archive = 1,
    eFileType_InstallPackage = 3,
    eFileType_Scanner = 4,
    eFileType_UIPackage = 5,
    eFileType_Stub = 6,   // never in the index: the stub itself, offered before the index is read
};

// How an entry reaches OnExtractStream.
enum EExtractMode : DWORD {
    eExtract_InPlace = 0,       // the reader's own stream at the entry's first byte
    eExtract_OwnStream = 1,     // a new stream windowed on the entry
    eExtract_Skip = 2,          // not offered
    eExtract_SharedWindow = 3,  // the reader's own stream, windowed on the entry
};

// Package header: magic, version, 64-bit entry count, 32-bit index size, then the index.
const DWORD kPackageMagic = 0x42506370;   // "pcPB"
const DWORD kPackageVersion = 2;          // the version written; readers take 0 to 2
const DWORD kPackageHeaderSize = 20;

// A Win32 error as an HRESULT; a failure never turns into success.
HRESULT HResultFromError(DWORD error);

class CFilePacker : public CPEFileHelper {
public:
    CFilePacker();
    virtual ~CFilePacker();
    CFilePacker(const CFilePacker&) = delete;
    CFilePacker& operator=(const CFilePacker&) = delete;

    // How the entries of a type are to be delivered. Everything is skipped here.
    virtual DWORD GetExtractMode(DWORD type);
    // One entry; path is null for the stub. A negative result ends Extract with it.
    virtual HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size);

    // Whether the file carries a package behind its image.
    bool ContainsPackage(const wchar_t* path);
    // Offers the stub and then every entry of the file's package to the handler.
    HRESULT Extract(const wchar_t* path);
    // Holds this reader to one open file: every handle it opens on the packed file must be that
    // very file (same volume and file index), so that a path that leads elsewhere by now is
    // refused (0x80070002, one trace line) rather than read. False when the file cannot say.
    bool RequireFile(HANDLE file);
    // Copies size bytes from the stream's position into a new file, creating its folder.
    HRESULT WriteStreamToDisk(qlLib::IDataStream* stream, const wchar_t* outputPath, ULONGLONG size);

    // Writer side: one plain-file entry in the index (its data follows the index when built).
    HRESULT AddFile(const wchar_t* sourcePath, const wchar_t* extractionPath);
    // The same for an entry of any type (the builder adds archives this way).
    HRESULT AddEntry(const wchar_t* sourcePath, const wchar_t* extractionPath, DWORD type);
    // Folder-walk callback: adds one found file, named relative to rootPrefix (or by its bare
    // name without one). Returns whether the walk goes on. context is the CFilePacker.
    static bool AddFolderHandler(const wchar_t* fullPath, const wchar_t* rootPrefix, const WIN32_FIND_DATAW* findData,
                                 void* context);

    // What the last ContainsPackage or Extract found.
    DWORD GetSignatureLength() const { return m_signatureLength; }
    ULONGLONG GetPackageOffset() const { return m_packageOffset; }

    // The index written so far, its entry count, and the files whose data follow it.
    const std::vector<BYTE>& GetIndex() const { return m_index.Buffer(); }
    ULONGLONG GetIndexCount() const { return m_indexCount; }
    const std::vector<std::wstring>& GetIndexedFiles() const { return m_indexedFiles; }
    const std::vector<ULONGLONG>& GetIndexedSizes() const { return m_indexedSizes; }

private:
    // Opens the file and finds the package offset; the message and HRESULT of a failure.
    HRESULT Locate(qlLib::CFileStreamImpl* stream, const wchar_t* path, const wchar_t* operation);
    // Whether a handle this reader opened is the required file (always, when none is).
    HRESULT CheckRequiredFile(qlLib::CFileStreamImpl* stream, const wchar_t* path, const wchar_t* operation) const;
    HRESULT ReadEntries(qlLib::CFileStreamImpl* stream, const wchar_t* path);
    HRESULT StreamError(qlLib::CFileStreamImpl* stream) const;
    // A second stream on the package file at start: windowed on the entry, or the plain file.
    HRESULT OpenEntryStream(const wchar_t* path, ULONGLONG start, ULONGLONG size, bool windowed,
                            qlLib::CComPtr<qlLib::CFileStreamImpl>& entry);

    DWORD m_signatureLength;
    ULONGLONG m_packageOffset;
    bool m_fileRequired = false;
    DWORD m_requiredVolume = 0;
    ULONGLONG m_requiredIndex = 0;
    ULONGLONG m_fileLength;

    qlLib::CArchive m_index;
    ULONGLONG m_indexCount;
    std::vector<std::wstring> m_indexedFiles;
    std::vector<ULONGLONG> m_indexedSizes;
};

}  // namespace TARN
