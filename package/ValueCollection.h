#pragma once
// The value collections: typed property bags addressed by a 32-bit key (key/value flavour) or by
// a dense position (index/value flavour), plus the interfaces that travel with them. These are
// binary interfaces handed to the install engine and the install UI: slot order and calling
// convention are fixed.
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <string>

#include "package/DataStream.h"

namespace qlLib {

class CArchive;

// Type codes of a stored value.
enum EValueType : BYTE {
    eValue_Empty = 0,
    eValue_Bool = 1,
    eValue_Int8 = 2,
    eValue_Byte = 3,
    eValue_Int16 = 4,
    eValue_Word = 5,
    eValue_Long = 6,
    eValue_Dword = 7,
    eValue_Int64 = 8,
    eValue_UInt64 = 9,
    eValue_Double = 10,
    eValue_Guid = 11,
    eValue_Opaque16 = 12,
    eValue_String = 13,    // narrow
    eValue_WString = 14,   // UTF-16
    eValue_Memory = 15,
    eValue_Variant = 16,
    eValue_Object = 17,
    eValue_Count = 18,     // 18 and above are invalid
};

// An opaque 16-byte value.
struct CValue16 {
    BYTE bytes[16];
};

extern const IID IID_IMemoryBuffer;
extern const IID IID_ISerialize;
extern const IID IID_IClone;
extern const IID IID_IKeyValueCollection;
extern const IID IID_IIndexValueCollection;
// Class ids written in front of a collection stored as an object value.
extern const GUID CLSID_KeyValueCollection;
extern const GUID CLSID_IndexValueCollection;

// A byte buffer object (memory values).
class IMemoryBuffer : public IUnknown {
public:
    virtual DWORD STDMETHODCALLTYPE GetLength() noexcept = 0;
    virtual const BYTE* STDMETHODCALLTYPE GetData() noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetData(const void* data, DWORD length) noexcept = 0;
};

// Saving and loading through the archive format. Objects stored as values implement it.
class ISerialize : public IUnknown {
public:
    // Bytes that Save will write.
    virtual bool STDMETHODCALLTYPE GetSize(DWORD* size) = 0;
    virtual bool STDMETHODCALLTYPE Save(IDataStream* stream) = 0;
    virtual bool STDMETHODCALLTYPE Load(IDataStream* stream) = 0;
    // The same through an archive that is already open (nested objects).
    virtual bool STDMETHODCALLTYPE SaveToArchive(CArchive* archive) = 0;
    virtual bool STDMETHODCALLTYPE LoadFromArchive(CArchive* archive) = 0;
    virtual bool STDMETHODCALLTYPE GetClassId(GUID* classId) = 0;
};

class IClone : public IUnknown {
public:
    // Replaces this object's content with a deep copy of source's (an object of the same kind).
    virtual bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) = 0;
    // A new, independent deep copy; the caller owns the reference.
    virtual bool STDMETHODCALLTYPE Clone(IUnknown** copy) = 0;
};

// Slots shared by both flavours; "key" is a position in the index/value flavour.
class IValueCollection : public IUnknown {
public:
    virtual DWORD STDMETHODCALLTYPE GetCount() noexcept = 0;
    virtual bool STDMETHODCALLTYPE Exists(DWORD key) noexcept = 0;
    virtual DWORD STDMETHODCALLTYPE GetSize(DWORD key) noexcept = 0;
    virtual BYTE STDMETHODCALLTYPE GetType(DWORD key) noexcept = 0;
    virtual bool STDMETHODCALLTYPE Remove(DWORD key) noexcept = 0;
    virtual bool STDMETHODCALLTYPE RemoveAll() noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetConvert() noexcept = 0;
    virtual void STDMETHODCALLTYPE SetConvert(bool convert) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetClone() noexcept = 0;
    virtual void STDMETHODCALLTYPE SetClone(bool clone) noexcept = 0;

    // Getters. Strings and memory come in two forms: as an object, and into a caller buffer
    // (wide and narrow: its size in bytes; memory: in/out size in bytes).
    virtual bool STDMETHODCALLTYPE GetObj(DWORD key, IUnknown** value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetVariant(DWORD key, VARIANT* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetMemory(DWORD key, IMemoryBuffer** value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetMemoryBuf(DWORD key, void* buffer, DWORD* size) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetWString(DWORD key, std::wstring* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetWStringBuf(DWORD key, wchar_t* buffer, DWORD sizeBytes) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetString(DWORD key, std::string* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetStringBuf(DWORD key, char* buffer, DWORD sizeBytes) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetOpaque16(DWORD key, CValue16* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetGuid(DWORD key, GUID* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetDouble(DWORD key, double* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetUInt64(DWORD key, ULONGLONG* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetInt64(DWORD key, LONGLONG* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetDword(DWORD key, DWORD* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetLong(DWORD key, LONG* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetWord(DWORD key, WORD* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetShort(DWORD key, SHORT* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetByte(DWORD key, BYTE* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetChar(DWORD key, signed char* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE GetBool(DWORD key, bool* value) noexcept = 0;

    // Setters (the index/value flavour replaces existing positions only).
    virtual bool STDMETHODCALLTYPE SetObj(DWORD key, IUnknown* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetVariant(DWORD key, const VARIANT* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetMemory(DWORD key, const void* data, DWORD length) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetWString(DWORD key, const wchar_t* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetString(DWORD key, const char* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetOpaque16(DWORD key, const CValue16* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetGuid(DWORD key, const GUID* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetDouble(DWORD key, double value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetUInt64(DWORD key, ULONGLONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetInt64(DWORD key, LONGLONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetDword(DWORD key, DWORD value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetLong(DWORD key, LONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetWord(DWORD key, WORD value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetShort(DWORD key, SHORT value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetByte(DWORD key, BYTE value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetChar(DWORD key, signed char value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE SetBool(DWORD key, bool value) noexcept = 0;
};

class IKeyValueCollection : public IValueCollection {
public:
    // The key at a position in ascending key order; false when position >= count.
    virtual bool STDMETHODCALLTYPE GetKeyAt(DWORD position, DWORD* key) noexcept = 0;
};

class IIndexValueCollection : public IValueCollection {
public:
    // Appends at position GetCount().
    virtual bool STDMETHODCALLTYPE AddObj(IUnknown* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddVariant(const VARIANT* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddMemory(const void* data, DWORD length) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddWString(const wchar_t* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddString(const char* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddOpaque16(const CValue16* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddGuid(const GUID* value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddDouble(double value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddUInt64(ULONGLONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddInt64(LONGLONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddDword(DWORD value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddLong(LONG value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddWord(WORD value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddShort(SHORT value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddByte(BYTE value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddChar(signed char value) noexcept = 0;
    virtual bool STDMETHODCALLTYPE AddBool(bool value) noexcept = 0;
};

// Reads a string value whatever its stored kind, converting through the thread's ANSI code page.
bool ReadStringAsNarrow(IValueCollection* collection, DWORD key, std::string& value);
bool ReadStringAsWide(IValueCollection* collection, DWORD key, std::wstring& value);

}  // namespace qlLib
