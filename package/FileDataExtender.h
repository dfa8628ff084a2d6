#pragma once
// One key/value collection kept inside an executable without disturbing its Authenticode
// signature: the serialised collection is an extra record behind the signature in the
// certificate table, and the security directory and checksum are patched to cover it.
//
// Block, version 1 (little-endian DWORDs): record length L (S rounded up to 16), "bpAP",
// version, hash, S = 20 + n, then the n serialised bytes and zero padding to L.
// Version 0: L ((n + 8) rounded up to 16), "pApb", the serialised bytes, padding.
#include <windows.h>

#include <string>

#include "package/PEFileHelper.h"
#include "package/PlainFileStream.h"
#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace TARN {

class CFileDataExtender : public CPEFileHelper {
public:
    // GetStreamPos when the file holds no block.
    static constexpr DWORD kNoStream = 0xFFFFFFFF;

    CFileDataExtender() = default;
    ~CFileDataExtender() override = default;

    // Reads the block of an executable, if any. Read-only: the file is closed again; writable:
    // it stays open for Save and RemoveStreamFromModule until the object goes.
    bool Initialize(const wchar_t* path, bool writable);
    // Writes the collection into the file, replacing an older block (needs writable).
    bool Save();
    // Cuts the block off the file and repairs the headers (needs writable).
    bool RemoveStreamFromModule();
    // Points the security directory at signature + block and refreshes the checksum.
    bool UpdatePEHeader();
    // File offset of the block, or kNoStream. Needs the file open (writable initialisation).
    DWORD GetStreamPos();

    // The bare serialised collection, to a new file.
    bool Export(const wchar_t* path);
    // Replaces the collection's contents with one written by Export.
    bool Import(const wchar_t* path);
    // Replaces the collection's contents with a copy of the given one.
    bool Import(qlLib::IKeyValueCollection* collection);
    // Copies this collection's contents into the caller's collection.
    bool GetCollection(qlLib::IKeyValueCollection* collection);

    bool SetData(DWORD key, bool value);
    bool SetData(DWORD key, DWORD value);
    bool SetData(DWORD key, const wchar_t* value);
    bool GetData(DWORD key, bool* value);
    bool GetData(DWORD key, DWORD* value);
    bool GetData(DWORD key, std::wstring* value);
    bool DataExists(DWORD key);
    bool RemoveData(DWORD key);

    bool IsSigned() const { return m_signed; }
    DWORD GetSignatureLength() const { return m_signatureLength; }
    DWORD GetVersion() const { return m_version; }
    // Hash and size fields of the block found (kept, not checked).
    DWORD GetStoredHash() const { return m_hash; }
    DWORD GetStoredSize() const { return m_size; }

private:
    bool EnsureCollection();
    // Whether Initialize opened the file for writing and worked out where the block goes.
    bool CanWrite() const;
    // Certificate table offset + signature length, where the block lives.
    ULONGLONG BlockPosition() const;
    // Whether the file ends at position, give or take zero padding: what a block may overwrite.
    bool NothingButPaddingFrom(ULONGLONG position);

    qlLib::CComPtr<qlLib::IKeyValueCollection> m_collection;
    std::wstring m_fileName;
    qlLib::CComPtr<qlLib::CPlainFileStream> m_file;
    bool m_writable = false;
    bool m_located = false;   // signed/unsigned decided, block position known
    bool m_signed = false;
    DWORD m_signatureLength = 0;
    DWORD m_version = 1;
    DWORD m_hash = 0;
    DWORD m_size = 0;
};

}  // namespace TARN
