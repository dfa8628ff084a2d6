#pragma once
// What both collection flavours share: the lock, the flags, the typed getters and setters with
// conversion, and serialisation. A flavour supplies where a key's value lives (Find, FindForSet,
// ForEach) and its own interface.
#include <windows.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "package/Archive.h"
#include "package/MemoryBuffer.h"
#include "package/Value.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/Trace.h"

namespace qlLib {

// Marks a collection as being copied by this thread for the life of the object; Entered() is
// false when an outer copy on this thread already copies it (the collection contains itself).
class CCopyInProgress {
public:
    explicit CCopyInProgress(const void* collection);
    ~CCopyInProgress();
    CCopyInProgress(const CCopyInProgress&) = delete;
    CCopyInProgress& operator=(const CCopyInProgress&) = delete;
    bool Entered() const { return m_entered; }

private:
    const void* m_collection;
    CCopyInProgress* m_outer;
    bool m_entered;
};

template <class TInterface>
class CValueCollectionBase : public TInterface, public IClone, public ISerialize {
public:
    // ---- IUnknown (the flavour answers QueryInterface) ----
    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = m_refs.Release();
        if (count == 0) delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == InterfaceId() || iid == ClassId()) {
            // The class id answers with this implementation (CopyFrom relies on it).
            *object = static_cast<TInterface*>(this);
        } else if (iid == IID_IClone) {
            *object = static_cast<IClone*>(this);
        } else if (iid == IID_ISerialize) {
            *object = static_cast<ISerialize*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    // ---- IClone ----
    bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) override {
        if (!source) return false;
        CComPtr<TInterface> other;
        if (FAILED(source->QueryInterface(ClassId(), reinterpret_cast<void**>(other.Receive())))) return false;
        auto* impl = static_cast<CValueCollectionBase*>(other.Get());
        if (impl == this) return true;
        // A collection that holds itself (directly or through others) would be copied for ever.
        CCopyInProgress copying(impl);
        if (!copying.Entered()) {
            TraceError(L"qlLib::CValueCollectionBase::CopyFrom(58) : the collection contains itself");
            return false;
        }
        try {
            // Copied under the source's lock alone, then stored under ours: never both at once.
            std::vector<std::pair<DWORD, CValue>> copy;
            {
                CCriticalSectionLock lock(impl->m_lock);
                const bool copied = impl->ForEachLocked([&](DWORD key, const CValue& v) {
                    copy.emplace_back(key, CValue());
                    return copy.back().second.CopyFrom(v, true);
                });
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
    bool STDMETHODCALLTYPE Clone(IUnknown** copy) override {
        if (!copy) return false;
        *copy = nullptr;
        CComPtr<TInterface> created = CComPtr<TInterface>::Adopt(CreateEmpty());
        if (!created || !static_cast<CValueCollectionBase*>(created.Get())->CopyFrom(static_cast<TInterface*>(this)))
            return false;
        created->SetConvert(GetConvert());
        created->SetClone(GetClone());
        *copy = created.Detach();
        return true;
    }
    bool STDMETHODCALLTYPE GetClassId(GUID* classId) override {
        if (!classId) return false;
        *classId = ClassId();
        return true;
    }

    // ---- shared slots ----
    DWORD STDMETHODCALLTYPE GetCount() override {
        CCriticalSectionLock lock(m_lock);
        return CountLocked();
    }
    bool STDMETHODCALLTYPE Exists(DWORD key) override {
        CCriticalSectionLock lock(m_lock);
        return Find(key) != nullptr;
    }
    DWORD STDMETHODCALLTYPE GetSize(DWORD key) override {
        CCriticalSectionLock lock(m_lock);
        const CValue* v = Find(key);
        return v ? v->ReportedSize() : 0;
    }
    BYTE STDMETHODCALLTYPE GetType(DWORD key) override {
        CCriticalSectionLock lock(m_lock);
        const CValue* v = Find(key);
        return v ? v->Type() : static_cast<BYTE>(eValue_Empty);
    }
    bool STDMETHODCALLTYPE RemoveAll() override {
        CCriticalSectionLock lock(m_lock);
        ClearLocked();
        m_modified = true;
        return true;
    }
    bool STDMETHODCALLTYPE GetConvert() override {
        CCriticalSectionLock lock(m_lock);
        return m_convert;
    }
    void STDMETHODCALLTYPE SetConvert(bool convert) override {
        CCriticalSectionLock lock(m_lock);
        m_convert = convert;
    }
    bool STDMETHODCALLTYPE GetClone() override {
        CCriticalSectionLock lock(m_lock);
        return m_clone;
    }
    void STDMETHODCALLTYPE SetClone(bool clone) override {
        CCriticalSectionLock lock(m_lock);
        m_clone = clone;
    }

    bool STDMETHODCALLTYPE GetObj(DWORD key, IUnknown** value) override {
        if (!value) return false;
        *value = nullptr;
        return GetAs(key, eValue_Object, [&](const CValue& v) {
            if (!m_clone) {
                v.GetObject()->AddRef();
                *value = v.GetObject();
                return true;
            }
            CValue copy;
            if (!copy.CopyFrom(v, true)) return false;
            *value = copy.GetObject();
            (*value)->AddRef();
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetVariant(DWORD key, VARIANT* value) override {
        if (!value) return false;
        return GetAs(key, eValue_Variant, [&](const CValue& v) {
            VARIANT copy;
            ::VariantInit(&copy);
            if (FAILED(::VariantCopy(&copy, const_cast<VARIANT*>(&v.GetVariant())))) return false;
            ::VariantClear(value);
            *value = copy;
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetMemory(DWORD key, IMemoryBuffer** value) override {
        if (!value) return false;
        *value = nullptr;
        return GetAs(key, eValue_Memory, [&](const CValue& v) {
            IMemoryBuffer* m = v.GetMemory();
            *value = CMemoryBuffer::Create(m->GetLength() ? m->GetData() : nullptr, m->GetLength());
            return *value != nullptr;
        });
    }
    bool STDMETHODCALLTYPE GetMemoryBuf(DWORD key, void* buffer, DWORD* size) override {
        if (!size) return false;
        return GetAs(key, eValue_Memory, [&](const CValue& v) {
            const DWORD length = v.GetMemory()->GetLength();
            if (length > *size || (length && !buffer)) {
                *size = length;   // tells the caller what it takes
                return false;
            }
            if (length) std::memcpy(buffer, v.GetMemory()->GetData(), length);
            *size = length;
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetWString(DWORD key, std::wstring* value) override {
        if (!value) return false;
        return GetAs(key, eValue_WString, [&](const CValue& v) {
            *value = v.GetWString();
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetWStringBuf(DWORD key, wchar_t* buffer, DWORD sizeBytes) override {
        if (!buffer) return false;
        return GetAs(key, eValue_WString, [&](const CValue& v) {
            const std::wstring& s = v.GetWString();
            if ((s.size() + 1) * sizeof(wchar_t) > sizeBytes) return false;
            std::memcpy(buffer, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetString(DWORD key, std::string* value) override {
        if (!value) return false;
        return GetAs(key, eValue_String, [&](const CValue& v) {
            *value = v.GetString();
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetStringBuf(DWORD key, char* buffer, DWORD sizeBytes) override {
        if (!buffer) return false;
        return GetAs(key, eValue_String, [&](const CValue& v) {
            const std::string& s = v.GetString();
            if (s.size() + 1 > sizeBytes) return false;
            std::memcpy(buffer, s.c_str(), s.size() + 1);
            return true;
        });
    }
    bool STDMETHODCALLTYPE GetOpaque16(DWORD key, CValue16* value) override {
        return value && GetAs(key, eValue_Opaque16, [&](const CValue& v) { *value = v.GetOpaque16(); return true; });
    }
    bool STDMETHODCALLTYPE GetGuid(DWORD key, GUID* value) override {
        return value && GetAs(key, eValue_Guid, [&](const CValue& v) { *value = v.GetGuid(); return true; });
    }
    bool STDMETHODCALLTYPE GetDouble(DWORD key, double* value) override {
        return value && GetAs(key, eValue_Double, [&](const CValue& v) { *value = v.GetDouble(); return true; });
    }
    bool STDMETHODCALLTYPE GetUInt64(DWORD key, ULONGLONG* value) override {
        return value && GetAs(key, eValue_UInt64, [&](const CValue& v) { *value = v.GetUInt64(); return true; });
    }
    bool STDMETHODCALLTYPE GetInt64(DWORD key, LONGLONG* value) override {
        return value && GetAs(key, eValue_Int64, [&](const CValue& v) { *value = v.GetInt64(); return true; });
    }
    bool STDMETHODCALLTYPE GetDword(DWORD key, DWORD* value) override {
        return value && GetAs(key, eValue_Dword, [&](const CValue& v) { *value = v.GetDword(); return true; });
    }
    bool STDMETHODCALLTYPE GetLong(DWORD key, LONG* value) override {
        return value && GetAs(key, eValue_Long, [&](const CValue& v) { *value = v.GetLong(); return true; });
    }
    bool STDMETHODCALLTYPE GetWord(DWORD key, WORD* value) override {
        return value && GetAs(key, eValue_Word, [&](const CValue& v) { *value = v.GetWord(); return true; });
    }
    bool STDMETHODCALLTYPE GetShort(DWORD key, SHORT* value) override {
        return value && GetAs(key, eValue_Int16, [&](const CValue& v) { *value = v.GetInt16(); return true; });
    }
    bool STDMETHODCALLTYPE GetByte(DWORD key, BYTE* value) override {
        return value && GetAs(key, eValue_Byte, [&](const CValue& v) { *value = v.GetByte(); return true; });
    }
    bool STDMETHODCALLTYPE GetChar(DWORD key, signed char* value) override {
        return value && GetAs(key, eValue_Int8, [&](const CValue& v) { *value = v.GetInt8(); return true; });
    }
    bool STDMETHODCALLTYPE GetBool(DWORD key, bool* value) override {
        return value && GetAs(key, eValue_Bool, [&](const CValue& v) { *value = v.GetBool(); return true; });
    }

    bool STDMETHODCALLTYPE SetObj(DWORD key, IUnknown* value) override {
        return SetWith(key, [&](CValue& v) { return v.SetObject(value, m_clone); });
    }
    bool STDMETHODCALLTYPE SetVariant(DWORD key, const VARIANT* value) override {
        return value && SetWith(key, [&](CValue& v) { return v.SetVariant(*value); });
    }
    bool STDMETHODCALLTYPE SetMemory(DWORD key, const void* data, DWORD length) override {
        return SetWith(key, [&](CValue& v) { return v.SetMemory(data, length); });
    }
    bool STDMETHODCALLTYPE SetWString(DWORD key, const wchar_t* value) override {
        return SetWith(key, [&](CValue& v) { return v.SetWString(value); });
    }
    bool STDMETHODCALLTYPE SetString(DWORD key, const char* value) override {
        return SetWith(key, [&](CValue& v) { return v.SetString(value); });
    }
    bool STDMETHODCALLTYPE SetOpaque16(DWORD key, const CValue16* value) override {
        return value && SetWith(key, [&](CValue& v) { return v.SetOpaque16(*value); });
    }
    bool STDMETHODCALLTYPE SetGuid(DWORD key, const GUID* value) override {
        return value && SetWith(key, [&](CValue& v) { return v.SetGuid(*value); });
    }
    bool STDMETHODCALLTYPE SetDouble(DWORD key, double value) override {
        return SetWith(key, [&](CValue& v) { return v.SetDouble(value); });
    }
    bool STDMETHODCALLTYPE SetUInt64(DWORD key, ULONGLONG value) override {
        return SetWith(key, [&](CValue& v) { return v.SetUInt64(value); });
    }
    bool STDMETHODCALLTYPE SetInt64(DWORD key, LONGLONG value) override {
        return SetWith(key, [&](CValue& v) { return v.SetInt64(value); });
    }
    bool STDMETHODCALLTYPE SetDword(DWORD key, DWORD value) override {
        return SetWith(key, [&](CValue& v) { return v.SetDword(value); });
    }
    bool STDMETHODCALLTYPE SetLong(DWORD key, LONG value) override {
        return SetWith(key, [&](CValue& v) { return v.SetLong(value); });
    }
    bool STDMETHODCALLTYPE SetWord(DWORD key, WORD value) override {
        return SetWith(key, [&](CValue& v) { return v.SetWord(value); });
    }
    bool STDMETHODCALLTYPE SetShort(DWORD key, SHORT value) override {
        return SetWith(key, [&](CValue& v) { return v.SetInt16(value); });
    }
    bool STDMETHODCALLTYPE SetByte(DWORD key, BYTE value) override {
        return SetWith(key, [&](CValue& v) { return v.SetByte(value); });
    }
    bool STDMETHODCALLTYPE SetChar(DWORD key, signed char value) override {
        return SetWith(key, [&](CValue& v) { return v.SetInt8(value); });
    }
    bool STDMETHODCALLTYPE SetBool(DWORD key, bool value) override {
        return SetWith(key, [&](CValue& v) { return v.SetBool(value); });
    }

    // ---- ISerialize ----
    bool STDMETHODCALLTYPE GetSize(DWORD* size) override {
        if (!size) return false;
        CCriticalSectionLock lock(m_lock);
        CArchive measuring = CArchive::Measuring();
        if (!SaveLocked(measuring) || measuring.GetTotal() > 0xFFFFFFFFull) return false;
        *size = static_cast<DWORD>(measuring.GetTotal());
        return true;
    }
    bool STDMETHODCALLTYPE Save(IDataStream* stream) override {
        if (!stream) return false;
        CArchive archive(CArchive::eStore, stream);
        return SaveToArchive(&archive);
    }
    bool STDMETHODCALLTYPE Load(IDataStream* stream) override {
        if (!stream) return false;
        CArchive archive(CArchive::eLoad, stream);
        return LoadFromArchive(&archive);
    }
    bool STDMETHODCALLTYPE SaveToArchive(CArchive* archive) override {
        if (!archive) return false;
        CCriticalSectionLock lock(m_lock);
        return SaveLocked(*archive);
    }
    bool STDMETHODCALLTYPE LoadFromArchive(CArchive* archive) override {
        if (!archive) return false;
        CCriticalSectionLock lock(m_lock);
        ClearLocked();
        m_modified = true;
        if (LoadLocked(*archive)) return true;
        ClearLocked();   // a failed load leaves nothing half read
        return false;
    }

    // Whether anything changed since the flag was last cleared.
    bool IsModified() {
        CCriticalSectionLock lock(m_lock);
        return m_modified;
    }
    void SetModified(bool modified) {
        CCriticalSectionLock lock(m_lock);
        m_modified = modified;
    }

protected:
    CValueCollectionBase() = default;
    virtual ~CValueCollectionBase() = default;

    virtual const IID& InterfaceId() const = 0;
    virtual const GUID& ClassId() const = 0;
    virtual TInterface* CreateEmpty() const = 0;
    // The flavour's storage; called with the lock held.
    virtual const CValue* Find(DWORD key) const = 0;
    // The slot a set writes to (the key/value flavour creates it); null when refused.
    virtual CValue* FindForSet(DWORD key) = 0;
    virtual DWORD CountLocked() const = 0;
    virtual void ClearLocked() = 0;
    // Key (or position) and value of every entry in order; stops when f answers false.
    virtual bool ForEachLocked(const std::function<bool(DWORD, const CValue&)>& f) const = 0;
    // Stores a loaded entry; false when the key cannot be taken.
    virtual bool StoreLoaded(DWORD key, CValue&& value) = 0;

    template <class F>
    bool GetAs(DWORD key, BYTE type, F extract) {
        CCriticalSectionLock lock(m_lock);
        try {
            const CValue* v = Find(key);
            if (!v) return false;
            if (v->Type() == type) return extract(*v);
            if (!m_convert || !CValue::CanConvert(v->Type(), type)) return false;
            // Converted in a scratch value: a get never changes what is stored.
            CValue scratch;
            return CValue::Convert(*v, type, scratch) && extract(scratch);
        } catch (const std::bad_alloc&) {
            TraceError(L"qlLib::CValueCollectionBase::GetAs(187) : out of memory");
            return false;
        }
    }

    template <class F>
    bool SetWith(DWORD key, F store) {
        CCriticalSectionLock lock(m_lock);
        try {
            CValue value;
            if (!store(value)) return false;
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

    bool SaveLocked(CArchive& a) const {
        if (!a.WriteLong(1) || !a.WriteBool(m_convert) || !a.WriteBool(m_clone) || !a.WriteLong(1) ||
            !a.WriteDword(CountLocked()))
            return false;
        return ForEachLocked([&](DWORD key, const CValue& v) { return a.WriteDword(key) && v.Save(a); });
    }

    bool LoadLocked(CArchive& a) {
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

    mutable CCriticalSection m_lock;
    CRefCount m_refs;
    bool m_convert = true;
    bool m_clone = false;
    bool m_modified = false;
};

}  // namespace qlLib
