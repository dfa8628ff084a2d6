#pragma once
// What both collection flavours share: the lock, the flags, the typed getters and setters with
// conversion, and serialisation. A flavour supplies where a key's value lives (Find, FindForSet,
// ForEachLocked) and its own interface.
//
// The shared work is done once, in CValueCollectionCore; the template only binds it to the
// flavour's interface with one-line forwarders, so the two flavours do not each carry a copy.
#include <windows.h>

#include "package/Archive.h"
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

class CValueCollectionCore {
public:
    CValueCollectionCore(const CValueCollectionCore&) = delete;
    CValueCollectionCore& operator=(const CValueCollectionCore&) = delete;

    // Whether anything changed since the flag was last cleared.
    bool IsModified() noexcept;
    void SetModified(bool modified) noexcept;

protected:
    CValueCollectionCore() = default;
    virtual ~CValueCollectionCore() = default;

    // The flavour's storage; called with the lock held.
    virtual const CValue* Find(DWORD key) const = 0;
    // The slot a set writes to (the key/value flavour creates it); null when refused.
    virtual CValue* FindForSet(DWORD key) = 0;
    virtual DWORD CountLocked() const = 0;
    virtual void ClearLocked() = 0;
    // Key (or position) and value of every entry in order; stops when visit answers false.
    using CVisit = bool (*)(DWORD key, const CValue& value, void* context);
    virtual bool ForEachLocked(CVisit visit, void* context) const = 0;
    // Stores a loaded entry; false when the key cannot be taken.
    virtual bool StoreLoaded(DWORD key, CValue&& value) = 0;

    // Makes a value from a setter's argument (in); clone is the collection's object flag.
    using CStore = bool (*)(CValue& value, const void* in, bool clone);

    // ---- the shared slots, behind the forwarders of CValueCollectionBase ----
    bool CopyFrom(CValueCollectionCore& source) noexcept;
    DWORD GetCount() noexcept;
    bool Exists(DWORD key) noexcept;
    DWORD GetSize(DWORD key) noexcept;
    BYTE GetType(DWORD key) noexcept;
    bool RemoveAll() noexcept;
    bool GetConvert() noexcept;
    void SetConvert(bool convert) noexcept;
    bool GetClone() noexcept;
    void SetClone(bool clone) noexcept;

    bool GetObj(DWORD key, IUnknown** value) noexcept;
    bool GetVariant(DWORD key, VARIANT* value) noexcept;
    bool GetMemory(DWORD key, IMemoryBuffer** value) noexcept;
    bool GetMemoryBuf(DWORD key, void* buffer, DWORD* size) noexcept;
    bool GetWString(DWORD key, std::wstring* value) noexcept;
    bool GetWStringBuf(DWORD key, wchar_t* buffer, DWORD sizeBytes) noexcept;
    bool GetString(DWORD key, std::string* value) noexcept;
    bool GetStringBuf(DWORD key, char* buffer, DWORD sizeBytes) noexcept;
    bool GetOpaque16(DWORD key, CValue16* value) noexcept;
    bool GetGuid(DWORD key, GUID* value) noexcept;
    bool GetDouble(DWORD key, double* value) noexcept;
    bool GetUInt64(DWORD key, ULONGLONG* value) noexcept;
    bool GetInt64(DWORD key, LONGLONG* value) noexcept;
    bool GetDword(DWORD key, DWORD* value) noexcept;
    bool GetLong(DWORD key, LONG* value) noexcept;
    bool GetWord(DWORD key, WORD* value) noexcept;
    bool GetShort(DWORD key, SHORT* value) noexcept;
    bool GetByte(DWORD key, BYTE* value) noexcept;
    bool GetChar(DWORD key, signed char* value) noexcept;
    bool GetBool(DWORD key, bool* value) noexcept;

    // Each setter is SetWith and the store of its type, which the index/value flavour's Add
    // shares.
    bool SetWith(DWORD key, CStore store, const void* in) noexcept;
    static bool StoreObj(CValue& value, const void* in, bool clone);
    static bool StoreVariant(CValue& value, const void* in, bool clone);
    static bool StoreMemory(CValue& value, const void* in, bool clone);   // in: CMemoryArgument
    static bool StoreWString(CValue& value, const void* in, bool clone);
    static bool StoreString(CValue& value, const void* in, bool clone);
    static bool StoreOpaque16(CValue& value, const void* in, bool clone);
    static bool StoreGuid(CValue& value, const void* in, bool clone);
    static bool StoreDouble(CValue& value, const void* in, bool clone);
    static bool StoreUInt64(CValue& value, const void* in, bool clone);
    static bool StoreInt64(CValue& value, const void* in, bool clone);
    static bool StoreDword(CValue& value, const void* in, bool clone);
    static bool StoreLong(CValue& value, const void* in, bool clone);
    static bool StoreWord(CValue& value, const void* in, bool clone);
    static bool StoreShort(CValue& value, const void* in, bool clone);
    static bool StoreByte(CValue& value, const void* in, bool clone);
    static bool StoreChar(CValue& value, const void* in, bool clone);
    static bool StoreBool(CValue& value, const void* in, bool clone);
    struct CMemoryArgument {
        const void* data;
        DWORD length;
    };

    // ISerialize
    bool GetSize(DWORD* size) noexcept;
    bool Save(IDataStream* stream) noexcept;
    bool Load(IDataStream* stream) noexcept;
    bool SaveToArchive(CArchive* archive) noexcept;
    bool LoadFromArchive(CArchive* archive) noexcept;

    mutable CCriticalSection m_lock;
    CRefCount m_refs;
    bool m_convert = true;
    bool m_clone = false;
    bool m_modified = false;

private:
    // Hands the stored value of key, or its conversion to type, to extract (with out).
    using CExtract = bool (*)(const CValue& value, void* out, bool clone);
    bool GetAs(DWORD key, BYTE type, CExtract extract, void* out) noexcept;
    bool SaveLocked(CArchive& archive) const;
    bool LoadLocked(CArchive& archive);
};

template <class TInterface>
class CValueCollectionBase : public TInterface, public IClone, public ISerialize, public CValueCollectionCore {
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
        return CValueCollectionCore::CopyFrom(*static_cast<CValueCollectionBase*>(other.Get()));
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
    DWORD STDMETHODCALLTYPE GetCount() noexcept override { return CValueCollectionCore::GetCount(); }
    bool STDMETHODCALLTYPE Exists(DWORD key) noexcept override { return CValueCollectionCore::Exists(key); }
    DWORD STDMETHODCALLTYPE GetSize(DWORD key) noexcept override { return CValueCollectionCore::GetSize(key); }
    BYTE STDMETHODCALLTYPE GetType(DWORD key) noexcept override { return CValueCollectionCore::GetType(key); }
    bool STDMETHODCALLTYPE RemoveAll() noexcept override { return CValueCollectionCore::RemoveAll(); }
    bool STDMETHODCALLTYPE GetConvert() noexcept override { return CValueCollectionCore::GetConvert(); }
    void STDMETHODCALLTYPE SetConvert(bool convert) noexcept override { CValueCollectionCore::SetConvert(convert); }
    bool STDMETHODCALLTYPE GetClone() noexcept override { return CValueCollectionCore::GetClone(); }
    void STDMETHODCALLTYPE SetClone(bool clone) noexcept override { CValueCollectionCore::SetClone(clone); }

    bool STDMETHODCALLTYPE GetObj(DWORD key, IUnknown** value) noexcept override {
        return CValueCollectionCore::GetObj(key, value);
    }
    bool STDMETHODCALLTYPE GetVariant(DWORD key, VARIANT* value) noexcept override {
        return CValueCollectionCore::GetVariant(key, value);
    }
    bool STDMETHODCALLTYPE GetMemory(DWORD key, IMemoryBuffer** value) noexcept override {
        return CValueCollectionCore::GetMemory(key, value);
    }
    bool STDMETHODCALLTYPE GetMemoryBuf(DWORD key, void* buffer, DWORD* size) noexcept override {
        return CValueCollectionCore::GetMemoryBuf(key, buffer, size);
    }
    bool STDMETHODCALLTYPE GetWString(DWORD key, std::wstring* value) noexcept override {
        return CValueCollectionCore::GetWString(key, value);
    }
    bool STDMETHODCALLTYPE GetWStringBuf(DWORD key, wchar_t* buffer, DWORD sizeBytes) noexcept override {
        return CValueCollectionCore::GetWStringBuf(key, buffer, sizeBytes);
    }
    bool STDMETHODCALLTYPE GetString(DWORD key, std::string* value) noexcept override {
        return CValueCollectionCore::GetString(key, value);
    }
    bool STDMETHODCALLTYPE GetStringBuf(DWORD key, char* buffer, DWORD sizeBytes) noexcept override {
        return CValueCollectionCore::GetStringBuf(key, buffer, sizeBytes);
    }
    bool STDMETHODCALLTYPE GetOpaque16(DWORD key, CValue16* value) noexcept override {
        return CValueCollectionCore::GetOpaque16(key, value);
    }
    bool STDMETHODCALLTYPE GetGuid(DWORD key, GUID* value) noexcept override { return CValueCollectionCore::GetGuid(key, value); }
    bool STDMETHODCALLTYPE GetDouble(DWORD key, double* value) noexcept override {
        return CValueCollectionCore::GetDouble(key, value);
    }
    bool STDMETHODCALLTYPE GetUInt64(DWORD key, ULONGLONG* value) noexcept override {
        return CValueCollectionCore::GetUInt64(key, value);
    }
    bool STDMETHODCALLTYPE GetInt64(DWORD key, LONGLONG* value) noexcept override {
        return CValueCollectionCore::GetInt64(key, value);
    }
    bool STDMETHODCALLTYPE GetDword(DWORD key, DWORD* value) noexcept override {
        return CValueCollectionCore::GetDword(key, value);
    }
    bool STDMETHODCALLTYPE GetLong(DWORD key, LONG* value) noexcept override { return CValueCollectionCore::GetLong(key, value); }
    bool STDMETHODCALLTYPE GetWord(DWORD key, WORD* value) noexcept override { return CValueCollectionCore::GetWord(key, value); }
    bool STDMETHODCALLTYPE GetShort(DWORD key, SHORT* value) noexcept override {
        return CValueCollectionCore::GetShort(key, value);
    }
    bool STDMETHODCALLTYPE GetByte(DWORD key, BYTE* value) noexcept override { return CValueCollectionCore::GetByte(key, value); }
    bool STDMETHODCALLTYPE GetChar(DWORD key, signed char* value) noexcept override {
        return CValueCollectionCore::GetChar(key, value);
    }
    bool STDMETHODCALLTYPE GetBool(DWORD key, bool* value) noexcept override { return CValueCollectionCore::GetBool(key, value); }

    bool STDMETHODCALLTYPE SetObj(DWORD key, IUnknown* value) noexcept override { return SetWith(key, &StoreObj, value); }
    bool STDMETHODCALLTYPE SetVariant(DWORD key, const VARIANT* value) noexcept override {
        return value && SetWith(key, &StoreVariant, value);
    }
    bool STDMETHODCALLTYPE SetMemory(DWORD key, const void* data, DWORD length) noexcept override {
        const CMemoryArgument memory{data, length};
        return SetWith(key, &StoreMemory, &memory);
    }
    bool STDMETHODCALLTYPE SetWString(DWORD key, const wchar_t* value) noexcept override {
        return SetWith(key, &StoreWString, value);
    }
    bool STDMETHODCALLTYPE SetString(DWORD key, const char* value) noexcept override { return SetWith(key, &StoreString, value); }
    bool STDMETHODCALLTYPE SetOpaque16(DWORD key, const CValue16* value) noexcept override {
        return value && SetWith(key, &StoreOpaque16, value);
    }
    bool STDMETHODCALLTYPE SetGuid(DWORD key, const GUID* value) noexcept override {
        return value && SetWith(key, &StoreGuid, value);
    }
    bool STDMETHODCALLTYPE SetDouble(DWORD key, double value) noexcept override { return SetWith(key, &StoreDouble, &value); }
    bool STDMETHODCALLTYPE SetUInt64(DWORD key, ULONGLONG value) noexcept override { return SetWith(key, &StoreUInt64, &value); }
    bool STDMETHODCALLTYPE SetInt64(DWORD key, LONGLONG value) noexcept override { return SetWith(key, &StoreInt64, &value); }
    bool STDMETHODCALLTYPE SetDword(DWORD key, DWORD value) noexcept override { return SetWith(key, &StoreDword, &value); }
    bool STDMETHODCALLTYPE SetLong(DWORD key, LONG value) noexcept override { return SetWith(key, &StoreLong, &value); }
    bool STDMETHODCALLTYPE SetWord(DWORD key, WORD value) noexcept override { return SetWith(key, &StoreWord, &value); }
    bool STDMETHODCALLTYPE SetShort(DWORD key, SHORT value) noexcept override { return SetWith(key, &StoreShort, &value); }
    bool STDMETHODCALLTYPE SetByte(DWORD key, BYTE value) noexcept override { return SetWith(key, &StoreByte, &value); }
    bool STDMETHODCALLTYPE SetChar(DWORD key, signed char value) noexcept override { return SetWith(key, &StoreChar, &value); }
    bool STDMETHODCALLTYPE SetBool(DWORD key, bool value) noexcept override { return SetWith(key, &StoreBool, &value); }

    // ---- ISerialize ----
    bool STDMETHODCALLTYPE GetSize(DWORD* size) override { return CValueCollectionCore::GetSize(size); }
    bool STDMETHODCALLTYPE Save(IDataStream* stream) override { return CValueCollectionCore::Save(stream); }
    bool STDMETHODCALLTYPE Load(IDataStream* stream) override { return CValueCollectionCore::Load(stream); }
    bool STDMETHODCALLTYPE SaveToArchive(CArchive* archive) override {
        return CValueCollectionCore::SaveToArchive(archive);
    }
    bool STDMETHODCALLTYPE LoadFromArchive(CArchive* archive) override {
        return CValueCollectionCore::LoadFromArchive(archive);
    }

protected:
    CValueCollectionBase() = default;

    virtual const IID& InterfaceId() const = 0;
    virtual const GUID& ClassId() const = 0;
    virtual TInterface* CreateEmpty() const = 0;
};

}  // namespace qlLib
