#include "package/FileDataExtender.h"

#include <cstring>
#include <new>
#include <vector>

#include "package/BlockHash.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/MemoryStreamImpl.h"
#include "package/SignerAttribute.h"
#include "runtime/Trace.h"

namespace TARN {

using qlLib::CComPtr;
using qlLib::IClone;
using qlLib::IKeyValueCollection;
using qlLib::ISerialize;

namespace {

const BYTE kMagicV0[4] = {0x70, 0x41, 0x70, 0x62};   // "pApb"
const BYTE kMagicV1[4] = {0x62, 0x70, 0x41, 0x50};   // "bpAP"
const DWORD kHeaderSizeV0 = 8;                        // length, magic
const DWORD kHeaderSizeV1 = 20;                       // length, magic, version, hash, size
const DWORD kRecordAlignment = 16;
// The smallest certificate record: dwLength, wRevision, wCertificateType.
const DWORD kMinSignatureLength = 8;
struct CCertificateHeader {
    DWORD length;
    WORD revision;
    WORD type;
};
const WORD kCertificateTypePkcs7 = 2;   // WIN_CERT_TYPE_PKCS_SIGNED_DATA

CComPtr<ISerialize> SerializeOf(IKeyValueCollection* collection) {
    CComPtr<ISerialize> serialize;
    if (collection) collection->QueryInterface(qlLib::IID_ISerialize, reinterpret_cast<void**>(serialize.Receive()));
    return serialize;
}

bool SerializedBytes(IKeyValueCollection* collection, std::vector<BYTE>& bytes) {
    CComPtr<ISerialize> serialize = SerializeOf(collection);
    CComPtr<qlLib::CMemoryStreamImpl> memory = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
    if (!serialize || !memory || !serialize->Save(memory.Get())) return false;
    try {
        bytes.assign(memory->Data(), memory->Data() + memory->Size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

CComPtr<IClone> CloneOf(IKeyValueCollection* collection) {
    CComPtr<IClone> clone;
    if (collection) collection->QueryInterface(qlLib::IID_IClone, reinterpret_cast<void**>(clone.Receive()));
    return clone;
}

}  // namespace

bool CFileDataExtender::EnsureCollection() {
    if (!m_collection) m_collection = qlLib::CKeyValueCollectionImpl::New();
    return static_cast<bool>(m_collection);
}

bool CFileDataExtender::CanWrite() const {
    return m_writable && m_located && m_file && m_file->File().IsOpen();
}

ULONGLONG CFileDataExtender::BlockPosition() const {
    return static_cast<ULONGLONG>(m_certificateTableOffset) + m_signatureLength;
}

bool CFileDataExtender::NothingButPaddingFrom(ULONGLONG position) {
    qlLib::CFileHandleWrapper& file = m_file->File();
    ULONGLONG length = 0;
    if (!file.GetLength(&length) || length < position) return false;
    // A signature whose length leaves out its alignment padding is followed by up to 7 zero bytes.
    const ULONGLONG trailing = length - position;
    if (trailing >= 8) return false;
    BYTE bytes[8] = {};
    if (trailing && !file.ReadAt(position, bytes, static_cast<DWORD>(trailing))) return false;
    for (ULONGLONG i = 0; i < trailing; ++i)
        if (bytes[i]) return false;
    return true;
}

bool CFileDataExtender::Initialize(const wchar_t* path, bool writable) {
    // A second Initialize starts over on the (possibly other) file.
    m_file.Release();
    ResetHeaders();
    m_writable = m_located = m_signed = false;
    m_signatureLength = 0;
    m_version = 1;
    m_hash = m_size = 0;
    m_placement = ePlacement_Table;
    m_inSignature = m_unreadable = false;

    if (!EnsureCollection()) {
        TraceError(L"TARN::CFileDataExtender::Initialize(90) : out of memory");
        return false;
    }
    try {
        m_fileName = path ? path : L"";
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CFileDataExtender::Initialize(97) : out of memory");
        return false;
    }
    m_file = CComPtr<qlLib::CPlainFileStream>::Adopt(qlLib::CreatePlainFileStream());
    if (!m_file) {
        TraceError(L"TARN::CFileDataExtender::Initialize(104) : out of memory");
        return false;
    }
    if (!::SetFileAttributesW(m_fileName.c_str(), FILE_ATTRIBUTE_NORMAL))
        TraceWarning(L"TARN::CFileDataExtender::Initialize(109) : SetFileAttributes Failed on %s.\r\n", m_fileName.c_str());

    const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    if (!m_file->Open(m_fileName.c_str(), access, FILE_SHARE_READ, OPEN_EXISTING)) return false;
    m_writable = writable;
    qlLib::CFileHandleWrapper& file = m_file->File();

    if (!ReadHeaders(file, false)) {
        TraceError(L"TARN::CFileDataExtender::Initialize(118) : failed to read PE headers");
        return false;
    }
    if (m_certificateTableOffset == 0 || m_certificateTableSize == 0) {
        TraceInfo(L"file is not signed: %ls", m_fileName.c_str());
        ULONGLONG length = 0;
        if (!file.GetLength(&length)) {
            TraceError(L"TARN::CFileDataExtender::Initialize(125) : failed to get file length (%lu)", file.GetLastError());
            return false;
        }
        if (length > 0xFFFFFFFFull) {
            TraceError(L"TARN::CFileDataExtender::Initialize(129) : file is larger than 4GB, which is not supported by this tool");
            return false;
        }
        // A block will be appended at the end.
        m_certificateTableOffset = static_cast<DWORD>(length);
        m_certificateTableSize = 0;
    } else if (GetStreamPos() == kNoStream) {
        // The table begins with a real signature; the block follows it.
        m_signed = true;
        DWORD signatureLength = 0;
        if (!file.ReadAt(m_certificateTableOffset, &signatureLength, sizeof signatureLength)) {
            TraceError(L"TARN::CFileDataExtender::Initialize(140) : failed to get the signature size");
            return false;
        }
        // The block is written right behind the signature: a length that is too short would put
        // it over the signature, one longer than the table outside the table.
        if (signatureLength < kMinSignatureLength || signatureLength > m_certificateTableSize) {
            TraceError(L"TARN::CFileDataExtender::Initialize(146) : invalid signature size: %lu", signatureLength);
            return false;
        }
        m_signatureLength = signatureLength;
    }
    m_located = true;
    // Settings that cannot be read are not overwritten through this object either.
    auto unreadable = [this]() { return !(m_unreadable = true); };

    // The block in the signature wins over one behind it.
    const int fromSignature = m_signed ? LoadFromSignature() : 0;
    if (fromSignature < 0) return unreadable();
    const DWORD position = fromSignature ? kNoStream : GetStreamPos();
    if (fromSignature) {
        m_placement = ePlacement_Signature;
        m_inSignature = true;
    } else if (position != kNoStream) {
        CComPtr<ISerialize> serialize = SerializeOf(m_collection.Get());
        if (!serialize) {
            TraceError(L"TARN::CFileDataExtender::Initialize(157) : failed to QI for ISerialize");
            return unreadable();
        }
        DWORD headerSize = 0;
        if (m_version == 0) {
            headerSize = kHeaderSizeV0;
        } else if (m_version == 1) {
            headerSize = kHeaderSizeV1;
        } else {
            TraceError(L"TARN::CFileDataExtender::Initialize(166) : unknown version: %lu", m_version);
            return unreadable();
        }
        if (!m_file->Seek(static_cast<ULONGLONG>(position) + headerSize) || !serialize->Load(m_file.Get())) {
            TraceError(L"TARN::CFileDataExtender::Initialize(170) : failed to load stream into kvc");
            return unreadable();
        }
    }
    if (!writable) {
        m_file->Close();
        m_file.Release();
    }
    return true;
}

bool CFileDataExtender::IsBlockMagic(const BYTE* magic) {
    return std::memcmp(magic, kMagicV0, sizeof kMagicV0) == 0 || std::memcmp(magic, kMagicV1, sizeof kMagicV1) == 0;
}

DWORD CFileDataExtender::GetStreamPos() {
    if (!m_file || !m_file->File().IsOpen()) {
        // Position 0 would look like a block at the start of the file.
        TraceError(L"TARN::CFileDataExtender::GetStreamPos(184) : must Initialize");
        return kNoStream;
    }
    const ULONGLONG position = BlockPosition();
    if (position > 0xFFFFFFFFull) return kNoStream;
    qlLib::CFileHandleWrapper& file = m_file->File();
    BYTE magic[4];
    if (!file.ReadAt(position + 4, magic, sizeof magic)) return kNoStream;
    if (std::memcmp(magic, kMagicV0, sizeof magic) == 0) {
        m_version = m_hash = m_size = 0;
        return static_cast<DWORD>(position);
    }
    if (std::memcmp(magic, kMagicV1, sizeof magic) == 0) {
        DWORD fields[3];   // version, hash, size
        if (!file.ReadAt(position + 8, fields, sizeof fields)) return kNoStream;
        m_version = fields[0];
        m_hash = fields[1];
        m_size = fields[2];
        return static_cast<DWORD>(position);
    }
    return kNoStream;
}

bool CFileDataExtender::Save() {
    if (!CanWrite()) {
        TraceError(L"TARN::CFileDataExtender::Save(208) : must Initialize writable before saving");
        return false;
    }
    if (!m_collection) {
        TraceError(L"TARN::CFileDataExtender::Save(212) : invalid pointer... need to initialize...");
        return false;
    }
    if (m_version > 1) {
        TraceError(L"TARN::CFileDataExtender::Save(216) : existing data is a higher version (%lu), do not overwrite", m_version);
        return false;
    }
    if (m_unreadable) {
        TraceError(L"TARN::CFileDataExtender::Save(219) : existing data could not be read, do not overwrite");
        return false;
    }
    CComPtr<ISerialize> serialize = SerializeOf(m_collection.Get());
    if (!serialize) {
        TraceError(L"TARN::CFileDataExtender::Save(221) : failed to QI for ISerialize");
        return false;
    }
    if (m_placement == ePlacement_Signature && !m_signed) {
        TraceError(L"TARN::CFileDataExtender::Save(225) : the file is not signed: no signature to carry the data");
        return false;
    }
    std::vector<BYTE> record;
    if (!BuildRecord(serialize.Get(), record)) return false;
    // Taking an older block out reads its header fields: the new ones stay.
    const DWORD fields[3] = {m_version, m_hash, m_size};
    const bool removed = m_placement == ePlacement_Signature ? RemoveTableBlock() : RemoveStreamFromModule();
    m_version = fields[0];
    m_hash = fields[1];
    m_size = fields[2];
    if (!removed) return false;
    if (m_placement == ePlacement_Signature) return WriteSignatureBlock(&record);

    qlLib::CPlainFileStream& stream = *m_file.Get();
    const ULONGLONG position = BlockPosition();
    if (!NothingButPaddingFrom(position)) {
        TraceError(L"TARN::CFileDataExtender::Save(227) : data follows the signature at %I64u, not overwriting it", position);
        return false;
    }
    if (!stream.Seek(position)) {
        TraceError(L"TARN::CFileDataExtender::Save(229) : failed to seek to %I64u (%lu)", position, stream.GetLastError());
        return false;
    }
    if (!stream.Write(record.data(), static_cast<DWORD>(record.size()))) {
        TraceError(L"TARN::CFileDataExtender::Save(276) : failed to save kvc to stream");
        return false;
    }
    return UpdatePEHeader();
}

bool CFileDataExtender::BuildRecord(ISerialize* serialize, std::vector<BYTE>& record) {
    DWORD serializedSize = 0;
    const DWORD headerSize = m_version == 0 ? kHeaderSizeV0 : kHeaderSizeV1;
    if (!serialize->GetSize(&serializedSize) || serializedSize > 0xFFFFFFFFu - headerSize - (kRecordAlignment - 1)) {
        TraceError(L"TARN::CFileDataExtender::Save(235) : failed to get size of serialized data");
        return false;
    }
    CComPtr<qlLib::CMemoryStreamImpl> memory = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
    if (!memory) {
        TraceError(L"TARN::CFileDataExtender::Save(257) : CreateMemoryStreamImpl failed");
        return false;
    }
    // The length in the header is the measured size: the saved bytes must match it.
    if (!serialize->Save(memory.Get()) || memory->Size() != serializedSize) {
        TraceError(L"TARN::CFileDataExtender::Save(263) : failed to save kvc to mem stream");
        return false;
    }
    const DWORD realSize = serializedSize + headerSize;
    const DWORD recordLength = (realSize + kRecordAlignment - 1) & ~(kRecordAlignment - 1);
    const DWORD hash = m_version == 0 ? 0 : ComputeBlockHash(memory->Data(), memory->Size());
    const DWORD fields[5] = {recordLength, 0, 1, hash, realSize};   // version 0 stops after the magic
    try {
        record.assign(reinterpret_cast<const BYTE*>(fields), reinterpret_cast<const BYTE*>(fields) + headerSize);
        std::memcpy(&record[4], m_version == 0 ? kMagicV0 : kMagicV1, 4);
        record.insert(record.end(), memory->Data(), memory->Data() + memory->Size());
        record.resize(recordLength, 0);
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CFileDataExtender::Save(278) : out of memory");
        return false;
    }
    if (m_version != 0) {
        m_hash = hash;
        m_size = realSize;
    }
    return true;
}

bool CFileDataExtender::ReadSignature(std::vector<BYTE>& signature) {
    try {
        signature.resize(m_signatureLength);
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CFileDataExtender::ReadSignature(292) : out of memory");
        return false;
    }
    // The length was checked against the certificate table, the table against the file.
    if (!m_file->File().ReadAt(m_certificateTableOffset, signature.data(), m_signatureLength)) {
        TraceError(L"TARN::CFileDataExtender::ReadSignature(297) : failed to read the signature (%lu)",
                   m_file->File().GetLastError());
        return false;
    }
    return true;
}

int CFileDataExtender::LoadFromSignature() {
    std::vector<BYTE> signature, record;
    if (!ReadSignature(signature)) return -1;
    CCertificateHeader header;
    std::memcpy(&header, signature.data(), sizeof header);
    if (header.type != kCertificateTypePkcs7) return 0;
    const HRESULT hr = CSignerAttribute::Read(signature.data() + kMinSignatureLength,
                                              m_signatureLength - kMinSignatureLength, record);
    if (hr == E_OUTOFMEMORY) TraceError(L"TARN::CFileDataExtender::LoadFromSignature(311) : out of memory");
    if (FAILED(hr)) return -1;
    if (hr != S_OK) return 0;
    return LoadRecord(record) ? 1 : -1;
}

bool CFileDataExtender::LoadRecord(const std::vector<BYTE>& record) {
    const DWORD size = static_cast<DWORD>(record.size());
    DWORD fields[5] = {};   // length, magic, version, hash, real size
    std::memcpy(fields, record.data(), size < sizeof fields ? size : sizeof fields);
    DWORD begin = kHeaderSizeV0, end = size;
    if (size >= kHeaderSizeV0 && std::memcmp(&fields[1], kMagicV0, 4) == 0) {
        m_version = m_hash = m_size = 0;
    } else if (size >= kHeaderSizeV1 && std::memcmp(&fields[1], kMagicV1, 4) == 0) {
        m_version = fields[2];
        m_hash = fields[3];
        m_size = end = fields[4];
        begin = kHeaderSizeV1;
    } else {
        TraceError(L"TARN::CFileDataExtender::LoadRecord(330) : the signature's data attribute holds no block (%lu bytes)", size);
        return false;
    }
    if (m_version > 1) {
        TraceError(L"TARN::CFileDataExtender::Initialize(166) : unknown version: %lu", m_version);
        return false;
    }
    // Lengths that claim more than the attribute carries, or less than a header.
    if (fields[0] > size || end > size || end < begin) {
        TraceError(L"TARN::CFileDataExtender::LoadRecord(339) : block lengths %lu, %lu do not fit the attribute (%lu bytes)",
                   fields[0], end, size);
        return false;
    }
    CComPtr<ISerialize> serialize = SerializeOf(m_collection.Get());
    CComPtr<qlLib::CMemoryStreamImpl> memory = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
    if (!serialize || !memory || !memory->Write(record.data() + begin, end - begin) || !memory->Seek(0) ||
        !serialize->Load(memory.Get())) {
        TraceError(L"TARN::CFileDataExtender::Initialize(170) : failed to load stream into kvc");
        return false;
    }
    return true;
}

bool CFileDataExtender::WriteSignatureBlock(const std::vector<BYTE>* record) {
    // The signature changes its length: nothing but padding may follow it.
    if (!NothingButPaddingFrom(BlockPosition())) {
        TraceError(L"TARN::CFileDataExtender::WriteSignatureBlock(356) : data follows the signature at %I64u, not moving it",
                   BlockPosition());
        return false;
    }
    std::vector<BYTE> signature, message;
    if (!ReadSignature(signature)) return false;
    CCertificateHeader header;
    std::memcpy(&header, signature.data(), sizeof header);
    if (header.type != kCertificateTypePkcs7) {
        TraceError(L"TARN::CFileDataExtender::WriteSignatureBlock(365) : the signature is no PKCS#7 message (type %u)",
                   header.type);
        return false;
    }
    if (!CSignerAttribute::Write(signature.data() + kMinSignatureLength, m_signatureLength - kMinSignatureLength,
                                 record ? record->data() : nullptr, record ? static_cast<DWORD>(record->size()) : 0,
                                 message))
        return false;
    // The certificate table stays 8-aligned: the record is padded with zeros to a multiple of 8.
    const size_t length = (kMinSignatureLength + message.size() + 7) & ~size_t(7);
    if (length > 0xFFFFFFFFu - m_certificateTableOffset) {
        TraceError(L"TARN::CFileDataExtender::WriteSignatureBlock(376) : signature too large (%Iu bytes)", length);
        return false;
    }
    header.length = static_cast<DWORD>(length);
    try {
        signature.assign(reinterpret_cast<const BYTE*>(&header), reinterpret_cast<const BYTE*>(&header) + kMinSignatureLength);
        signature.insert(signature.end(), message.begin(), message.end());
        signature.resize(length, 0);
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CFileDataExtender::WriteSignatureBlock(384) : out of memory");
        return false;
    }
    qlLib::CFileHandleWrapper& file = m_file->File();
    if (!file.WriteAt(m_certificateTableOffset, signature.data(), header.length) ||
        !file.SetLength(static_cast<ULONGLONG>(m_certificateTableOffset) + header.length)) {
        TraceError(L"TARN::CFileDataExtender::WriteSignatureBlock(390) : failed to write the signature (%lu)",
                   file.GetLastError());
        return false;
    }
    m_signatureLength = header.length;
    m_inSignature = record != nullptr;
    return UpdatePEHeader();
}

bool CFileDataExtender::RemoveStreamFromModule() {
    if (!CanWrite()) {
        TraceError(L"TARN::CFileDataExtender::RemoveStreamFromModule(304) : must Initialize writable before removing stream");
        return false;
    }
    return RemoveTableBlock() && (!m_inSignature || WriteSignatureBlock(nullptr));
}

bool CFileDataExtender::RemoveTableBlock() {
    const DWORD position = GetStreamPos();
    if (position == kNoStream) return true;
    // Cutting the file at the block must not take anything that follows the block with it.
    DWORD recordLength = 0;
    ULONGLONG fileLength = 0;
    if (!m_file->File().ReadAt(position, &recordLength, sizeof recordLength) || !m_file->File().GetLength(&fileLength) ||
        static_cast<ULONGLONG>(position) + recordLength < fileLength) {
        TraceError(L"TARN::CFileDataExtender::RemoveStreamFromModule(314) : data follows the block at %lu, not cutting it off",
                   position);
        return false;
    }
    if (!m_file->File().SetLength(position)) {
        TraceError(L"TARN::CFileDataExtender::RemoveStreamFromModule(310) : failed to cut the file at %lu (%lu)", position,
                   m_file->File().GetLastError());
        return false;
    }
    if (!UpdatePEHeader()) return false;
    // UpdatePEHeader dropped the empty table of an unsigned file; the next block goes here again.
    if (!m_signed) m_certificateTableOffset = position;
    return true;
}

bool CFileDataExtender::UpdatePEHeader() {
    if (!CanWrite()) {
        TraceError(L"TARN::CFileDataExtender::UpdatePEHeader(322) : must Initialize writable before updating PE header");
        return false;
    }
    qlLib::CFileHandleWrapper& file = m_file->File();
    const ULONGLONG position = BlockPosition();
    DWORD recordLength = 0;
    if (!file.ReadAt(position, &recordLength, sizeof recordLength)) recordLength = 0;   // nothing there

    // The security directory must not be pointed outside the file.
    ULONGLONG fileLength = 0;
    const ULONGLONG tableSize = static_cast<ULONGLONG>(m_signatureLength) + recordLength;
    if (!file.GetLength(&fileLength) || position + recordLength > fileLength || tableSize > 0xFFFFFFFFull) {
        TraceError(L"TARN::CFileDataExtender::UpdatePEHeader(334) : record length %lu at %I64u does not fit in the file",
                   recordLength, position);
        return false;
    }
    m_certificateTableSize = static_cast<DWORD>(tableSize);
    if (m_certificateTableSize == 0) m_certificateTableOffset = 0;   // no certificate table any more
    if (!UpdateSecurityDirectoryEntry(file)) return false;
    if (!UpdateChecksum(file, m_fileName.c_str())) return false;
    if (!file.Flush()) {
        TraceError(L"TARN::CFileDataExtender::UpdatePEHeader(343) : failed to flush file (%lu)", file.GetLastError());
        return false;
    }
    return true;
}

bool CFileDataExtender::Export(const wchar_t* path) {
    if (!m_collection) {
        TraceError(L"TARN::CFileDataExtender::Export(351) : invalid pointer... need to initialize...");
        return false;
    }
    CComPtr<qlLib::CPlainFileStream> stream = CComPtr<qlLib::CPlainFileStream>::Adopt(qlLib::CreatePlainFileStream());
    if (!stream) {
        TraceError(L"TARN::CFileDataExtender::Export(356) : out of memory");
        return false;
    }
    if (!stream->Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS)) {
        TraceError(L"TARN::CFileDataExtender::Export(360) : failed to open: %ls (%lu)", path ? path : L"",
                   stream->GetLastError());
        return false;
    }
    CComPtr<ISerialize> serialize = SerializeOf(m_collection.Get());
    if (!serialize) {
        TraceError(L"TARN::CFileDataExtender::Export(366) : failed to QI for ISerialize");
        return false;
    }
    if (!serialize->Save(stream.Get())) {
        TraceError(L"TARN::CFileDataExtender::Export(370) : failed to save kvc to stream");
        return false;
    }
    if (!stream->File().Flush()) {
        TraceError(L"TARN::CFileDataExtender::Export(374) : failed to flush file (%lu)", stream->GetLastError());
        return false;
    }
    return true;
}

bool CFileDataExtender::Import(const wchar_t* path) {
    if (!EnsureCollection()) {
        TraceError(L"TARN::CFileDataExtender::Import(382) : out of memory");
        return false;
    }
    CComPtr<qlLib::CPlainFileStream> stream = CComPtr<qlLib::CPlainFileStream>::Adopt(qlLib::CreatePlainFileStream());
    if (!stream) {
        TraceError(L"TARN::CFileDataExtender::Import(387) : out of memory");
        return false;
    }
    if (!stream->Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING)) return false;
    CComPtr<IKeyValueCollection> loaded = qlLib::CKeyValueCollectionImpl::New();
    if (!loaded) {
        TraceError(L"TARN::CFileDataExtender::Import(393) : out of memory");
        return false;
    }
    CComPtr<ISerialize> serialize = SerializeOf(loaded.Get());
    if (!serialize) {
        TraceError(L"TARN::CFileDataExtender::Import(398) : failed to QI for ISerialize");
        return false;
    }
    if (!serialize->Load(stream.Get())) {
        TraceError(L"TARN::CFileDataExtender::Import(402) : failed to load kvc from stream");
        return false;
    }
    CComPtr<IClone> clone = CloneOf(m_collection.Get());
    if (!clone) {
        TraceError(L"TARN::CFileDataExtender::Import(407) : failed to QI for IClone");
        return false;
    }
    return clone->CopyFrom(loaded.Get());
}

bool CFileDataExtender::Import(IKeyValueCollection* collection) {
    if (!collection) {
        TraceError(L"TARN::CFileDataExtender::Import(415) : invalid parameter - must pass a valid kvc");
        return false;
    }
    if (!EnsureCollection()) {
        TraceError(L"TARN::CFileDataExtender::Import(419) : out of memory");
        return false;
    }
    CComPtr<IClone> clone = CloneOf(m_collection.Get());
    if (!clone) {
        TraceError(L"TARN::CFileDataExtender::Import(424) : failed to QI for IClone");
        return false;
    }
    return clone->CopyFrom(collection);
}

bool CFileDataExtender::HoldsSameAs(IKeyValueCollection* collection) {
    std::vector<BYTE> mine, theirs;
    return m_collection && collection && SerializedBytes(m_collection.Get(), mine) &&
           SerializedBytes(collection, theirs) && mine == theirs;
}

bool CFileDataExtender::GetCollection(IKeyValueCollection* collection) {
    if (!collection) {
        TraceError(L"TARN::CFileDataExtender::GetCollection(432) : invalid parameter - must pass a valid kvc");
        return false;
    }
    if (!m_collection) {
        TraceError(L"TARN::CFileDataExtender::GetCollection(436) : invalid pointer... need to initialize...");
        return false;
    }
    CComPtr<IClone> clone = CloneOf(collection);
    if (!clone) {
        TraceError(L"TARN::CFileDataExtender::GetCollection(441) : failed to QI for IClone");
        return false;
    }
    return clone->CopyFrom(m_collection.Get());
}

// The typed data operations forward to the collection.
#define REQUIRE_COLLECTION(operation, line)                                                              \
    if (!m_collection) {                                                                                 \
        TraceError(L"TARN::CFileDataExtender::" operation L"(" line L") : invalid pointer... need to initialize..."); \
        return false;                                                                                    \
    }

bool CFileDataExtender::SetData(DWORD key, bool value) {
    REQUIRE_COLLECTION(L"SetData", L"455")
    return m_collection->SetBool(key, value);
}

bool CFileDataExtender::SetData(DWORD key, DWORD value) {
    REQUIRE_COLLECTION(L"SetData", L"460")
    return m_collection->SetDword(key, value);
}

bool CFileDataExtender::SetData(DWORD key, const wchar_t* value) {
    REQUIRE_COLLECTION(L"SetData", L"465")
    return m_collection->SetWString(key, value);
}

bool CFileDataExtender::GetData(DWORD key, bool* value) {
    REQUIRE_COLLECTION(L"GetData", L"470")
    return m_collection->GetBool(key, value);
}

bool CFileDataExtender::GetData(DWORD key, DWORD* value) {
    REQUIRE_COLLECTION(L"GetData", L"475")
    return m_collection->GetDword(key, value);
}

bool CFileDataExtender::GetData(DWORD key, std::wstring* value) {
    REQUIRE_COLLECTION(L"GetData", L"480")
    return m_collection->GetWString(key, value);
}

bool CFileDataExtender::DataExists(DWORD key) {
    REQUIRE_COLLECTION(L"DataExists", L"485")
    return m_collection->Exists(key);
}

bool CFileDataExtender::RemoveData(DWORD key) {
    REQUIRE_COLLECTION(L"RemoveData", L"490")
    return m_collection->Remove(key);
}

#undef REQUIRE_COLLECTION

}  // namespace TARN
