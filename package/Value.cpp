#include "package/Value.h"

#include <cstring>
#include <new>

#include "package/Archive.h"
#include "package/MemoryBuffer.h"
#include "runtime/ComPtr.h"

namespace qlLib {

namespace {

bool IsNumeric(BYTE t) { return t >= eValue_Bool && t <= eValue_Double; }
bool IsSignedInteger(BYTE t) {
    return t == eValue_Int8 || t == eValue_Int16 || t == eValue_Long || t == eValue_Int64;
}
// Width in bytes of the integer codes 2 to 9.
int IntegerWidth(BYTE t) {
    switch (t) {
    case eValue_Int8: case eValue_Byte: return 1;
    case eValue_Int16: case eValue_Word: return 2;
    case eValue_Long: case eValue_Dword: return 4;
    case eValue_Int64: case eValue_UInt64: return 8;
    default: return 0;
    }
}

// The integer value of codes 2 to 9, sign- or zero-extended to 64 bits.
ULONGLONG ExtendedBits(const CValue& v) {
    switch (v.Type()) {
    case eValue_Int8: return static_cast<ULONGLONG>(static_cast<LONGLONG>(v.GetInt8()));
    case eValue_Byte: return v.GetByte();
    case eValue_Int16: return static_cast<ULONGLONG>(static_cast<LONGLONG>(v.GetInt16()));
    case eValue_Word: return v.GetWord();
    case eValue_Long: return static_cast<ULONGLONG>(static_cast<LONGLONG>(v.GetLong()));
    case eValue_Dword: return v.GetDword();
    case eValue_Int64: return static_cast<ULONGLONG>(v.GetInt64());
    case eValue_UInt64: return v.GetUInt64();
    default: return 0;
    }
}

bool StoreInteger(CValue& out, BYTE type, ULONGLONG bits) {
    switch (type) {
    case eValue_Int8: return out.SetInt8(static_cast<signed char>(bits));
    case eValue_Byte: return out.SetByte(static_cast<BYTE>(bits));
    case eValue_Int16: return out.SetInt16(static_cast<SHORT>(bits));
    case eValue_Word: return out.SetWord(static_cast<WORD>(bits));
    case eValue_Long: return out.SetLong(static_cast<LONG>(bits));
    case eValue_Dword: return out.SetDword(static_cast<DWORD>(bits));
    case eValue_Int64: return out.SetInt64(static_cast<LONGLONG>(bits));
    case eValue_UInt64: return out.SetUInt64(bits);
    case eValue_Double: return out.SetDouble(static_cast<double>(bits));
    default: return false;
    }
}

bool NarrowToWide(const std::string& in, std::wstring& out) {
    if (in.empty()) {
        out.clear();
        return true;
    }
    const int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), L'\0');
    return ::MultiByteToWideChar(CP_THREAD_ACP, 0, in.data(), static_cast<int>(in.size()), &out[0], n) == n;
}

bool WideToNarrow(const std::wstring& in, std::string& out) {
    if (in.empty()) {
        out.clear();
        return true;
    }
    const int n = ::WideCharToMultiByte(CP_THREAD_ACP, 0, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), '\0');
    return ::WideCharToMultiByte(CP_THREAD_ACP, 0, in.data(), static_cast<int>(in.size()), &out[0], n, nullptr,
                                 nullptr) == n;
}

}  // namespace

CValue::CValue() noexcept : m_type(eValue_Empty) {
    m_data.block = nullptr;
}

CValue::~CValue() {
    Clear();
}

CValue::CValue(CValue&& other) noexcept : m_type(other.m_type), m_data(other.m_data) {
    other.m_type = eValue_Empty;
    other.m_data.block = nullptr;
}

CValue& CValue::operator=(CValue&& other) noexcept {
    if (this != &other) {
        Clear();
        m_type = other.m_type;
        m_data = other.m_data;
        other.m_type = eValue_Empty;
        other.m_data.block = nullptr;
    }
    return *this;
}

void CValue::Clear() noexcept {
    switch (m_type) {
    case eValue_Int64: case eValue_UInt64: case eValue_Double: case eValue_Guid: case eValue_Opaque16:
        ::operator delete(m_data.block);
        break;
    case eValue_String: delete m_data.narrow; break;
    case eValue_WString: delete m_data.wide; break;
    case eValue_Memory: if (m_data.memory) m_data.memory->Release(); break;
    case eValue_Variant:
        ::VariantClear(m_data.variant);
        delete m_data.variant;
        break;
    case eValue_Object: if (m_data.object) m_data.object->Release(); break;
    default: break;
    }
    m_type = eValue_Empty;
    m_data.block = nullptr;
}

DWORD CValue::ReportedSize() const {
    switch (m_type) {
    case eValue_Empty: return 0;
    case eValue_Bool: case eValue_Int8: case eValue_Byte: return 1;
    case eValue_Int16: case eValue_Word: return 2;
    case eValue_Long: case eValue_Dword: return 4;
    case eValue_Int64: case eValue_UInt64: case eValue_Double: return 8;
    case eValue_Guid: case eValue_Opaque16: return 16;
    case eValue_String: return static_cast<DWORD>(m_data.narrow->size() + 1);
    case eValue_WString: return static_cast<DWORD>(2 * m_data.wide->size() + 2);
    case eValue_Memory: return m_data.memory->GetLength();
    case eValue_Variant: {
        CArchive measuring = CArchive::Measuring();
        return measuring.WriteVariant(*m_data.variant) ? static_cast<DWORD>(measuring.GetTotal() - 5) : 0;
    }
    case eValue_Object: {
        CComPtr<ISerialize> serializable;
        DWORD size = 0;
        if (FAILED(m_data.object->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(serializable.Receive())))) {
            return 0;
        }
        return serializable->GetSize(&size) ? size : 0;
    }
    default: return 0;
    }
}

bool CValue::AllocateBlock(BYTE type, const void* data, size_t size) {
    void* block = ::operator new(size, std::nothrow);
    if (!block) return false;
    std::memcpy(block, data, size);
    Clear();
    m_type = type;
    m_data.block = block;
    return true;
}

#define QL_VALUE_INLINE_SETTER(Name, Type, code, member) \
    bool CValue::Name(Type v) {                          \
        Clear();                                         \
        m_type = code;                                   \
        m_data.member = v;                               \
        return true;                                     \
    }

QL_VALUE_INLINE_SETTER(SetBool, bool, eValue_Bool, b)
QL_VALUE_INLINE_SETTER(SetInt8, signed char, eValue_Int8, i8)
QL_VALUE_INLINE_SETTER(SetByte, BYTE, eValue_Byte, u8)
QL_VALUE_INLINE_SETTER(SetInt16, SHORT, eValue_Int16, i16)
QL_VALUE_INLINE_SETTER(SetWord, WORD, eValue_Word, u16)
QL_VALUE_INLINE_SETTER(SetLong, LONG, eValue_Long, i32)
QL_VALUE_INLINE_SETTER(SetDword, DWORD, eValue_Dword, u32)

#undef QL_VALUE_INLINE_SETTER

bool CValue::SetInt64(LONGLONG v) { return AllocateBlock(eValue_Int64, &v, sizeof(v)); }
bool CValue::SetUInt64(ULONGLONG v) { return AllocateBlock(eValue_UInt64, &v, sizeof(v)); }
bool CValue::SetDouble(double v) { return AllocateBlock(eValue_Double, &v, sizeof(v)); }
bool CValue::SetGuid(const GUID& v) { return AllocateBlock(eValue_Guid, &v, sizeof(v)); }
bool CValue::SetOpaque16(const CValue16& v) { return AllocateBlock(eValue_Opaque16, &v, sizeof(v)); }

bool CValue::SetString(const char* v) {
    if (!v) return false;
    try {
        return SetString(std::string(v));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CValue::SetString(std::string&& v) {
    std::string* copy = new (std::nothrow) std::string(std::move(v));
    if (!copy) return false;
    Clear();
    m_type = eValue_String;
    m_data.narrow = copy;
    return true;
}

bool CValue::SetWString(const wchar_t* v) {
    if (!v) return false;
    try {
        return SetWString(std::wstring(v));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CValue::SetWString(std::wstring&& v) {
    std::wstring* copy = new (std::nothrow) std::wstring(std::move(v));
    if (!copy) return false;
    Clear();
    m_type = eValue_WString;
    m_data.wide = copy;
    return true;
}

bool CValue::SetMemory(const void* data, DWORD length) {
    IMemoryBuffer* buffer = CMemoryBuffer::Create(data, length);
    if (!buffer) return false;
    Clear();
    m_type = eValue_Memory;
    m_data.memory = buffer;
    return true;
}

bool CValue::SetMemoryBuffer(IMemoryBuffer* buffer) {
    if (!buffer) return false;
    buffer->AddRef();
    Clear();
    m_type = eValue_Memory;
    m_data.memory = buffer;
    return true;
}

bool CValue::SetVariant(const VARIANT& v) {
    VARIANT* copy = new (std::nothrow) VARIANT;
    if (!copy) return false;
    ::VariantInit(copy);
    if (FAILED(::VariantCopy(copy, const_cast<VARIANT*>(&v)))) {
        delete copy;
        return false;
    }
    Clear();
    m_type = eValue_Variant;
    m_data.variant = copy;
    return true;
}

bool CValue::SetObject(IUnknown* object, bool clone) {
    if (!object) return false;
    CComPtr<IUnknown> stored;
    if (clone) {
        CComPtr<IClone> cloner;
        if (FAILED(object->QueryInterface(IID_IClone, reinterpret_cast<void**>(cloner.Receive()))) ||
            !cloner->Clone(stored.Receive()) || !stored)
            return false;
    } else {
        // A counted reference to any object: live objects such as streams are kept this way too.
        stored = object;
    }
    Clear();
    m_type = eValue_Object;
    m_data.object = stored.Detach();
    return true;
}

bool CValue::CopyFrom(const CValue& s, bool cloneObjects) {
    if (&s == this) return true;
    switch (s.m_type) {
    case eValue_Empty: Clear(); return true;
    case eValue_Bool: return SetBool(s.m_data.b);
    case eValue_Int8: return SetInt8(s.m_data.i8);
    case eValue_Byte: return SetByte(s.m_data.u8);
    case eValue_Int16: return SetInt16(s.m_data.i16);
    case eValue_Word: return SetWord(s.m_data.u16);
    case eValue_Long: return SetLong(s.m_data.i32);
    case eValue_Dword: return SetDword(s.m_data.u32);
    case eValue_Int64: return SetInt64(s.GetInt64());
    case eValue_UInt64: return SetUInt64(s.GetUInt64());
    case eValue_Double: return SetDouble(s.GetDouble());
    case eValue_Guid: return SetGuid(s.GetGuid());
    case eValue_Opaque16: return SetOpaque16(s.GetOpaque16());
    case eValue_String: return SetString(s.GetString().c_str());
    case eValue_WString: return SetWString(s.GetWString().c_str());
    case eValue_Memory: {
        IMemoryBuffer* m = s.m_data.memory;
        return SetMemory(m->GetLength() ? m->GetData() : nullptr, m->GetLength());
    }
    case eValue_Variant: return SetVariant(*s.m_data.variant);
    case eValue_Object: return SetObject(s.m_data.object, cloneObjects);
    default: return false;
    }
}

bool CValue::CanConvert(BYTE from, BYTE to) {
    if (from >= eValue_Count || to >= eValue_Count) return false;
    if (from == to) return true;
    if (IsNumeric(from) && IsNumeric(to)) {
        if (to == eValue_Bool || from == eValue_Bool) return true;
        if (from == eValue_Double) return false;   // a double becomes nothing but a bool
        if (to == eValue_Double) return true;
        return IntegerWidth(to) >= IntegerWidth(from);   // same width: bits; wider: extended
    }
    return (from == eValue_String && to == eValue_WString) || (from == eValue_WString && to == eValue_String);
}

bool CValue::Convert(const CValue& s, BYTE to, CValue& out) {
    if (!CanConvert(s.m_type, to)) return false;
    if (s.m_type == to) return out.CopyFrom(s, false);
    const BYTE from = s.m_type;
    try {
        if (from == eValue_String) {
            std::wstring wide;
            return NarrowToWide(s.GetString(), wide) && out.SetWString(std::move(wide));
        }
        if (from == eValue_WString) {
            std::string narrow;
            return WideToNarrow(s.GetWString(), narrow) && out.SetString(std::move(narrow));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (to == eValue_Bool) {
        if (from == eValue_Double) return out.SetBool(s.GetDouble() > 0.0);
        const ULONGLONG bits = ExtendedBits(s);
        return out.SetBool(IsSignedInteger(from) ? static_cast<LONGLONG>(bits) > 0 : bits != 0);
    }
    if (from == eValue_Bool) return StoreInteger(out, to, s.GetBool() ? 1 : 0);
    const ULONGLONG bits = ExtendedBits(s);
    if (to == eValue_Double) {
        return out.SetDouble(IsSignedInteger(from) ? static_cast<double>(static_cast<LONGLONG>(bits))
                                                   : static_cast<double>(bits));
    }
    return StoreInteger(out, to, bits);
}

bool CValue::Save(CArchive& a) const {
    if (m_type >= eValue_Count || !a.WriteByte(m_type)) return false;
    switch (m_type) {
    case eValue_Empty: return true;
    case eValue_Bool: return a.WriteBool(m_data.b);
    case eValue_Int8: return a.WriteInt8(m_data.i8);
    case eValue_Byte: return a.WriteByte(m_data.u8);
    case eValue_Int16: return a.WriteInt16(m_data.i16);
    case eValue_Word: return a.WriteWord(m_data.u16);
    case eValue_Long: return a.WriteLong(m_data.i32);
    case eValue_Dword: return a.WriteDword(m_data.u32);
    case eValue_Int64: return a.WriteInt64(GetInt64());
    case eValue_UInt64: return a.WriteUInt64(GetUInt64());
    case eValue_Double: return a.WriteDouble(GetDouble());
    case eValue_Guid: return a.WriteGuid(GetGuid());
    case eValue_Opaque16: return a.WriteOpaque16(GetOpaque16());
    case eValue_String: return a.WriteString(GetString());
    case eValue_WString: return a.WriteWString(GetWString());
    case eValue_Memory: return a.WriteBlock(m_data.memory->GetData(), m_data.memory->GetLength());
    case eValue_Variant: return a.WriteVariant(*m_data.variant);
    case eValue_Object: {
        // An object that cannot save itself (an open stream, say) makes the save fail.
        CComPtr<ISerialize> serializable;
        if (FAILED(m_data.object->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(serializable.Receive())))) {
            return false;
        }
        return a.WriteObject(serializable.Get());
    }
    default: return false;
    }
}

bool CValue::Load(CArchive& a) {
    BYTE type = 0;
    if (!a.ReadByte(type)) return false;
    switch (type) {
    case eValue_Empty: Clear(); return true;
    case eValue_Bool: { bool v; return a.ReadBool(v) && SetBool(v); }
    case eValue_Int8: { signed char v; return a.ReadInt8(v) && SetInt8(v); }
    case eValue_Byte: { BYTE v; return a.ReadByte(v) && SetByte(v); }
    case eValue_Int16: { SHORT v; return a.ReadInt16(v) && SetInt16(v); }
    case eValue_Word: { WORD v; return a.ReadWord(v) && SetWord(v); }
    case eValue_Long: { LONG v; return a.ReadLong(v) && SetLong(v); }
    case eValue_Dword: { DWORD v; return a.ReadDword(v) && SetDword(v); }
    case eValue_Int64: { LONGLONG v; return a.ReadInt64(v) && SetInt64(v); }
    case eValue_UInt64: { ULONGLONG v; return a.ReadUInt64(v) && SetUInt64(v); }
    case eValue_Double: { double v; return a.ReadDouble(v) && SetDouble(v); }
    case eValue_Guid: { GUID v; return a.ReadGuid(v) && SetGuid(v); }
    case eValue_Opaque16: { CValue16 v; return a.ReadOpaque16(v) && SetOpaque16(v); }
    case eValue_String: {
        std::string v;
        return a.ReadString(v) && SetString(std::move(v));
    }
    case eValue_WString: {
        std::wstring v;
        return a.ReadWString(v) && SetWString(std::move(v));
    }
    case eValue_Memory: {
        std::vector<BYTE> v;
        return a.ReadBlock(v) && SetMemory(v.empty() ? nullptr : v.data(), static_cast<DWORD>(v.size()));
    }
    case eValue_Variant: {
        VARIANT v;
        ::VariantInit(&v);
        const bool ok = a.ReadVariant(v) && SetVariant(v);
        ::VariantClear(&v);
        return ok;
    }
    case eValue_Object: {
        ISerialize* object = nullptr;
        if (!a.ReadObject(&object)) return false;
        Clear();
        m_type = eValue_Object;
        m_data.object = object;
        return true;
    }
    default:
        return false;   // an unknown type code
    }
}

}  // namespace qlLib
