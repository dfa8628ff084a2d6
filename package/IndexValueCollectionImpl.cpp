#include "package/IndexValueCollectionImpl.h"

#include <new>
#include <utility>

namespace qlLib {

namespace {

ISerialize* CreateForArchive() {
    IIndexValueCollection* collection = CIndexValueCollectionImpl::Create();
    if (!collection) return nullptr;
    ISerialize* serialize = nullptr;
    collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(&serialize));
    collection->Release();
    return serialize;
}

const bool s_registered = RegisterSerializableClass(CLSID_IndexValueCollection, &CreateForArchive);

}  // namespace

IIndexValueCollection* CIndexValueCollectionImpl::Create() {
    (void)s_registered;
    CIndexValueCollectionImpl* collection = new (std::nothrow) CIndexValueCollectionImpl();
    if (!collection) TraceError(L"qlLib::CIndexValueCollectionImpl::Create(26) : out of memory");
    return collection;
}

CComPtr<IIndexValueCollection> CIndexValueCollectionImpl::New() {
    return CComPtr<IIndexValueCollection>::Adopt(Create());
}

const CValue* CIndexValueCollectionImpl::Find(DWORD position) const {
    return position < m_values.size() ? &m_values[position] : nullptr;
}

CValue* CIndexValueCollectionImpl::FindForSet(DWORD position) {
    // Set replaces an existing position only; Add appends.
    return position < m_values.size() ? &m_values[position] : nullptr;
}

bool CIndexValueCollectionImpl::ForEachLocked(CVisit visit, void* context) const {
    for (size_t i = 0; i < m_values.size(); ++i)
        if (!visit(static_cast<DWORD>(i), m_values[i], context)) return false;
    return true;
}

bool CIndexValueCollectionImpl::StoreLoaded(DWORD position, CValue&& value) {
    // Positions are dense: the next one appends, an earlier one is replaced, anything beyond
    // would make a gap (and is how a damaged file would ask for a huge allocation).
    if (position < m_values.size()) {
        m_values[position] = std::move(value);
        return true;
    }
    if (position != m_values.size()) return false;
    m_values.push_back(std::move(value));
    return true;
}

bool STDMETHODCALLTYPE CIndexValueCollectionImpl::Remove(DWORD position) noexcept {
    CCriticalSectionLock lock(m_lock);
    if (position >= m_values.size()) return false;
    m_values.erase(m_values.begin() + position);
    m_modified = true;
    return true;
}

bool CIndexValueCollectionImpl::AddWith(CStore store, const void* in) noexcept {
    CCriticalSectionLock lock(m_lock);
    try {
        CValue value;
        if (!store(value, in, m_clone)) return false;
        m_values.push_back(std::move(value));
        m_modified = true;
        return true;
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CIndexValueCollectionImpl::AddWith(78) : out of memory");
        return false;
    }
}

bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddObj(IUnknown* value) noexcept { return AddWith(&StoreObj, value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddVariant(const VARIANT* value) noexcept {
    return value && AddWith(&StoreVariant, value);
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddMemory(const void* data, DWORD length) noexcept {
    const CMemoryArgument memory{data, length};
    return AddWith(&StoreMemory, &memory);
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddWString(const wchar_t* value) noexcept {
    return AddWith(&StoreWString, value);
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddString(const char* value) noexcept { return AddWith(&StoreString, value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddOpaque16(const CValue16* value) noexcept {
    return value && AddWith(&StoreOpaque16, value);
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddGuid(const GUID* value) noexcept {
    return value && AddWith(&StoreGuid, value);
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddDouble(double value) noexcept { return AddWith(&StoreDouble, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddUInt64(ULONGLONG value) noexcept { return AddWith(&StoreUInt64, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddInt64(LONGLONG value) noexcept { return AddWith(&StoreInt64, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddDword(DWORD value) noexcept { return AddWith(&StoreDword, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddLong(LONG value) noexcept { return AddWith(&StoreLong, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddWord(WORD value) noexcept { return AddWith(&StoreWord, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddShort(SHORT value) noexcept { return AddWith(&StoreShort, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddByte(BYTE value) noexcept { return AddWith(&StoreByte, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddChar(signed char value) noexcept { return AddWith(&StoreChar, &value); }
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddBool(bool value) noexcept { return AddWith(&StoreBool, &value); }

}  // namespace qlLib
