#pragma once
// The tagged archive format: every item is a one-byte tag, a 32-bit length for the variable
// kinds (7, 8, 9, 11) and the data, little-endian, no padding. An archive either stores or loads,
// over a memory buffer, over a stream, or over nothing (measuring: counts what a store would
// write).
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <vector>

#include "package/DataStream.h"
#include "package/ValueCollection.h"

namespace qlLib {

enum EArchiveTag : BYTE {
    eTag_Byte = 1,
    eTag_Word = 2,
    eTag_Dword = 3,
    eTag_UInt64 = 4,
    eTag_Double = 5,
    eTag_Long = 6,
    eTag_String = 7,
    eTag_WString = 8,
    eTag_Block = 9,
    eTag_Bool = 10,
    eTag_Variant = 11,
    eTag_Int8 = 12,
    eTag_Int16 = 13,
    eTag_Int64 = 14,
    eTag_Guid = 15,
    eTag_Opaque16 = 16,
};

class CArchive {
public:
    enum EMode { eLoad = 1, eStore = 2 };
    // Raised by the streaming forms when a write fails.
    class CArchiveException {};

    // Byte counts above this are believed only after the stream proved to hold them.
    static const DWORD kLargeLength = 0x1F400000;   // 500 MiB
    // How deep object values may nest inside each other.
    static const int kMaxObjectDepth = 16;

    // Over a caller's buffer: load reads it; store writes into it and fails when it is full.
    CArchive(EMode mode, void* buffer, DWORD size);
    // Over a growable buffer owned by the archive (store only); see Buffer().
    explicit CArchive(EMode mode);
    // Over a stream, from its current position.
    CArchive(EMode mode, IDataStream* stream);
    // Measuring: a store that only counts.
    static CArchive Measuring();
    ~CArchive();
    CArchive(CArchive&&) noexcept;
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    EMode Mode() const { return m_mode; }
    bool IsLoading() const { return m_mode == eLoad; }
    // Bytes written or read so far.
    ULONGLONG GetTotal() const { return m_total; }
    // The bytes of an archive over its own growable buffer.
    const std::vector<BYTE>& Buffer() const;

    bool WriteBool(bool v);
    bool WriteInt8(signed char v);
    bool WriteByte(BYTE v);
    bool WriteInt16(SHORT v);
    bool WriteWord(WORD v);
    bool WriteLong(LONG v);
    bool WriteDword(DWORD v);
    bool WriteInt64(LONGLONG v);
    bool WriteUInt64(ULONGLONG v);
    bool WriteDouble(double v);
    bool WriteGuid(const GUID& v);
    bool WriteOpaque16(const CValue16& v);
    bool WriteString(const char* v, size_t length);
    bool WriteString(const std::string& v) { return WriteString(v.c_str(), v.size()); }
    bool WriteWString(const wchar_t* v, size_t length);
    bool WriteWString(const std::wstring& v) { return WriteWString(v.c_str(), v.size()); }
    bool WriteBlock(const void* data, DWORD length);
    bool WriteVariant(const VARIANT& v);
    // Class id (tag 9, 16 bytes), then the object's own save in a tag-9 window of its size.
    bool WriteObject(ISerialize* object);

    bool ReadBool(bool& v);
    bool ReadInt8(signed char& v);
    bool ReadByte(BYTE& v);
    bool ReadInt16(SHORT& v);
    bool ReadWord(WORD& v);
    bool ReadLong(LONG& v);
    bool ReadDword(DWORD& v);
    bool ReadInt64(LONGLONG& v);
    bool ReadUInt64(ULONGLONG& v);
    bool ReadDouble(double& v);
    bool ReadGuid(GUID& v);
    bool ReadOpaque16(CValue16& v);
    bool ReadString(std::string& v);
    bool ReadWString(std::wstring& v);
    bool ReadBlock(std::vector<BYTE>& v);
    bool ReadBlock(void* buffer, DWORD size, DWORD& length);
    // The VARIANT must be initialised (VariantInit); its old content is cleared on success.
    bool ReadVariant(VARIANT& v);
    // Re-creates the object from its class id and loads it from its window.
    bool ReadObject(ISerialize** object);

    // COM objects inside VARIANTs (VT_UNKNOWN, VT_DISPATCH) are loaded only while one of these
    // lives on the loading thread: loading them means creating whatever class the bytes name, so
    // data from a file or a package never may. Only a caller that reads back bytes this process
    // wrote itself opens one.
    class CTrustedObjectValues {
    public:
        CTrustedObjectValues();
        ~CTrustedObjectValues();
        CTrustedObjectValues(const CTrustedObjectValues&) = delete;
        CTrustedObjectValues& operator=(const CTrustedObjectValues&) = delete;
    };

    // The next item's tag and length (fixed size for fixed tags) without moving.
    bool PeekLength(BYTE& tag, DWORD& length);
    // Moves past the next item.
    bool Skip();
    // A sub-stream of length bytes from the current position; the archive moves past it.
    // Reads and writes through it stay inside the window.
    bool Window(DWORD length, IDataStream** window);

    // Streaming forms: throw CArchiveException when the write fails.
    CArchive& operator<<(bool v);
    CArchive& operator<<(BYTE v);
    CArchive& operator<<(WORD v);
    CArchive& operator<<(DWORD v);
    CArchive& operator<<(LONG v);
    CArchive& operator<<(ULONGLONG v);
    CArchive& operator<<(LONGLONG v);
    CArchive& operator<<(double v);
    CArchive& operator<<(const GUID& v);
    CArchive& operator<<(const std::string& v);
    CArchive& operator<<(const std::wstring& v);

    class CBackend;   // where the bytes go or come from

private:
    CArchive(EMode mode, std::unique_ptr<CBackend> backend);
    bool WriteFixed(BYTE tag, const void* data, DWORD size);
    bool WriteVariable(BYTE tag, const void* data, DWORD length);
    bool WriteVariableHeader(BYTE tag, DWORD length);
    // Reads a fixed item of exactly size bytes.
    bool ReadFixed(BYTE tag, void* data, DWORD size);
    // Reads the tag and length of a variable item; on failure the position is restored.
    bool ReadVariableHeader(BYTE tag, DWORD& length, ULONGLONG& start);
    bool RawRead(void* data, DWORD size);
    bool RawWrite(const void* data, DWORD size);
    bool Rewind(ULONGLONG position);
    bool Fail(int event);
    // Whether length more bytes can be read from here (checked before any allocation).
    bool Holds(ULONGLONG length);
    bool VariantPayloadSize(const VARIANT& v, DWORD& size);
    bool WriteVariantPayload(const VARIANT& v);
    // reserved: bytes of remaining that enclosing arrays still need for their later elements.
    bool ReadVariantPayload(VARTYPE type, DWORD& remaining, DWORD reserved, VARIANT& v);

    EMode m_mode;
    std::unique_ptr<CBackend> m_backend;
    bool m_startKnown;
    ULONGLONG m_start;
    ULONGLONG m_total;
};

// Re-creates objects stored as values from their class id.
using SerializableFactory = ISerialize* (*)();
bool RegisterSerializableClass(const GUID& classId, SerializableFactory factory);
ISerialize* CreateSerializable(const GUID& classId);

}  // namespace qlLib
