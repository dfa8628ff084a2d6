#include "package/ValueCollectionBase.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "package/MemoryBuffer.h"

namespace qlLib {

namespace {

// Text into a caller buffer of sizeBytes bytes, terminator included.
struct CTextTarget {
    void* buffer;
    DWORD sizeBytes;
};

}  // namespace

bool CValueCollectionCore::IsModified() noexcept {
    CCriticalSectionLock lock(m_lock);
    return m_modified;
}

void CValueCollectionCore::SetModified(bool modified) noexcept {
    CCriticalSectionLock lock(m_lock);
    m_modified = modified;
}

bool CValueCollectionCore::CopyFrom(CValueCollectionCore& source) noexcept {
    if (&source == this) return true;
    // A collection that holds itself (directly or through others) would be copied for ever.
    CCopyInProgress copying(&source);
    if (!copying.Entered()) {
        TraceError(L"qlLib::CValueCollectionBase::CopyFrom(58) : the collection contains itself");
        return false;
    }
    try {
        // Copied under the source's lock alone, then stored under ours: never both at once.
        std::vector<std::pair<DWORD, CValue>> copy;
        {
            CCriticalSectionLock lock(source.m_lock);
            const bool copied = source.ForEachLocked(
                [](DWORD key, const CValue& v, void* context) {
                    auto& entries = *static_cast<std::vector<std::pair<DWORD, CValue>>*>(context);
                    entries.emplace_back(key, CValue());
                    return entries.back().second.CopyFrom(v, true);
                },
                &copy);
            if (!copied) return false;
        }
        CCriticalSectionLock lock(m_lock);
        ClearLocked();
        m_modified = true;
        for (auto& entry : copy) StoreLoaded(entry.first, std::move(entry.second));
        return true;
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CValueCollectionBase::CopyFrom(62) : out of memory");
        return false;
    }
}

DWORD CValueCollectionCore::GetCount() noexcept {
    CCriticalSectionLock lock(m_lock);
    return CountLocked();
}

bool CValueCollectionCore::Exists(DWORD key) noexcept {
    CCriticalSectionLock lock(m_lock);
    return Find(key) != nullptr;
}

DWORD CValueCollectionCore::GetSize(DWORD key) noexcept {
    CCriticalSectionLock lock(m_lock);
    const CValue* v = Find(key);
    return v ? v->ReportedSize() : 0;
}

BYTE CValueCollectionCore::GetType(DWORD key) noexcept {
    CCriticalSectionLock lock(m_lock);
    const CValue* v = Find(key);
    return v ? v->Type() : static_cast<BYTE>(eValue_Empty);
}

bool CValueCollectionCore::RemoveAll() noexcept {
    CCriticalSectionLock lock(m_lock);
    ClearLocked();
    m_modified = true;
    return true;
}

bool CValueCollectionCore::GetConvert() noexcept {
    CCriticalSectionLock lock(m_lock);
    return m_convert;
}

void CValueCollectionCore::SetConvert(bool convert) noexcept {
    CCriticalSectionLock lock(m_lock);
    m_convert = convert;
}

bool CValueCollectionCore::GetClone() noexcept {
    CCriticalSectionLock lock(m_lock);
    return m_clone;
}

void CValueCollectionCore::SetClone(bool clone) noexcept {
    CCriticalSectionLock lock(m_lock);
    m_clone = clone;
}

bool CValueCollectionCore::GetAs(DWORD key, BYTE type, CExtract extract, void* out) noexcept {
    CCriticalSectionLock lock(m_lock);
    try {
        const CValue* v = Find(key);
        if (!v) return false;
        if (v->Type() == type) return extract(*v, out, m_clone);
        if (!m_convert || !CValue::CanConvert(v->Type(), type)) return false;
        // Converted in a scratch value: a get never changes what is stored.
        CValue scratch;
        return CValue::Convert(*v, type, scratch) && extract(scratch, out, m_clone);
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CValueCollectionBase::GetAs(187) : out of memory");
        return false;
    }
}

bool CValueCollectionCore::GetObj(DWORD key, IUnknown** value) noexcept {
    if (!value) return false;
    *value = nullptr;
    return GetAs(key, eValue_Object, [](const CValue& v, void* out, bool clone) {
        IUnknown*& object = *static_cast<IUnknown**>(out);
        if (!clone) {
            v.GetObject()->AddRef();
            object = v.GetObject();
            return true;
        }
        CValue copy;
        if (!copy.CopyFrom(v, true)) return false;
        object = copy.GetObject();
        object->AddRef();
        return true;
    }, value);
}

bool CValueCollectionCore::GetVariant(DWORD key, VARIANT* value) noexcept {
    if (!value) return false;
    return GetAs(key, eValue_Variant, [](const CValue& v, void* out, bool) {
        VARIANT copy;
        ::VariantInit(&copy);
        if (FAILED(::VariantCopy(&copy, const_cast<VARIANT*>(&v.GetVariant())))) return false;
        ::VariantClear(static_cast<VARIANT*>(out));
        *static_cast<VARIANT*>(out) = copy;
        return true;
    }, value);
}

bool CValueCollectionCore::GetMemory(DWORD key, IMemoryBuffer** value) noexcept {
    if (!value) return false;
    *value = nullptr;
    return GetAs(key, eValue_Memory, [](const CValue& v, void* out, bool) {
        IMemoryBuffer* m = v.GetMemory();
        IMemoryBuffer*& copy = *static_cast<IMemoryBuffer**>(out);
        copy = CMemoryBuffer::Create(m->GetLength() ? m->GetData() : nullptr, m->GetLength());
        return copy != nullptr;
    }, value);
}

bool CValueCollectionCore::GetMemoryBuf(DWORD key, void* buffer, DWORD* size) noexcept {
    if (!size) return false;
    struct CTarget {
        void* buffer;
        DWORD* size;
    } target{buffer, size};
    return GetAs(key, eValue_Memory, [](const CValue& v, void* out, bool) {
        const CTarget& t = *static_cast<const CTarget*>(out);
        const DWORD length = v.GetMemory()->GetLength();
        if (length > *t.size || (length && !t.buffer)) {
            *t.size = length;   // tells the caller what it takes
            return false;
        }
        if (length) std::memcpy(t.buffer, v.GetMemory()->GetData(), length);
        *t.size = length;
        return true;
    }, &target);
}

bool CValueCollectionCore::GetWString(DWORD key, std::wstring* value) noexcept {
    if (!value) return false;
    return GetAs(key, eValue_WString, [](const CValue& v, void* out, bool) {
        *static_cast<std::wstring*>(out) = v.GetWString();
        return true;
    }, value);
}

bool CValueCollectionCore::GetWStringBuf(DWORD key, wchar_t* buffer, DWORD sizeBytes) noexcept {
    if (!buffer) return false;
    CTextTarget target{buffer, sizeBytes};
    return GetAs(key, eValue_WString, [](const CValue& v, void* out, bool) {
        const CTextTarget& t = *static_cast<const CTextTarget*>(out);
        const std::wstring& s = v.GetWString();
        if ((s.size() + 1) * sizeof(wchar_t) > t.sizeBytes) return false;
        std::memcpy(t.buffer, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
        return true;
    }, &target);
}

bool CValueCollectionCore::GetString(DWORD key, std::string* value) noexcept {
    if (!value) return false;
    return GetAs(key, eValue_String, [](const CValue& v, void* out, bool) {
        *static_cast<std::string*>(out) = v.GetString();
        return true;
    }, value);
}

bool CValueCollectionCore::GetStringBuf(DWORD key, char* buffer, DWORD sizeBytes) noexcept {
    if (!buffer) return false;
    CTextTarget target{buffer, sizeBytes};
    return GetAs(key, eValue_String, [](const CValue& v, void* out, bool) {
        const CTextTarget& t = *static_cast<const CTextTarget*>(out);
        const std::string& s = v.GetString();
        if (s.size() + 1 > t.sizeBytes) return false;
        std::memcpy(t.buffer, s.c_str(), s.size() + 1);
        return true;
    }, &target);
}

// The fixed-size getters: the value's bytes, as its typed accessor gives them, into *value.
#define QL_COLLECTION_GETTER(Name, Type, code, Accessor)                                     \
    bool CValueCollectionCore::Name(DWORD key, Type* value) noexcept {                        \
        return value && GetAs(key, code, [](const CValue& v, void* out, bool) {                \
                   *static_cast<Type*>(out) = v.Accessor();                                      \
                   return true;                                                                  \
               }, value);                                                                        \
    }

QL_COLLECTION_GETTER(GetOpaque16, CValue16, eValue_Opaque16, GetOpaque16)
QL_COLLECTION_GETTER(GetGuid, GUID, eValue_Guid, GetGuid)
QL_COLLECTION_GETTER(GetDouble, double, eValue_Double, GetDouble)
QL_COLLECTION_GETTER(GetUInt64, ULONGLONG, eValue_UInt64, GetUInt64)
QL_COLLECTION_GETTER(GetInt64, LONGLONG, eValue_Int64, GetInt64)
QL_COLLECTION_GETTER(GetDword, DWORD, eValue_Dword, GetDword)
QL_COLLECTION_GETTER(GetLong, LONG, eValue_Long, GetLong)
QL_COLLECTION_GETTER(GetWord, WORD, eValue_Word, GetWord)
QL_COLLECTION_GETTER(GetShort, SHORT, eValue_Int16, GetInt16)
QL_COLLECTION_GETTER(GetByte, BYTE, eValue_Byte, GetByte)
QL_COLLECTION_GETTER(GetChar, signed char, eValue_Int8, GetInt8)
QL_COLLECTION_GETTER(GetBool, bool, eValue_Bool, GetBool)

#undef QL_COLLECTION_GETTER

bool CValueCollectionCore::SetWith(DWORD key, CStore store, const void* in) noexcept {
    CCriticalSectionLock lock(m_lock);
    try {
        CValue value;
        if (!store(value, in, m_clone)) return false;
        CValue* slot = FindForSet(key);
        if (!slot) return false;
        *slot = std::move(value);
        m_modified = true;
        return true;
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CValueCollectionBase::SetWith(203) : out of memory");
        return false;
    }
}

bool CValueCollectionCore::StoreObj(CValue& value, const void* in, bool clone) {
    return value.SetObject(static_cast<IUnknown*>(const_cast<void*>(in)), clone);
}
bool CValueCollectionCore::StoreVariant(CValue& value, const void* in, bool) {
    return value.SetVariant(*static_cast<const VARIANT*>(in));
}
bool CValueCollectionCore::StoreMemory(CValue& value, const void* in, bool) {
    const CMemoryArgument& memory = *static_cast<const CMemoryArgument*>(in);
    return value.SetMemory(memory.data, memory.length);
}
bool CValueCollectionCore::StoreWString(CValue& value, const void* in, bool) {
    return value.SetWString(static_cast<const wchar_t*>(in));
}
bool CValueCollectionCore::StoreString(CValue& value, const void* in, bool) {
    return value.SetString(static_cast<const char*>(in));
}

// The fixed-size setters: *in is the argument, as the typed setter takes it.
#define QL_COLLECTION_STORE(Name, Type, Setter)                                \
    bool CValueCollectionCore::Name(CValue& value, const void* in, bool) {     \
        return value.Setter(*static_cast<const Type*>(in));                    \
    }

QL_COLLECTION_STORE(StoreOpaque16, CValue16, SetOpaque16)
QL_COLLECTION_STORE(StoreGuid, GUID, SetGuid)
QL_COLLECTION_STORE(StoreDouble, double, SetDouble)
QL_COLLECTION_STORE(StoreUInt64, ULONGLONG, SetUInt64)
QL_COLLECTION_STORE(StoreInt64, LONGLONG, SetInt64)
QL_COLLECTION_STORE(StoreDword, DWORD, SetDword)
QL_COLLECTION_STORE(StoreLong, LONG, SetLong)
QL_COLLECTION_STORE(StoreWord, WORD, SetWord)
QL_COLLECTION_STORE(StoreShort, SHORT, SetInt16)
QL_COLLECTION_STORE(StoreByte, BYTE, SetByte)
QL_COLLECTION_STORE(StoreChar, signed char, SetInt8)
QL_COLLECTION_STORE(StoreBool, bool, SetBool)

#undef QL_COLLECTION_STORE

bool CValueCollectionCore::GetSize(DWORD* size) noexcept {
    if (!size) return false;
    CCriticalSectionLock lock(m_lock);
    CArchive measuring = CArchive::Measuring();
    if (!SaveLocked(measuring) || measuring.GetTotal() > 0xFFFFFFFFull) return false;
    *size = static_cast<DWORD>(measuring.GetTotal());
    return true;
}

bool CValueCollectionCore::Save(IDataStream* stream) noexcept {
    if (!stream) return false;
    CArchive archive(CArchive::eStore, stream);
    return SaveToArchive(&archive);
}

bool CValueCollectionCore::Load(IDataStream* stream) noexcept {
    if (!stream) return false;
    CArchive archive(CArchive::eLoad, stream);
    return LoadFromArchive(&archive);
}

bool CValueCollectionCore::SaveToArchive(CArchive* archive) noexcept {
    if (!archive) return false;
    CCriticalSectionLock lock(m_lock);
    return SaveLocked(*archive);
}

bool CValueCollectionCore::LoadFromArchive(CArchive* archive) noexcept {
    if (!archive) return false;
    CCriticalSectionLock lock(m_lock);
    ClearLocked();
    m_modified = true;
    if (LoadLocked(*archive)) return true;
    ClearLocked();   // a failed load leaves nothing half read
    return false;
}

bool CValueCollectionCore::SaveLocked(CArchive& a) const {
    if (!a.WriteLong(1) || !a.WriteBool(m_convert) || !a.WriteBool(m_clone) || !a.WriteLong(1) ||
        !a.WriteDword(CountLocked()))
        return false;
    return ForEachLocked(
        [](DWORD key, const CValue& v, void* context) {
            CArchive& archive = *static_cast<CArchive*>(context);
            return archive.WriteDword(key) && v.Save(archive);
        },
        &a);
}

bool CValueCollectionCore::LoadLocked(CArchive& a) {
    LONG version = 0;
    bool convert = true, clone = false;
    DWORD count = 0;
    if (!a.ReadLong(version) || version != 1 || !a.ReadBool(convert) || !a.ReadBool(clone) ||
        !a.ReadLong(version) || version != 1 || !a.ReadDword(count))
        return false;
    m_convert = convert;
    m_clone = clone;
    try {
        // Entries are read one by one: the count sizes nothing.
        for (DWORD i = 0; i < count; ++i) {
            DWORD key = 0;
            CValue value;
            if (!a.ReadDword(key) || !value.Load(a) || !StoreLoaded(key, std::move(value))) return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CValueCollectionBase::LoadLocked(233) : out of memory");
        return false;
    }
}

}  // namespace qlLib
