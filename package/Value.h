#pragma once
// One typed value of a collection: a type code and its data. Codes 1 to 7 are held inline,
// 8 to 12 in a small allocated block, strings as owned copies, memory as a buffer object,
// VARIANTs as an owned copy and objects as a counted reference.
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "package/ValueCollection.h"

namespace qlLib {

class CArchive;

class CValue {
public:
    CValue() noexcept;
    ~CValue();
    CValue(const CValue&) = delete;
    CValue& operator=(const CValue&) = delete;
    CValue(CValue&& other) noexcept;
    CValue& operator=(CValue&& other) noexcept;

    BYTE Type() const { return m_type; }
    // Releases what the value owns; the type becomes empty.
    void Clear() noexcept;
    // The size the collection reports for this value (0 for invalid types).
    DWORD ReportedSize() const;

    // Setters take copies; false (and the value left empty) when memory runs out or the input
    // is invalid.
    bool SetBool(bool v);
    bool SetInt8(signed char v);
    bool SetByte(BYTE v);
    bool SetInt16(SHORT v);
    bool SetWord(WORD v);
    bool SetLong(LONG v);
    bool SetDword(DWORD v);
    bool SetInt64(LONGLONG v);
    bool SetUInt64(ULONGLONG v);
    bool SetDouble(double v);
    bool SetGuid(const GUID& v);
    bool SetOpaque16(const CValue16& v);
    bool SetString(const char* v);
    bool SetString(std::string&& v);
    bool SetWString(const wchar_t* v);
    bool SetWString(std::wstring&& v);
    bool SetMemory(const void* data, DWORD length);
    bool SetMemoryBuffer(IMemoryBuffer* buffer);   // takes a reference
    bool SetVariant(const VARIANT& v);
    // Objects must support ISerialize; with clone the value is a deep copy made through IClone.
    bool SetObject(IUnknown* object, bool clone);

    // Typed access to a value of exactly that type (no conversion).
    bool GetBool() const { return m_data.b; }
    signed char GetInt8() const { return m_data.i8; }
    BYTE GetByte() const { return m_data.u8; }
    SHORT GetInt16() const { return m_data.i16; }
    WORD GetWord() const { return m_data.u16; }
    LONG GetLong() const { return m_data.i32; }
    DWORD GetDword() const { return m_data.u32; }
    LONGLONG GetInt64() const { return *static_cast<const LONGLONG*>(m_data.block); }
    ULONGLONG GetUInt64() const { return *static_cast<const ULONGLONG*>(m_data.block); }
    double GetDouble() const { return *static_cast<const double*>(m_data.block); }
    const GUID& GetGuid() const { return *static_cast<const GUID*>(m_data.block); }
    const CValue16& GetOpaque16() const { return *static_cast<const CValue16*>(m_data.block); }
    const std::string& GetString() const { return *m_data.narrow; }
    const std::wstring& GetWString() const { return *m_data.wide; }
    IMemoryBuffer* GetMemory() const { return m_data.memory; }
    const VARIANT& GetVariant() const { return *m_data.variant; }
    IUnknown* GetObject() const { return m_data.object; }

    // A copy of source; objects are referenced, or deep-copied with cloneObjects.
    bool CopyFrom(const CValue& source, bool cloneObjects);
    // Whether source converts to the type (no work done) and the conversion itself.
    static bool CanConvert(BYTE from, BYTE to);
    static bool Convert(const CValue& source, BYTE to, CValue& result);

    // The type item and, unless empty, the data item.
    bool Save(CArchive& archive) const;
    bool Load(CArchive& archive);

private:
    bool AllocateBlock(BYTE type, const void* data, size_t size);

    BYTE m_type;
    union {
        bool b;
        signed char i8;
        BYTE u8;
        SHORT i16;
        WORD u16;
        LONG i32;
        DWORD u32;
        void* block;             // 8 or 16 bytes for codes 8 to 12
        std::string* narrow;
        std::wstring* wide;
        IMemoryBuffer* memory;
        VARIANT* variant;
        IUnknown* object;   // saved through its ISerialize; live objects (streams) may lack one
    } m_data;
};

}  // namespace qlLib
