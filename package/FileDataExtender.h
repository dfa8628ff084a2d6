#pragma once
// One key/value collection kept inside an executable without disturbing its Authenticode
// signature: the serialised collection is an extra record behind the signature in the
// certificate table, and the security directory and checksum are patched to cover it.
//
// Block, version 1 (little-endian DWORDs): record length L (S rounded up to 16), "bpAP",
// version, hash, S = 20 + n, then the n serialised bytes and zero padding to L.
// Version 0: L ((n + 8) rounded up to 16), "pApb", the serialised bytes, padding.
//
// A signed file may carry the same block in its signature instead, as the value of an
// unauthenticated attribute of the first signer (CSignerAttribute): there the strict signature
// check accepts it. Reading looks there first, then behind the signature.
#include <windows.h>

#include <string>
#include <vector>

#include "package/PEFileHelper.h"
#include "package/PlainFileStream.h"
#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace TARN {

class CFileDataExtender : public CPEFileHelper {
public:
    // GetStreamPos when the file holds no block.
    static constexpr DWORD kNoStream = 0xFFFFFFFF;
    // Whether the 4 bytes behind a record's length are a block's magic (either version): how a
    // block behind the signature, or alone in an unsigned file's table, is told from a signature.
    static bool IsBlockMagic(const BYTE* magic);

    enum EPlacement {
        ePlacement_Table,       // a record behind the signature (at the end of an unsigned file)
        ePlacement_Signature,   // an attribute inside the signature
    };

    CFileDataExtender() = default;
    ~CFileDataExtender() override = default;

    // Reads the block of an executable, if any. Read-only: the file is closed again; writable:
    // it stays open for Save and RemoveStreamFromModule until the object goes.
    bool Initialize(const wchar_t* path, bool writable);
    // Writes the collection into the file at the placement, replacing an older block wherever it
    // was (needs writable).
    bool Save();
    // Takes the block out of the file, from behind the signature and from inside it, and repairs
    // the headers (needs writable).
    bool RemoveStreamFromModule();
    // Points the security directory at signature + block and refreshes the checksum.
    bool UpdatePEHeader();
    // File offset of the block behind the signature, or kNoStream. Needs the file open (writable
    // initialisation).
    DWORD GetStreamPos();

    // Where Initialize found the block (the table when there was none), and where Save writes it.
    EPlacement GetPlacement() const { return m_placement; }
    // Save moves the block there; the signature placement needs a signed file.
    void SetPlacement(EPlacement placement) { m_placement = placement; }
    // Whether the file's signature carries the block now.
    bool HasSignatureBlock() const { return m_inSignature; }

    // The bare serialised collection, to a new file.
    bool Export(const wchar_t* path);
    // Replaces the collection's contents with one written by Export.
    bool Import(const wchar_t* path);
    // Replaces the collection's contents with a copy of the given one.
    bool Import(qlLib::IKeyValueCollection* collection);
    // Copies this collection's contents into the caller's collection.
    bool GetCollection(qlLib::IKeyValueCollection* collection);
    // Whether this collection serialises to the very bytes the given one does: Import and Save
    // would write the block that is there already.
    bool HoldsSameAs(qlLib::IKeyValueCollection* collection);

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
    // The block record as Save writes it, header, serialised collection and padding.
    bool BuildRecord(qlLib::ISerialize* serialize, std::vector<BYTE>& record);
    // Loads the collection from a block record taken out of the signature.
    bool LoadRecord(const std::vector<BYTE>& record);
    // The signature record (WIN_CERTIFICATE) at the start of the certificate table.
    bool ReadSignature(std::vector<BYTE>& signature);
    // 1 when the signature carried the block and it was loaded, 0 when it carries none, -1 failed.
    int LoadFromSignature();
    // Rewrites the signature with the block record in its attribute, or without it (null).
    bool WriteSignatureBlock(const std::vector<BYTE>* record);
    // Cuts the record behind the signature off the file.
    bool RemoveTableBlock();

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
    EPlacement m_placement = ePlacement_Table;
    bool m_inSignature = false;
    bool m_unreadable = false;   // Initialize found a block it could not read
};

}  // namespace TARN
